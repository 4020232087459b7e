#pragma once
// What `pelkisp ports` shows on Windows: the serial ports the system lists
// under HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, the ports present
// now, by their names (COM1 .. COM256, given to --port as they are) with the
// driver's device behind each. Only the registry is read; no port is opened,
// so one that another program holds is not disturbed.
#include <string>
#include <vector>

namespace pelk::win32 {

struct SerialPortEntry {
    std::string Name;    // COM3
    std::string Device;  // the driver's device, \Device\Serial0, \Device\VCP0, ...
};

// The ports in number order (COM2 before COM10), each name once; values
// that are no COM1..COM256 name are left out.
std::vector<SerialPortEntry> DescribeSerialPorts();

// The lines `pelkisp ports` prints for Ports.
std::vector<std::string> PortListLines(const std::vector<SerialPortEntry>& Ports);
inline std::vector<std::string> PortListLines() { return PortListLines(DescribeSerialPorts()); }

// The number of a "COMn" name (any letter case, 1..256), 0 for anything else.
unsigned ComPortNumber(const std::string& Name);

}  // namespace pelk::win32

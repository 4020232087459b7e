#pragma once
// The port facts of serial/port_list.h on Windows: the serial ports the
// system lists under HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, the
// ports present now, by their names (COM1 .. COM256, given to --port as they
// are) with the driver's device behind each. Only the registry is read.
#include <string>
#include <vector>

#include "serial/port_list.h"

namespace pelk::win32 {

// The ports in number order (COM2 before COM10), each name once; values
// that are no COM1..COM256 name are left out. Name and Device are set.
std::vector<PortInfo> DescribeSerialPorts();

// The number of a "COMn" name (any letter case, 1..256), 0 for anything else.
unsigned ComPortNumber(const std::string& Name);

}  // namespace pelk::win32

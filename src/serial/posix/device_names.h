#pragma once
// How a device name of the component maps to a device file.
//
//  - A name holding '/' is a path and is used as it stands.
//  - "COMn" (any letter case) is, first, a file or link named COMn in the
//    working directory, if one exists: a user can pin COM1 to one adapter
//    with a symbolic link, and the simulated target publishes its
//    pseudo-terminal that way. Otherwise it is the n-th serial port found on
//    the system (ListSerialPorts), counting from 1; never a system console.
//    COM0, and a number past the ports found, name no device. An explicit
//    path to a console is still opened.
//  - Any other name is taken from /dev ("ttyUSB0" is /dev/ttyUSB0).
#include <string>
#include <vector>

namespace pelk::posix {

// The file to open for Name; empty when Name names no device.
std::string ResolveDeviceName(const std::string& Name);

// The file a port's name leads to, for messages: the resolution of Name,
// with links followed where the file exists ("COM1" linked to a pseudo-
// terminal gives "/dev/pts/3"); empty when Name names no device.
std::string ResolvedDevicePath(const std::string& Name);

// The system's serial ports in COM order: USB adapters first (ttyUSB* in
// number order, then ttyACM* in number order), then the onboard ports with
// real hardware behind them (ttyS* whose serial type in SysTtyDir is not 0,
// "unknown"). A port that is a system console is never one of them (its
// "console" attribute in SysTtyDir says Y, or ConsolesFile lists it): frames
// written there would go to the machine's console. The folders and the file
// can be given for tests.
std::vector<std::string> ListSerialPorts(const std::string& DevDir = "/dev",
                                         const std::string& SysTtyDir = "/sys/class/tty",
                                         const std::string& ConsolesFile = "/proc/consoles");

// The same ports in the same order, with the consoles among them kept and
// marked: the ports of the port list (port_list.h).
struct SerialPortEntry {
    std::string Path;  // DevDir + "/" + name
    std::string Name;  // "ttyUSB0"
    bool Console = false;
};
std::vector<SerialPortEntry> ListSerialPortEntries(const std::string& DevDir, const std::string& SysTtyDir,
                                                   const std::string& ConsolesFile);

}  // namespace pelk::posix

#pragma once
// How a device name of the component maps to a device file.
//
//  - A name holding '/' is a path and is used as it stands.
//  - "COMn" (any letter case) is, first, a file or link named COMn in the
//    working directory, if one exists: a user can pin COM1 to one adapter
//    with a symbolic link, and the simulated target publishes its
//    pseudo-terminal that way. Otherwise it is the n-th serial port found on
//    the system (ListSerialPorts), counting from 1. COM0, and a number past
//    the ports found, name no device.
//  - Any other name is taken from /dev ("ttyUSB0" is /dev/ttyUSB0).
#include <string>
#include <vector>

namespace pelk::posix {

// The file to open for Name; empty when Name names no device.
std::string ResolveDeviceName(const std::string& Name);

// The system's serial ports in COM order: USB adapters first (ttyUSB* in
// number order, then ttyACM* in number order), then the onboard ports with
// real hardware behind them (ttyS* whose serial type in SysTtyDir is not 0,
// "unknown"). The folders can be given for tests.
std::vector<std::string> ListSerialPorts(const std::string& DevDir = "/dev",
                                         const std::string& SysTtyDir = "/sys/class/tty");

}  // namespace pelk::posix

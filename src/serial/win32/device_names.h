#pragma once
// The serial ports of a Windows system, by their system names.
#include <string>
#include <vector>

namespace pelk::win32 {

// The names (COM1 .. COM256) that the system lists under
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, the ports present now,
// in number order (COM2 before COM10); empty when there are none.
std::vector<std::string> ListSerialPorts();

}  // namespace pelk::win32

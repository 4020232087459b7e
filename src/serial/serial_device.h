#pragma once
// The device layer the serial component is built on, chosen at build time:
// posix/ (termios, poll, ioctl) or win32/ (the Win32 communications
// interface with overlapped I/O). Both offer the same SerialDevice and the
// same platform-error functions; the component and its threads reach them as
// pelk::SerialDevice and pelk::device::*.
#ifdef _WIN32
#include "serial/win32/platform_error.h"
#include "serial/win32/serial_device.h"
namespace pelk {
namespace device = win32;
using SerialDevice = win32::SerialDevice;
}
#else
#include "serial/posix/platform_error.h"
#include "serial/posix/serial_device.h"
namespace pelk {
namespace device = posix;
using SerialDevice = posix::SerialDevice;
}
#endif

#include "serial/port_names.h"

#include "serial/win32/device_names.h"
#include "serial/win32/port_list.h"

namespace pelk {

// A COMn name is the system's own: a port of this machine when the system
// lists it. Any other name (\\.\CNCA0 of a virtual port driver) is opened
// as it is given.
std::string PortNameLeadsTo(const std::string& name) {
    const unsigned number = win32::ComPortNumber(name);
    if (number == 0) return name;
    for (const std::string& listed : win32::ListSerialPorts())
        if (win32::ComPortNumber(listed) == number) return name;
    return "";
}

}  // namespace pelk

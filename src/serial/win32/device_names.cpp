#include "serial/win32/device_names.h"

#include "serial/win32/port_list.h"

namespace pelk::win32 {

std::vector<std::string> ListSerialPorts() {
    std::vector<std::string> ports;
    for (const PortInfo& p : DescribeSerialPorts()) ports.push_back(p.Name);
    return ports;
}

}  // namespace pelk::win32

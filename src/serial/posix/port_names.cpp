#include "serial/port_names.h"

#include "serial/posix/device_names.h"

namespace pelk {

std::string PortNameLeadsTo(const std::string& name) { return posix::ResolvedDevicePath(name); }

}  // namespace pelk

#pragma once
// What a port name given to the component leads to on this machine, for
// messages that name the device behind "COM1".
#include <string>

namespace pelk {

// The device a port name leads to: on Linux the file it resolves to, links
// followed ("COM1" linked to a pseudo-terminal gives "/dev/pts/3"); on
// Windows the name itself when the system lists that port. Empty when the
// name names no device of this machine.
std::string PortNameLeadsTo(const std::string& name);

}  // namespace pelk

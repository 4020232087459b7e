#pragma once
// What `pelkisp ports` prints, from the port facts of the serial layer
// (serial/port_list.h): on Linux what COM1..COM4 stand for, a blank line,
// and a line per serial port with what is known of it; on Windows a line
// per port with the driver's device behind it, in a column of its own.
#include <string>
#include <vector>

#include "serial/port_list.h"

namespace pelk {

std::vector<std::string> PortListLines(const PortListing& listing);

}  // namespace pelk

#include "cli/port_list_text.h"

#include <algorithm>

namespace pelk {

namespace {

std::string Ordinal(size_t n) {
    const char* suffix = (n % 100 >= 11 && n % 100 <= 13) ? "th"
                         : n % 10 == 1                     ? "st"
                         : n % 10 == 2                     ? "nd"
                         : n % 10 == 3                     ? "rd"
                                                           : "th";
    return std::to_string(n) + suffix;
}

// "COM1  /dev/ttyUSB0 (the 1st serial port of this machine)".
std::string ComNameLine(const ComResolution& r) {
    const std::string com = "COM" + std::to_string(r.Number);
    std::string line = com + "  ";
    switch (r.How) {
        case ComResolution::Link:
            if (r.Found == ComResolution::Entry::File || r.Found == ComResolution::Entry::Folder)
                line += std::string(r.Found == ComResolution::Entry::File ? "a file" : "a folder") + " named " + com +
                        " in this folder, not a link to a serial port";
            else
                line += r.Dangling ? "nothing (the link " + com + " in this folder leads to " + r.Path +
                                         ", which does not exist)"
                                   : r.Path + (r.Found == ComResolution::Entry::Link ? " (a link in this folder)"
                                                                                       : " (in this folder)");
            break;
        case ComResolution::NthPort:
            line += r.Path + " (the " + Ordinal(static_cast<size_t>(r.Number)) + " serial port of this machine)";
            break;
        case ComResolution::Nothing:
            line += "nothing (this machine has " +
                    (r.PortsFound == 0 ? std::string("no serial port")
                                       : std::to_string(r.PortsFound) +
                                             (r.PortsFound == 1 ? " serial port" : " serial ports")) +
                    "; a link " + com + " in this folder chooses one)";
            break;
    }
    return line;
}

// The port's name, its device in a column of its own (where the system
// names one), then whatever else is known of it.
std::string PortLine(const PortInfo& p, size_t nameWidth) {
    std::string line = p.Name;
    if (!p.Device.empty()) line += std::string(nameWidth - p.Name.size() + 2, ' ') + p.Device;
    if (!p.ById.empty()) line += "  by-id " + p.ById;
    if (!p.Driver.empty()) line += "  driver " + p.Driver;
    if (!p.UsbId.empty()) line += "  usb " + p.UsbId;
    if (!p.UsbSerial.empty()) line += "  serial " + p.UsbSerial;
    if (!p.UsbProduct.empty()) line += "  \"" + p.UsbProduct + "\"";
    if (p.Console) line += "  console (never chosen for COMn)";
    for (const PortHolder& h : p.Holders) {
        line += std::string("  in use: ") + (h.Locked ? "locked" : "open");
        if (h.Pid > 0) line += " by PID " + std::to_string(h.Pid) + (h.Command.empty() ? "" : " (" + h.Command + ")");
    }
    if (p.NoPermission)
        line += "  no permission" +
                (p.Group.empty() || p.Group == "root"
                     ? std::string(" (ask the administrator for access to it)")
                     : " (add yourself to group " + p.Group + ": sudo adduser $USER " + p.Group +
                           ", then log in again)");
    return line;
}

}  // namespace

std::vector<std::string> PortListLines(const PortListing& listing) {
    std::vector<std::string> lines;
    for (const ComResolution& r : listing.ComNames) lines.push_back(ComNameLine(r));
    if (!listing.ComNames.empty()) lines.emplace_back();
    if (listing.Ports.empty()) lines.push_back("no serial port found in " + listing.SearchedIn);
    size_t width = 0;
    for (const PortInfo& p : listing.Ports) width = std::max(width, p.Name.size());
    for (const PortInfo& p : listing.Ports) lines.push_back(PortLine(p, width));
    return lines;
}

}  // namespace pelk

#pragma once
// The serial ports of this machine as facts: what each port is and, where
// the program resolves COM names itself (Linux), what COM1..COM4 stand for.
// The device layer of each system reads them (posix/port_list.cpp,
// win32/port_list.cpp); the command line puts them into words
// (cli/port_list_text.h). Everything is read, nothing is opened: a port that
// another program holds is not disturbed, and a free one sees no change on
// its modem lines.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pelk {

// Another process that has the port open or holds a lock on it.
struct PortHolder {
    long Pid = 0;          // -1 for a lock that belongs to no process (open file description lock)
    std::string Command;   // its name, where it can be read
    bool Locked = false;   // holds a lock (flock, fcntl): pelkisp's exclusive open would be refused
};

// One serial port. What a system cannot tell stays empty.
struct PortInfo {
    std::string Name;          // what --port takes: "/dev/ttyUSB0", "COM3"
    std::string Device;        // the driver's device behind it, where the system names one ("\Device\Serial0")
    std::string ById;          // name under /dev/serial/by-id that leads to it
    std::string Driver;        // ftdi_sio, cdc_acm, serial8250, ...
    std::string UsbId;         // "0403:6001"
    std::string UsbSerial;
    std::string UsbProduct;
    bool Console = false;      // a system console: never chosen for COMn
    std::vector<PortHolder> Holders;
    bool NoPermission = false; // this user may not open it for reading and writing
    std::string Group;         // the device's group (dialout)
};

// What COMn resolves to, and why (where the program resolves COM names).
struct ComResolution {
    int Number = 0;          // n of COMn
    enum Kind { Link, NthPort, Nothing } How = Nothing;
    std::string Path;        // the device file it opens (a link: the link's target); empty: none
    bool Dangling = false;   // a link whose target does not exist
    // For How == Link, what the name in the folder is: a link, or a file or
    // folder that only bears the name (it opens as nothing useful).
    enum class Entry { Link, File, Folder, Other } Found = Entry::Link;
    size_t PortsFound = 0;   // serial ports of the machine (consoles left out)
};

struct PortListing {
    // COM1..COM4 in order where the program resolves COM names itself;
    // empty where COMn is the system's own name (Windows).
    std::vector<ComResolution> ComNames;
    // The serial ports, in the order COMn counts them (Linux) or in number
    // order (Windows).
    std::vector<PortInfo> Ports;
    // Where the ports were looked for ("/dev", or the registry key).
    std::string SearchedIn;
};

// The ports of this machine.
PortListing ListPorts();

// The device a port name leads to, for messages: on Linux the file it
// resolves to, links followed ("COM1" linked to a pseudo-terminal gives
// "/dev/pts/3"); on Windows the name itself. Empty when the name names no
// serial port of this machine.
std::string PortDevicePath(const std::string& Name);

// What a COMn name stands for where the program resolves COM names itself;
// nothing for any other name, and on Windows, where COMn is the system's
// own name.
std::optional<ComResolution> ResolveComName(const std::string& Name);

// The name the device layer opens for a port name: on Linux the file it
// resolves to (empty when none), on Windows the system's device name
// ("\\.\COM5" for COM5).
std::string SystemPortName(const std::string& Name);

}  // namespace pelk

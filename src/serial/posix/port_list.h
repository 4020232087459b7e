#pragma once
// What `pelkisp ports` shows: what COM1..COM4 stand for in the working
// directory, and every serial port of the machine with what sysfs and /dev
// tell of it. Everything is read, nothing is opened: a port that another
// program holds is not disturbed, and a free one sees no change on its
// modem lines.
#include <string>
#include <sys/types.h>
#include <vector>

namespace pelk::posix {

// Where the facts are read; tests give fake trees.
struct PortFolders {
    std::string WorkDir = ".";                  // where COMn links are looked for
    std::string DevDir = "/dev";                // device nodes; serial/by-id below it
    std::string SysTtyDir = "/sys/class/tty";
    std::string ConsolesFile = "/proc/consoles";
    std::string ProcDir = "/proc";              // locks, and the processes' open files
};

// What COMn resolves to here, and why.
struct ComResolution {
    enum Kind { Link, NthPort, Nothing } How = Nothing;
    std::string Path;        // the device file it opens (a link: the link's target); empty: none
    bool Dangling = false;   // a link whose target does not exist
    // For How == Link, what the name in the folder is: a link, or a file or
    // folder that only bears the name (it opens as nothing useful).
    enum class Entry { Link, File, Folder, Other } Found = Entry::Link;
    size_t PortsFound = 0;   // serial ports of the machine (consoles left out)
};
ComResolution ResolveComNumber(int Number, const PortFolders& Folders);

// Another process that has the port open or holds a lock on it.
struct PortHolder {
    pid_t Pid = 0;          // -1 for a lock that belongs to no process (open file description lock)
    std::string Command;    // its name, where it can be read
    bool Locked = false;    // holds a lock (flock, fcntl): pelkisp's exclusive open would be refused
};

struct SerialPortInfo {
    std::string Path;          // /dev/ttyUSB0
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
std::vector<SerialPortInfo> DescribeSerialPorts(const PortFolders& Folders);

// The lines `pelkisp ports` prints: COM1..COM4, a blank line, the ports.
std::vector<std::string> PortListLines(const PortFolders& Folders);

}  // namespace pelk::posix

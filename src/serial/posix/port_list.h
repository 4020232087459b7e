#pragma once
// The port facts of serial/port_list.h on Linux: what COM1..COM4 stand for
// in the working directory, and every serial port of the machine with what
// sysfs, /dev and /proc tell of it.
#include <string>
#include <vector>

#include "serial/port_list.h"

namespace pelk::posix {

// Where the facts are read; tests give fake trees.
struct PortFolders {
    std::string WorkDir = ".";                  // where COMn links are looked for
    std::string DevDir = "/dev";                // device nodes; serial/by-id below it
    std::string SysTtyDir = "/sys/class/tty";
    std::string ConsolesFile = "/proc/consoles";
    std::string ProcDir = "/proc";              // locks, and the processes' open files
};

// What COMn stands for in Folders.WorkDir: a link (or a file or folder of
// that name), else the n-th serial port of the machine, else nothing.
ComResolution ResolveComNumber(int Number, const PortFolders& Folders);

// Every serial port of the machine (consoles included, and marked), in the
// order COMn counts them, with what sysfs, /dev and /proc tell of it.
std::vector<PortInfo> DescribeSerialPorts(const PortFolders& Folders);

// COM1..COM4 and the ports, read from Folders (ListPorts reads the real ones).
PortListing ListPorts(const PortFolders& Folders);

}  // namespace pelk::posix

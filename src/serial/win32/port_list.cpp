#include "serial/win32/port_list.h"

#include <algorithm>

#include "serial/win32/serial_device.h"

// After the project's headers: <windows.h> defines macros of names the
// serial constants also use (with the same values).
#include <windows.h>

namespace pelk::win32 {

namespace {
constexpr const char* SerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
}

unsigned ComPortNumber(const std::string& Name) {
    if (Name.size() < 4 || Name.size() > 6 || _strnicmp(Name.c_str(), "COM", 3) != 0) return 0;
    unsigned n = 0;
    for (size_t i = 3; i < Name.size(); ++i) {
        if (Name[i] < '0' || Name[i] > '9') return 0;
        n = n * 10 + unsigned(Name[i] - '0');
    }
    return Name[3] != '0' && n >= 1 && n <= 256 ? n : 0;
}

std::vector<PortInfo> DescribeSerialPorts() {
    std::vector<PortInfo> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return ports;
    for (DWORD i = 0;; ++i) {
        // Each value: the driver's device as its name, the port's name as its data.
        char name[256];
        DWORD nameSize = sizeof name;
        char value[64];
        DWORD valueSize = sizeof value - 1;
        DWORD type = 0;
        const LONG r = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(value), &valueSize);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        value[valueSize] = '\0';  // the size counts the terminating zero, if one was stored
        PortInfo entry;
        entry.Name = value;
        entry.Device = std::string(name, nameSize);
        if (ComPortNumber(entry.Name) != 0) ports.push_back(std::move(entry));
    }
    RegCloseKey(key);
    std::stable_sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return ComPortNumber(a.Name) < ComPortNumber(b.Name);
    });
    ports.erase(std::unique(ports.begin(), ports.end(),
                            [](const PortInfo& a, const PortInfo& b) {
                                return ComPortNumber(a.Name) == ComPortNumber(b.Name);
                            }),
                ports.end());
    return ports;
}

}  // namespace pelk::win32

namespace pelk {

PortListing ListPorts() {
    PortListing listing;
    listing.Ports = win32::DescribeSerialPorts();
    listing.SearchedIn = std::string("HKEY_LOCAL_MACHINE\\") + win32::SerialCommKey;
    return listing;
}

// A COMn name is the system's own: a port of this machine when the system
// lists it. Any other name (\\.\CNCA0 of a virtual port driver) is opened
// as it is given.
std::string PortDevicePath(const std::string& Name) {
    const unsigned number = win32::ComPortNumber(Name);
    if (number == 0) return Name;
    for (const PortInfo& p : win32::DescribeSerialPorts())
        if (win32::ComPortNumber(p.Name) == number) return Name;
    return "";
}

std::optional<ComResolution> ResolveComName(const std::string&) { return std::nullopt; }

std::string SystemPortName(const std::string& Name) { return win32::SystemDeviceName(Name); }

}  // namespace pelk

#include "serial/win32/device_names.h"

#include <algorithm>
#include <cstdlib>

// After the project's headers: <windows.h> defines macros of names the
// serial constants also use (with the same values).
#include <windows.h>

namespace pelk::win32 {

namespace {

// The number of a "COMn" name, 0 for anything else.
unsigned long PortNumber(const std::string& Name) {
    if (Name.size() < 4 || Name.size() > 6 || _strnicmp(Name.c_str(), "COM", 3) != 0) return 0;
    char* end = nullptr;
    const unsigned long n = std::strtoul(Name.c_str() + 3, &end, 10);
    return end && *end == '\0' ? n : 0;
}

}  // namespace

std::vector<std::string> ListSerialPorts() {
    std::vector<std::string> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof name;
        char value[64];
        DWORD valueSize = sizeof value - 1;
        DWORD type = 0;
        const LONG r = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(value), &valueSize);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        value[valueSize] = '\0';
        const std::string port(value);  // the size counts the terminating zero, if it was stored
        if (PortNumber(port) != 0) ports.push_back(port);
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const std::string& a, const std::string& b) { return PortNumber(a) < PortNumber(b); });
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

}  // namespace pelk::win32

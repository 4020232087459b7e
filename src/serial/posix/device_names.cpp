#include "serial/posix/device_names.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>

namespace pelk::posix {

namespace {

// "<Prefix><digits>" gives the number; -1 for anything else.
long NumberAfter(const std::string& Name, const std::string& Prefix) {
    if (Name.size() <= Prefix.size() || Name.compare(0, Prefix.size(), Prefix) != 0) return -1;
    long n = 0;
    for (size_t i = Prefix.size(); i < Name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(Name[i]))) return -1;
        if (n > 100000000) return -1;
        n = n * 10 + (Name[i] - '0');
    }
    return n;
}

bool HasHardware(const std::string& SysTtyDir, const std::string& Name) {
    std::ifstream type(SysTtyDir + "/" + Name + "/type");
    long value = 0;
    return type && (type >> value) && value != 0;
}

// The consoles the kernel writes to: the first word of each line of
// /proc/consoles ("ttyS0  -W- (EC p a)  4:64").
std::set<std::string> ListedConsoles(const std::string& ConsolesFile) {
    std::set<std::string> names;
    std::ifstream in(ConsolesFile);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name;
        if (words >> name) names.insert(name);
    }
    return names;
}

bool IsConsole(const std::string& SysTtyDir, const std::string& Name, const std::set<std::string>& Listed) {
    if (Listed.count(Name)) return true;
    std::ifstream flag(SysTtyDir + "/" + Name + "/console");
    std::string value;
    return flag && (flag >> value) && !value.empty() && (value[0] == 'Y' || value[0] == 'y');
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPortEntries(const std::string& DevDir, const std::string& SysTtyDir,
                                                   const std::string& ConsolesFile) {
    std::vector<std::pair<long, SerialPortEntry>> usb, acm, onboard;
    const std::set<std::string> consoles = ListedConsoles(ConsolesFile);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(DevDir, ec)) {
        const std::string name = entry.path().filename().string();
        const SerialPortEntry port{DevDir + "/" + name, name, IsConsole(SysTtyDir, name, consoles)};
        long n;
        if ((n = NumberAfter(name, "ttyUSB")) >= 0) usb.emplace_back(n, port);
        else if ((n = NumberAfter(name, "ttyACM")) >= 0) acm.emplace_back(n, port);
        else if ((n = NumberAfter(name, "ttyS")) >= 0 && HasHardware(SysTtyDir, name)) onboard.emplace_back(n, port);
    }
    std::vector<SerialPortEntry> ports;
    for (auto* group : {&usb, &acm, &onboard}) {
        std::sort(group->begin(), group->end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [n, port] : *group) ports.push_back(port);
    }
    return ports;
}

std::vector<std::string> ListSerialPorts(const std::string& DevDir, const std::string& SysTtyDir,
                                         const std::string& ConsolesFile) {
    std::vector<std::string> ports;
    for (const SerialPortEntry& p : ListSerialPortEntries(DevDir, SysTtyDir, ConsolesFile))
        if (!p.Console) ports.push_back(p.Path);
    return ports;
}

std::string ResolvedDevicePath(const std::string& Name) {
    const std::string path = ResolveDeviceName(Name);
    if (path.empty()) return path;
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(path, ec);
    return ec ? path : real.string();
}

std::string ResolveDeviceName(const std::string& Name) {
    if (Name.find('/') != std::string::npos) return Name;
    if (Name.size() > 3 && std::toupper(static_cast<unsigned char>(Name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(Name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(Name[2])) == 'M') {
        const std::string com = "COM" + Name.substr(3);  // com1 is COM1, as everywhere
        const long n = NumberAfter(com, "COM");
        if (n >= 0) {
            struct stat st{};
            if (lstat(com.c_str(), &st) == 0) return com;
            if (n == 0) return std::string();
            const std::vector<std::string> ports = ListSerialPorts();
            return static_cast<size_t>(n) <= ports.size() ? ports[static_cast<size_t>(n) - 1] : std::string();
        }
    }
    if (Name.empty()) return std::string();
    return "/dev/" + Name;
}

}  // namespace pelk::posix

#include "serial/posix/port_list.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "serial/posix/device_names.h"

namespace pelk::posix {

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string Canonical(const fs::path& p) {
    std::error_code ec;
    const fs::path c = fs::canonical(p, ec);
    return ec ? std::string() : c.string();
}

// The driver behind a tty: the first driver upwards from its device. The
// serial core's own "port" and "ctrl" devices (bus serial-base) stand
// between an onboard port and its real driver on newer kernels; they are
// passed over.
std::string DriverOf(const std::string& SysTtyDir, const std::string& Name) {
    fs::path dir = Canonical(fs::path(SysTtyDir) / Name / "device");
    for (int up = 0; up < 4 && !dir.empty() && dir != dir.root_path(); ++up, dir = dir.parent_path()) {
        std::error_code ec;
        const std::string target = fs::read_symlink(dir / "driver", ec).string();
        if (ec || target.find("/serial-base/") != std::string::npos) continue;
        return fs::path(target).filename().string();
    }
    return std::string();
}

// The USB device above a tty in sysfs: the first folder upwards from the
// tty's device that has an idVendor (the interface sits between them for
// most adapters).
void ReadUsbFacts(const std::string& SysTtyDir, const std::string& Name, PortInfo& Info) {
    fs::path dir = Canonical(fs::path(SysTtyDir) / Name / "device");
    for (int up = 0; up < 5 && !dir.empty() && dir != dir.root_path(); ++up, dir = dir.parent_path()) {
        std::error_code ec;
        if (!fs::exists(dir / "idVendor", ec)) continue;
        Info.UsbId = FirstLine(dir / "idVendor") + ":" + FirstLine(dir / "idProduct");
        Info.UsbSerial = FirstLine(dir / "serial");
        Info.UsbProduct = FirstLine(dir / "product");
        return;
    }
}

// Locks on the file (device, inode) from the kernel's list of locks:
// "1: FLOCK  ADVISORY  WRITE 4321 00:05:1045 0 EOF". Readable by everyone,
// and reading it disturbs no one.
void ReadLocks(const std::string& ProcDir, const struct stat& St, std::vector<PortHolder>& Holders) {
    std::ifstream in(ProcDir + "/locks");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string id, kind, mode, access, pid, where;
        if (!(words >> id >> kind) || kind == "->") continue;  // a waiter, not a holder
        if (!(words >> mode >> access >> pid >> where)) continue;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &devMajor, &devMinor, &inode) != 3) continue;
        if (devMajor != major(St.st_dev) || devMinor != minor(St.st_dev) || inode != St.st_ino) continue;
        const long p = std::strtol(pid.c_str(), nullptr, 10);
        if (p == getpid()) continue;
        Holders.push_back({p, std::string(), true});
    }
}

// Processes that have the file open, from their descriptors in /proc: all of
// them for root, a user's own otherwise.
void ReadOpeners(const std::string& ProcDir, const std::vector<std::string>& Paths,
                 std::vector<std::vector<PortHolder>*>& Holders) {
    std::error_code ec;
    for (const auto& process : fs::directory_iterator(ProcDir, ec)) {
        const std::string pidText = process.path().filename().string();
        if (pidText.empty() || !std::isdigit(static_cast<unsigned char>(pidText[0]))) continue;
        const pid_t pid = static_cast<pid_t>(std::strtol(pidText.c_str(), nullptr, 10));
        if (pid == getpid()) continue;
        std::error_code fdError;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            const std::string target = fs::read_symlink(fd.path(), linkError).string();
            if (linkError) continue;
            for (size_t i = 0; i < Paths.size(); ++i) {
                if (Paths[i].empty() || target != Paths[i]) continue;
                auto& list = *Holders[i];
                bool known = false;
                for (const PortHolder& h : list) known = known || h.Pid == pid;
                if (!known) list.push_back({pid, std::string(), false});
            }
        }
    }
}

}  // namespace

ComResolution ResolveComNumber(int Number, const PortFolders& Folders) {
    ComResolution r;
    r.Number = Number;
    const std::vector<std::string> ports = ListSerialPorts(Folders.DevDir, Folders.SysTtyDir, Folders.ConsolesFile);
    r.PortsFound = ports.size();
    const fs::path link = fs::path(Folders.WorkDir) / ("COM" + std::to_string(Number));
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        r.How = ComResolution::Link;
        std::error_code ec;
        r.Path = S_ISLNK(st.st_mode) ? fs::read_symlink(link, ec).string() : link.string();
        r.Dangling = !fs::exists(link, ec);
        r.Found = S_ISLNK(st.st_mode)   ? ComResolution::Entry::Link
                  : S_ISREG(st.st_mode) ? ComResolution::Entry::File
                  : S_ISDIR(st.st_mode) ? ComResolution::Entry::Folder
                                        : ComResolution::Entry::Other;
        return r;
    }
    if (Number >= 1 && static_cast<size_t>(Number) <= ports.size()) {
        r.How = ComResolution::NthPort;
        r.Path = ports[static_cast<size_t>(Number) - 1];
    }
    return r;
}

std::vector<PortInfo> DescribeSerialPorts(const PortFolders& Folders) {
    std::vector<PortInfo> infos;
    std::vector<std::string> canonical;
    for (const SerialPortEntry& e : ListSerialPortEntries(Folders.DevDir, Folders.SysTtyDir, Folders.ConsolesFile)) {
        PortInfo info;
        info.Name = e.Path;
        info.Console = e.Console;
        info.Driver = DriverOf(Folders.SysTtyDir, e.Name);
        ReadUsbFacts(Folders.SysTtyDir, e.Name, info);
        struct stat st {};
        if (stat(e.Path.c_str(), &st) == 0) {
            ReadLocks(Folders.ProcDir, st, info.Holders);
            if (const group* g = getgrgid(st.st_gid)) info.Group = g->gr_name;
        }
        if (access(e.Path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) info.NoPermission = true;
        canonical.push_back(Canonical(e.Path));
        infos.push_back(std::move(info));
    }
    // The stable names under serial/by-id, matched by where they lead.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(Folders.DevDir) / "serial" / "by-id", ec)) {
        const std::string target = Canonical(entry.path());
        for (size_t i = 0; i < infos.size(); ++i)
            if (!target.empty() && target == canonical[i]) infos[i].ById = entry.path().filename().string();
    }
    std::vector<std::vector<PortHolder>*> holders;
    for (PortInfo& info : infos) holders.push_back(&info.Holders);
    if (!infos.empty()) ReadOpeners(Folders.ProcDir, canonical, holders);
    for (PortInfo& info : infos)
        for (PortHolder& h : info.Holders)
            if (h.Pid > 0) h.Command = FirstLine(fs::path(Folders.ProcDir) / std::to_string(h.Pid) / "comm");
    return infos;
}

PortListing ListPorts(const PortFolders& Folders) {
    PortListing listing;
    for (int n = 1; n <= 4; ++n) listing.ComNames.push_back(ResolveComNumber(n, Folders));
    listing.Ports = DescribeSerialPorts(Folders);
    listing.SearchedIn = Folders.DevDir;
    return listing;
}

}  // namespace pelk::posix

namespace pelk {

PortListing ListPorts() { return posix::ListPorts(posix::PortFolders{}); }

std::string PortDevicePath(const std::string& Name) { return posix::ResolvedDevicePath(Name); }

std::optional<ComResolution> ResolveComName(const std::string& Name) {
    const bool comName = Name.find('/') == std::string::npos && Name.size() > 3 &&
                         std::toupper(static_cast<unsigned char>(Name[0])) == 'C' &&
                         std::toupper(static_cast<unsigned char>(Name[1])) == 'O' &&
                         std::toupper(static_cast<unsigned char>(Name[2])) == 'M';
    if (!comName) return std::nullopt;
    return posix::ResolveComNumber(std::atoi(Name.c_str() + 3), posix::PortFolders{});
}

std::string SystemPortName(const std::string& Name) { return posix::ResolveDeviceName(Name); }

}  // namespace pelk

// pelk_wine_peers: the far ends of the serial lines for the Windows tests,
// which run under wine. It serves a set of pseudo-terminals, publishes each
// slave side as a link PORTS/COMn (the wine prefix maps COMn to that link
// through HKLM\Software\Wine\Ports), runs the command given after "--" and
// exits with its status.
//
//   COM4   simulated target, 64 KiB of flash, for the window (whose
//          Setup offers COM1..COM4)
//   COM5   simulated target, 64 KiB of flash
//   COM6   simulated target that sends every 3rd reply with a wrong checksum
//   COM7   simulated target that never answers
//   COM8   echo: sends back every byte it receives
//   COM9   hang-up: closes the line (a far side that goes away) as soon as
//          it has received a byte, then puts a new line under the same name
//          (a device plugged in again) for the next test
//   COM10  settings: answers every byte it receives with one text line
//          describing the line settings the Windows side has set, as the
//          terminal driver holds them: "<rate> <bits><parity><stop> <flow>\n",
//          e.g. "19200 8N1 -", flow "rtscts", "xonxoff" or "-".
//
// usage: pelk_wine_peers --ports DIR -- COMMAND [ARGS...]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulated_target.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A pseudo-terminal whose master side a thread serves with Respond(bytes);
// the slave side stays open here, so the Windows side may open and close it
// as often as it likes.
class Peer {
public:
    using Responder = std::function<bool(int Master, const uint8_t* Data, size_t Count)>;
    // Renew: after the peer has closed the line, it opens a new one and
    // hands its path to Renew (a device pulled out and plugged in again).
    explicit Peer(Responder Respond, std::function<void(const std::string&)> Renew = nullptr)
        : FRespond(std::move(Respond)), FRenew(std::move(Renew)) {
        OpenLine();
        FWake = eventfd(0, EFD_CLOEXEC);
        FThread = std::thread([this] { Serve(); });
    }
    ~Peer() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(FWake, &one, sizeof one);
        FThread.join();
        Hang();
        close(FWake);
    }
    const std::string& Path() const { return FPath; }

private:
    void OpenLine() {
        char name[256];
        if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) < 0) throw std::runtime_error("openpty failed");
        FPath = name;
        // Not inherited by the command (nor by the wineserver it starts): the
        // line must close when this program closes it.
        fcntl(FMaster, F_SETFD, FD_CLOEXEC);
        fcntl(FSlave, F_SETFD, FD_CLOEXEC);
        ::termios t{};
        tcgetattr(FSlave, &t);
        cfmakeraw(&t);
        tcsetattr(FSlave, TCSANOW, &t);
    }
    void Hang() {
        if (FMaster >= 0) close(FMaster);
        if (FSlave >= 0) close(FSlave);
        FMaster = FSlave = -1;
    }
    void Serve() {
        for (;;) {
            pollfd p[2] = {{FWake, POLLIN, 0}, {FMaster, POLLIN, 0}};
            const int r = poll(p, FMaster >= 0 ? 2 : 1, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (p[0].revents & POLLIN)) return;
            if (!(p[1].revents & POLLIN)) {
                // No client has the line open (POLLHUP): look again shortly.
                usleep(2000);
                continue;
            }
            uint8_t buf[512];
            const ssize_t n = read(FMaster, buf, sizeof buf);
            if (n <= 0) continue;
            if (FRespond(FMaster, buf, size_t(n))) continue;
            if (!FRenew) {
                Hang();
                continue;
            }
            // The new line is opened before the old one closes, so that it
            // gets another number: wine keeps the closed one's device
            // object for a while and would hand out the dead line again.
            const int oldMaster = FMaster, oldSlave = FSlave;
            OpenLine();
            FRenew(FPath);
            close(oldMaster);
            close(oldSlave);
        }
    }

    Responder FRespond;
    std::function<void(const std::string&)> FRenew;
    int FMaster = -1, FSlave = -1, FWake = -1;
    std::string FPath;
    std::thread FThread;
};

bool WriteAll(int Fd, const void* Data, size_t Count) {
    const auto* p = static_cast<const uint8_t*>(Data);
    while (Count > 0) {
        const ssize_t n = write(Fd, p, Count);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        p += n;
        Count -= size_t(n);
    }
    return true;
}

unsigned RateOf(speed_t Code) {
    static const std::pair<speed_t, unsigned> Rates[] = {
        {B110, 110},       {B300, 300},       {B600, 600},     {B1200, 1200},     {B2400, 2400},
        {B4800, 4800},     {B9600, 9600},     {B19200, 19200}, {B38400, 38400},   {B57600, 57600},
        {B115200, 115200}, {B230400, 230400},
    };
    for (const auto& [code, rate] : Rates)
        if (code == Code) return rate;
    return 0;
}

std::string DescribeSettings(int Master) {
    ::termios t{};
    if (tcgetattr(Master, &t) != 0) return "? ? ?\n";
    const char* bits = (t.c_cflag & CSIZE) == CS5 ? "5" : (t.c_cflag & CSIZE) == CS6 ? "6" : (t.c_cflag & CSIZE) == CS7 ? "7" : "8";
    char parity = 'N';
    if (t.c_cflag & PARENB) {
        if (t.c_cflag & CMSPAR) parity = (t.c_cflag & PARODD) ? 'M' : 'S';
        else parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    }
    const char* stop = (t.c_cflag & CSTOPB) ? "2" : "1";
    const char* flow = (t.c_cflag & CRTSCTS) ? "rtscts" : (t.c_iflag & (IXON | IXOFF)) ? "xonxoff" : "-";
    return std::to_string(RateOf(cfgetospeed(&t))) + " " + bits + parity + stop + " " + flow + "\n";
}

bool Link(const fs::path& Dir, const std::string& Name, const std::string& Target) {
    const fs::path link = Dir / Name;
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(Target, link, ec);
    if (ec) std::fprintf(stderr, "pelk_wine_peers: can't link %s: %s\n", link.c_str(), ec.message().c_str());
    return !ec;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path ports;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--ports" && i + 1 < argc) ports = argv[++i];
        else if (a == "--") {
            ++i;
            break;
        } else {
            std::fprintf(stderr, "usage: pelk_wine_peers --ports DIR -- COMMAND [ARGS...]\n");
            return 2;
        }
    }
    if (ports.empty() || i >= argc) {
        std::fprintf(stderr, "usage: pelk_wine_peers --ports DIR -- COMMAND [ARGS...]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    fs::create_directories(ports);

    auto target = [](uint32_t corruptEvery, bool silent) {
        pelk::SimulatedTargetOptions o;
        o.LastAddress = 0xFFFF;
        o.Faults.CorruptEvery = corruptEvery;
        o.Faults.Silent = silent;
        auto t = std::make_unique<pelk::SimulatedTarget>(o);
        t->Start();
        return t;
    };
    auto forWindow = target(0, false);
    auto normal = target(0, false);
    auto corrupt = target(3, false);
    auto silent = target(0, true);
    Peer echo([](int m, const uint8_t* d, size_t n) { return WriteAll(m, d, n); });
    Peer hangUp([](int, const uint8_t*, size_t) { return false; },
                [&ports](const std::string& path) { Link(ports, "COM9", path); });
    Peer settings([](int m, const uint8_t*, size_t) {
        const std::string s = DescribeSettings(m);
        return WriteAll(m, s.data(), s.size());
    });
    bool ok = Link(ports, "COM4", forWindow->PortPath()) && Link(ports, "COM5", normal->PortPath()) && Link(ports, "COM6", corrupt->PortPath()) &&
              Link(ports, "COM7", silent->PortPath()) && Link(ports, "COM8", echo.Path()) &&
              Link(ports, "COM9", hangUp.Path()) && Link(ports, "COM10", settings.Path());
    if (!ok) return 1;

    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[i], nullptr, nullptr, argv + i, environ) != 0) {
        std::fprintf(stderr, "pelk_wine_peers: can't run %s: %s\n", argv[i], std::strerror(errno));
        return 1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    for (const char* name : {"COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10"}) {
        std::error_code ec;
        fs::remove(ports / name, ec);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// pelkisp's system calls on Linux and other POSIX systems.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <filesystem>
#include <optional>

#include "cli/cli_platform.h"
#include "framework/output_file.h"
#include "serial/port_list.h"

namespace pelk {

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

bool WriteText(std::FILE* stream, const std::string& text) { return std::fputs(text.c_str(), stream) >= 0; }

bool IsTerminal(std::FILE* stream) { return ::isatty(fileno(stream)) == 1; }

int TerminalColumns(std::FILE* stream) {
    winsize ws{};
    if (::ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0) return ws.ws_col;
    return 0;
}

int TerminalRows(std::FILE* stream) {
    winsize ws{};
    if (::ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0) return ws.ws_row;
    return 0;
}

// With the escape codes that every terminal but a dumb one takes.
bool TerminalRedrawsInPlace(std::FILE*) {
    const char* term = std::getenv("TERM");
    return term != nullptr && std::strcmp(term, "dumb") != 0;
}

void RewriteTerminalLine(std::FILE* stream, const std::string& line) {
    std::fprintf(stream, "\r%s\033[K", line.c_str());
}

void EraseTerminalLines(std::FILE* stream, size_t count) { std::fprintf(stream, "\033[%zuA\r\033[J", count); }

bool SameFile(const std::string& one, const std::string& other) {
    struct stat sa {}, sb {};
    return ::stat(one.c_str(), &sa) == 0 && ::stat(other.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool NameOneFile(const std::string& one, const std::string& other) {
    if (SameFile(one, other)) return true;
    std::error_code ea, eb;
    const std::filesystem::path a = std::filesystem::weakly_canonical(one, ea), b = std::filesystem::weakly_canonical(other, eb);
    return !ea && !eb && a == b;
}

std::FILE* OpenOutputText(const std::string& path, std::string& why) {
    const int fd = OpenOutputStream(path == "-" ? "/dev/stdout" : path, why);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "w");
    if (!f) {
        why = path + ": " + std::strerror(errno);
        ::close(fd);
    }
    return f;
}

// A COMn name says how it was resolved: a link here, or the n-th port.
std::string PortNameNote(const std::string& port, const std::string& path) {
    const std::optional<ComResolution> r = ResolveComName(port);
    if (!r) return "port " + port + (path != port ? " is " + path : "");
    return port + " is " + path +
           (r->How == ComResolution::Link ? " (the link " + port + " in this folder)"
            : r->How == ComResolution::NthPort
                ? " (serial port " + std::to_string(r->Number) + " of " + std::to_string(r->PortsFound) +
                      " of this machine)"
                : "");
}

PlatformHelpText PlatformHelp() {
    return {
        "  ports           show what COM1..COM4 stand for here, and the serial ports\n",
        R"(  -p, --port PORT     COM1..COM4, a device path such as /dev/ttyUSB0, or sim
                      (a simulated target inside this process); several
                      (-p COM1 -p COM2, or -p COM1,COM2): one board each, all
                      at once, every line prefixed with its port
      --sim-flash FILE  with --port sim: keep the simulated flash in FILE
)",
        "terminal",
        "128 +\nsignal when stopped by Ctrl-C (130), SIGTERM (143) or SIGHUP (129).\n",
    };
}

}  // namespace pelk

// pelkisp's system calls on Linux and other POSIX systems.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli_platform.h"

namespace pelk {

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

bool IsTerminal(std::FILE* Stream) { return ::isatty(fileno(Stream)) == 1; }

int TerminalColumns(std::FILE* Stream) {
    winsize ws{};
    if (::ioctl(fileno(Stream), TIOCGWINSZ, &ws) == 0) return ws.ws_col;
    return 0;
}

bool SameFile(const std::string& A, const std::string& B) {
    struct stat sa {}, sb {};
    return ::stat(A.c_str(), &sa) == 0 && ::stat(B.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::FILE* OpenOutputText(const std::string& Path) { return std::fopen(Path.c_str(), "we"); }

}  // namespace pelk

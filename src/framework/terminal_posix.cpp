#include "framework/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace pelk {

bool IsTerminal(int Fd) { return isatty(Fd) == 1; }

int TerminalColumns(int Fd) {
    winsize ws{};
    if (ioctl(Fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 0;
}

bool TerminalTakesEscapeCodes(int) {
    const char* term = std::getenv("TERM");
    return term != nullptr && std::strcmp(term, "dumb") != 0;
}

}  // namespace pelk

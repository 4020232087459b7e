#include "framework/terminal.h"

#include <io.h>

#include <cstdlib>
#include <cstring>

#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace pelk {

namespace {

HANDLE ConsoleOf(int Fd) {
    const intptr_t h = _get_osfhandle(Fd);
    if (h == -1) return nullptr;
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(h), &mode) ? reinterpret_cast<HANDLE>(h) : nullptr;
}

}  // namespace

bool IsTerminal(int Fd) { return ConsoleOf(Fd) != nullptr; }

int TerminalColumns(int Fd) {
    const HANDLE console = ConsoleOf(Fd);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!console || !GetConsoleScreenBufferInfo(console, &info)) return 0;
    // The window's width, not the buffer's (which may be far wider).
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 0;
}

bool TerminalTakesEscapeCodes(int Fd) {
    if (const char* term = std::getenv("TERM"); term && std::strcmp(term, "dumb") == 0) return false;
    const HANDLE console = ConsoleOf(Fd);
    DWORD mode = 0;
    if (!console || !GetConsoleMode(console, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // Consoles before Windows 10 refuse the flag: no escape codes then.
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace pelk

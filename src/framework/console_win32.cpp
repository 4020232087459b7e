#include "framework/console_win32.h"

#include <io.h>

#include <cstdlib>
#include <cstring>

#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace pelk::win32 {

namespace {

// The console handle behind Fd, nullptr when there is none.
HANDLE ConsoleOf(int Fd) {
    const intptr_t h = _get_osfhandle(Fd);
    if (h == -1 || h == -2) return nullptr;
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(h), &mode) ? reinterpret_cast<HANDLE>(h) : nullptr;
}

// The console whose mode this program changed, and the mode it had: put
// back at exit, since the console (and its mode) outlives the program and
// goes back to the shell that started it.
HANDLE ChangedConsole = nullptr;
DWORD OriginalMode = 0;

void RestoreConsoleMode() {
    if (ChangedConsole) SetConsoleMode(ChangedConsole, OriginalMode);
}

}  // namespace

bool IsConsole(int Fd) { return ConsoleOf(Fd) != nullptr; }

int ConsoleColumns(int Fd) {
    const HANDLE console = ConsoleOf(Fd);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!console || !GetConsoleScreenBufferInfo(console, &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 0;
}

bool EnableEscapeCodes(int Fd) {
    if (const char* term = std::getenv("TERM"); term && std::strcmp(term, "dumb") == 0) return false;
    const HANDLE console = ConsoleOf(Fd);
    DWORD mode = 0;
    if (!console || !GetConsoleMode(console, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    if (!SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
    if (!ChangedConsole) {
        ChangedConsole = console;
        OriginalMode = mode;
        std::atexit(RestoreConsoleMode);
    }
    return true;
}

}  // namespace pelk::win32

#include "framework/console_win32.h"

#include <io.h>

#include <algorithm>
#include <string>

#include <windows.h>

#include "framework/text_win32.h"

namespace pelk::win32 {

namespace {

// The console handle behind Fd, nullptr when there is none.
HANDLE ConsoleOf(int Fd) {
    const intptr_t h = _get_osfhandle(Fd);
    if (h == -1 || h == -2) return nullptr;
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(h), &mode) ? reinterpret_cast<HANDLE>(h) : nullptr;
}

// Blanks Count cells from At on, across rows; the cursor stays.
void Blank(HANDLE Console, COORD At, DWORD Count) {
    DWORD done = 0;
    if (Count > 0) FillConsoleOutputCharacterW(Console, L' ', Count, At, &done);
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

bool RewriteConsoleRow(int Fd, std::string_view Text) {
    const HANDLE console = ConsoleOf(Fd);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!console || !GetConsoleScreenBufferInfo(console, &info)) return false;
    SetConsoleCursorPosition(console, COORD{0, info.dwCursorPosition.Y});
    const std::wstring wide = WideFromUtf8(Text);
    DWORD written = 0;
    if (!wide.empty()) WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    // The rest of the row, from where the text ended.
    if (GetConsoleScreenBufferInfo(console, &info))
        Blank(console, info.dwCursorPosition, static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X));
    return true;
}

bool EraseConsoleRows(int Fd, int Count) {
    const HANDLE console = ConsoleOf(Fd);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!console || !GetConsoleScreenBufferInfo(console, &info)) return false;
    const SHORT top = static_cast<SHORT>(std::max(0, info.dwCursorPosition.Y - Count));
    const SHORT bottom = std::max(info.srWindow.Bottom, info.dwCursorPosition.Y);
    Blank(console, COORD{0, top}, static_cast<DWORD>(bottom - top + 1) * static_cast<DWORD>(info.dwSize.X));
    SetConsoleCursorPosition(console, COORD{0, top});
    return true;
}

}  // namespace pelk::win32

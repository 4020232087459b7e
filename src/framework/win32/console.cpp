#include "framework/win32/console.h"

#include <io.h>

#include <algorithm>
#include <string>

#include <windows.h>

#include "framework/win32/text.h"

namespace pelk::win32 {

namespace {

// The console handle behind Fd, nullptr when there is none.
HANDLE ConsoleOf(int Fd) {
    const intptr_t h = _get_osfhandle(Fd);
    if (h == -1 || h == -2) return nullptr;
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(h), &mode) ? reinterpret_cast<HANDLE>(h) : nullptr;
}

// In pieces that older consoles take (their buffer for a call is 64 KiB),
// never between the two halves of a surrogate pair.
bool WriteWide(HANDLE Console, std::string_view Text) {
    const std::wstring wide = WideFromUtf8(Text);
    for (size_t done = 0; done < wide.size();) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 8192));
        if (chunk > 1 && IS_HIGH_SURROGATE(wide[done + chunk - 1])) --chunk;
        if (!WriteConsoleW(Console, wide.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
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

bool WriteConsoleText(int Fd, std::string_view Text) {
    const HANDLE console = ConsoleOf(Fd);
    return console && WriteWide(console, Text);
}

bool RewriteConsoleRow(int Fd, std::string_view Text) {
    const HANDLE console = ConsoleOf(Fd);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!console || !GetConsoleScreenBufferInfo(console, &info)) return false;
    SetConsoleCursorPosition(console, COORD{0, info.dwCursorPosition.Y});
    WriteWide(console, Text);
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

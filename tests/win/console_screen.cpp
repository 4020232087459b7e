// pelk_console_screen.exe SCREEN PROGRAM [ARGUMENT...]: runs PROGRAM on this
// console, then writes the console's rows, top to cursor, without trailing
// blanks, in UTF-8 to the file SCREEN; exits with PROGRAM's status (120 and
// up: its own failure). No argument may hold a blank or a quote.
#include <process.h>

#include <cstdio>
#include <string>

#include <windows.h>

#include "framework/win32/text.h"

int wmain(int argc, wchar_t** argv) {
    const intptr_t status = argc < 3 ? -1 : _wspawnv(_P_WAIT, argv[2], argv + 2);
    if (status < 0) return 120;
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console, &info)) return 121;
    std::string screen;
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        std::wstring row(static_cast<size_t>(info.dwSize.X), L' ');
        DWORD n = 0;
        ReadConsoleOutputCharacterW(console, row.data(), static_cast<DWORD>(row.size()), COORD{0, y}, &n);
        row.erase(row.find_last_not_of(L' ') + 1);
        screen += pelk::win32::Utf8FromWide(row) + "\n";
    }
    FILE* file = _wfopen(argv[1], L"wb");
    const bool written = file && std::fwrite(screen.data(), 1, screen.size(), file) == screen.size();
    return file && std::fclose(file) == 0 && written ? static_cast<int>(status) : 122;
}

// pelk_console_screen.exe SCREEN PROGRAM [ARGUMENT...]
//
// Runs PROGRAM on this program's console, from a blank screen, and when it
// has ended writes what the console shows to the file SCREEN: its rows from
// the top to the cursor's, in UTF-8, without their trailing blanks, one per
// line. Exits with PROGRAM's exit status (120 and up: this program failed).
// The tests of pelkisp.exe run it under wine on a terminal (script(1)),
// where wine gives it a console. Arguments are quoted as they are passed on;
// one that holds a double quote or ends in a backslash is not supported.
#include <cstdio>
#include <string>

#include <windows.h>

#include "framework/text_win32.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 120;
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (console == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(console, &info)) return 121;
    DWORD done = 0;
    FillConsoleOutputCharacterW(console, L' ', static_cast<DWORD>(info.dwSize.X * info.dwSize.Y), COORD{0, 0}, &done);
    SetConsoleCursorPosition(console, COORD{0, 0});

    std::wstring command;
    for (int i = 2; i < argc; ++i) command += std::wstring(i > 2 ? L" \"" : L"\"") + argv[i] + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 122;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);

    if (!GetConsoleScreenBufferInfo(console, &info)) return 123;
    std::string screen;
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        std::wstring row(static_cast<size_t>(info.dwSize.X), L' ');
        DWORD got = 0;
        ReadConsoleOutputCharacterW(console, row.data(), static_cast<DWORD>(row.size()), COORD{0, y}, &got);
        row.resize(got);
        row.erase(row.find_last_not_of(L' ') + 1);
        screen += pelk::win32::Utf8FromWide(row) + "\n";
    }
    FILE* file = _wfopen(argv[1], L"wb");
    if (!file || std::fwrite(screen.data(), 1, screen.size(), file) != screen.size() || std::fclose(file) != 0)
        return 124;
    return static_cast<int>(status);
}

// pelkisp's system calls on Windows.
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "cli/cli_platform.h"
#include "framework/win32/console.h"
#include "framework/output_file.h"
#include "framework/utf8_path.h"
#include "serial/port_list.h"

// After the project's headers: <windows.h> defines macros of names the
// serial constants also use (with the same values).
#include <windows.h>

namespace pelk {

// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails
// with an error of its own already.
void IgnoreBrokenPipe() {}

// What the C library holds for the stream goes out first.
bool WriteText(std::FILE* stream, const std::string& text) {
    if (!win32::IsConsole(_fileno(stream))) return std::fputs(text.c_str(), stream) >= 0;
    return std::fflush(stream) == 0 && win32::WriteConsoleText(_fileno(stream), text);
}

// A console, not what the C library's isatty says: it calls NUL a terminal.
bool IsTerminal(std::FILE* stream) { return win32::IsConsole(_fileno(stream)); }

int TerminalColumns(std::FILE* stream) { return win32::ConsoleColumns(_fileno(stream)); }

int TerminalRows(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (!win32::IsConsole(_fileno(stream)) || !GetConsoleScreenBufferInfo(h, &info)) return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

// With the console's own calls, not escape codes: wine's console and those
// before Windows 10 show escape codes as text. TERM=dumb still asks for
// plain lines.
bool TerminalRedrawsInPlace(std::FILE* stream) {
    const char* term = std::getenv("TERM");
    return win32::IsConsole(_fileno(stream)) && !(term && std::strcmp(term, "dumb") == 0);
}

// What the C library holds for the stream goes out first, so that the
// console's calls act after it.
void RewriteTerminalLine(std::FILE* stream, const std::string& line) {
    std::fflush(stream);
    if (!win32::RewriteConsoleRow(_fileno(stream), line)) std::fprintf(stream, "\r%s", line.c_str());
}

void EraseTerminalLines(std::FILE* stream, size_t count) {
    std::fflush(stream);
    win32::EraseConsoleRows(_fileno(stream), static_cast<int>(count));
}

// Names are UTF-8: the wide calls take every name, also one outside the
// ANSI code page.
bool SameFile(const std::string& one, const std::string& other) {
    auto identify = [](const std::string& name, BY_HANDLE_FILE_INFORMATION& info) {
        const HANDLE h = CreateFileW(PathFromUtf8(name).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool ok = GetFileInformationByHandle(h, &info) != 0;
        CloseHandle(h);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    return identify(one, a) && identify(other, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// "N": not inherited by child processes. Text mode: lines end in CR LF, as
// Windows programs read them.
bool NameOneFile(const std::string& one, const std::string& other) {
    if (SameFile(one, other)) return true;
    std::error_code ea, eb;
    const std::filesystem::path a = std::filesystem::weakly_canonical(PathFromUtf8(one), ea);
    const std::filesystem::path b = std::filesystem::weakly_canonical(PathFromUtf8(other), eb);
    return !ea && !eb && a == b;
}

std::FILE* OpenOutputText(const std::string& path, std::string& why) {
    const int fd = path == "-" ? _dup(1) : OpenOutputStream(PathFromUtf8(path), why);
    if (fd < 0) {
        if (path == "-") why = "standard output: " + std::string(std::strerror(errno));
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) {
        why = path + ": " + std::strerror(errno);
        _close(fd);
    }
    return f;
}

// The name the system opens the port by.
std::string PortNameNote(const std::string& port, const std::string& path) {
    return "port " + port + " (" + SystemPortName(path.empty() ? port : path) + ")";
}

// No pseudo-terminals, so no --port sim; COMn is the system's own name; a
// stop comes from the console (Ctrl-C or Ctrl-Break, closing it, log-off).
PlatformHelpText PlatformHelp() {
    return {
        "  ports           list the serial ports of this machine and their devices\n",
        R"(  -p, --port PORT     a serial port by the system's name, COM1 to COM256, as
                      `pelkisp ports` lists them, or \\.\NAME for a port with
                      another name; several (-p COM1 -p COM2, or -p COM1,COM2):
                      one board each, all at once, every line prefixed with its
                      port
)",
        "console",
        "130\nwhen stopped by Ctrl-C or Ctrl-Break, 129 when its console is closed, 143 at\n"
        "log-off or shut-down.\n",
    };
}

}  // namespace pelk

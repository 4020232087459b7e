// pelkisp's system calls on Windows.
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli/cli_platform.h"
#include "framework/console_win32.h"
#include "framework/output_file.h"
#include "serial/win32/port_list.h"
#include "serial/win32/serial_device.h"

// After the project's headers: <windows.h> defines macros of names the
// serial constants also use (with the same values).
#include <windows.h>

namespace pelk {

// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails
// with an error of its own already.
void IgnoreBrokenPipe() {}

// A console, not what the C library's isatty says: it calls NUL a terminal.
bool IsTerminal(std::FILE* Stream) { return win32::IsConsole(_fileno(Stream)); }

int TerminalColumns(std::FILE* Stream) { return win32::ConsoleColumns(_fileno(Stream)); }

int TerminalRows(std::FILE* Stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(Stream)));
    if (!win32::IsConsole(_fileno(Stream)) || !GetConsoleScreenBufferInfo(h, &info)) return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

bool TerminalTakesEscapeCodes(std::FILE* Stream) { return win32::EnableEscapeCodes(_fileno(Stream)); }

bool SameFile(const std::string& A, const std::string& B) {
    auto identify = [](const std::string& Name, BY_HANDLE_FILE_INFORMATION& Info) {
        const HANDLE h = CreateFileA(Name.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool ok = GetFileInformationByHandle(h, &Info) != 0;
        CloseHandle(h);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    return identify(A, a) && identify(B, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// "N": not inherited by child processes. Text mode: lines end in CR LF, as
// Windows programs read them.
bool NameOneFile(const std::string& A, const std::string& B) {
    if (SameFile(A, B)) return true;
    std::error_code ea, eb;
    const std::filesystem::path a = std::filesystem::weakly_canonical(A, ea), b = std::filesystem::weakly_canonical(B, eb);
    return !ea && !eb && a == b;
}

std::FILE* OpenOutputText(const std::string& Path, std::string& Why) {
    const int fd = Path == "-" ? _dup(1) : OpenOutputStream(Path, Why);
    if (fd < 0) {
        if (Path == "-") Why = "standard output: " + std::string(std::strerror(errno));
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "wb");
    if (!f) {
        Why = Path + ": " + std::strerror(errno);
        _close(fd);
    }
    return f;
}


std::vector<std::string> SerialPortLines() { return win32::PortListLines(); }

// A COMn name is the system's own: a port of this machine when the system
// lists it. Any other name (\\.\CNCA0 of a virtual port driver) is opened
// as it is given.
std::string PortDevice(const std::string& Name) {
    if (win32::ComPortNumber(Name) == 0) return Name;
    for (const win32::SerialPortEntry& p : win32::DescribeSerialPorts())
        if (win32::ComPortNumber(p.Name) == win32::ComPortNumber(Name)) return Name;
    return "";
}

std::string PortNameNote(const std::string& Port, const std::string& Path) {
    return "port " + Port + " (" + win32::SystemDeviceName(Path.empty() ? Port : Path) + ")";
}

std::string PlatformHelp() {
    return R"(
On Windows: PORT is the system's name of a serial port, COM1 to COM256, as
`pelkisp ports` lists them (or \\.\NAME for a port with another name);
--port sim is not available (the simulated target needs a pseudo-terminal).
)";
}

}  // namespace pelk

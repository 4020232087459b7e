// The results log on Windows: a handle opened for appending, and a lock on
// one byte far beyond the end while the header is decided and while a line
// goes out.
#include "cli/results_log.h"

#include <ctime>

#include <windows.h>

#include "framework/win32/error_text.h"

namespace pelk {

bool UtcOffset(std::time_t when, long& offset) {
    std::tm local{};
    if (localtime_s(&local, &when) != 0) return false;
    // The local fields read as if they were UTC, less the real instant.
    const std::time_t asUtc = _mkgmtime(&local);
    if (asUtc == static_cast<std::time_t>(-1)) return false;
    offset = static_cast<long>(asUtc - when);
    return true;
}

namespace {

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

std::wstring Wide(const std::string& text, bool& ok) {
    ok = true;
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    if (n <= 0) {
        ok = false;
        return {};
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

// Why `name` could not be opened, in the user's terms.
std::string OpenFailure(const std::wstring& name, const std::string& path, DWORD error) {
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "it is a folder";
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return "the file is write-protected";
    if (error == ERROR_PATH_NOT_FOUND) {
        const size_t slash = path.find_last_of("/\\");
        if (slash != std::string::npos && slash > 0) return "the folder " + path.substr(0, slash) + " does not exist";
    }
    return win32::SystemErrorText(error);
}

// Writes `text` at the end of the file: one WriteFile of the whole line, at
// the offset that stands for "the end, whatever it is then".
std::string WriteLine(HANDLE h, const std::string& text, bool atEnd) {
    size_t done = 0;
    int pieces = 0;
    while (done < text.size()) {
        OVERLAPPED at{};
        if (atEnd) at.Offset = at.OffsetHigh = 0xFFFFFFFF;
        DWORD written = 0;
        if (!WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                       atEnd ? &at : nullptr))
            return LineWriteOutcome(done, text.size(), pieces, win32::SystemErrorText(GetLastError()));
        if (written == 0) return "nothing could be written";
        done += written;
        ++pieces;
    }
    return LineWriteOutcome(done, text.size(), pieces, "");
}

// Cuts the file back to `size` through a new handle with write access.
// False where that access is not given (a log others may only append to).
bool CutBack(HANDLE h, LARGE_INTEGER size) {
    const HANDLE writer = ReOpenFile(h, FILE_WRITE_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (writer == INVALID_HANDLE_VALUE) return false;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile = size;
    const bool cut = SetFileInformationByHandle(writer, FileEndOfFileInfo, &end, sizeof end) != 0;
    CloseHandle(writer);
    return cut;
}

// False when the file has a first line other than the log's header. A file
// this program may only append to is taken as it is.
bool FirstLineIsHeader(HANDLE h) {
    std::string start(ResultsLogHeader().size() + 2, '\0');
    OVERLAPPED at{};
    DWORD got = 0;
    if (!ReadFile(h, start.data(), static_cast<DWORD>(start.size()), &got, &at)) return true;
    start.resize(got);
    return StartsWithResultsLogHeader(start);
}

// Pushes what was written to the disk.
std::string Sync(HANDLE h) { return FlushFileBuffers(h) ? "" : win32::SystemErrorText(GetLastError()); }

// One byte far beyond any real log, locked while the header is checked and
// written and while a line is appended: Windows locks keep others from that
// range's I/O, and nobody writes there. Appending through a handle without
// write access is one step on Windows itself, but not everywhere the
// program runs (wine appends by finding the end and writing there), so the
// programs sharing a log take turns.
constexpr DWORD TurnLockHigh = 0x7FFFFFFF;
constexpr DWORD TurnLockLow = 0xFFFFFFFE;

bool TakeTurn(HANDLE h) {
    OVERLAPPED region{};
    region.Offset = TurnLockLow;
    region.OffsetHigh = TurnLockHigh;
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region) != 0;
}

void EndTurn(HANDLE h) {
    OVERLAPPED region{};
    region.Offset = TurnLockLow;
    region.OffsetHigh = TurnLockHigh;
    UnlockFileEx(h, 0, 1, 0, &region);
}

}  // namespace

std::string ResultsLog::Open(const std::string& path) {
    Close();
    if (path.empty()) return "no file name given";
    if (path == "-") {
        // Standard output, as it is: a pipe, a file or the console.
        HANDLE out = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(), &out, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return win32::SystemErrorText(GetLastError());
        Handle = out;
        OnDisk = false;
        return "";
    }
    bool ok = false;
    const std::wstring name = Wide(path, ok);
    if (!ok) return "the name is not valid UTF-8";
    // Append access without write access: every write goes to the end of
    // the file, also when other programs append at the same time. Read
    // access, because a lock needs it.
    HANDLE h = CreateFileW(name.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A log others may only append to: try again without reading.
        const DWORD first = GetLastError();
        if (first == ERROR_ACCESS_DENIED)
            h = CreateFileW(name.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return OpenFailure(name, path, first);
    }
    // A console or a serial port named as the log would get the lines on
    // its screen or line (NUL, also a device, is fine).
    DWORD mode = 0;
    COMMPROP comm{};
    if (GetFileType(h) == FILE_TYPE_CHAR && (GetConsoleMode(h, &mode) || GetCommProperties(h, &comm))) {
        CloseHandle(h);
        return "it is a terminal or a serial port, not a file";
    }
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;
    if (disk) {
        // "Empty, so the header goes first" is decided and done by one
        // program at a time.
        const bool locked = TakeTurn(h);
        std::string failure;
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(h, &size)) {
            failure = win32::SystemErrorText(GetLastError());
        } else if (size.QuadPart == 0) {
            failure = WriteLine(h, ResultsLogHeader() + "\n", true);
            if (failure.empty()) failure = Sync(h);
        } else if (!FirstLineIsHeader(h)) {
            // Never CSV lines at the end of firmware or of some other file.
            failure = "it is not a results log: its first line is not the log's header";
        }
        if (locked) EndTurn(h);
        if (!failure.empty()) {
            CloseHandle(h);
            return failure;
        }
    }
    Handle = h;
    OnDisk = disk;
    return "";
}

std::string ResultsLog::Append(const ResultsLogRecord& record) {
    if (!Handle) return "the results log is not open";
    const HANDLE h = AsHandle(Handle);
    const std::string line = FormatResultsLogLine(record) + "\n";
    // Only a file on a disk is shared by turns and flushed to its disk; a
    // pipe or the console has neither.
    const bool locked = OnDisk && TakeTurn(h);
    LARGE_INTEGER before{};
    const bool sized = OnDisk && GetFileSizeEx(h, &before);
    std::string failure = WriteLine(h, line, OnDisk);
    // A line that goes out only in part (a full disk) is cut off again, so
    // that the next line does not start in the middle of it; the turn keeps
    // other programs' lines out until then. The handle may only append: the
    // cut takes a second handle with write access to the same file.
    if (!failure.empty() && sized && !CutBack(h, before)) failure += "; the part written is left in the file";
    if (locked) EndTurn(h);
    if (failure.empty() && OnDisk) failure = Sync(h);
    return failure;
}

bool ResultsLog::IsOpen() const { return Handle != nullptr; }

void ResultsLog::Close() {
    if (Handle) CloseHandle(AsHandle(Handle));
    Handle = nullptr;
    OnDisk = false;
}

}  // namespace pelk

#include "cli/results_log.h"

#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <windows.h>

#include "serial/win32/platform_error.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "framework/output_file.h"
#endif

namespace pelk {

namespace {

// A CSV field: as it is, or quoted with its quotes doubled when it holds a
// comma, a quote or a line break.
void AppendField(std::string& Line, const std::string& Field) {
    if (!Line.empty()) Line += ',';
    if (Field.find_first_of(",\"\r\n") == std::string::npos) {
        Line += Field;
        return;
    }
    Line += '"';
    for (char c : Field) {
        if (c == '"') Line += '"';
        Line += c;
    }
    Line += '"';
}

std::string Hex4(uint16_t Value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(Value));
    return text;
}

// The offset of local time from UTC at T, in seconds.
bool UtcOffset(std::time_t T, long& Offset) {
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &T) != 0) return false;
    // The local fields read as if they were UTC, less the real instant.
    const std::time_t asUtc = _mkgmtime(&local);
    if (asUtc == static_cast<std::time_t>(-1)) return false;
    Offset = static_cast<long>(asUtc - T);
#else
    if (!localtime_r(&T, &local)) return false;
    Offset = local.tm_gmtoff;
#endif
    return true;
}

}  // namespace

std::string ResultsLogHeader() {
    return "time,port,device,chip,file,crc,checksum,bytes,steps,result,duration_ms,exit_status";
}

std::string FormatResultsLogLine(const ResultsLogRecord& R) {
    // The time comes first and never needs quotes.
    std::string line = Iso8601WithOffset(R.When);
    AppendField(line, R.Port);
    AppendField(line, R.Device);
    AppendField(line, R.Chip);
    AppendField(line, R.File);
    AppendField(line, Hex4(R.Crc));
    AppendField(line, Hex4(R.Checksum));
    AppendField(line, std::to_string(R.Bytes));
    AppendField(line, R.Steps);
    AppendField(line, R.Result);
    AppendField(line, std::to_string(R.DurationMs));
    AppendField(line, std::to_string(R.ExitStatus));
    return line;
}

std::string Iso8601WithOffset(std::chrono::system_clock::time_point T) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(T);
    const auto seconds = floor<std::chrono::seconds>(ms);
    // Only the offset comes from the C runtime; the calendar fields are
    // worked out here, so an instant the runtime cannot convert (Windows
    // has nothing before 1970) is still shown, in UTC.
    long offset = 0;
    if (!UtcOffset(static_cast<std::time_t>(seconds.time_since_epoch().count()), offset)) offset = 0;
    // ISO 8601 has offsets in whole minutes; the old local mean times of
    // some zones had seconds too. The fields shown go with the offset shown.
    offset = offset / 60 * 60;
    const auto shifted = seconds + std::chrono::seconds(offset);
    const auto day = floor<days>(shifted);
    const year_month_day date(day);
    const hh_mm_ss<std::chrono::seconds> time(shifted - day);
    const char sign = offset < 0 ? '-' : '+';
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03d%c%02ld:%02ld", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>((ms - seconds).count()), sign,
                  minutes / 60, minutes % 60);
    return text;
}

ResultsLog::~ResultsLog() { Close(); }

#ifndef _WIN32

namespace {

// Why Path could not be opened, in the words of every file message.
std::string OpenFailure(const std::string& Path, int Error) { return FileProblem(Path, Error); }

// False when the file open on Fd has a first line other than the log's
// header. A file this user may not read is given the benefit of the doubt.
bool FirstLineIsHeader(int Fd) {
    const int in = ::open(("/proc/self/fd/" + std::to_string(Fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return true;
    const std::string header = ResultsLogHeader();
    std::string start(header.size() + 2, '\0');
    const ssize_t n = ::pread(in, start.data(), start.size(), 0);
    ::close(in);
    if (n < 0) return true;
    start.resize(static_cast<size_t>(n));
    return start.rfind(header + "\n", 0) == 0 || start == header + "\r\n";
}

// Writes Text at the end of Fd, in one write when the system takes it
// whole (always, for a regular file with room on its disk). SIGPIPE is
// held back while writing, so that a pipe or FIFO whose reader has gone
// is reported as an error instead of ending the program. Returns "" or
// why it failed.
std::string WriteLine(int Fd, const std::string& Text) {
    sigset_t pipeSignal, pending, old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigemptyset(&pending);
    sigpending(&pending);
    const bool pipeWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);

    std::string failure;
    size_t done = 0;
    int pieces = 0;
    while (done < Text.size()) {
        const ssize_t n = ::write(Fd, Text.data() + done, Text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            ++pieces;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // A descriptor shared with a program that made it non-blocking.
            pollfd p{Fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) {
                failure = std::strerror(errno);
                break;
            }
        } else {
            const int error = n < 0 ? errno : EIO;
            if (error == EPIPE && !pipeWasPending) {
                // Take back the SIGPIPE this write raised, so it does not
                // arrive once the mask is restored.
                timespec none{};
                sigtimedwait(&pipeSignal, nullptr, &none);
            }
            failure = error == EPIPE ? "no program is reading from it any more" : std::strerror(error);
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!failure.empty()) {
        return done > 0 ? "the line was written only in part (" + std::to_string(done) + " of " +
                              std::to_string(Text.size()) + " bytes): " + failure
                        : failure;
    }
    if (pieces > 1) {
        return "the line went out in " + std::to_string(pieces) +
               " pieces (short writes); it may be mixed with lines of other programs";
    }
    return "";
}

// Pushes what was written to the disk. A pipe, FIFO or terminal cannot be
// synchronised (EINVAL); that is no failure of the log.
std::string Sync(int Fd) {
    while (::fsync(Fd) != 0) {
        if (errno == EINTR) continue;
        if (errno == EINVAL || errno == EOPNOTSUPP || errno == ENOTSUP) return "";
        return std::strerror(errno);
    }
    return "";
}

}  // namespace

std::string ResultsLog::Open(const std::string& Path) {
    Close();
    if (Path.empty()) return "no file name given";
    int fd = -1;
    const int own = Path == "-" ? 1 : OwnDescriptor(Path);  // "-" is standard output
    if (own >= 0) {
        fd = ::fcntl(own, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) return errno == EBADF ? "the program has no such open file" : std::strerror(errno);
        // Written to as the program's own output is: at its position, or at
        // the end if it was opened for appending.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) {
            ::close(fd);
            return "it is open for reading only";
        }
    } else {
        // Not blocking in open: a FIFO without a reader fails at once
        // instead of waiting for one.
        do {
            fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return OpenFailure(Path, errno);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }

    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const std::string failure = std::strerror(errno);
        ::close(fd);
        return failure;
    }
    // A terminal or a serial port named as the log would get the lines on
    // its screen or line; the program's own output may be one.
    if (own < 0 && ::isatty(fd) == 1) {
        ::close(fd);
        return "it is a terminal or a serial port, not a file";
    }
    // The permission bits decide, also for root, who may write a file.
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
        ::close(fd);
        return "the file is write-protected";
    }
    if (S_ISREG(st.st_mode)) {
        // "Empty, so the header goes first" is decided and done by one
        // process at a time: of two processes creating the log together,
        // the second finds the first one's header.
        int locked;
        do {
            locked = ::flock(fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        std::string failure;
        if (locked != 0 && errno != ENOLCK && errno != EOPNOTSUPP) {
            failure = std::string("it cannot be locked: ") + std::strerror(errno);
        } else if (::fstat(fd, &st) != 0) {
            failure = std::strerror(errno);
        } else if (st.st_size == 0) {
            failure = WriteLine(fd, ResultsLogHeader() + "\n");
            if (failure.empty()) failure = Sync(fd);
            if (!failure.empty() && ::ftruncate(fd, 0) != 0) failure += "; the header is left in part";
        } else if (!FirstLineIsHeader(fd)) {
            // Never CSV lines at the end of firmware or of some other file.
            failure = "it is not a results log: its first line is not the log's header";
        }
        if (locked == 0) ::flock(fd, LOCK_UN);
        if (!failure.empty()) {
            ::close(fd);
            return failure;
        }
    }
    Fd = fd;
    return "";
}

std::string ResultsLog::Append(const ResultsLogRecord& R) {
    if (Fd < 0) return "the results log is not open";
    struct stat st {};
    const bool regular = ::fstat(Fd, &st) == 0 && S_ISREG(st.st_mode);
    // A line that goes out only in part (a full disk) is cut off again, so
    // that the next line does not start in the middle of it. The lock keeps
    // other programs' lines out between the end found and the cut.
    int locked = -1;
    if (regular) {
        do {
            locked = ::flock(Fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
    }
    const off_t before = regular && ::fstat(Fd, &st) == 0 ? st.st_size : -1;
    std::string failure = WriteLine(Fd, FormatResultsLogLine(R) + "\n");
    if (!failure.empty() && before >= 0 && ::ftruncate(Fd, before) != 0)
        failure += "; the part written is left in the file";
    if (locked == 0) ::flock(Fd, LOCK_UN);
    if (failure.empty()) failure = Sync(Fd);
    return failure;
}

bool ResultsLog::IsOpen() const { return Fd >= 0; }

void ResultsLog::Close() {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
}

#else  // _WIN32

namespace {

HANDLE AsHandle(void* H) { return static_cast<HANDLE>(H); }

std::wstring Wide(const std::string& Text, bool& Ok) {
    Ok = true;
    if (Text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Text.data(), static_cast<int>(Text.size()),
                                      nullptr, 0);
    if (n <= 0) {
        Ok = false;
        return {};
    }
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Text.data(), static_cast<int>(Text.size()), wide.data(), n);
    return wide;
}

std::string SystemText(DWORD Code) { return win32::PlatformErrorText(static_cast<int>(Code)); }

// Why Name could not be opened, in the user's terms.
std::string OpenFailure(const std::wstring& Name, const std::string& Path, DWORD Error) {
    const DWORD attributes = GetFileAttributesW(Name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "it is a folder";
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return "the file is write-protected";
    if (Error == ERROR_PATH_NOT_FOUND) {
        const size_t slash = Path.find_last_of("/\\");
        if (slash != std::string::npos && slash > 0) return "the folder " + Path.substr(0, slash) + " does not exist";
    }
    return SystemText(Error);
}

// Writes Text at the end of the file: one WriteFile of the whole line, at
// the offset that stands for "the end, whatever it is then".
std::string WriteLine(HANDLE H, const std::string& Text, bool AtEnd) {
    size_t done = 0;
    int pieces = 0;
    while (done < Text.size()) {
        OVERLAPPED at{};
        if (AtEnd) at.Offset = at.OffsetHigh = 0xFFFFFFFF;
        DWORD written = 0;
        if (!WriteFile(H, Text.data() + done, static_cast<DWORD>(Text.size() - done), &written,
                       AtEnd ? &at : nullptr)) {
            const std::string failure = SystemText(GetLastError());
            return done > 0 ? "the line was written only in part (" + std::to_string(done) + " of " +
                                  std::to_string(Text.size()) + " bytes): " + failure
                            : failure;
        }
        if (written == 0) return "nothing could be written";
        done += written;
        ++pieces;
    }
    if (pieces > 1) {
        return "the line went out in " + std::to_string(pieces) +
               " pieces (short writes); it may be mixed with lines of other programs";
    }
    return "";
}

// One byte far beyond any real log, locked while the header is checked and
// written and while a line is appended: Windows locks keep others from that
// range's I/O, and nobody writes there. Appending through a handle without
// write access is one step on Windows itself, but not everywhere the
// program runs (wine appends by finding the end and writing there), so the
// programs sharing a log take turns.
constexpr DWORD TurnLockHigh = 0x7FFFFFFF;
constexpr DWORD TurnLockLow = 0xFFFFFFFE;

bool TakeTurn(HANDLE H) {
    OVERLAPPED region{};
    region.Offset = TurnLockLow;
    region.OffsetHigh = TurnLockHigh;
    return LockFileEx(H, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region) != 0;
}

void EndTurn(HANDLE H) {
    OVERLAPPED region{};
    region.Offset = TurnLockLow;
    region.OffsetHigh = TurnLockHigh;
    UnlockFileEx(H, 0, 1, 0, &region);
}

}  // namespace

std::string ResultsLog::Open(const std::string& Path) {
    Close();
    if (Path.empty()) return "no file name given";
    if (Path == "-") {
        // Standard output, as it is: a pipe, a file or the console.
        HANDLE out = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(), &out, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return SystemText(GetLastError());
        Handle = out;
        OnDisk = false;
        return "";
    }
    bool ok = false;
    const std::wstring name = Wide(Path, ok);
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
        if (h == INVALID_HANDLE_VALUE) return OpenFailure(name, Path, first);
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
            failure = SystemText(GetLastError());
        } else if (size.QuadPart == 0) {
            failure = WriteLine(h, ResultsLogHeader() + "\n", true);
            if (failure.empty() && !FlushFileBuffers(h)) failure = SystemText(GetLastError());
        } else {
            // Never CSV lines at the end of firmware or of some other file. A
            // log this program may only append to is taken as it is.
            const std::string header = ResultsLogHeader();
            std::string start(header.size() + 2, '\0');
            OVERLAPPED at{};
            DWORD got = 0;
            if (ReadFile(h, start.data(), static_cast<DWORD>(start.size()), &got, &at)) {
                start.resize(got);
                if (start.rfind(header + "\n", 0) != 0 && start != header + "\r\n")
                    failure = "it is not a results log: its first line is not the log's header";
            }
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

std::string ResultsLog::Append(const ResultsLogRecord& R) {
    if (!Handle) return "the results log is not open";
    const HANDLE h = AsHandle(Handle);
    const std::string line = FormatResultsLogLine(R) + "\n";
    // Only a file on a disk is shared by turns and flushed to its disk; a
    // pipe or the console has neither.
    const bool locked = OnDisk && TakeTurn(h);
    std::string failure = WriteLine(h, line, OnDisk);
    if (locked) EndTurn(h);
    if (failure.empty() && OnDisk && !FlushFileBuffers(h)) failure = SystemText(GetLastError());
    return failure;
}

bool ResultsLog::IsOpen() const { return Handle != nullptr; }

void ResultsLog::Close() {
    if (Handle) CloseHandle(AsHandle(Handle));
    Handle = nullptr;
    OnDisk = false;
}

#endif

}  // namespace pelk

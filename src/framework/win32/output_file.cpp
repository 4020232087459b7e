// The one way the programs write a file, on Windows. The rule is the same
// as on Linux, in the system's own terms:
//
//  - A file on a disk, or no file yet: the content goes to a temporary file
//    in the same folder, is pushed to the disk (FlushFileBuffers) and moved
//    over the name (MoveFileExW, replacing, written through). The new file
//    keeps the old one's attributes (hidden, system, archive). A write that
//    fails leaves the old file byte for byte as it was.
//  - A symbolic link (or a junction on the way) is written through: the
//    file it leads to gets the new content, in that file's folder.
//  - A folder where no temporary file can be made, while the file itself is
//    writable: the file is written in place.
//  - A read-only file is not overwritten; a folder is refused.
//  - Anything that is not a disk file (NUL, CON, a COM port, a named pipe)
//    is never replaced: the content is written into it as a stream.
//
// Standard output and other descriptors are written in binary mode, so a
// binary image keeps every 0x0A byte as it is (the C library would put a
// 0x0D before each one in text mode).
#include "framework/output_file.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include <windows.h>

#include "framework/win32/error_text.h"

namespace pelk {

namespace {

namespace fs = std::filesystem;

OutputFileStatus Failed(OutputFailure Failure, const fs::path& Path, const std::string& Text) {
    return {Failure, Path.string() + ": " + Text};
}

OutputFileStatus Failed(OutputFailure Failure, const fs::path& Path, DWORD Code) {
    return Failed(Failure, Path, FileProblem(Path, static_cast<int>(Code)));
}

// Closes a handle when it goes out of scope.
struct Handle {
    HANDLE H = INVALID_HANDLE_VALUE;
    Handle() = default;
    explicit Handle(HANDLE h) : H(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }
    bool Valid() const { return H != INVALID_HANDLE_VALUE && H != nullptr; }
    // The error of closing, 0 if none (or nothing was open).
    DWORD Close() {
        DWORD error = 0;
        if (Valid() && !CloseHandle(H)) error = GetLastError();
        H = INVALID_HANDLE_VALUE;
        return error;
    }
};

// Writes all of Content; 0 or the error.
DWORD WriteAll(HANDLE H, const char* Data, size_t Count) {
    while (Count > 0) {
        const DWORD chunk = Count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(Count);
        DWORD written = 0;
        if (!WriteFile(H, Data, chunk, &written, nullptr)) return GetLastError();
        if (written == 0) return ERROR_WRITE_FAULT;
        Data += written;
        Count -= written;
    }
    return 0;
}

// What a name stands for.
struct Resolved {
    fs::path Target;        // the file itself, links followed
    bool Exists = false;
    bool Disk = false;      // a file on a disk (not a device or pipe)
    DWORD Attributes = 0;
    LARGE_INTEGER Size{};
    DWORD Error = 0;        // the name cannot be looked at
};

// The path a handle's file has, without the "\\?\" the system puts before it.
fs::path FinalPath(HANDLE H, const fs::path& Fallback) {
    std::vector<wchar_t> buf(MAX_PATH);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = GetFinalPathNameByHandleW(H, buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
        if (n == 0) return Fallback;
        if (n < buf.size()) {
            std::wstring p(buf.data(), n);
            if (p.rfind(L"\\\\?\\UNC\\", 0) == 0) p = L"\\\\" + p.substr(8);
            else if (p.rfind(L"\\\\?\\", 0) == 0) p = p.substr(4);
            return fs::path(p);
        }
        buf.resize(n + 1);
    }
    return Fallback;
}

Resolved Resolve(const fs::path& Path) {
    Resolved r;
    r.Target = Path;
    // Opened for its attributes only: no sharing is disturbed, and a folder
    // opens too (backup semantics) so that it can be told apart.
    Handle h(CreateFileW(Path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.Valid()) {
        const DWORD e = GetLastError();
        // CON opens only for reading or for writing, as the console's input
        // or its output (Windows says "not found" to other access): asked
        // for writing, it is a device.
        Handle w(CreateFileW(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (w.Valid() && GetFileType(w.H) != FILE_TYPE_DISK) r.Exists = true;
        else if (e != ERROR_FILE_NOT_FOUND) r.Error = e;
        return r;
    }
    r.Exists = true;
    const DWORD type = GetFileType(h.H);
    if (type != FILE_TYPE_DISK) return r;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h.H, &info)) {
        r.Error = GetLastError();
        return r;
    }
    r.Disk = true;
    r.Attributes = info.dwFileAttributes;
    r.Size.LowPart = info.nFileSizeLow;
    r.Size.HighPart = static_cast<LONG>(info.nFileSizeHigh);
    // A link on the way: the file it leads to is the one replaced.
    const DWORD linkAttributes = GetFileAttributesW(Path.c_str());
    if (linkAttributes != INVALID_FILE_ATTRIBUTES && (linkAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        r.Target = FinalPath(h.H, Path);
    return r;
}

OutputPlan Decide(const fs::path& Path, Resolved& R) {
    OutputPlan plan;
    R = Resolve(Path);
    plan.Target = R.Target;
    plan.Exists = R.Exists;
    if (R.Error != 0) {
        plan.Reason = Failed(OutputFailure::Open, Path, R.Error).Reason;
    } else if (R.Exists && !R.Disk) {
        plan.Kind = OutputKind::Stream;
    } else if (R.Exists && (R.Attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        plan.Reason = Failed(OutputFailure::Open, Path, "it is a folder").Reason;
    } else if (R.Exists && (R.Attributes & FILE_ATTRIBUTE_READONLY)) {
        plan.Reason = Failed(OutputFailure::Open, R.Target, "the file is write-protected").Reason;
    } else {
        plan.Kind = OutputKind::Replace;
    }
    return plan;
}

// A new file next to Target, for this process alone. Its name is Target's
// with ".NNNNNN.tmp" added, Target's cut short where that would pass the
// 255 characters a name may have.
Handle CreateTemporary(const fs::path& Target, fs::path& Temp, DWORD& Error) {
    std::random_device seed;
    std::mt19937 random(seed());
    Error = 0;
    std::wstring base = Target.filename().wstring();
    if (base.size() + 11 > 255) base.resize(255 - 11);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = Target.parent_path() / (base + L"." + std::to_wstring(random() % 1000000) + L".tmp");
        HANDLE h = CreateFileW(candidate.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            Temp = candidate;
            return Handle(h);
        }
        Error = GetLastError();
        if (Error != ERROR_FILE_EXISTS && Error != ERROR_ALREADY_EXISTS) break;
    }
    return Handle();
}

// Copies the bytes of Source from Offset to its end to the same places of H.
DWORD CopyTail(HANDLE H, const fs::path& Source, LONGLONG Offset) {
    Handle in(CreateFileW(Source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.Valid()) return GetLastError();
    LARGE_INTEGER pos;
    pos.QuadPart = Offset;
    if (!SetFilePointerEx(in.H, pos, nullptr, FILE_BEGIN) || !SetFilePointerEx(H, pos, nullptr, FILE_BEGIN))
        return GetLastError();
    std::vector<char> chunk(1 << 16);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.H, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) return GetLastError();
        if (got == 0) return 0;
        if (const DWORD e = WriteAll(H, chunk.data(), got)) return e;
    }
}

OutputFileStatus Replace(const Resolved& R, Handle& Fd, const fs::path& Temp, std::string_view Content,
                         bool KeepBeyond) {
    auto fail = [&](DWORD Error) {
        Fd.Close();
        DeleteFileW(Temp.c_str());
        return Failed(OutputFailure::Write, R.Target, Error);
    };
    if (const DWORD e = WriteAll(Fd.H, Content.data(), Content.size())) return fail(e);
    if (KeepBeyond && R.Exists && R.Size.QuadPart > static_cast<LONGLONG>(Content.size())) {
        if (const DWORD e = CopyTail(Fd.H, R.Target, static_cast<LONGLONG>(Content.size()))) return fail(e);
    }
    if (!FlushFileBuffers(Fd.H)) return fail(GetLastError());
    if (const DWORD e = Fd.Close()) return fail(e);
    // The old file's attributes go over with the content (read-only never:
    // such a file is refused before).
    if (R.Exists) {
        const DWORD keep = R.Attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        (void)SetFileAttributesW(Temp.c_str(), keep ? keep : FILE_ATTRIBUTE_NORMAL);
    }
    if (!MoveFileExW(Temp.c_str(), R.Target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD e = GetLastError();
        DeleteFileW(Temp.c_str());
        return Failed(OutputFailure::Write, R.Target, e);
    }
    return {};
}

OutputFileStatus InPlace(const Resolved& R, std::string_view Content, bool KeepBeyond) {
    Handle h(CreateFileW(R.Target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr));
    if (!h.Valid()) return Failed(OutputFailure::Open, R.Target, GetLastError());
    auto fail = [&](DWORD Error) {
        h.Close();
        return Failed(OutputFailure::Write, R.Target, Error);
    };
    if (const DWORD e = WriteAll(h.H, Content.data(), Content.size())) return fail(e);
    if (!KeepBeyond && !SetEndOfFile(h.H)) return fail(GetLastError());
    if (!FlushFileBuffers(h.H)) return fail(GetLastError());
    if (const DWORD e = h.Close()) return Failed(OutputFailure::Write, R.Target, e);
    return {};
}

OutputFileStatus Stream(const fs::path& Path, std::string_view Content) {
    Handle h(CreateFileW(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.Valid()) return Failed(OutputFailure::Open, Path, GetLastError());
    if (const DWORD e = WriteAll(h.H, Content.data(), Content.size())) return Failed(OutputFailure::Write, Path, e);
    if (const DWORD e = h.Close()) return Failed(OutputFailure::Write, Path, e);
    return {};
}

}  // namespace

OutputPlan PlanOutputFile(const std::filesystem::path& Path) {
    Resolved r;
    OutputPlan plan = Decide(Path, r);
    if (plan.Kind != OutputKind::Replace) return plan;
    fs::path temp;
    DWORD error = 0;
    Handle h = CreateTemporary(r.Target, temp, error);
    if (h.Valid()) {
        h.Close();
        DeleteFileW(temp.c_str());
        return plan;
    }
    if (r.Exists) {
        plan.Kind = OutputKind::InPlace;
    } else {
        plan.Kind = OutputKind::Refused;
        plan.Reason = Failed(OutputFailure::Open, r.Target, error).Reason;
    }
    return plan;
}

OutputFileStatus WriteOutputFile(const std::filesystem::path& Path, std::string_view Content,
                                 const OutputFileOptions& Options) {
    Resolved r;
    const OutputPlan plan = Decide(Path, r);
    switch (plan.Kind) {
        case OutputKind::Refused: return {OutputFailure::Open, plan.Reason};
        case OutputKind::Stream: return Stream(Path, Content);
        default: break;
    }
    fs::path temp;
    DWORD error = 0;
    Handle h = CreateTemporary(r.Target, temp, error);
    if (h.Valid()) return Replace(r, h, temp, Content, Options.KeepBeyond);
    // No temporary file in this folder: the file itself, if it is there.
    if (r.Exists) return InPlace(r, Content, Options.KeepBeyond);
    return Failed(OutputFailure::Open, r.Target, error);
}

OutputFileStatus WriteOutputStream(int Fd, std::string_view Content, const std::string& Name) {
    // Binary for the write, and the descriptor's own mode back afterwards.
    const int mode = _setmode(Fd, _O_BINARY);
    size_t done = 0;
    int error = 0;
    while (done < Content.size()) {
        const size_t left = Content.size() - done;
        const unsigned chunk = left > (1u << 30) ? (1u << 30) : static_cast<unsigned>(left);
        const int n = _write(Fd, Content.data() + done, chunk);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            error = n < 0 ? errno : EIO;
            break;
        }
    }
    if (mode != -1) _setmode(Fd, mode);
    if (error != 0) return {OutputFailure::Write, Name + ": " + std::strerror(error)};
    return {};
}

std::string FileProblem(const std::filesystem::path& Path, int Error) {
    const DWORD attributes = GetFileAttributesW(Path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return "it is a folder";
    const fs::path folder = Path.has_parent_path() ? Path.parent_path() : fs::path(".");
    if (Error == ERROR_PATH_NOT_FOUND) return "the folder " + folder.string() + " does not exist";
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return "the file is write-protected";
    return win32::SystemErrorText(static_cast<DWORD>(Error));
}

int OpenOutputStream(const std::filesystem::path& Path, std::string& Why) {
    const DWORD attributes = GetFileAttributesW(Path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
        Why = Path.string() + ": " + FileProblem(Path, ERROR_ACCESS_DENIED);
        return -1;
    }
    // A device (NUL, CON) is opened as it is; a file is emptied.
    HANDLE h = CreateFileW(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           attributes == INVALID_FILE_ATTRIBUTES ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Why = Path.string() + ": " + FileProblem(Path, static_cast<int>(GetLastError()));
        return -1;
    }
    if (GetFileType(h) == FILE_TYPE_DISK) SetEndOfFile(h);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(h);
        Why = Path.string() + ": " + std::strerror(errno);
    }
    return fd;
}

}  // namespace pelk

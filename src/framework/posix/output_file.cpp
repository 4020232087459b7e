#include "framework/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <algorithm>
#include <vector>

namespace pelk {

namespace {

namespace fs = std::filesystem;

// Links followed before giving up, as the kernel does.
constexpr int MaxLinkHops = 40;

constexpr const char* WriteProtected = "the file is write-protected";

OutputFileStatus Failed(OutputFailure Failure, const fs::path& Path, const std::string& Text) {
    return {Failure, Path.string() + ": " + Text};
}

OutputFileStatus Failed(OutputFailure Failure, const fs::path& Path, int Error) {
    return Failed(Failure, Path, FileProblem(Path, Error));
}

// A file name may have at most this many bytes on the systems we know.
constexpr size_t NameMax = 255;

// Writes all of Content at the descriptor's position (or at Offset when it
// is not negative); 0 or the error.
int WriteAll(int Fd, std::string_view Content, off_t Offset = -1) {
    size_t done = 0;
    while (done < Content.size()) {
        const ssize_t n = Offset < 0 ? ::write(Fd, Content.data() + done, Content.size() - done)
                                     : ::pwrite(Fd, Content.data() + done, Content.size() - done,
                                                Offset + static_cast<off_t>(done));
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // A descriptor shared with a program that made it non-blocking.
            pollfd p{Fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return errno;
        } else {
            return n < 0 ? errno : EIO;
        }
    }
    return 0;
}

// Copies the bytes of the file Source from Offset to its end into the same
// places of Fd, leaving its holes holes, and gives Fd Source's size; 0 or
// the error.
int CopyTail(int Fd, const fs::path& Source, off_t Offset) {
    const int in = ::open(Source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    struct stat st {};
    int error = ::fstat(in, &st) == 0 ? 0 : errno;
    std::vector<char> chunk(1 << 16);
    off_t pos = Offset;
    while (error == 0 && pos < st.st_size) {
        // The next stretch of data and the hole after it; a file system
        // that cannot tell has data everywhere.
        off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // nothing but a hole up to the end
        if (data < 0) data = pos;
        off_t end = ::lseek(in, data, SEEK_HOLE);
        if (end <= data || end > st.st_size) end = st.st_size;
        for (pos = data; error == 0 && pos < end;) {
            const ssize_t n = ::pread(in, chunk.data(), size_t(std::min<off_t>(end - pos, off_t(chunk.size()))), pos);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error = errno;
            if (n <= 0) break;
            error = WriteAll(Fd, std::string_view(chunk.data(), static_cast<size_t>(n)), pos);
            pos += n;
        }
        if (error == 0 && pos < end) st.st_size = pos;  // the file ended early
    }
    if (error == 0 && ::ftruncate(Fd, st.st_size) != 0) error = errno;
    ::close(in);
    return error;
}

bool WritableFile(const fs::path& Path, const struct stat& St) {
    // The permission bits decide, also for root, who could write anything.
    if ((St.st_mode & 0222) == 0) return false;
    return geteuid() == 0 || ::faccessat(AT_FDCWD, Path.c_str(), W_OK, AT_EACCESS) == 0;
}

// Where the links from Path lead, and what is there.
struct Resolved {
    fs::path Target;
    bool Exists = false;
    struct stat St {};
    int Error = 0;
};

Resolved Resolve(fs::path Path) {
    Resolved r;
    for (int hop = 0; hop < MaxLinkHops; ++hop) {
        if (::lstat(Path.c_str(), &r.St) != 0) {
            if (errno != ENOENT) r.Error = errno;
            r.Target = Path;
            return r;
        }
        if (!S_ISLNK(r.St.st_mode)) {
            r.Target = Path;
            r.Exists = true;
            return r;
        }
        char link[PATH_MAX];
        const ssize_t n = ::readlink(Path.c_str(), link, sizeof link - 1);
        if (n < 0) {
            r.Error = errno;
            r.Target = Path;
            return r;
        }
        fs::path next(std::string(link, static_cast<size_t>(n)));
        Path = next.is_absolute() ? next : Path.parent_path() / next;
    }
    r.Error = ELOOP;
    r.Target = Path;
    return r;
}

OutputPlan Decide(const fs::path& Path, Resolved& R) {
    OutputPlan plan;
    if (OwnDescriptor(Path.string()) >= 0) {
        plan.Kind = OutputKind::Stream;
        plan.Target = Path;
        plan.Exists = true;
        return plan;
    }
    R = Resolve(Path);
    plan.Target = R.Target;
    plan.Exists = R.Exists;
    if (R.Error != 0) {
        plan.Reason = Failed(OutputFailure::Open, Path, R.Error).Reason;
    } else if (R.Exists && !S_ISREG(R.St.st_mode)) {
        plan.Kind = OutputKind::Stream;
    } else if (R.Exists && !WritableFile(R.Target, R.St)) {
        plan.Reason = Failed(OutputFailure::Open, R.Target, WriteProtected).Reason;
    } else {
        plan.Kind = OutputKind::Replace;
    }
    return plan;
}

// True when the folder is sticky and neither it nor the file is this
// user's: the system will not let a rename replace the file.
bool StickyRefusesRename(const Resolved& R) {
    if (geteuid() == 0 || R.St.st_uid == geteuid()) return false;
    const fs::path folder = R.Target.has_parent_path() ? R.Target.parent_path() : fs::path(".");
    struct stat dir {};
    return ::stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) && dir.st_uid != geteuid();
}

// A new file next to Target, for this process alone; -1 with Error set. Its
// name is Target's with ".NNNNNN.tmp" added, Target's cut short where that
// would pass the longest name a folder takes.
int CreateTemporary(const fs::path& Target, fs::path& Temp, int& Error) {
    std::random_device seed;
    std::mt19937 random(seed());
    std::string base = Target.filename().string();
    constexpr size_t Added = 11;  // ".NNNNNN.tmp"
    if (base.size() + Added > NameMax) base.resize(NameMax - Added);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char added[16];
        std::snprintf(added, sizeof added, ".%06u.tmp", static_cast<unsigned>(random() % 1000000));
        const fs::path candidate = Target.parent_path() / (base + added);
        // Mode 0666 less the umask: what a new file would get.
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            Temp = candidate;
            return fd;
        }
        if (errno != EEXIST) break;
    }
    Error = errno;
    return -1;
}

void SyncFolder(const fs::path& File) {
    const fs::path folder = File.has_parent_path() ? File.parent_path() : fs::path(".");
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

OutputFileStatus InPlace(const Resolved& R, std::string_view Content, bool KeepBeyond) {
    const int fd = ::open(R.Target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Failed(OutputFailure::Open, R.Target, errno);
    auto fail = [&](int Error) {
        ::close(fd);
        return Failed(OutputFailure::Write, R.Target, Error);
    };
    // Room first, so that a full disk leaves the old content alone; a file
    // system that cannot reserve is written without.
    const off_t size = static_cast<off_t>(Content.size());
    if (size > 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && (errno == ENOSPC || errno == EDQUOT))
        return fail(errno);
    if (int e = WriteAll(fd, Content, 0)) return fail(e);
    if (!KeepBeyond && ::ftruncate(fd, size) != 0) return fail(errno);
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) return Failed(OutputFailure::Write, R.Target, errno);
    return {};
}

OutputFileStatus Replace(const Resolved& R, int Fd, const fs::path& Temp, std::string_view Content, bool KeepBeyond) {
    auto fail = [&](int Error) {
        ::close(Fd);
        ::unlink(Temp.c_str());
        return Failed(OutputFailure::Write, R.Target, Error);
    };
    if (R.Exists) {
        // Owner first: changing it may clear the set-id bits that the mode
        // then puts back.
        if ((R.St.st_uid != geteuid() || R.St.st_gid != getegid()) && ::fchown(Fd, R.St.st_uid, R.St.st_gid) != 0) {
            // Not allowed to give the file away: it keeps this user as owner.
        }
        if (::fchmod(Fd, R.St.st_mode & 07777) != 0) return fail(errno);
    }
    if (int e = WriteAll(Fd, Content)) return fail(e);
    if (KeepBeyond && R.Exists && R.St.st_size > static_cast<off_t>(Content.size())) {
        if (int e = CopyTail(Fd, R.Target, static_cast<off_t>(Content.size()))) return fail(e);
    }
    if (::fsync(Fd) != 0) return fail(errno);
    if (::close(Fd) != 0) {
        const int e = errno;
        ::unlink(Temp.c_str());
        return Failed(OutputFailure::Write, R.Target, e);
    }
    if (::rename(Temp.c_str(), R.Target.c_str()) != 0) {
        const int e = errno;
        ::unlink(Temp.c_str());
        // A sticky folder refuses to replace another user's file: written
        // in place instead, as in a folder that takes no temporary file.
        if ((e == EPERM || e == EACCES) && R.Exists) return InPlace(R, Content, KeepBeyond);
        return Failed(OutputFailure::Write, R.Target, e);
    }
    SyncFolder(R.Target);
    return {};
}

OutputFileStatus Stream(const fs::path& Path, std::string_view Content) {
    // Without waiting: a FIFO that nobody reads fails at once (ENXIO)
    // instead of hanging the program.
    const int fd = ::open(Path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Failed(OutputFailure::Open, Path, errno);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    OutputFileStatus status = WriteOutputStream(fd, Content, Path.string());
    if (::close(fd) != 0 && status) status = Failed(OutputFailure::Write, Path, errno);
    return status;
}

}  // namespace

OutputPlan PlanOutputFile(const std::filesystem::path& Path) {
    Resolved r;
    OutputPlan plan = Decide(Path, r);
    if (plan.Kind != OutputKind::Replace) return plan;
    fs::path temp;
    int error = 0;
    const int fd = CreateTemporary(r.Target, temp, error);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(temp.c_str());
        if (r.Exists && StickyRefusesRename(r)) plan.Kind = OutputKind::InPlace;
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

int OwnDescriptor(const std::string& Name) {
    if (Name == "/dev/stdout") return 1;
    if (Name == "/dev/stderr") return 2;
    for (const std::string prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (Name.size() <= prefix.size() || Name.size() > prefix.size() + 6 || Name.compare(0, prefix.size(), prefix) != 0)
            continue;
        int fd = 0;
        for (size_t i = prefix.size(); i < Name.size(); ++i) {
            if (Name[i] < '0' || Name[i] > '9') return -1;
            fd = fd * 10 + (Name[i] - '0');
        }
        return fd;
    }
    return -1;
}

OutputFileStatus WriteOutputFile(const std::filesystem::path& Path, std::string_view Content,
                                 const OutputFileOptions& Options) {
    if (const int own = OwnDescriptor(Path.string()); own >= 0) return WriteOutputStream(own, Content, Path.string());
    Resolved r;
    const OutputPlan plan = Decide(Path, r);
    switch (plan.Kind) {
        case OutputKind::Refused: return {OutputFailure::Open, plan.Reason};
        case OutputKind::Stream: return Stream(Path, Content);
        default: break;
    }
    fs::path temp;
    int error = 0;
    const int fd = CreateTemporary(r.Target, temp, error);
    if (fd >= 0) return Replace(r, fd, temp, Content, Options.KeepBeyond);
    // No temporary file in this folder: the file itself, if it is there.
    if (r.Exists) return InPlace(r, Content, Options.KeepBeyond);
    return Failed(OutputFailure::Open, r.Target, error);
}

int OpenOutputStream(const std::filesystem::path& Path, std::string& Why) {
    if (const int own = OwnDescriptor(Path.string()); own >= 0) {
        const int fd = ::fcntl(own, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) Why = Path.string() + ": " + (errno == EBADF ? "the program has no such open file" : std::strerror(errno));
        return fd;
    }
    Resolved r;
    const OutputPlan plan = Decide(Path, r);
    if (plan.Kind == OutputKind::Refused) {
        Why = plan.Reason;
        return -1;
    }
    // Without waiting: a FIFO that nobody reads fails at once.
    const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (plan.Kind == OutputKind::Stream ? 0 : O_CREAT | O_TRUNC);
    int fd;
    do {
        fd = ::open(plan.Target.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        Why = Failed(OutputFailure::Open, Path, errno).Reason;
        return -1;
    }
    const int now = ::fcntl(fd, F_GETFL);
    if (now >= 0) (void)::fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
    return fd;
}

std::string FileProblem(const std::filesystem::path& Path, int Error) {
    struct stat st {};
    const fs::path folder = Path.has_parent_path() ? Path.parent_path() : fs::path(".");
    switch (Error) {
        case EISDIR: return "it is a folder";
        case ENOENT:
        case ENOTDIR:
            if (::stat(folder.c_str(), &st) != 0) return "the folder " + folder.string() + " does not exist";
            if (!S_ISDIR(st.st_mode)) return folder.string() + " is not a folder";
            break;
        case EACCES:
        case EPERM:
        case EROFS:
            if (::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(Path.c_str(), W_OK) != 0)
                return WriteProtected;
            if (::stat(folder.c_str(), &st) == 0 && ::access(folder.c_str(), W_OK) != 0)
                return "the folder " + folder.string() + " is write-protected";
            break;
        case ENXIO:
            if (::stat(Path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) return "no program reads from this FIFO";
            if (::stat(Path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return "it is a socket";
            break;
        default: break;
    }
    return std::strerror(Error);
}

OutputFileStatus WriteOutputStream(int Fd, std::string_view Content, const std::string& Name) {
    if (const int e = WriteAll(Fd, Content)) return Failed(OutputFailure::Write, Name, e);
    return {};
}

}  // namespace pelk

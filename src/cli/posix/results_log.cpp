// The results log on Linux and other POSIX systems: a descriptor opened for
// appending, flock(2) while the header is decided and while a line goes out.
#include "cli/results_log.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "framework/output_file.h"

namespace pelk {

bool UtcOffset(std::time_t when, long& offset) {
    std::tm local{};
    if (!localtime_r(&when, &local)) return false;
    offset = local.tm_gmtoff;
    return true;
}

namespace {

// Why `path` could not be opened, in the words of every file message.
std::string OpenFailure(const std::string& path, int error) { return FileProblem(path, error); }

// False when the file open on `fd` has a first line other than the log's
// header. A file this user may not read is given the benefit of the doubt.
bool FirstLineIsHeader(int fd) {
    const int in = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return true;
    const std::string header = ResultsLogHeader();
    std::string start(header.size() + 2, '\0');
    const ssize_t n = ::pread(in, start.data(), start.size(), 0);
    ::close(in);
    if (n < 0) return true;
    start.resize(static_cast<size_t>(n));
    return StartsWithResultsLogHeader(start);
}

// Writes `text` at the end of `fd`, in one write when the system takes it
// whole (always, for a regular file with room on its disk). SIGPIPE is
// held back while writing, so that a pipe or FIFO whose reader has gone
// is reported as an error instead of ending the program. Returns "" or
// why it failed.
std::string WriteLine(int fd, const std::string& text) {
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
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            ++pieces;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // A descriptor shared with a program that made it non-blocking.
            pollfd p{fd, POLLOUT, 0};
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
    return LineWriteOutcome(done, text.size(), pieces, failure);
}

// The file's exclusive lock, taken while the header is checked and written
// and while a line is appended, so that the programs sharing a log take
// turns. False (errno set) when it cannot be had.
bool TakeTurn(int fd) {
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    return locked == 0;
}

void EndTurn(int fd) { ::flock(fd, LOCK_UN); }

// Pushes what was written to the disk. A pipe, FIFO or terminal cannot be
// synchronised (EINVAL); that is no failure of the log.
std::string Sync(int fd) {
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        if (errno == EINVAL || errno == EOPNOTSUPP || errno == ENOTSUP) return "";
        return std::strerror(errno);
    }
    return "";
}

}  // namespace

std::string ResultsLog::Open(const std::string& path) {
    Close();
    if (path.empty()) return "no file name given";
    int fd = -1;
    const int own = path == "-" ? 1 : OwnDescriptor(path);  // "-" is standard output
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
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return OpenFailure(path, errno);
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
        const bool locked = TakeTurn(fd);
        std::string failure;
        if (!locked && errno != ENOLCK && errno != EOPNOTSUPP) {
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
        if (locked) EndTurn(fd);
        if (!failure.empty()) {
            ::close(fd);
            return failure;
        }
    }
    Fd = fd;
    return "";
}

std::string ResultsLog::Append(const ResultsLogRecord& record) {
    if (Fd < 0) return "the results log is not open";
    struct stat st {};
    const bool regular = ::fstat(Fd, &st) == 0 && S_ISREG(st.st_mode);
    // A line that goes out only in part (a full disk) is cut off again, so
    // that the next line does not start in the middle of it. The lock keeps
    // other programs' lines out between the end found and the cut.
    const bool locked = regular && TakeTurn(Fd);
    const off_t before = regular && ::fstat(Fd, &st) == 0 ? st.st_size : -1;
    std::string failure = WriteLine(Fd, FormatResultsLogLine(record) + "\n");
    if (!failure.empty() && before >= 0 && ::ftruncate(Fd, before) != 0)
        failure += "; the part written is left in the file";
    if (locked) EndTurn(Fd);
    if (failure.empty()) failure = Sync(Fd);
    return failure;
}

bool ResultsLog::IsOpen() const { return Fd >= 0; }

void ResultsLog::Close() {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
}

}  // namespace pelk

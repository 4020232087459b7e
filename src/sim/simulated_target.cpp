#include "sim/simulated_target.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace pelk {

namespace {

std::string ErrnoText(const std::string& what) {
    const int e = errno;
    return what + ": " + std::strerror(e) + " (" + std::to_string(e) + ")";
}

timespec ToTimespec(std::chrono::nanoseconds d) {
    if (d < std::chrono::nanoseconds::zero()) d = std::chrono::nanoseconds::zero();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
    return timespec{static_cast<time_t>(s.count()), static_cast<long>((d - s).count())};
}

// Reads a whole file into `out`; false with errno set on failure.
bool ReadWholeFile(int fd, std::vector<uint8_t>& out) {
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.insert(out.end(), buf, buf + n);
    }
}

bool WriteWholeFile(int fd, const uint8_t* data, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        count -= size_t(n);
    }
    return true;
}

}  // namespace

SimulatedTarget::SimulatedTarget(SimulatedTargetOptions options)
    : Options(std::move(options)), Loader(Options.LastAddress) {}

SimulatedTarget::~SimulatedTarget() {
    try {
        Stop();
    } catch (const SimulatedTargetError&) {
        // Nothing to report to from a destructor; Stop() shows the error.
    }
}

void SimulatedTarget::Start() {
    if (Started) throw SimulatedTargetError("The simulated target has already been started");
    Started = true;
    LoadFlashFile();

    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (Master < 0) FailStart("Can't open a pseudo-terminal");
    char name[128] = {};
    if (grantpt(Master) != 0 || unlockpt(Master) != 0 || ptsname_r(Master, name, sizeof name) != 0)
        FailStart("Can't prepare the pseudo-terminal");
    HeldSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (HeldSlave < 0) FailStart(std::string("Can't open ") + name);
    SlavePath = name;

    termios raw{};
    if (tcgetattr(HeldSlave, &raw) != 0) FailStart("Can't read the pseudo-terminal settings");
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(HeldSlave, TCSANOW, &raw) != 0) FailStart("Can't put the pseudo-terminal in raw mode");

    Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (Wake < 0) FailStart("Can't create the stop signal of the simulated target");
    {
        std::lock_guard<std::mutex> hold(Lock);
        Counters.Serving = true;
    }
    Server = std::thread([this] { Serve(); });
}

void SimulatedTarget::FailStart(const std::string& what) {
    const std::string message = ErrnoText(what);
    CloseDescriptors();
    FlashLoaded = false;  // nothing was served, so the flash file is left as it is
    Stopped = true;
    throw SimulatedTargetError(message);
}

void SimulatedTarget::Stop() {
    if (!Started || Stopped) return;
    Stopped = true;
    if (Server.joinable()) {
        const uint64_t one = 1;
        while (write(Wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
        Server.join();
    }
    CloseDescriptors();
    if (FlashLoaded) SaveFlashFile();
}

void SimulatedTarget::CloseDescriptors() {
    for (int* fd : {&Master, &HeldSlave, &Wake}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void SimulatedTarget::LoadFlashFile() {
    namespace fs = std::filesystem;
    if (Options.FlashFile.empty()) return;
    // Fixed now, so that a later change of the working directory does not move it.
    std::error_code ec;
    FlashPath = fs::absolute(Options.FlashFile, ec);
    if (ec) FlashPath = Options.FlashFile;
    // The flash is written back at Stop: find out now if that cannot work,
    // before anything has been programmed into it.
    const fs::path folder = FlashPath.parent_path();
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        throw SimulatedTargetError(ErrnoText("Can't write flash file " + Options.FlashFile + " in " + folder.string()));

    const int fd = open(FlashPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) throw SimulatedTargetError(ErrnoText("Can't read flash file " + Options.FlashFile));
        FlashLoaded = true;  // starts erased; the file is created at Stop
        return;
    }
    std::vector<uint8_t> bytes;
    const bool ok = ReadWholeFile(fd, bytes);
    const std::string message = ok ? "" : ErrnoText("Can't read flash file " + Options.FlashFile);
    close(fd);
    if (!ok) throw SimulatedTargetError(message);

    std::lock_guard<std::mutex> hold(Lock);
    std::vector<uint8_t>& flash = Loader.Flash();
    const size_t n = std::min(bytes.size(), flash.size());
    std::copy_n(bytes.begin(), n, flash.begin());
    // A file made for a larger device keeps the part this device does not have.
    FlashFileTail.assign(bytes.begin() + ptrdiff_t(n), bytes.end());
    FlashLoaded = true;
}

void SimulatedTarget::SaveFlashFile() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Write through a link to the file it names, and keep the file's permissions.
    fs::path target = FlashPath;
    if (fs::is_symlink(target, ec)) {
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec) target = resolved;
    }
    mode_t mode = 0666;
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

    std::vector<uint8_t> bytes = Flash();
    bytes.insert(bytes.end(), FlashFileTail.begin(), FlashFileTail.end());

    const std::string temp = target.string() + ".tmp" + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw SimulatedTargetError(ErrnoText("Can't write flash file " + Options.FlashFile));
    bool ok = WriteWholeFile(fd, bytes.data(), bytes.size());
    std::string message = ok ? "" : ErrnoText("Can't write flash file " + Options.FlashFile);
    if (close(fd) != 0 && ok) {
        ok = false;
        message = ErrnoText("Can't write flash file " + Options.FlashFile);
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        message = ErrnoText("Can't replace flash file " + Options.FlashFile);
    }
    if (!ok) {
        unlink(temp.c_str());
        throw SimulatedTargetError(message);
    }
}

std::vector<uint8_t> SimulatedTarget::Flash() const {
    std::lock_guard<std::mutex> hold(Lock);
    return Loader.Flash();
}

void SimulatedTarget::WriteFlash(uint32_t address, std::span<const uint8_t> bytes) {
    std::lock_guard<std::mutex> hold(Lock);
    std::vector<uint8_t>& flash = Loader.Flash();
    if (address > flash.size() || bytes.size() > flash.size() - address)
        throw SimulatedTargetError("Flash write beyond the end of the simulated device");
    std::copy(bytes.begin(), bytes.end(), flash.begin() + address);
}

SimulatedTargetStatus SimulatedTarget::Status() const {
    std::lock_guard<std::mutex> hold(Lock);
    SimulatedTargetStatus s = Counters;
    s.Loader = Loader.Stats();
    return s;
}

bool SimulatedTarget::WaitForFramesServed(uint64_t frames, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> hold(Lock);
    return Served.wait_for(hold, timeout, [&] { return Counters.FramesServed >= frames || !Counters.Serving; }) &&
           Counters.FramesServed >= frames;
}

SimulatedTarget::Clock::duration SimulatedTarget::ByteTime() const {
    // Start bit, 8 data bits, stop bit.
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL) /
                                                       Options.Faults.PaceBaud);
}

void SimulatedTarget::Serve() {
    std::vector<uint8_t> chunk(4096);
    bool gapArmed = false;
    Clock::time_point gapDeadline{};
    for (;;) {
        pollfd fds[2] = {{Wake, POLLIN, 0}, {Master, POLLIN, 0}};
        timespec ts{};
        if (gapArmed) ts = ToTimespec(gapDeadline - Clock::now());
        const int r = ppoll(fds, 2, gapArmed ? &ts : nullptr, nullptr);
        {
            std::lock_guard<std::mutex> hold(Lock);
            ++Counters.Wakeups;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        if (r == 0) {
            // The line went quiet in the middle of a frame: forget it.
            std::lock_guard<std::mutex> hold(Lock);
            Loader.ResetFraming();
            ++Counters.FramingResets;
            gapArmed = false;
            continue;
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = read(Master, chunk.data(), chunk.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;  // the pty is gone; nothing more can be served
            if (!TakeBytes(chunk.data(), size_t(n))) break;
            std::lock_guard<std::mutex> hold(Lock);
            gapArmed = Loader.InFrame();
            if (gapArmed) gapDeadline = Clock::now() + Options.FrameGap;
        } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            break;  // cannot happen while the slave is held open; never spin on it
        }
    }
    std::lock_guard<std::mutex> hold(Lock);
    Counters.Serving = false;
    Served.notify_all();
}

bool SimulatedTarget::TakeBytes(const uint8_t* data, size_t count) {
    if (Options.Faults.PaceBaud != 0) {
        // The bytes are taken when the last of them would have come off the line.
        ReceiveLineFree = std::max(ReceiveLineFree, Clock::now()) + ByteTime() * count;
        if (!SleepUntil(ReceiveLineFree)) return false;
    }
    std::vector<uint8_t> reply;
    for (size_t k = 0; k < count; ++k) {
        bool frameDone = false;
        {
            std::lock_guard<std::mutex> hold(Lock);
            const uint32_t before = Loader.Stats().Frames;
            reply.clear();
            Loader.Receive(data + k, 1, reply);
            frameDone = Loader.Stats().Frames != before;
            if (frameDone && !reply.empty()) reply = ApplyReplyFaults(std::move(reply));
        }
        if (!frameDone) continue;
        if (!reply.empty() && !SendReply(reply)) return false;
        std::lock_guard<std::mutex> hold(Lock);
        ++Counters.FramesServed;
        Served.notify_all();
    }
    return true;
}

// Called with Lock held, right after a frame was answered by the loader.
std::vector<uint8_t> SimulatedTarget::ApplyReplyFaults(std::vector<uint8_t> reply) {
    const SimulatedTargetFaults& f = Options.Faults;
    const TxFrameBytes& frame = Loader.LastFrame();
    if (f.DamageAfterPrograms != 0 && frame[2] == CmdProgram && reply[2] == ReplyDone &&
        ++ProgramsAccepted == f.DamageAfterPrograms) {
        const uint32_t address = uint32_t(frame[3]) << 16 | uint32_t(frame[4]) << 8 | frame[5];
        Loader.Flash()[address] ^= 0xFF;
        Counters.FlashDamaged = true;
    }
    if (f.Silent) {
        ++Counters.RepliesWithheld;
        return {};
    }
    ++RepliesMade;
    if (f.CorruptEvery != 0 && RepliesMade % f.CorruptEvery == 0) {
        reply.back() ^= 0xFF;
        ++Counters.RepliesCorrupted;
    }
    if (f.NoiseBytes != 0) {
        std::vector<uint8_t> noisy;
        noisy.reserve(f.NoiseBytes + reply.size());
        while (noisy.size() < f.NoiseBytes) {
            // xorshift32: varied bytes, but never the reply sync byte.
            NoiseState ^= NoiseState << 13;
            NoiseState ^= NoiseState >> 17;
            NoiseState ^= NoiseState << 5;
            const uint8_t b = uint8_t(NoiseState);
            if (b != ReplySync) noisy.push_back(b);
        }
        noisy.insert(noisy.end(), reply.begin(), reply.end());
        reply = std::move(noisy);
    }
    ++Counters.RepliesSent;
    return reply;
}

bool SimulatedTarget::SendReply(const std::vector<uint8_t>& bytes) {
    const SimulatedTargetFaults& f = Options.Faults;
    if (f.PaceBaud == 0 && !f.SplitReplies) return WriteAll(bytes.data(), bytes.size());
    for (size_t k = 0; k < bytes.size(); ++k) {
        if (k > 0 && f.SplitReplies && !SleepUntil(Clock::now() + f.SplitPause)) return false;
        if (f.PaceBaud != 0) {
            // A byte leaves the line one byte time after the line became free.
            SendLineFree = std::max(SendLineFree, Clock::now()) + ByteTime();
            if (!SleepUntil(SendLineFree)) return false;
        }
        if (!WriteAll(&bytes[k], 1)) return false;
    }
    return true;
}

bool SimulatedTarget::WriteAll(const uint8_t* data, size_t count) {
    while (count > 0) {
        const ssize_t n = write(Master, data, count);
        if (n > 0) {
            data += n;
            count -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        // The client is not reading and the pty is full: wait for room or a stop.
        pollfd fds[2] = {{Wake, POLLIN, 0}, {Master, POLLOUT, 0}};
        if (ppoll(fds, 2, nullptr, nullptr) < 0 && errno != EINTR) return false;
        if (fds[0].revents != 0) return false;
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
    }
    return true;
}

bool SimulatedTarget::SleepUntil(Clock::time_point when) {
    for (;;) {
        const auto left = when - Clock::now();
        pollfd wake{Wake, POLLIN, 0};
        if (left <= Clock::duration::zero()) return poll(&wake, 1, 0) == 0;
        const timespec ts = ToTimespec(left);
        const int r = ppoll(&wake, 1, &ts, nullptr);
        if (r > 0) return false;
        if (r == 0) continue;  // re-check: ppoll may wake a little early
        if (errno != EINTR) return false;
    }
}

}  // namespace pelk

#include "sim/simulated_target.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "framework/output_file.h"
#include "image/memory_image.h"

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

// Reads up to `count` bytes from the start of a file into `out`, fewer at
// its end; false with errno set on failure.
bool ReadUpTo(int fd, uint8_t* out, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = read(fd, out + done, count - done);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += size_t(n);
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
    ReleaseFlashFile(true);
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
    ReleaseFlashFile(false);
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
    auto fail = [&](const std::string& why) {
        throw SimulatedTargetFileError("Can't use flash file " + Options.FlashFile + ": " + why);
    };
    // Fixed now, so that a later change of the working directory does not move it.
    std::error_code ec;
    FlashPath = fs::absolute(Options.FlashFile, ec);
    if (ec) FlashPath = Options.FlashFile;
    // The flash is written back at Stop: find out now if that cannot work,
    // before anything has been programmed into it. Only a regular file (or
    // none yet) holds a flash: a device node or a FIFO would be read for
    // ever or never, and is never replaced by a file.
    if (fs::is_directory(FlashPath, ec)) fail("it is a folder");
    const OutputPlan plan = PlanOutputFile(Options.FlashFile);
    if (plan.Kind == OutputKind::Stream) fail("not a regular file");
    if (plan.Kind == OutputKind::Refused) {
        std::string why = plan.Reason;
        if (const size_t colon = why.find(": "); colon != std::string::npos) why.erase(0, colon + 2);
        fail(why);
    }

    // Held, with a lock, until the flash has been written back: a second
    // target on the same file is refused instead of the last one to stop
    // silently winning. A file that is not there yet is made empty (it
    // reads as erased flash) so that there is something to lock.
    int fd = open(FlashPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    bool created = false;
    if (fd < 0 && errno == ENOENT) {
        fd = open(FlashPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        created = fd >= 0;
    }
    if (fd < 0) fail(FileProblem(Options.FlashFile, errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        fail("not a regular file");
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (created) unlink(FlashPath.c_str());
        fail(error == EWOULDBLOCK ? "another simulated target is using it" : std::strerror(error));
    }
    FlashLock = fd;
    CreatedFlash = created;
    // The device's size and no more; what the file holds beyond it is kept
    // in the file when it is written back.
    std::lock_guard<std::mutex> hold(Lock);
    std::vector<uint8_t>& flash = Loader.Flash();
    if (!ReadUpTo(fd, flash.data(), flash.size())) {
        const std::string why = std::strerror(errno);
        std::fill(flash.begin(), flash.end(), ErasedByte);
        ReleaseFlashFile(true);
        fail("can't read it: " + why);
    }
    FlashLoaded = true;
}

void SimulatedTarget::ReleaseFlashFile(bool unused) {
    if (FlashLock < 0) return;
    // A file made only to be locked, never written, goes again.
    if (unused && CreatedFlash) unlink(FlashPath.c_str());
    close(FlashLock);
    FlashLock = -1;
}

void SimulatedTarget::SaveFlashFile() {
    const std::vector<uint8_t> bytes = Flash();
    const OutputFileStatus status =
        WriteOutputFile(FlashPath, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                        {.KeepBeyond = true});
    ReleaseFlashFile(false);
    if (!status) {
        std::string why = status.Reason;
        if (why.rfind(FlashPath.string() + ": ", 0) == 0) why.erase(0, FlashPath.string().size() + 2);
        throw SimulatedTargetFileError("Can't write flash file " + Options.FlashFile + ": " + why);
    }
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
        uint32_t frameNumber = 0;
        {
            std::lock_guard<std::mutex> hold(Lock);
            const uint32_t before = Loader.Stats().Frames;
            reply.clear();
            Loader.Receive(data + k, 1, reply);
            frameNumber = Loader.Stats().Frames;
            frameDone = frameNumber != before;
            if (frameDone && !reply.empty()) reply = ApplyReplyFaults(std::move(reply));
        }
        if (!frameDone) continue;
        const SimulatedTargetFaults& f = Options.Faults;
        if (f.StallFrame != 0 && f.StallFrame == frameNumber) {
            // Held up: nothing is taken or sent meanwhile; the tool's bytes
            // wait in the line as they would for a stopped target.
            if (!SleepUntil(Clock::now() + f.StallFor)) return false;
        }
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
    if (f.GarbleBytes != 0) {
        reply.clear();
        while (reply.size() < f.GarbleBytes) reply.push_back(NextNoise());
        ++Counters.RepliesCorrupted;
    }
    if (f.NoiseBytes != 0) {
        std::vector<uint8_t> noisy;
        noisy.reserve(f.NoiseBytes + reply.size());
        while (noisy.size() < f.NoiseBytes) {
            // Varied bytes, but never the reply sync byte.
            const uint8_t b = NextNoise();
            if (b != ReplySync) noisy.push_back(b);
        }
        noisy.insert(noisy.end(), reply.begin(), reply.end());
        reply = std::move(noisy);
    }
    ++Counters.RepliesSent;
    return reply;
}

// xorshift32: varied bytes from a fixed seed, the same in every run.
uint8_t SimulatedTarget::NextNoise() {
    NoiseState ^= NoiseState << 13;
    NoiseState ^= NoiseState >> 17;
    NoiseState ^= NoiseState << 5;
    return uint8_t(NoiseState);
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

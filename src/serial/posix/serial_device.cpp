#include "serial/posix/serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "serial/posix/device_names.h"
#include "serial/posix/platform_error.h"
#include "serial/vaconst.h"

namespace pelk::posix {

namespace {

// Devices without modem control lines answer these requests so.
bool NoModemLines(int Error) { return Error == ENOTTY || Error == EINVAL; }

int IoctlRetry(int Fd, unsigned long Request, void* Arg) {
    int r;
    do r = ioctl(Fd, Request, Arg);
    while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

bool SerialDevice::ReadCounters(LineCounters& Counters) {
    // Pseudo-terminals and several USB adapters keep no counters: asked
    // once, they are not asked again.
    if (!FHasCounters.load()) return Fail(ENOTTY);
    serial_icounter_struct ic{};
    if (IoctlRetry(FFd, TIOCGICOUNT, &ic) < 0) {
        if (errno == ENOTTY || errno == EINVAL) FHasCounters.store(false);
        return Fail();
    }
    Counters.Frame = static_cast<uint32_t>(ic.frame);
    Counters.Overrun = static_cast<uint32_t>(ic.overrun);
    Counters.Parity = static_cast<uint32_t>(ic.parity);
    Counters.Brk = static_cast<uint32_t>(ic.brk);
    Counters.BufOverrun = static_cast<uint32_t>(ic.buf_overrun);
    return true;
}

static_assert(DeviceReadable == POLLIN && DeviceWritable == POLLOUT && DeviceError == POLLERR &&
              DeviceHangUp == POLLHUP && DeviceInvalid == POLLNVAL);

SerialDevice::SerialDevice(int Fd, std::string Path) : FFd(Fd), FPath(std::move(Path)) {
    char real[PATH_MAX];
    FRealPath = ::realpath(FPath.c_str(), real) ? std::string(real) : FPath;
    // Line errors from before the port was opened are not ours to report.
    FHaveErrorBase = ReadCounters(FErrorBase);
    FHaveSaved = GetLineTermios(FFd, FSaved);
}

SerialDevice::~SerialDevice() { Close(); }

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& Name) {
    const std::string path = ResolveDeviceName(Name);
    if (path.empty()) {
        Fail(ENOENT);
        return nullptr;
    }
    int fd;
    do fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        Fail();
        return nullptr;
    }
    auto refuse = [fd](int code) {
        ::close(fd);
        Fail(code);
        return std::shared_ptr<SerialDevice>();
    };
    if (!isatty(fd)) return refuse(ENOTTY);
    // Exclusive use needs both locks. flock is what other serial programs
    // (and a second opener in this process) check, and it binds root too;
    // TIOCEXCL makes the kernel refuse every further open by a process
    // without CAP_SYS_ADMIN, also from programs that never look at locks.
    if (flock(fd, LOCK_EX | LOCK_NB) < 0) return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
    if (IoctlRetry(fd, TIOCEXCL, nullptr) < 0) return refuse(errno);
    // USB adapters hold short replies back for their latency timer (16 ms
    // on the common ones) unless asked for low latency; without it every
    // exchange with the target costs about twice its line time. Drivers
    // that do not know the request are fine as they are.
    serial_struct ss{};
    if (IoctlRetry(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        (void)IoctlRetry(fd, TIOCSSERIAL, &ss);
    }
    return std::shared_ptr<SerialDevice>(new SerialDevice(fd, path));
}

void SerialDevice::Close() {
    std::unique_lock<std::shared_mutex> use(FUse);
    if (FClosed) return;
    FClosed = true;
    if (FRtsToggleOn) SetRtsToggle(false);
    if (FHaveSaved) (void)SetLineTermios(FFd, FSaved);
    // A pseudo-terminal outlives our descriptor; without this it would stay
    // closed to everyone but root.
    (void)IoctlRetry(FFd, TIOCNXCL, nullptr);
    ::close(FFd);
    FFd = -1;
}

bool SerialDevice::IsOpen() const {
    std::shared_lock<std::shared_mutex> use(FUse);
    return !FClosed;
}

bool SerialDevice::HungUp() {
    if (FHungUp.load()) return true;
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return false;
    // No events asked: poll reports only hang-up and error conditions.
    pollfd p{FFd, 0, 0};
    int r;
    do r = ::poll(&p, 1, 0);
    while (r < 0 && errno == EINTR);
    if (r > 0 && (p.revents & (POLLHUP | POLLERR))) FHungUp.store(true);
    return FHungUp.load();
}

bool SerialDevice::ApplyModemLevel(int Line, LineLevel Level) {
    if (Level == LineLevel::Leave) return true;
    int bits = Line;
    if (IoctlRetry(FFd, Level == LineLevel::High ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
    return NoModemLines(errno) ? true : Fail();
}

bool SerialDevice::SetRtsToggle(bool On) {
    if (!On && !FRtsToggleOn) return true;
    serial_rs485 rs{};
    if (IoctlRetry(FFd, TIOCGRS485, &rs) < 0) return Fail();
    if (On) {
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    } else {
        rs.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    }
    if (IoctlRetry(FFd, TIOCSRS485, &rs) < 0) return Fail();
    FRtsToggleOn = On;
    return true;
}

bool SerialDevice::SetState(const TDCB& Dcb) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    LineTermios before;
    if (!GetLineTermios(FFd, before)) return false;
    const LinePlan plan = BuildLinePlan(Dcb, before);
    if (plan.Error) return Fail(plan.Error);
    if (!SetLineTermios(FFd, plan.Termios)) return false;
    auto undo = [&](int code) {
        (void)SetLineTermios(FFd, before);
        return Fail(code);
    };
    // A driver that cannot run at a rate falls back to another one (the
    // serial core picks 9600) without an error: check what it took.
    LineTermios after;
    if (!GetLineTermios(FFd, after)) return undo(LastPlatformError());
    if (!RateAccepted(Dcb.BaudRate, after.Ospeed)) return undo(EINVAL);
    if (!SetRtsToggle(plan.RtsToggle)) return undo(LastPlatformError());
    if (!ApplyModemLevel(TIOCM_DTR, plan.Dtr) || !ApplyModemLevel(TIOCM_RTS, plan.Rts)) return false;
    return true;
}

bool SerialDevice::LineDescription(std::string& Out) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    LineTermios line;
    if (!GetLineTermios(FFd, line)) return false;
    Out = DescribeLine(line);
    return true;
}

bool SerialDevice::SetRaw() {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    LineTermios t;
    if (!GetLineTermios(FFd, t)) return false;
    MakeLineRaw(t);
    return SetLineTermios(FFd, t);
}

bool SerialDevice::SetupQueues(int32_t InQueue, int32_t /*OutQueue*/) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    FInQueueSize.store(InQueue);
    return true;
}

bool SerialDevice::SetTimeoutsImmediate() {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    const int flags = fcntl(FFd, F_GETFL);
    if (flags < 0) return Fail();
    if (!(flags & O_NONBLOCK) && fcntl(FFd, F_SETFL, flags | O_NONBLOCK) < 0) return Fail();
    return true;
}

int SerialDevice::Read(void* Data, int Count) {
    if (Count <= 0) return 0;
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF) ? 0 : -1;
    std::lock_guard<std::mutex> input(FInput);
    for (;;) {
        const ssize_t r = ::read(FFd, Data, static_cast<size_t>(Count));
        if (r >= 0) {
            FTaken += static_cast<uint64_t>(r);
            return static_cast<int>(r);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        Fail();
        return -1;
    }
}

int SerialDevice::Write(const void* Data, int Count) {
    if (Count <= 0) return 0;
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF) ? 0 : -1;
    for (;;) {
        const ssize_t r = ::write(FFd, Data, static_cast<size_t>(Count));
        if (r >= 0) {
            if (r > 0) TxPending.store(true);
            return static_cast<int>(r);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        Fail();
        return -1;
    }
}

bool SerialDevice::ClearError(TVaCommStatus& Status) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    int in = 0, out = 0;
    if (IoctlRetry(FFd, FIONREAD, &in) < 0) return Fail();
    if (IoctlRetry(FFd, TIOCOUTQ, &out) < 0) return Fail();
    Status = TVaCommStatus{};
    Status.Stat.cbInQue = static_cast<uint32_t>(in);
    Status.Stat.cbOutQue = static_cast<uint32_t>(out);
    LineCounters now;
    if (ReadCounters(now)) {
        std::lock_guard<std::mutex> errors(FErrors);
        if (FHaveErrorBase) Status.Errors = LineErrorsBetween(FErrorBase, now);
        FErrorBase = now;
        FHaveErrorBase = true;
    }
    return true;
}

bool SerialDevice::Purge(uint32_t Flags) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    const bool in = Flags & PURGE_RXCLEAR;
    const bool out = Flags & PURGE_TXCLEAR;
    if (!in && !out) return true;  // nothing is pending to abort: transfers here never wait
    std::unique_lock<std::mutex> input(FInput, std::defer_lock);
    if (in) {
        // The dropped bytes count as taken, so the event thread does not
        // take the next byte for old news.
        input.lock();
        int queued = 0;
        if (IoctlRetry(FFd, FIONREAD, &queued) == 0 && queued > 0) FTaken += static_cast<uint64_t>(queued);
    }
    if (tcflush(FFd, in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH) < 0) return Fail();
    return true;
}

bool SerialDevice::Escape(uint32_t Function) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    switch (Function) {
        case SETXOFF: return tcflow(FFd, TCOOFF) == 0 || Fail();
        case SETXON: return tcflow(FFd, TCOON) == 0 || Fail();
        case SETRTS: return ApplyModemLevel(TIOCM_RTS, LineLevel::High);
        case CLRRTS: return ApplyModemLevel(TIOCM_RTS, LineLevel::Low);
        case SETDTR: return ApplyModemLevel(TIOCM_DTR, LineLevel::High);
        case CLRDTR: return ApplyModemLevel(TIOCM_DTR, LineLevel::Low);
        case RESETDEV: return true;  // no such thing for a terminal
        case SETBREAK: return IoctlRetry(FFd, TIOCSBRK, nullptr) == 0 || Fail();
        case CLRBREAK: return IoctlRetry(FFd, TIOCCBRK, nullptr) == 0 || Fail();
        default: return Fail(EINVAL);
    }
}

bool SerialDevice::GetModemLines(int& Bits) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    Bits = 0;
    int lines = 0;
    if (IoctlRetry(FFd, TIOCMGET, &lines) != 0) return Fail();
    if (lines & TIOCM_CTS) Bits |= MS_CTS_ON;
    if (lines & TIOCM_DSR) Bits |= MS_DSR_ON;
    if (lines & TIOCM_RI) Bits |= MS_RING_ON;
    if (lines & TIOCM_CD) Bits |= MS_RLSD_ON;
    return true;
}

bool SerialDevice::ModemStatus(uint32_t& Lines) {
    Lines = 0;
    int bits = 0;
    if (!GetModemLines(bits)) return NoModemLines(LastPlatformError());
    Lines = static_cast<uint32_t>(bits);
    return true;
}

bool SerialDevice::Properties(TCommProp& Prop) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    Prop = TCommProp{};
    Prop.wPacketLength = sizeof(TCommProp);
    Prop.wPacketVersion = 2;
    Prop.dwServiceMask = 0x1;           // serial communications
    Prop.dwMaxBaud = 0x10000000;        // any rate
    Prop.dwProvSubType = 0x1;           // RS-232
    Prop.dwProvCapabilities = 0x3F3;    // DTR/DSR, RTS/CTS, RLSD, parity check, XON/XOFF, settable XON/XOFF, special chars, 16-bit mode
    Prop.dwSettableParams = 0x7F;       // parity, rate, data bits, stop bits, handshaking, parity check, RLSD
    Prop.dwSettableBaud = 0x10000000 | 0x7FFFF;
    Prop.wSettableData = 0x000F;        // 5 to 8 data bits
    Prop.wSettableStopParity = 0x1F07;  // 1, 1.5, 2 stop bits; no, odd, even, mark, space parity
    Prop.dwCurrentRxQueue = static_cast<uint32_t>(FInQueueSize.load());
    return true;
}

bool SerialDevice::SampleInput(InputSample& Sample) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    std::lock_guard<std::mutex> input(FInput);
    int queued = 0;
    if (IoctlRetry(FFd, FIONREAD, &queued) < 0) return Fail();
    Sample.Queued = queued;
    Sample.Total = FTaken + static_cast<uint64_t>(queued);
    return true;
}

bool SerialDevice::GetLineCounters(LineCounters& Counters) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    return ReadCounters(Counters);
}

bool SerialDevice::OutputQueued(int& Count) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(EBADF);
    Count = 0;
    return IoctlRetry(FFd, TIOCOUTQ, &Count) == 0 || Fail();
}

int SerialDevice::Wait(short DeviceEvents, std::initializer_list<TVaEvent*> Wakers, int TimeoutMs, short& Revents) {
    Revents = 0;
    pollfd fds[9];
    const size_t wakers = Wakers.size();
    if (wakers > 8) return -2;
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) {
        Fail(EBADF);
        return -2;
    }
    size_t n = 0;
    for (TVaEvent* e : Wakers) fds[n++] = pollfd{e->Handle(), POLLIN, 0};
    // Hang-up and error are reported whatever is asked, so a device that is
    // not to be watched stays out of the poll altogether.
    if (DeviceEvents != 0) fds[n++] = pollfd{FFd, DeviceEvents, 0};
    int r;
    do r = ::poll(fds, n, TimeoutMs);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        Fail();
        return -2;
    }
    if (r == 0) return -1;
    for (size_t i = 0; i < wakers; ++i)
        if (fds[i].revents & POLLIN) return static_cast<int>(i);
    Revents = DeviceEvents != 0 ? fds[wakers].revents : 0;
    return static_cast<int>(wakers);
}

}  // namespace pelk::posix

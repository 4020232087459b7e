#include "serial/win32/serial_device.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "serial/vaconst.h"
#include "serial/win32/platform_error.h"

// After the project's headers: <windows.h> defines macros of names the
// serial constants also use (with the same values).
#include <windows.h>

namespace pelk::win32 {

static_assert(sizeof(COMMPROP) == sizeof(TCommProp));

namespace {

constexpr DWORD ReadWaitMs = 1000;  // a read of queued bytes that does not end by then is cancelled
constexpr uint32_t AlwaysWatched = EV_RXCHAR | EV_ERR | EV_BREAK;

HANDLE H(void* Handle) { return static_cast<HANDLE>(Handle); }

// Errors of a device without modem control lines (under wine, a
// pseudo-terminal) asked about them.
bool NoModemLines(DWORD Code) {
    return Code == ERROR_NOT_SUPPORTED || Code == ERROR_INVALID_FUNCTION || Code == ERROR_INVALID_PARAMETER;
}

}  // namespace

std::string SystemDeviceName(const std::string& Name) {
    if (Name.size() > 3 && Name.size() <= 6 && std::toupper(static_cast<unsigned char>(Name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(Name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(Name[2])) == 'M' &&
        std::all_of(Name.begin() + 3, Name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "\\\\.\\" + Name;
    return Name;
}

bool IsGoneError(int Code) {
    switch (static_cast<DWORD>(Code)) {
        case ERROR_ACCESS_DENIED:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_BROKEN_PIPE:
        case ERROR_IO_DEVICE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED: return true;
        default: return false;
    }
}

bool DcbRefused(const TDCB& Dcb) {
    if (Dcb.BaudRate == 0) return true;
    if (Dcb.ByteSize < 5 || Dcb.ByteSize > 8) return true;
    if (Dcb.Parity > 4 || Dcb.StopBits > 2) return true;
    if (Dcb.StopBits == 1 && Dcb.ByteSize != 5) return true;
    if (Dcb.StopBits == 2 && Dcb.ByteSize == 5) return true;
    if ((Dcb.Flags & (dcb_OutX | dcb_InX)) && Dcb.XonChar == Dcb.XoffChar) return true;
    return false;
}

// The overlapped records and their events, and the write's own copy of the
// bytes: they must outlive every transfer, so they belong to the device.
struct SerialDevice::Impl {
    HANDLE ReadEvent = nullptr;
    OVERLAPPED ReadOv{};

    std::mutex WaitLock;  // the pending event wait
    HANDLE WaitEvent = nullptr;
    OVERLAPPED WaitOv{};
    DWORD WaitMask = 0;
    enum class WaitState { Idle, Pending, Ended } State = WaitState::Idle;
    DWORD WaitResult = 0;  // of an Ended wait: 0, or the error it ended with

    std::mutex WriteLock;  // the running write
    HANDLE WriteEvent = nullptr;
    OVERLAPPED WriteOv{};
    std::vector<uint8_t> WriteData;
    bool WriteRunning = false;

    ~Impl() {
        for (HANDLE h : {ReadEvent, WaitEvent, WriteEvent})
            if (h) CloseHandle(h);
    }
};

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& Name) {
    const std::string system = SystemDeviceName(Name);
    const HANDLE h = CreateFileA(system.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Fail();
        return nullptr;
    }
    // Only a communications device will do (not a file or a pipe of that name).
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        const DWORD error = GetLastError();
        CloseHandle(h);
        Fail(static_cast<int>(error == ERROR_SUCCESS ? ERROR_INVALID_FUNCTION : error));
        return nullptr;
    }
    std::shared_ptr<SerialDevice> device(new SerialDevice(h, Name));
    Impl& x = *device->FImpl;
    x.ReadEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    x.WaitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    x.WriteEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!x.ReadEvent || !x.WaitEvent || !x.WriteEvent) {
        Fail();
        device->Close();
        return nullptr;
    }
    // Line errors from before the port was opened are not ours to report.
    uint32_t errors = 0;
    TComStat stat;
    std::shared_lock<std::shared_mutex> use(device->FUse);
    device->QueryStatus(errors, stat);
    std::lock_guard<std::mutex> guard(device->FErrors);
    device->FUnreported = 0;
    device->FCounters = LineCounters{};
    return device;
}

SerialDevice::SerialDevice(void* Handle, std::string Path)
    : FHandle(Handle), FPath(std::move(Path)), FImpl(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() { Close(); }

void SerialDevice::Close() {
    std::unique_lock<std::shared_mutex> use(FUse);
    if (FClosed) return;
    FClosed = true;
    const HANDLE h = H(FHandle);
    // End what is pending and wait until it has ended: the system writes
    // into the overlapped records and the buffers until then.
    CancelIoEx(h, nullptr);
    DWORD n = 0;
    {
        std::lock_guard<std::mutex> wait(FImpl->WaitLock);
        if (FImpl->State == Impl::WaitState::Pending) GetOverlappedResult(h, &FImpl->WaitOv, &n, TRUE);
        FImpl->State = Impl::WaitState::Idle;
    }
    {
        std::lock_guard<std::mutex> write(FImpl->WriteLock);
        if (FImpl->WriteRunning) GetOverlappedResult(h, &FImpl->WriteOv, &n, TRUE);
        FImpl->WriteRunning = false;
    }
    CloseHandle(h);
    FHandle = INVALID_HANDLE_VALUE;
}

bool SerialDevice::IsOpen() const {
    std::shared_lock<std::shared_mutex> use(FUse);
    return !FClosed;
}

bool SerialDevice::Failed(int Code) {
    if (IsGoneError(Code)) FHungUp.store(true);
    return Fail(Code);
}

bool SerialDevice::QueryStatus(uint32_t& Errors, TComStat& Stat) {
    DWORD errors = 0;
    COMSTAT cs{};
    if (!ClearCommError(H(FHandle), &errors, &cs)) return Failed(static_cast<int>(GetLastError()));
    Stat = TComStat{};
    Stat.Flags = (cs.fCtsHold ? 0x01u : 0) | (cs.fDsrHold ? 0x02u : 0) | (cs.fRlsdHold ? 0x04u : 0) |
                 (cs.fXoffHold ? 0x08u : 0) | (cs.fXoffSent ? 0x10u : 0) | (cs.fEof ? 0x20u : 0) |
                 (cs.fTxim ? 0x40u : 0);
    Stat.cbInQue = cs.cbInQue;
    Stat.cbOutQue = cs.cbOutQue;
    std::lock_guard<std::mutex> guard(FErrors);
    FUnreported |= errors;
    if (errors & CE_RXOVER) ++FCounters.BufOverrun;
    if (errors & CE_OVERRUN) ++FCounters.Overrun;
    if (errors & CE_RXPARITY) ++FCounters.Parity;
    if (errors & CE_FRAME) ++FCounters.Frame;
    if (errors & CE_BREAK) ++FCounters.Brk;
    Errors = FUnreported;
    return true;
}

bool SerialDevice::HungUp() {
    if (FHungUp.load()) return true;
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return false;
    uint32_t errors = 0;
    TComStat stat;
    QueryStatus(errors, stat);  // a gone device fails it and is marked
    return FHungUp.load();
}

bool SerialDevice::LineDescription(std::string& Out) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    DCB d{};
    d.DCBlength = sizeof d;
    if (!GetCommState(H(FHandle), &d)) return Failed(static_cast<int>(GetLastError()));
    static const char* const Parities[] = {"no parity", "odd parity", "even parity", "mark parity", "space parity"};
    static const char* const Stops[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
    Out = std::to_string(d.BaudRate) + " bit/s, " + std::to_string(d.ByteSize) + " data bits, " +
          (d.Parity < 5 ? Parities[d.Parity] : "parity ?") + ", " + (d.StopBits < 3 ? Stops[d.StopBits] : "stop bits ?");
    std::string flow;
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE) flow = "RTS/CTS";
    if (d.fOutX || d.fInX) flow += std::string(flow.empty() ? "" : " and ") + "XON/XOFF";
    Out += flow.empty() ? ", no flow control" : ", flow control " + flow;
    return true;
}

bool SerialDevice::SetState(const TDCB& Dcb) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    if (DcbRefused(Dcb)) return Fail(ERROR_INVALID_PARAMETER);
    const HANDLE h = H(FHandle);
    DCB before{};
    before.DCBlength = sizeof before;
    if (!GetCommState(h, &before)) return Failed(static_cast<int>(GetLastError()));
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = Dcb.BaudRate;
    d.fBinary = 1;
    d.fParity = (Dcb.Flags & dcb_ParityCheck) != 0;
    d.fOutxCtsFlow = (Dcb.Flags & dcb_OutxCtsFlow) != 0;
    d.fOutxDsrFlow = (Dcb.Flags & dcb_OutxDsrFlow) != 0;
    d.fDtrControl = (Dcb.Flags & dcb_DtrControlMask) >> 4;
    d.fDsrSensitivity = (Dcb.Flags & dcb_DsrSensitivity) != 0;
    d.fTXContinueOnXoff = (Dcb.Flags & dcb_TXContinueOnXoff) != 0;
    d.fOutX = (Dcb.Flags & dcb_OutX) != 0;
    d.fInX = (Dcb.Flags & dcb_InX) != 0;
    d.fErrorChar = (Dcb.Flags & dcb_ErrorChar) != 0;
    d.fNull = (Dcb.Flags & dcb_NullStrip) != 0;
    d.fRtsControl = (Dcb.Flags & dcb_RtsControlMask) >> 12;
    d.fAbortOnError = 0;
    d.XonLim = Dcb.XonLim;
    d.XoffLim = Dcb.XoffLim;
    d.ByteSize = Dcb.ByteSize;
    d.Parity = Dcb.Parity;
    d.StopBits = Dcb.StopBits;
    d.XonChar = Dcb.XonChar;
    d.XoffChar = Dcb.XoffChar;
    d.ErrorChar = Dcb.ErrorChar;
    d.EofChar = Dcb.EofChar;
    d.EvtChar = Dcb.EvtChar;
    if (!SetCommState(h, &d)) return Failed(static_cast<int>(GetLastError()));
    // A driver that cannot run at a rate may keep another one without an
    // error: check what it took, and refuse (putting back the old settings)
    // when the line would not really run at the rate asked for.
    DCB after{};
    after.DCBlength = sizeof after;
    if (GetCommState(h, &after) && !RateAccepted(Dcb.BaudRate, after.BaudRate)) {
        SetCommState(h, &before);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return true;
}

bool SerialDevice::SetRaw() {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    DCB d{};
    d.DCBlength = sizeof d;
    if (!GetCommState(H(FHandle), &d)) return Failed(static_cast<int>(GetLastError()));
    if (d.fBinary) return true;
    d.fBinary = 1;
    if (!SetCommState(H(FHandle), &d)) return Failed(static_cast<int>(GetLastError()));
    return true;
}

bool SerialDevice::SetupQueues(int32_t InQueue, int32_t OutQueue) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    if (!SetupComm(H(FHandle), static_cast<DWORD>(InQueue), static_cast<DWORD>(OutQueue)))
        return Failed(static_cast<int>(GetLastError()));
    FInQueueSize.store(InQueue);
    return true;
}

bool SerialDevice::SetTimeoutsImmediate() {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;  // reads return at once with what is queued
    if (!SetCommTimeouts(H(FHandle), &t)) return Failed(static_cast<int>(GetLastError()));
    return true;
}

bool SerialDevice::SetEventMask(uint32_t Mask) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    if (!SetCommMask(H(FHandle), Mask | AlwaysWatched)) return Failed(static_cast<int>(GetLastError()));
    FEventMask.store(Mask);
    return true;
}

int SerialDevice::Read(void* Data, int Count) {
    if (Count <= 0) return 0;
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE) ? 0 : -1;
    std::lock_guard<std::mutex> input(FInput);
    uint32_t errors = 0;
    TComStat stat;
    if (!QueryStatus(errors, stat)) return -1;
    // Only what is queued: such a read completes at once on every driver.
    const DWORD wanted = std::min<DWORD>(static_cast<DWORD>(Count), stat.cbInQue);
    if (wanted == 0) return 0;
    const HANDLE h = H(FHandle);
    Impl& x = *FImpl;
    std::memset(&x.ReadOv, 0, sizeof x.ReadOv);
    x.ReadOv.hEvent = x.ReadEvent;
    ResetEvent(x.ReadEvent);
    DWORD n = 0;
    if (!ReadFile(h, Data, wanted, nullptr, &x.ReadOv)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return Failed(static_cast<int>(error)) ? 0 : -1;
        if (WaitForSingleObject(x.ReadEvent, ReadWaitMs) != WAIT_OBJECT_0) CancelIoEx(h, &x.ReadOv);
    }
    if (!GetOverlappedResult(h, &x.ReadOv, &n, TRUE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_OPERATION_ABORTED) return Failed(static_cast<int>(error)) ? 0 : -1;
    }
    FTaken += n;
    return static_cast<int>(n);
}

int SerialDevice::Write(const void* Data, int Count) {
    if (Count <= 0) return 0;
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE) ? 0 : -1;
    const HANDLE h = H(FHandle);
    Impl& x = *FImpl;
    std::lock_guard<std::mutex> write(x.WriteLock);
    DWORD n = 0;
    if (x.WriteRunning) {
        // The write started earlier took the front bytes of that call, which
        // are still the front bytes of this one.
        if (GetOverlappedResult(h, &x.WriteOv, &n, FALSE)) {
            x.WriteRunning = false;
            if (n > 0) TxPending.store(true);
            return static_cast<int>(n);
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return 0;
        x.WriteRunning = false;
        return Failed(static_cast<int>(error)) ? 0 : -1;
    }
    x.WriteData.assign(static_cast<const uint8_t*>(Data), static_cast<const uint8_t*>(Data) + Count);
    std::memset(&x.WriteOv, 0, sizeof x.WriteOv);
    x.WriteOv.hEvent = x.WriteEvent;
    ResetEvent(x.WriteEvent);
    if (!WriteFile(h, x.WriteData.data(), static_cast<DWORD>(Count), nullptr, &x.WriteOv)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            x.WriteRunning = true;
            return 0;
        }
        return Failed(static_cast<int>(error)) ? 0 : -1;
    }
    if (!GetOverlappedResult(h, &x.WriteOv, &n, TRUE)) return Failed(static_cast<int>(GetLastError())) ? 0 : -1;
    if (n > 0) TxPending.store(true);
    return static_cast<int>(n);
}

bool SerialDevice::ClearError(TVaCommStatus& Out) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    uint32_t errors = 0;
    TComStat stat;
    if (!QueryStatus(errors, stat)) return false;
    Out = TVaCommStatus{};
    Out.Stat = stat;
    std::lock_guard<std::mutex> guard(FErrors);
    Out.Errors = FUnreported;
    FUnreported = 0;
    return true;
}

bool SerialDevice::Purge(uint32_t Flags) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    const HANDLE h = H(FHandle);
    std::unique_lock<std::mutex> input(FInput, std::defer_lock);
    if (Flags & PURGE_RXCLEAR) {
        // The dropped bytes count as taken, so the event thread does not
        // take the next byte for old news.
        input.lock();
        uint32_t errors = 0;
        TComStat stat;
        if (QueryStatus(errors, stat)) FTaken += stat.cbInQue;
    }
    std::unique_lock<std::mutex> write(FImpl->WriteLock, std::defer_lock);
    if (Flags & (PURGE_TXABORT | PURGE_TXCLEAR)) write.lock();
    if (!PurgeComm(h, Flags)) return Failed(static_cast<int>(GetLastError()));
    if (write.owns_lock() && FImpl->WriteRunning) {
        // Aborted (or it had just ended): its bytes are dropped with the
        // buffer they came from.
        if (!(Flags & PURGE_TXABORT)) CancelIoEx(h, &FImpl->WriteOv);
        DWORD n = 0;
        GetOverlappedResult(h, &FImpl->WriteOv, &n, TRUE);
        FImpl->WriteRunning = false;
    }
    return true;
}

bool SerialDevice::Escape(uint32_t Function) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    if (Function < SETXOFF || Function > CLRBREAK) return Fail(ERROR_INVALID_PARAMETER);
    if (EscapeCommFunction(H(FHandle), Function)) return true;
    const DWORD error = GetLastError();
    // Lines the device does not have (a pseudo-terminal under wine), and a
    // reset the driver does not know, are nothing to fail for.
    const bool modemLine = Function >= SETRTS && Function <= CLRDTR;
    if ((modemLine || Function == RESETDEV) && NoModemLines(error)) return true;
    return Failed(static_cast<int>(error));
}

bool SerialDevice::GetModemLines(int& Bits) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    DWORD lines = 0;
    if (!GetCommModemStatus(H(FHandle), &lines)) return Failed(static_cast<int>(GetLastError()));
    Bits = static_cast<int>(lines & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
    return true;
}

bool SerialDevice::ModemStatus(uint32_t& Lines) {
    Lines = 0;
    int bits = 0;
    if (!GetModemLines(bits)) return NoModemLines(static_cast<DWORD>(LastPlatformError()));
    Lines = static_cast<uint32_t>(bits);
    return true;
}

bool SerialDevice::Properties(TCommProp& Prop) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    COMMPROP p{};
    p.wPacketLength = sizeof p;
    if (!GetCommProperties(H(FHandle), &p)) return Failed(static_cast<int>(GetLastError()));
    std::memcpy(static_cast<void*>(&Prop), &p, sizeof Prop);
    return true;
}

bool SerialDevice::SampleInput(InputSample& Sample) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> input(FInput);
    uint32_t errors = 0;
    TComStat stat;
    if (!QueryStatus(errors, stat)) return false;
    Sample.Queued = static_cast<int>(stat.cbInQue);
    Sample.Total = FTaken + stat.cbInQue;
    return true;
}

bool SerialDevice::GetLineCounters(LineCounters& Counters) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    uint32_t errors = 0;
    TComStat stat;
    if (!QueryStatus(errors, stat)) return false;
    std::lock_guard<std::mutex> guard(FErrors);
    Counters = FCounters;
    return true;
}

bool SerialDevice::OutputQueued(int& Count) {
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) return Fail(ERROR_INVALID_HANDLE);
    uint32_t errors = 0;
    TComStat stat;
    if (!QueryStatus(errors, stat)) return false;
    Count = static_cast<int>(stat.cbOutQue);
    std::lock_guard<std::mutex> write(FImpl->WriteLock);
    if (FImpl->WriteRunning && Count == 0) Count = 1;  // a write still under way is not done
    return true;
}

int SerialDevice::Wait(short DeviceEvents, std::initializer_list<TVaEvent*> Wakers, int TimeoutMs, short& Revents) {
    Revents = 0;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    const size_t wakers = Wakers.size();
    if (wakers + 1 > MAXIMUM_WAIT_OBJECTS) return -2;
    std::shared_lock<std::shared_mutex> use(FUse);
    if (FClosed) {
        Fail(ERROR_INVALID_HANDLE);
        return -2;
    }
    const HANDLE h = H(FHandle);
    Impl& x = *FImpl;
    DWORD n = 0;
    for (TVaEvent* e : Wakers) handles[n++] = LongToHandle(e->Handle());
    bool readable = false;
    bool writable = false;
    if (DeviceEvents & DeviceReadable) {
        std::lock_guard<std::mutex> wait(x.WaitLock);
        if (x.State == Impl::WaitState::Idle) {
            std::memset(&x.WaitOv, 0, sizeof x.WaitOv);
            x.WaitOv.hEvent = x.WaitEvent;
            ResetEvent(x.WaitEvent);
            x.WaitMask = 0;
            if (WaitCommEvent(h, &x.WaitMask, &x.WaitOv)) {
                x.State = Impl::WaitState::Ended;
                x.WaitResult = 0;
                SetEvent(x.WaitEvent);
            } else if (const DWORD error = GetLastError(); error == ERROR_IO_PENDING) {
                x.State = Impl::WaitState::Pending;
            } else {
                // Cannot be watched (a device gone, a mask of nothing): the
                // caller stops watching it rather than spin on it.
                Failed(static_cast<int>(error));
                return -2;
            }
        }
        handles[n++] = x.WaitEvent;
        readable = true;
    } else if (DeviceEvents & DeviceWritable) {
        std::lock_guard<std::mutex> write(x.WriteLock);
        if (x.WriteRunning) {
            handles[n++] = x.WriteEvent;
            writable = true;
        } else if (wakers == 0 || WaitForMultipleObjects(static_cast<DWORD>(wakers), handles, FALSE, 0) == WAIT_TIMEOUT) {
            Revents = DeviceWritable;  // nothing under way: the device takes bytes now
            return static_cast<int>(wakers);
        }
    }
    if (n == 0) return TimeoutMs < 0 ? -2 : (Sleep(static_cast<DWORD>(TimeoutMs)), -1);
    const DWORD r = WaitForMultipleObjects(n, handles, FALSE, TimeoutMs < 0 ? INFINITE : static_cast<DWORD>(TimeoutMs));
    if (r == WAIT_TIMEOUT) return -1;
    if (r >= WAIT_OBJECT_0 + n) {
        Fail();
        return -2;
    }
    const size_t index = r - WAIT_OBJECT_0;
    if (index < wakers) return static_cast<int>(index);
    if (writable) {
        Revents = DeviceWritable;
        return static_cast<int>(wakers);
    }
    if (readable) {
        std::lock_guard<std::mutex> wait(x.WaitLock);
        DWORD result = x.WaitResult;
        if (x.State == Impl::WaitState::Pending) {
            DWORD ignored = 0;
            result = GetOverlappedResult(h, &x.WaitOv, &ignored, FALSE) ? 0 : GetLastError();
            if (result == ERROR_IO_INCOMPLETE) return -1;  // not ended after all: look again
        }
        x.State = Impl::WaitState::Idle;
        if (result != 0 && IsGoneError(static_cast<int>(result))) {
            Failed(static_cast<int>(result));
            Revents = DeviceHangUp;
        } else {
            // Also a wait that ended with an error of no consequence (wine
            // ends a wait on a pseudo-terminal that way after a few
            // milliseconds): the caller samples the device and waits again.
            Revents = DeviceReadable;
        }
    }
    return static_cast<int>(wakers);
}

}  // namespace pelk::win32

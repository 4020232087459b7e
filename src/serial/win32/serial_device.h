#pragma once
// The device layer on Windows: one open serial device on the Win32
// communications interface, with the calls the component and its threads
// make on it, the same seam as posix/serial_device.h.
//
// The device is opened by its system name (COM1 .. COM256, as "\\.\COMn"),
// exclusively and for overlapped use. Every call that fails returns false
// (or -1) and records GetLastError's code (platform_error.h).
//
// Transfers. Reads take only what ClearCommError reports queued, so they
// complete at once (the read timeouts say so too). A write is started with
// WriteFile on a copy of the bytes that the device keeps, so the caller's
// buffer may change while it is under way: Write returns the count written
// when the write completes at once, and otherwise 0 with the write left
// running; Wait(DeviceWritable) waits for it, and the next Write reports its
// count. A purge of output aborts it and drops its count.
//
// Events. Wait(DeviceReadable) keeps one WaitCommEvent pending on the device
// (across calls, until it completes) and waits for it and for the wakers with
// WaitForMultipleObjects; the comm mask always has byte-received, line-error
// and break in it, so the event thread's wait ends for each of them. Line
// errors are read with ClearCommError, which clears them on the device; the
// device adds them to counters of its own (GetLineCounters) and keeps them
// for the next ClearError, so no caller takes them from another.
//
// Hang-up. A device that has gone away (a USB adapter pulled out; under
// wine, a pseudo-terminal whose other side closed) fails every call with one
// of a few errors (ERROR_NOT_READY, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE,
// ERROR_ACCESS_DENIED, ERROR_BROKEN_PIPE, ERROR_IO_DEVICE,
// ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED);
// the first such failure marks it hung up.
// Wait(DeviceHangUp) alone cannot watch for it (only one WaitCommEvent may be
// pending on a device, and it belongs to the event thread): it waits for the
// wakers only, and the write thread learns of a hang-up from its writes.
//
// Shared use and closing work as on POSIX: calls run under a shared "in use"
// lock, and Close cancels what is pending, waits for it to end, and closes
// the handle, so nothing completes into freed memory.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "serial/device_common.h"
#include "serial/vaobjects.h"
#include "serial/vatypes.h"

namespace pelk::win32 {

using pelk::LineCounters;
using pelk::LineErrorsBetween;

// The system's name of the device Name stands for: "\\.\COMn" for COMn
// (any letter case), Name itself for anything else.
std::string SystemDeviceName(const std::string& Name);
// True for the errors that a device which has gone away gives.
bool IsGoneError(int Code);
// The refusals of a device control block that every line makes: rate 0,
// data bits outside 5..8, parity or stop-bit codes out of range, one and a
// half stop bits except with 5 data bits, two stop bits with 5 data bits,
// XON/XOFF flow control with equal XON and XOFF characters. Everything else
// the communications interface takes as it is (DSR flow control and
// sensitivity, DTR handshake, null stripping, the error character).
bool DcbRefused(const TDCB& Dcb);

class SerialDevice {
public:
    static std::shared_ptr<SerialDevice> Open(const std::string& Name);
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    void Close();
    bool IsOpen() const;
    // The name the device was opened by (COM5), in messages.
    const std::string& Path() const { return FPath; }
    const std::string& RealPath() const { return FPath; }

    // True once the device has been found gone; asks it (ClearCommError,
    // without waiting) while it has not.
    bool HungUp();
    // Whether a hang-up has been found already, without asking the device.
    bool HungUpSeen() const { return FHungUp.load(); }
    bool ClaimHangUpReport() { return !FHangUpClaimed.exchange(true); }

    bool SetState(const TDCB& Dcb);
    // For a port whose settings are not to be written: a Windows line has no
    // terminal processing to switch off; this only makes sure it runs in
    // binary mode (which the system requires), keeping rate and framing.
    bool SetRaw();
    bool SetupQueues(int32_t InQueue, int32_t OutQueue);
    bool SetTimeoutsImmediate();
    bool SetEventMask(uint32_t Mask);
    uint32_t EventMask() const { return FEventMask.load(); }

    int Read(void* Data, int Count);
    int Write(const void* Data, int Count);
    bool ClearError(TVaCommStatus& Status);
    bool Purge(uint32_t Flags);
    bool Escape(uint32_t Function);
    bool ModemStatus(uint32_t& Lines);
    bool Properties(TCommProp& Prop);
    // The line settings the device runs with now (GetCommState), in words:
    // "115200 bit/s, 8 data bits, no parity, 1 stop bit, no flow control".
    bool LineDescription(std::string& Out);

    struct InputSample {
        uint64_t Total = 0;
        int Queued = 0;
    };
    bool SampleInput(InputSample& Sample);
    bool GetLineCounters(LineCounters& Counters);
    // MS_* bits of the modem input lines; false where the device has none.
    bool GetModemLines(int& Bits);
    bool OutputQueued(int& Count);
    int32_t InQueueSize() const { return FInQueueSize.load(); }
    std::atomic<bool> TxPending{false};

    // As on POSIX: the index of the first signalled waker, Wakers.size()
    // when the device is ready (what it is ready for in Revents: Device*),
    // -1 on time-out, -2 if the device is closed or the wait failed.
    int Wait(short DeviceEvents, std::initializer_list<TVaEvent*> Wakers, int TimeoutMs, short& Revents);

    struct Impl;

private:
    SerialDevice(void* Handle, std::string Path);
    bool Failed(int Code);  // records Code; a gone-device error marks the device hung up
    bool QueryStatus(uint32_t& Errors, TComStat& Stat);  // ClearCommError, errors kept (with FUse held)

    mutable std::shared_mutex FUse;
    bool FClosed = false;
    void* FHandle;
    std::string FPath;
    std::unique_ptr<Impl> FImpl;
    std::atomic<bool> FHungUp{false};
    std::atomic<bool> FHangUpClaimed{false};
    std::atomic<uint32_t> FEventMask{0};
    std::atomic<int32_t> FInQueueSize{4096};
    std::mutex FInput;  // a read and the count of bytes taken change together
    uint64_t FTaken = 0;
    std::mutex FErrors;  // the errors below
    uint32_t FUnreported = 0;
    LineCounters FCounters;
};

}  // namespace pelk::win32

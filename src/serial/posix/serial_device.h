#pragma once
// The device layer: one open serial device and the calls the component and
// its threads make on it, in place of the platform communications interface
// the component was designed around.
//
// Every call that fails returns false (or -1) and records the platform error
// (platform_error.h), from which the component builds its message.
//
// Shared use and closing. The component and its two worker threads hold the
// device through std::shared_ptr. Every call on the descriptor runs under a
// shared "in use" lock and first checks that the device is still open; Close
// marks it closed and then takes the lock exclusively, so it waits only
// until a thread has left the call it is in. The workers never block inside
// a call except in Wait, and every Wait includes one of the worker's own
// events, which the component sets before it closes the device; so Close
// never waits for long, and no worker ever touches a descriptor number that
// has been closed and perhaps reused.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "serial/device_common.h"
#include "serial/posix/line_settings.h"
#include "serial/vaobjects.h"
#include "serial/vatypes.h"

namespace pelk::posix {

using pelk::LineCounters;
using pelk::LineErrorsBetween;

class SerialDevice {
public:
    // Opens the device that Name resolves to (device_names.h) for reading
    // and writing, non-blocking, not as controlling terminal, for exclusive
    // use, and asks the driver for low latency. Null on failure: ENOENT when
    // Name names no device, EBUSY when another opener holds it, ENOTTY when
    // it is not a terminal.
    static std::shared_ptr<SerialDevice> Open(const std::string& Name);
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    void Close();
    bool IsOpen() const;
    const std::string& Path() const { return FPath; }
    // The device file itself: for a name that resolved to a link (a COMn
    // link in the working directory), the file the link points to.
    const std::string& RealPath() const { return FRealPath; }

    // Hang-up: the other side of a pseudo-terminal closed, or the device
    // went away (a USB adapter pulled out). The kernel then answers every
    // call on the descriptor with a failure or end of file, and poll with
    // POLLHUP. True once the device has been found hung up; asks the device
    // (without waiting) while it has not.
    bool HungUp();
    // Whether a hang-up has been found already, without asking the device.
    bool HungUpSeen() const { return FHungUp.load(); }
    // True for the first caller only: the one thread that reports the
    // hang-up to the main thread.
    bool ClaimHangUpReport() { return !FHangUpClaimed.exchange(true); }

    // Applies the block at once (BuildLinePlan). A block the line cannot
    // take, or a rate the device does not really run at, fails with EINVAL
    // and leaves the previous settings in place. Devices without modem
    // control lines (pseudo-terminals, some USB adapters) ignore the DTR and
    // RTS levels.
    bool SetState(const TDCB& Dcb);
    // Only makes the line raw (MakeLineRaw), keeping its rate and framing:
    // for a port whose settings are not to be written (UpdateDCB false).
    bool SetRaw();
    // Queue sizes: the kernel's are fixed; the input size is kept for the
    // 80%-full event.
    bool SetupQueues(int32_t InQueue, int32_t OutQueue);
    // Reads return at once with what is queued: the descriptor is
    // non-blocking.
    bool SetTimeoutsImmediate();
    bool SetEventMask(uint32_t Mask) {
        FEventMask.store(Mask);
        return true;
    }
    uint32_t EventMask() const { return FEventMask.load(); }

    // Up to Count queued bytes; 0 if none wait (or after a hang-up); -1 on
    // failure.
    int Read(void* Data, int Count);
    // Bytes the device accepted (0 when its queue is full); -1 on failure.
    int Write(const void* Data, int Count);
    // Line errors since the last call (CE_*), and the two queue counts.
    bool ClearError(TVaCommStatus& Status);
    // PURGE_* flags: clears the input and/or output queue.
    bool Purge(uint32_t Flags);
    // SETXOFF .. CLRBREAK of vaconst.h.
    bool Escape(uint32_t Function);
    // MS_* bits of the modem input lines; all off without modem lines.
    bool ModemStatus(uint32_t& Lines);
    bool Properties(TCommProp& Prop);
    // The line settings the device runs with now, as the kernel reports
    // them, in words (DescribeLine).
    bool LineDescription(std::string& Out);

    // For the event thread.
    struct InputSample {
        uint64_t Total = 0;  // bytes ever received: taken by Read or Purge, plus queued
        int Queued = 0;
    };
    bool SampleInput(InputSample& Sample);
    // False (ENOTTY) where the driver keeps no counters.
    bool GetLineCounters(LineCounters& Counters);
    // MS_* bits of the modem input lines; false (ENOTTY) without modem lines.
    bool GetModemLines(int& Bits);
    bool OutputQueued(int& Count);
    // The input queue size given by SetupQueues.
    int32_t InQueueSize() const { return FInQueueSize.load(); }
    // Set by every accepted write, cleared by whoever reports the output
    // queue empty.
    std::atomic<bool> TxPending{false};

    // Waits up to TimeoutMs (-1: no limit) for the first of Wakers (in order
    // of precedence) or for DeviceEvents on the device (Device* of
    // device_common.h, the poll bits; 0: the device is not watched). Returns
    // the index of the first signalled waker, Wakers.size() when only the
    // device is ready (its poll bits in Revents), -1 on time-out, -2 if the
    // device is closed or poll failed.
    int Wait(short DeviceEvents, std::initializer_list<TVaEvent*> Wakers, int TimeoutMs, short& Revents);

private:
    SerialDevice(int Fd, std::string Path);
    bool ApplyModemLevel(int Line, LineLevel Level);
    bool ReadCounters(LineCounters& Counters);  // with FUse held
    bool SetRtsToggle(bool On);

    mutable std::shared_mutex FUse;
    bool FClosed = false;
    int FFd;
    std::string FPath;
    std::string FRealPath;
    std::atomic<bool> FHungUp{false};
    std::atomic<bool> FHangUpClaimed{false};
    std::atomic<uint32_t> FEventMask{0};
    std::atomic<int32_t> FInQueueSize{4096};
    std::atomic<bool> FHasCounters{true};
    std::mutex FInput;  // a read and the count of bytes taken change together
    uint64_t FTaken = 0;
    std::mutex FErrors;
    bool FHaveErrorBase = false;
    LineCounters FErrorBase;
    bool FRtsToggleOn = false;  // RS-485 mode switched on by us
    // The line's settings as they were before the port was opened, put back
    // at Close: a terminal used as the port (/dev/tty) is left as the
    // user's shell had it, not raw and without echo.
    bool FHaveSaved = false;
    LineTermios FSaved{};
};

}  // namespace pelk::posix

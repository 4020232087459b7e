// The serial component's two worker threads.
#include <algorithm>
#include <mutex>

#include "framework/exception.h"
#include "serial/serial_device.h"
#include "serial/vacomm_threads.h"
#include "serial/vautils.h"

namespace pelk {

namespace {

// While bytes that were already reported wait in the input queue, poll()
// would report the device readable at once, again and again; the event
// thread then looks for new bytes this often instead.
constexpr int RecheckMs = 10;
// Modem lines cannot be waited for together with the stop signal; where
// their changes are monitored they are sampled this often.
constexpr int ModemSampleMs = 20;
// Direct writes: how often the output queue is checked for transmit-empty.
constexpr int TxEmptySampleMs = 5;
// A write that fails is tried again after this pause.
constexpr uint32_t WriteRetryPauseMs = 100;
// Wakes for room in the device queue that then take no byte, in a row,
// before the write thread pauses as after a failure.
constexpr int FruitlessWakes = 3;
// How long a purge waits for the write thread's acknowledgement.
constexpr uint32_t PurgeAckTimeoutMs = 2000;

constexpr uint32_t ModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

int Sooner(int Timeout, int Ms) { return Timeout < 0 ? Ms : std::min(Timeout, Ms); }

}  // namespace

// ---------------------------------------------------------------------------
// TVaCommEventThread

TVaCommEventThread::TVaCommEventThread(TVaCustomComm* AComm, std::shared_ptr<SerialDevice> ADevice,
                                       uint32_t AEventMask)
    : TThread(true), FComm(AComm), FDevice(std::move(ADevice)), FWatchMask(AEventMask) {
    SetFreeOnTerminate(true);
}

void TVaCommEventThread::StopThread() {
    Terminate();
    FWaitEvent.SetEvent();
}

void TVaCommEventThread::Execute() {
    SerialDevice& device = *FDevice;
    const uint32_t mask = FWatchMask;
    bool watching = true;  // false once the device has hung up or failed
    LineCounters counters;
    const bool haveCounters = (mask & (EV_ERR | EV_BREAK)) && device.GetLineCounters(counters);
    int modem = 0;
    const bool haveModem = (mask & ModemEvents) && device.GetModemLines(modem);
    SerialDevice::InputSample input;
    // Bytes already waiting at the start count as new.
    uint64_t reported = device.SampleInput(input) ? input.Total - static_cast<uint64_t>(input.Queued) : 0;
    bool nearlyFull = false;
    bool reportedHangUp = false;

    while (!Terminated()) {
        if (!watching && !reportedHangUp && device.HungUp()) {
            // Whatever ended the watch, a hung-up device is reported once.
            reportedHangUp = true;
            ReportHangUp();
            continue;
        }
        if (watching && !device.SampleInput(input)) {
            // Back to the top, where a device that has gone is reported.
            watching = false;
            continue;
        }
        bool hungUp = false;
        if (!watching || input.Total <= reported) {
            short events = 0;
            int timeout = -1;
            if (watching) {
                if (input.Queued == 0) events = DeviceReadable;
                else timeout = RecheckMs;
                if (haveModem) timeout = Sooner(timeout, ModemSampleMs);
                if ((mask & EV_TXEMPTY) && device.TxPending.load()) timeout = Sooner(timeout, TxEmptySampleMs);
            }
            short revents = 0;
            const int woke = device.Wait(events, {&FWaitEvent}, timeout, revents);
            if (woke == 0) {  // stop, or a nudge
                if (!Terminated()) FWaitEvent.ResetEvent();
                continue;
            }
            if (woke == -2) {  // the device is closed or cannot be polled
                watching = false;
                continue;
            }
            hungUp = (revents & DeviceGone) != 0;
            if (!device.SampleInput(input)) {
                watching = false;
                continue;
            }
        }

        uint32_t happened = 0;
        if (input.Total > reported) {
            reported = input.Total;
            happened |= EV_RXCHAR;
        }
        LineCounters now;
        if (haveCounters && device.GetLineCounters(now)) {
            const uint32_t errors = LineErrorsBetween(counters, now);
            if (errors & ~CE_BREAK) happened |= EV_ERR;
            if (errors & CE_BREAK) happened |= EV_BREAK;
            counters = now;
        }
        int lines = 0;
        if (haveModem && device.GetModemLines(lines)) {
            const int changed = lines ^ modem;
            if (changed & MS_CTS_ON) happened |= EV_CTS;
            if (changed & MS_DSR_ON) happened |= EV_DSR;
            if (changed & MS_RLSD_ON) happened |= EV_RLSD;
            if (changed & MS_RING_ON) happened |= EV_RING;
            modem = lines;
        }
        const bool full = static_cast<int64_t>(input.Queued) * 10 >= static_cast<int64_t>(device.InQueueSize()) * 8;
        if (full && !nearlyFull) happened |= EV_RX80FULL;
        nearlyFull = full;
        int queued = 0;
        if ((mask & EV_TXEMPTY) && device.TxPending.load() && device.OutputQueued(queued) && queued == 0) {
            device.TxPending.store(false);
            happened |= EV_TXEMPTY;
        }
        // What arrived before a hang-up is still reported; then the device
        // is left alone until the port closes.
        if (hungUp) watching = false;
        happened &= mask;
        if (happened) Deliver(happened);
    }
}

void TVaCommEventThread::Deliver(uint32_t Events) {
    if (Terminated()) return;
    FEvtMask = Events;
    HandOver(&TVaCommEventThread::DoEvent);
}

void TVaCommEventThread::ReportHangUp() {
    if (Terminated() || !FDevice->ClaimHangUpReport()) return;
    HandOver(&TVaCommEventThread::DoHangUp);
}

void TVaCommEventThread::HandOver(void (TVaCommEventThread::*Method)()) {
    bool ran = true;
    try {
        ran = Synchronize([this, Method] { (this->*Method)(); });
    } catch (...) {
        // The calls let nothing escape.
    }
    // Nobody left on the main thread to deliver to.
    if (!ran) Terminate();
}

void TVaCommEventThread::DoHangUp() {
    if (Terminated()) return;
    FComm->HandleHangUp(FDevice.get());
}

void TVaCommEventThread::DoEvent() {
    // Terminated is set on the main thread by Close (also from the
    // component's destructor), so a delivery that runs after it must not
    // touch the component.
    if (Terminated()) return;
    try {
        uint32_t mask = FEvtMask;
        if (mask & EV_RXCHAR) {
            FComm->HandleDataEvent();
            mask &= ~EV_RXCHAR;
        }
        if (mask != 0 && !Terminated()) FComm->HandleLineEvent(mask);
    } catch (...) {
        ReportCurrentException();
    }
}

// ---------------------------------------------------------------------------
// TVaCommWriteThread

TVaCommWriteThread::TVaCommWriteThread(TVaCustomComm* AComm, std::shared_ptr<SerialDevice> ADevice,
                                       std::shared_ptr<TVaCriticalSection> AWriteLock, int BufferSize)
    : TThread(true),
      FBuffer(BufferSize),
      FComm(AComm),
      FDevice(std::move(ADevice)),
      FWriteLock(std::move(AWriteLock)) {
    SetFreeOnTerminate(true);
}

void TVaCommWriteThread::StopThread() {
    Terminate();
    FStopEvent.SetEvent();
}

int TVaCommWriteThread::BufferCount() {
    std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
    return FBuffer.Count();
}

bool TVaCommWriteThread::WriteData(const void* Data, int Count, bool TxEmptyWanted) {
    if (Count <= 0) return true;
    TVaTimeEvent timer;
    bool timing = false;
    for (;;) {
        {
            std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
            if (static_cast<int64_t>(FBuffer.Count()) + Count <= FBuffer.Capacity()) {
                FBuffer.Write(Data, Count);
                FTxEmptyWanted = TxEmptyWanted;
                FDataEvent.SetEvent();
                return true;
            }
            FRoomEvent.ResetEvent();
        }
        if (!timing) {
            InitTimer(timer, FComm->Buffers().WriteTimeout());
            timing = true;
        }
        if (TimerExpired(timer)) return false;
        const int64_t left = static_cast<int64_t>(timer.Timeout) - static_cast<uint32_t>(GetTickCount() - timer.StartTick);
        FRoomEvent.WaitFor(static_cast<uint32_t>(std::clamp<int64_t>(left + 1, 1, 0x7FFFFFFF)));
    }
}

void TVaCommWriteThread::PurgeWrite() {
    uint32_t ticket;
    {
        std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
        if (FInHandOver) {
            // The thread waits for the main thread (which is us) and holds
            // no byte of the buffer: it could not answer before the main
            // thread is free again, so the purge is done here.
            FBuffer.Clear();
            FDataEvent.ResetEvent();
            FRoomEvent.SetEvent();
            return;
        }
        ticket = ++FPurgeRequested;
        FPurgeDoneEvent.ResetEvent();
        FPurgeEvent.SetEvent();
    }
    if (FPurgeDoneEvent.WaitFor(PurgeAckTimeoutMs) == wrSignaled) return;
    std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
    if (FPurgeServed != ticket) {
        // Not served in time: withdrawn, so the thread will not clear the
        // buffer later on its own.
        FPurgeRequested = FPurgeServed;
        FPurgeEvent.ResetEvent();
    }
}

void TVaCommWriteThread::AcknowledgePurge() {
    std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
    AcknowledgePurgeLocked();
}

void TVaCommWriteThread::AcknowledgePurgeLocked() {
    if (FPurgeRequested != FPurgeServed) {
        FBuffer.Clear();
        FDataEvent.ResetEvent();
        FRoomEvent.SetEvent();
        FPurgeServed = FPurgeRequested;
    }
    FPurgeEvent.ResetEvent();
    FPurgeDoneEvent.SetEvent();
}

bool TVaCommWriteThread::HandOver(void (TVaCommWriteThread::*Method)()) {
    if (Terminated()) return false;
    {
        std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
        // A purge asked for before this mark waits for the thread, which
        // is about to wait for the main thread in turn: it is answered now.
        // One asked for after the mark is done by the main thread itself.
        if (FPurgeRequested != FPurgeServed) AcknowledgePurgeLocked();
        FInHandOver = true;
    }
    bool ran = true;
    try {
        ran = Synchronize([this, Method] { (this->*Method)(); });
    } catch (...) {
        // The deliveries report their own exceptions.
    }
    {
        std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
        FInHandOver = false;
    }
    if (!ran) Terminate();  // the main thread is gone
    return ran;
}

void TVaCommWriteThread::Completion(int Written) {
    bool report;  // drained, and someone listens for it
    {
        std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
        FBuffer.Remove(Written);
        report = FBuffer.Count() == 0 && FTxEmptyWanted;
        if (FBuffer.Count() == 0) FDataEvent.ResetEvent();
        else FDataEvent.SetEvent();
        FRoomEvent.SetEvent();
    }
    if (report) HandOver(&TVaCommWriteThread::DoTxEmpty);
}

void TVaCommWriteThread::Execute() {
    SerialDevice& device = *FDevice;
    bool failing = false;  // a failure was reported and nothing has been written since
    bool hungUp = false;   // the device hung up: nothing more is written
    int fruitless = 0;
    while (!Terminated()) {
        int woke;
        if (hungUp) {
            woke = VaWaitForFirst({&FStopEvent, &FPurgeEvent, &FDataEvent}, INFINITE);
        } else {
            // The device is watched for a hang-up only (poll reports it
            // whatever is asked; the Windows layer cannot watch for it and
            // waits for the events alone).
            short revents = 0;
            woke = device.Wait(DeviceHangUp, {&FStopEvent, &FPurgeEvent, &FDataEvent}, -1, revents);
            if (woke == 3 || woke == -2) {
                if (device.HungUp()) {
                    hungUp = true;
                    HungUp();
                    continue;
                }
                // Not a hang-up (or the device cannot be polled): wait
                // without it, so that nothing spins on it.
                woke = VaWaitForFirst({&FStopEvent, &FPurgeEvent, &FDataEvent}, INFINITE);
            }
        }
        if (woke == 0) {
            Terminate();
            break;
        }
        if (woke == 1) {
            AcknowledgePurge();
            continue;
        }
        if (hungUp && woke == 2) {
            DropBuffer();
            continue;
        }
        bool failed = woke < 0;
        if (!failed) {
            // The bytes are written outside the lock: the main thread only
            // appends behind them, and only this thread moves or drops them.
            const uint8_t* data;
            int count;
            {
                std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
                data = FBuffer.DataPtr();
                count = FBuffer.Count();
                if (count == 0) FDataEvent.ResetEvent();
            }
            if (count == 0) continue;
            const int written = device.Write(data, count);
            if (written > 0) {
                failing = false;
                fruitless = 0;
                Completion(written);
                continue;
            }
            if (written < 0 && device.HungUp()) {
                hungUp = true;
                HungUp();
                continue;
            }
            failed = written < 0;
            if (written == 0) {
                // The device's queue is full: wait for room, a stop or a purge.
                short revents = 0;
                const int room = device.Wait(DeviceWritable, {&FStopEvent, &FPurgeEvent}, -1, revents);
                if (room == 0) {
                    Terminate();
                    break;
                }
                if (room == 1) {
                    AcknowledgePurge();
                    continue;
                }
                if ((room == 2 && (revents & DeviceGone)) || room == -2) {
                    if (device.HungUp()) {
                        hungUp = true;
                        HungUp();
                        continue;
                    }
                }
                if (room == 2 && !(revents & DeviceGone) && ++fruitless < FruitlessWakes) continue;
                failed = room != 2 || (revents & DeviceGone);
                fruitless = 0;
            }
        }
        if (failed && !failing) {
            failing = true;
            if (!HandOver(&TVaCommWriteThread::DoWriteError)) break;
        }
        // Pause before the next try, so that a device that has gone away
        // costs no processor time; a stop or a purge ends the pause.
        const int paused = VaWaitForFirst({&FStopEvent, &FPurgeEvent}, WriteRetryPauseMs);
        if (paused == 0) {
            Terminate();
            break;
        }
        if (paused == 1) AcknowledgePurge();
    }
}

void TVaCommWriteThread::DropBuffer() {
    std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
    FBuffer.Clear();
    FDataEvent.ResetEvent();
    FRoomEvent.SetEvent();
}

void TVaCommWriteThread::HungUp() {
    DropBuffer();
    if (FDevice->ClaimHangUpReport()) HandOver(&TVaCommWriteThread::DoHangUp);
}

void TVaCommWriteThread::DoHangUp() {
    if (Terminated()) return;
    FComm->HandleHangUp(FDevice.get());
}

void TVaCommWriteThread::DoTxEmpty() {
    if (Terminated()) return;
    {
        // Bytes queued since the buffer ran empty: it is not empty any more,
        // and the next drain reports it.
        std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
        if (FBuffer.Count() != 0) return;
    }
    RaiseLineEvent(EV_TXEMPTY);
}

void TVaCommWriteThread::DoWriteError() {
    if (Terminated()) return;
    RaiseLineEvent(EV_ERR);
}

void TVaCommWriteThread::RaiseLineEvent(uint32_t EvtMask) {
    // A handler that raises must not end the write thread (every later
    // write would then wait in vain for room): it is reported instead.
    try {
        FComm->HandleLineEvent(EvtMask);
    } catch (...) {
        ReportCurrentException();
    }
}

}  // namespace pelk

#pragma once
// The serial component's two worker threads, private to the component
// (vacomm.cpp, vacomm_threads.cpp): an open port's event thread and write
// thread. Nothing outside src/serial includes this header; the component's
// users see only the threads' effects (its events, WriteBuf, the purges).
#include <cstdint>
#include <memory>

#include "framework/thread.h"
#include "serial/vacomm.h"
#include "serial/vaobjects.h"

namespace pelk {

// Waits for line events of the device and hands them to the main thread.
//
// It waits for the device and for its wait event (the stop signal) at once
// (SerialDevice::Wait: poll() on POSIX, WaitCommEvent and
// WaitForMultipleObjects on Windows). Received bytes are reported once: bytes that a handler leaves in
// the input queue are not reported again, only bytes that arrive later are
// (while old bytes wait, the thread looks for new ones every 10 ms instead
// of polling, which would wake it at once for ever). Line errors and breaks
// are read from the driver's counters when bytes arrive; modem line changes,
// where they are monitored and the device has modem lines, are sampled every
// 20 ms. A device that hangs up is no longer watched: the thread reports the
// hang-up once (unless the write thread did already) and then waits only for
// its stop signal, so a dead device costs no processor time.
class TVaCommEventThread : public TThread {
public:
    TVaCommEventThread(TVaCustomComm* AComm, std::shared_ptr<SerialDevice> ADevice, uint32_t AEventMask);
    // Main thread: sets the terminated flag, then the wait event.
    void StopThread();
    // Main thread: makes the thread look at the device again at once.
    void Kick() { FWaitEvent.SetEvent(); }

protected:
    void Execute() override;
    // Runs on the main thread: hands the events of one wait to the component.
    void DoEvent();
    // Runs on the main thread: the component's HandleHangUp.
    void DoHangUp();

private:
    void Deliver(uint32_t Events);
    void ReportHangUp();
    void HandOver(void (TVaCommEventThread::*Method)());

    uint32_t FEvtMask = 0;  // written by the worker, read by DoEvent during the hand-over
    TVaWaitEvent FWaitEvent;
    TVaCustomComm* FComm;  // used only on the main thread, only while not terminated
    std::shared_ptr<SerialDevice> FDevice;
    uint32_t FWatchMask;
};

// Drains the output buffer that WriteBuf fills, with non-blocking writes.
//
// It waits for the first of its stop, purge and data events, in that order
// of precedence; when the device's queue is full it waits for room, stop or
// purge. A write that fails is reported once (DoWriteError) and then retried
// every 100 ms until it succeeds, a purge discards the bytes, or the port
// closes. While idle it also watches the device for a hang-up (it may be the
// only thread of the port; on Windows, where a device can only be watched
// by the event thread's wait, it learns of a hang-up from a failing write).
// Once the device has hung up, the thread reports
// it (unless the event thread did already), drops every byte it holds or is
// given, and writes nothing more; a device that has gone away therefore
// costs no processor time.
// Purges are carried out by the thread itself on the main thread's request,
// so the buffer's bytes are only ever moved or dropped by the thread that
// writes them.
class TVaCommWriteThread : public TThread {
public:
    TVaCommWriteThread(TVaCustomComm* AComm, std::shared_ptr<SerialDevice> ADevice,
                       std::shared_ptr<TVaCriticalSection> AWriteLock, int BufferSize);
    // Main thread: queues Count bytes. When they do not fit, waits up to
    // Buffers.WriteTimeout for the thread to make room (without using the
    // processor); false if they never fit in time, with nothing queued.
    // TxEmptyWanted: someone listens for transmit-empty (an OnTxEmpty
    // handler or a client); without a listener the drained buffer is not
    // handed to the main thread at all, which saves a round trip through
    // the main thread per write.
    bool WriteData(const void* Data, int Count, bool TxEmptyWanted = true);
    // Main thread: asks the thread to discard its buffer and waits up to
    // 2000 ms for it to do so. While the thread waits for the main thread in
    // a hand-over (it holds no byte of the buffer then), the buffer is
    // discarded at once instead; a request that came just before the thread
    // marked itself so is answered by the thread as it does. So the wait
    // ends at once whenever the thread is busy with the main thread, and
    // only a thread that cannot be scheduled lets it run out; the request
    // is then withdrawn and the buffer stays as it was.
    void PurgeWrite();
    // Main thread: ends the thread; bytes still buffered are dropped.
    void StopThread();
    // Bytes in the buffer, under the write lock.
    int BufferCount();
    int BufferCapacity() const { return FBuffer.Capacity(); }

protected:
    void Execute() override;
    // Run on the main thread.
    void DoTxEmpty();
    void DoWriteError();
    void DoHangUp();

private:
    void Completion(int Written);
    void HungUp();
    void DropBuffer();
    void RaiseLineEvent(uint32_t EvtMask);
    void AcknowledgePurge();
    void AcknowledgePurgeLocked();  // with the write lock held
    bool HandOver(void (TVaCommWriteThread::*Method)());

    TVaCommBuffer FBuffer;
    TVaWaitEvent FDataEvent;       // set while the buffer holds bytes to write
    TVaWaitEvent FStopEvent;       // set to end the thread
    TVaWaitEvent FPurgeEvent;      // set to ask for a purge of the buffer
    TVaWaitEvent FPurgeDoneEvent;  // set by the thread when it has purged
    TVaWaitEvent FRoomEvent;       // set by the thread when it has made room
    uint32_t FPurgeRequested = 0;  // purge tickets, under the write lock
    uint32_t FPurgeServed = 0;
    bool FInHandOver = false;      // waiting for the main thread; under the write lock
    bool FTxEmptyWanted = true;    // as of the last WriteData; under the write lock
    TVaCustomComm* FComm;  // used only on the main thread, only while not terminated
    std::shared_ptr<SerialDevice> FDevice;
    std::shared_ptr<TVaCriticalSection> FWriteLock;
};

}  // namespace pelk

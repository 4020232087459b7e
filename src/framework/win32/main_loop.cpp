// MainLoop on Windows: the loop sleeps in WaitForMultipleObjects on an
// auto-reset event (Wake, console control events) and a waitable timer set
// to the next deadline. A high-resolution timer is asked for first; where
// the system has none, the loop raises the system timer's resolution to 1 ms
// for as long as it lives, so a 10 ms tick is not rounded up to 15.6 ms.
//
// Console control events are delivered by the system on a thread of its
// own; the handler notes the event and wakes the loop. For the events after
// which the system ends the process as soon as the handler returns (the
// console window closed, log-off, shut-down) the handler waits, up to 4
// seconds, until the loop has run its stop handler.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <mutex>
#include <system_error>

#include "framework/loop_waker.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace pelk::loop_detail {

struct LoopWaker::Impl {
    HANDLE Event = nullptr;
    HANDLE Timer = nullptr;
    bool RaisedResolution = false;
};

LoopWaker::LoopWaker() : FImpl(new Impl) {
    FImpl->Event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    FImpl->Timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!FImpl->Timer) {
        FImpl->Timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
        FImpl->RaisedResolution = FImpl->Timer && timeBeginPeriod(1) == 0;
    }
    if (!FImpl->Event || !FImpl->Timer) {
        const DWORD error = GetLastError();
        if (FImpl->Event) CloseHandle(FImpl->Event);
        if (FImpl->Timer) CloseHandle(FImpl->Timer);
        delete FImpl;
        throw std::system_error(static_cast<int>(error), std::system_category(), "CreateEvent");
    }
}

LoopWaker::~LoopWaker() {
    CloseHandle(FImpl->Timer);
    CloseHandle(FImpl->Event);
    if (FImpl->RaisedResolution) timeEndPeriod(1);
    delete FImpl;
}

void LoopWaker::Wake() { SetEvent(FImpl->Event); }

void LoopWaker::Sleep(MainLoop::Clock::time_point Deadline) {
    if (Deadline == MainLoop::Clock::time_point::max()) {
        WaitForSingleObject(FImpl->Event, INFINITE);
        return;
    }
    const auto left = Deadline - MainLoop::Clock::now();
    if (left <= MainLoop::Clock::duration::zero()) return;
    // Relative due time, in 100 ns units, negative.
    const auto units = std::chrono::duration_cast<std::chrono::duration<long long, std::ratio<1, 10000000>>>(left).count();
    LARGE_INTEGER due;
    due.QuadPart = -(units > 0 ? units : 1);
    if (!SetWaitableTimer(FImpl->Timer, &due, 0, nullptr, nullptr, FALSE)) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        WaitForSingleObject(FImpl->Event, static_cast<DWORD>(ms > 0 ? ms : 1));
        return;
    }
    const HANDLE handles[2] = {FImpl->Event, FImpl->Timer};
    WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    CancelWaitableTimer(FImpl->Timer);
}

namespace {

std::atomic<uint32_t> Pending{0};
std::atomic<HANDLE> WakeEvent{nullptr};
std::atomic<bool> Installed{false};
HANDLE HandledEvent = nullptr;  // set when the loop has run its stop handler
std::once_flag HandledOnce;

BOOL WINAPI OnConsoleControl(DWORD Type) {
    int signal;
    bool waitForLoop = false;
    switch (Type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: signal = StopSignalInterrupt; break;
        case CTRL_CLOSE_EVENT: signal = StopSignalHangUp; waitForLoop = true; break;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: signal = StopSignalTerminate; waitForLoop = true; break;
        default: return FALSE;
    }
    if (!Installed.load()) return FALSE;
    if (waitForLoop) ResetEvent(HandledEvent);
    Pending.fetch_or(1u << signal);
    if (const HANDLE event = WakeEvent.load()) SetEvent(event);
    if (waitForLoop) WaitForSingleObject(HandledEvent, 4000);
    return TRUE;
}

}  // namespace

void InstallStopSignals(LoopWaker& Waker) {
    std::call_once(HandledOnce, [] { HandledEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); });
    WakeEvent.store(Waker.Platform().Event);
    if (!Installed.exchange(true) && !SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        const DWORD error = GetLastError();
        Installed.store(false);
        WakeEvent.store(nullptr);
        throw std::system_error(static_cast<int>(error), std::system_category(), "SetConsoleCtrlHandler");
    }
}

void RemoveStopSignals() {
    if (Installed.exchange(false)) SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    WakeEvent.store(nullptr);
    Pending.store(0);
    if (HandledEvent) SetEvent(HandledEvent);
}

uint32_t TakeStopSignals() { return Pending.exchange(0); }

bool DeliverConsoleControl(unsigned long Type) { return OnConsoleControl(Type) != FALSE; }

void StopSignalsHandled() {
    if (HandledEvent) SetEvent(HandledEvent);
}

}  // namespace pelk::loop_detail

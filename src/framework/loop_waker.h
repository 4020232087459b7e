#pragma once
// The platform part of MainLoop (posix/main_loop.cpp, win32/main_loop.cpp):
// how the loop sleeps until a deadline or a wake-up, and how the stop
// signals reach it.
#include <cstdint>

#include "framework/main_loop.h"

namespace pelk::loop_detail {

class LoopWaker {
public:
    // Throws std::system_error when the system has no object left for it.
    LoopWaker();
    ~LoopWaker();
    LoopWaker(const LoopWaker&) = delete;
    LoopWaker& operator=(const LoopWaker&) = delete;

    // Any thread: the next (or the current) Sleep returns at once.
    void Wake();
    // Sleeps until a wake-up (Wake or a stop signal) or until Deadline;
    // time_point::max() waits without limit. Takes the wake-ups it saw.
    void Sleep(MainLoop::Clock::time_point Deadline);

    struct Impl;
    Impl& Platform() { return *FImpl; }

private:
    Impl* FImpl;
};

// Process-wide: makes the stop signals note themselves and wake Waker.
// Throws std::system_error when the system refuses.
void InstallStopSignals(LoopWaker& Waker);
// Back to the system's default handling; Waker is no longer woken.
void RemoveStopSignals();
// The stop signals noted since the last call, bit n for signal n; clears them.
uint32_t TakeStopSignals();
// Tells a waiting console-control handler (Windows) that the loop has done
// its work after a stop signal; nothing elsewhere.
void StopSignalsHandled();

#ifdef _WIN32
// Runs the console-control handler as the system does (on the calling
// thread), for tests: a console of its own is not to be had under every
// test runner. True if the handler took the event.
bool DeliverConsoleControl(unsigned long Type);
#endif

}  // namespace pelk::loop_detail

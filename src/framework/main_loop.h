#pragma once
// A small main loop of our own, for programs that have no toolkit loop (the
// command-line tool): tasks posted from any thread, one-shot and repeating
// timers, a stop on Ctrl-C and termination requests, and the main-thread
// hand-over of the serial component built on it (MainLoopDispatcher).
//
// The loop belongs to the thread that made it, the "main thread", which
// calls Run (and the timer functions). Everything the loop runs (tasks, timer
// callbacks, signal handlers, hand-over calls) runs there, one at a time, in
// the order it became due; a hand-over asked for on the main thread itself
// runs at once. Between turns it sleeps until the next
// timer deadline or until something is posted: it never spins and never
// wakes for nothing.
//
// Timers. A repeating timer is drift-free: its deadlines lie on a fixed grid,
// start + k * Interval, measured on the steady clock, so that a late tick
// does not move the later ones. It ticks at most once per turn: after a stall
// (a long callback, a suspended process) it ticks once, at once, and then
// goes on at the first grid point after that moment; the periods it missed
// are skipped, never made up in a burst. On Linux a deadline is kept to well
// under a millisecond; on Windows the loop asks for a high-resolution
// waitable timer, and where the system has none, for a 1 ms system timer
// period while the loop lives.
//
// Stop signals. HandleStopSignals makes Ctrl-C, SIGTERM and SIGHUP (on
// Windows the console's control events: Ctrl-C and Ctrl-Break as
// StopSignalInterrupt, closing the console window as StopSignalHangUp, log-off
// and shut-down as StopSignalTerminate) run a handler on the loop, as a task.
// The process-level handler itself only notes the signal and wakes the loop
// (on Linux through a self-pipe, with nothing but async-signal-safe calls).
// Only one loop at a time handles the stop signals.
//
// Shut-down. After Shutdown (or the loop's destruction) the loop runs
// nothing more: posted tasks are dropped, and every worker waiting in a
// hand-over is released without its call having run, as the hand-over's
// contract asks (framework/main_thread.h). Between two runs the loop is not
// shut down: tasks and hand-overs wait for the next Run.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "framework/main_thread.h"

namespace pelk {

// Signal numbers given to the stop handler (the POSIX numbers, on every
// platform, so that an exit status of 128 + signal means the same).
inline constexpr int StopSignalHangUp = 1;
inline constexpr int StopSignalInterrupt = 2;
inline constexpr int StopSignalTerminate = 15;

class MainLoop {
public:
    using Clock = std::chrono::steady_clock;
    using TimerId = uint64_t;

    MainLoop();
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // Runs tasks, timers and stop signals until Quit or Shutdown; returns the
    // code given to Quit (0 after Shutdown). A Quit that came before Run
    // makes it return at once.
    int Run();
    // Runs what is due now (stop signals, the tasks posted so far, due
    // timers) without sleeping; returns how many callbacks ran. For a caller
    // that must let the loop's work happen while it waits itself.
    int RunPending();
    // Any thread: ends Run after the callback that is running.
    void Quit(int Code = 0);
    // Any thread: runs Task on the loop. False (and Task dropped) after
    // Shutdown.
    bool Post(std::function<void()> Task);

    // Loop thread only. Starts a timer whose first deadline is Interval from
    // now; a repeating one then keeps to the grid (see above). Returns its
    // id, never 0.
    TimerId StartTimer(std::chrono::nanoseconds Interval, std::function<void()> OnTimer, bool Repeat);
    // Stops a timer; an id that is not running (a one-shot timer that has
    // fired, 0) is ignored. A timer may stop itself or others from a callback.
    void StopTimer(TimerId Id);
    bool TimerActive(TimerId Id) const;
    // The timer's next deadline (a time_point of zero when it is not running).
    Clock::time_point TimerDeadline(TimerId Id) const;

    // Installs the process's handlers of the stop signals and runs OnSignal
    // with the signal's number on the loop when one arrives. Replaces the
    // handler of an earlier call. Throws std::system_error when the system
    // refuses.
    void HandleStopSignals(std::function<void(int Signal)> OnSignal);
    // Gives the stop signals back to the system's default handling.
    void RestoreStopSignals();

    // Runs nothing more and releases every waiting hand-over (see above).
    void Shutdown();
    bool IsShutDown() const;

    // Tasks and hand-overs waiting to run.
    size_t Queued() const;
    // How often the loop has come back from sleeping: an idle loop does not
    // wake at all, a loop with a 10 ms timer about 100 times a second.
    uint64_t Wakeups() const;

    // The hand-over onto this loop; it stays usable (and returns without
    // running anything) after the loop has gone.
    std::shared_ptr<MainThreadDispatcher> Dispatcher();

    struct Core;

private:
    std::shared_ptr<Core> FCore;
};

// The next deadline of a repeating timer whose deadline Deadline has come at
// Now: Deadline + Interval, or, when that too has passed (a stall), the first
// grid point Deadline + k * Interval after Now.
MainLoop::Clock::time_point NextTickDeadline(MainLoop::Clock::time_point Deadline, std::chrono::nanoseconds Interval,
                                             MainLoop::Clock::time_point Now);

}  // namespace pelk

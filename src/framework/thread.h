#pragma once
// The class framework's worker thread.
//
// A TThread runs Execute on a thread of its own. It can be created suspended
// and started later, carries a terminated flag that Execute polls, has one
// of seven priorities, and can release itself when Execute returns
// (FreeOnTerminate). Synchronize hands a call to the main thread and waits
// until it has run (see main_thread.h).
//
// Lifetime: threads are held by std::shared_ptr and made with Create<T>().
// A FreeOnTerminate thread holds a reference to itself while it runs and
// drops it when Execute returns, so it is freed by whichever comes last, its
// end or its owner letting go. A thread without FreeOnTerminate is joined
// when its object is destroyed.
//
// Priorities map to the Linux nice value of the thread, relative to the
// creating thread's: tpIdle +19, tpLowest +10, tpLower +5, tpNormal 0,
// tpHigher -5, tpHighest -10, tpTimeCritical -20 (clamped to -20..19).
// Raising a priority needs the right to do so (root or CAP_SYS_NICE); without
// it the request is ignored and the thread keeps its nice value. On Windows
// they are the thread priorities of the same names (idle, lowest, below
// normal, normal, above normal, highest, time critical).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "framework/main_thread.h"

namespace pelk {

enum TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread : public std::enable_shared_from_this<TThread> {
public:
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Makes a T (a TThread) and starts it unless it was created suspended.
    template <class T, class... Args>
    static std::shared_ptr<T> Create(Args&&... args) {
        auto thread = std::make_shared<T>(std::forward<Args>(args)...);
        thread->AfterConstruction();
        return thread;
    }

    // Starts a suspended thread; does nothing on a started one.
    void Start();
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }
    bool Suspended() const;
    bool Finished() const { return FFinished.load(); }
    TThreadPriority Priority() const;
    void SetPriority(TThreadPriority Value);
    bool FreeOnTerminate() const { return FFreeOnTerminate; }
    // Takes effect when the thread starts.
    void SetFreeOnTerminate(bool Value) { FFreeOnTerminate = Value; }
    // Waits until Execute has returned (threads without FreeOnTerminate).
    void WaitFor();
    // An exception that escaped Execute, or null.
    std::exception_ptr FatalException() const;

    // Threads of this process whose Execute has not yet returned and
    // released the thread.
    static int RunningCount();
    // Waits up to Timeout until RunningCount() is 0.
    static bool WaitForAll(std::chrono::milliseconds Timeout);

protected:
    explicit TThread(bool CreateSuspended);
    virtual void Execute() = 0;
    // The main-thread hand-over: true if Method ran on the main thread; false
    // if the main thread is gone (no dispatcher, or it was shut down). An
    // exception that escapes Method is raised again here.
    bool Synchronize(const std::function<void()>& Method) { return RunOnMainThread(Method); }

private:
    void AfterConstruction();
    void Body();
    void ApplyPriority();  // with FMutex held

    mutable std::mutex FMutex;
    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    bool FCreateSuspended;
    bool FStarted = false;
    bool FFreeOnTerminate = false;
    TThreadPriority FPriority = tpNormal;
    int FBaseNice;
    int FTid = 0;
    void* FHandle = nullptr;  // Windows: the thread's own handle
    std::exception_ptr FFatalException;
};

}  // namespace pelk

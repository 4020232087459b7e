#pragma once
// The main-thread hand-over: how a worker thread has a call run on the main
// (user-interface) thread and waits until it has run.
//
// The application installs one MainThreadDispatcher at start-up:
//
//     pelk::SetMainThreadDispatcher(std::make_shared<MyDispatcher>(...));
//
// The window installs one built on Qt's blocking queued invocation, the
// command-line tool the one of the framework's own main loop
// (MainLoop::Dispatcher, framework/main_loop.h); tests install a
// PumpedMainThreadQueue and run the queued calls on the test's thread, or a
// MainLoop of their own.
//
// Contract of RunAndWait(call), called on a worker thread:
//  - it runs call on the main thread and returns once call has returned;
//  - an exception that escapes call is raised again in the worker (the
//    framework's own callers catch everything inside call, so an
//    implementation that cannot carry exceptions loses nothing);
//  - when the main thread no longer runs calls (the application is shutting
//    down), it returns WITHOUT running call instead of blocking for ever.
//    A worker that finds its call not run takes the main thread for gone and
//    ends. With Qt this is what happens when the receiving QObject is
//    destroyed while a worker waits: the queued call is dropped and the
//    worker released; after that RunAndWait must return at once.
//  - calls from one worker run in the order it makes them.
//
// Without an installed dispatcher a hand-over runs nothing and reports that
// it did not run, so workers end instead of blocking.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace pelk {

class MainThreadDispatcher {
public:
    virtual ~MainThreadDispatcher();
    virtual void RunAndWait(const std::function<void()>& call) = 0;
};

// Installs the application-wide dispatcher (may be empty) and returns the
// one it replaces. A worker that is already waiting keeps the dispatcher it
// used alive until its call has run or has been dropped.
std::shared_ptr<MainThreadDispatcher> SetMainThreadDispatcher(std::shared_ptr<MainThreadDispatcher> Dispatcher);
std::shared_ptr<MainThreadDispatcher> GetMainThreadDispatcher();

// The hand-over as workers use it: true if call ran on the main thread,
// false if no dispatcher is installed or the main thread is gone. An
// exception from call is raised again here.
bool RunOnMainThread(const std::function<void()>& call);

// Lets the main thread handle its pending window messages: runs the hook
// that a program sets (e.g. to QCoreApplication::processEvents), and does
// nothing without one. Used by SysDelay with ProcessMessages, so a program
// sets the hook only when something it runs makes that call.
void SetProcessMessages(std::function<void()> Hook);
void ProcessMessages();

// A dispatcher whose "main thread" is whichever thread pumps it: calls are
// queued by workers and run, one at a time and in order, by Pump* on the
// pumping thread. Used by tests and benchmarks.
class PumpedMainThreadQueue final : public MainThreadDispatcher {
public:
    ~PumpedMainThreadQueue() override;
    void RunAndWait(const std::function<void()>& call) override;

    // Waits up to Timeout until a call is queued and runs it on the calling
    // thread. True if a call ran.
    bool PumpOne(std::chrono::milliseconds Timeout);
    // Runs every call queued now, without waiting; returns how many ran.
    int PumpAll();
    // Runs calls as they come until Done() is true (checked before each
    // wait) or Timeout has passed. True if Done() became true.
    bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout);
    // Waits up to Timeout until at least Count calls are queued, without
    // running them.
    bool WaitForQueued(size_t Count, std::chrono::milliseconds Timeout);
    size_t Queued() const;
    // The main thread is gone: queued calls are dropped (their workers are
    // released without the call having run) and later calls return at once.
    void Shutdown();
    bool IsShutDown() const;

private:
    struct Entry {
        const std::function<void()>* Call;
        bool Done = false;
        bool Dropped = false;
        std::exception_ptr Error;
    };
    mutable std::mutex Mutex;
    std::condition_variable Changed;
    std::deque<std::shared_ptr<Entry>> Calls;
    bool ShutDown = false;

    void RunEntry(std::unique_lock<std::mutex>& lock);
};

}  // namespace pelk

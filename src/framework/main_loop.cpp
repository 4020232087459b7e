#include "framework/main_loop.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "framework/loop_waker.h"

namespace pelk {

using loop_detail::LoopWaker;

MainLoop::Clock::time_point NextTickDeadline(MainLoop::Clock::time_point Deadline, std::chrono::nanoseconds Interval,
                                             MainLoop::Clock::time_point Now) {
    const auto step = std::chrono::duration_cast<MainLoop::Clock::duration>(Interval);
    if (step <= MainLoop::Clock::duration::zero()) return Now;
    MainLoop::Clock::time_point next = Deadline + step;
    if (next <= Now) next += step * ((Now - next) / step + 1);
    return next;
}

// The loop's state, shared with its dispatcher so that a worker that still
// holds the dispatcher after the loop has gone finds it shut down.
struct MainLoop::Core {
    struct HandOver {
        const std::function<void()>* Call = nullptr;
        bool Done = false;
        std::exception_ptr Error;
    };
    struct Timer {
        Clock::time_point Deadline;
        Clock::duration Interval;
        bool Repeat = false;
        std::function<void()> OnTimer;
    };

    const std::thread::id Owner = std::this_thread::get_id();
    LoopWaker Waker;

    // Under Mutex: what other threads touch.
    mutable std::mutex Mutex;
    std::condition_variable HandOverDone;
    std::deque<std::function<void()>> Tasks;
    std::set<std::shared_ptr<HandOver>> Waiting;
    bool ShutDown = false;
    bool QuitRequested = false;
    int QuitCode = 0;
    bool WakeSent = false;  // a wake-up is on its way: no need for another
    uint64_t Wakeups = 0;

    // Loop thread only.
    std::map<TimerId, Timer> Timers;
    TimerId LastTimerId = 0;
    std::function<void(int)> OnStopSignal;
    bool SignalsInstalled = false;

    void WakeLocked() {
        if (WakeSent) return;
        WakeSent = true;
        Waker.Wake();
    }

    bool Post(std::function<void()> Task) {
        std::lock_guard<std::mutex> lock(Mutex);
        if (ShutDown) return false;
        Tasks.push_back(std::move(Task));
        WakeLocked();
        return true;
    }

    void RunAndWait(const std::function<void()>& call) {
        if (std::this_thread::get_id() == Owner) {
            // The main thread handing a call to itself: run it here, unless
            // the loop is gone.
            if (!IsShutDown()) call();
            return;
        }
        auto entry = std::make_shared<HandOver>();
        entry->Call = &call;
        std::unique_lock<std::mutex> lock(Mutex);
        if (ShutDown) return;
        Waiting.insert(entry);
        // The task holds the entry, not the call: the call is used only while
        // the worker still waits here, and Shutdown releases the worker only
        // after it has dropped the queued tasks.
        Tasks.push_back([this, entry] {
            std::exception_ptr error;
            try {
                (*entry->Call)();
            } catch (...) {
                error = std::current_exception();
            }
            std::lock_guard<std::mutex> guard(Mutex);
            entry->Error = error;
            entry->Done = true;
            HandOverDone.notify_all();
        });
        WakeLocked();
        HandOverDone.wait(lock, [&] { return entry->Done; });
        Waiting.erase(entry);
        if (entry->Error) {
            const std::exception_ptr error = entry->Error;
            lock.unlock();
            std::rethrow_exception(error);
        }
    }

    bool IsShutDown() const {
        std::lock_guard<std::mutex> lock(Mutex);
        return ShutDown;
    }

    void Shutdown() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (ShutDown) return;
            ShutDown = true;
            dropped.swap(Tasks);
            for (const auto& entry : Waiting) entry->Done = true;  // released; the call did not run
            HandOverDone.notify_all();
            WakeLocked();
        }
        // Tasks are destroyed outside the lock: their captures may post.
        dropped.clear();
    }

    bool QuitPending() {
        std::lock_guard<std::mutex> lock(Mutex);
        return QuitRequested || ShutDown;
    }

    // One turn: stop signals, the tasks queued now, the due timers. Returns
    // how many callbacks ran.
    int RunDue() {
        int ran = 0;
        if (const uint32_t signals = SignalsInstalled ? loop_detail::TakeStopSignals() : 0) {
            for (int s = 1; s < 32; ++s) {
                if (!(signals & (1u << s)) || !OnStopSignal) continue;
                std::function<void(int)> handler = OnStopSignal;
                handler(s);
                ++ran;
            }
            loop_detail::StopSignalsHandled();
        }
        size_t queued;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            queued = Tasks.size();
        }
        // Only what was queued at the start of the turn: a task that posts
        // again does not keep the loop from its timers.
        while (queued-- > 0) {
            std::function<void()> task;
            {
                std::lock_guard<std::mutex> lock(Mutex);
                if (Tasks.empty() || ShutDown) break;
                task = std::move(Tasks.front());
                Tasks.pop_front();
            }
            task();
            ++ran;
            if (QuitPending()) return ran;
        }
        ran += RunDueTimers();
        return ran;
    }

    int RunDueTimers() {
        const Clock::time_point now = Clock::now();
        std::vector<std::pair<Clock::time_point, TimerId>> due;
        for (const auto& [id, timer] : Timers)
            if (timer.Deadline <= now) due.emplace_back(timer.Deadline, id);
        std::sort(due.begin(), due.end());
        int ran = 0;
        for (const auto& [deadline, id] : due) {
            const auto it = Timers.find(id);
            if (it == Timers.end()) continue;  // stopped by an earlier callback
            // The callback may stop or restart timers (itself included), so it
            // runs from a copy, after the timer has been moved on.
            std::function<void()> callback = it->second.OnTimer;
            if (it->second.Repeat) it->second.Deadline = NextTickDeadline(deadline, it->second.Interval, now);
            else Timers.erase(it);
            callback();
            ++ran;
            if (QuitPending()) break;
        }
        return ran;
    }

    Clock::time_point NextDeadline() const {
        Clock::time_point next = Clock::time_point::max();
        for (const auto& [id, timer] : Timers) next = std::min(next, timer.Deadline);
        return next;
    }

    int Run() {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(Mutex);
                if (ShutDown) return 0;
                if (QuitRequested) {
                    QuitRequested = false;
                    return QuitCode;
                }
            }
            RunDue();
            {
                std::lock_guard<std::mutex> lock(Mutex);
                if (QuitRequested || ShutDown || !Tasks.empty()) continue;
                // From here on a post sends a wake-up, which the sleep sees
                // even if it comes before the sleep begins.
                WakeSent = false;
            }
            Waker.Sleep(NextDeadline());
            std::lock_guard<std::mutex> lock(Mutex);
            ++Wakeups;
        }
    }
};

MainLoop::MainLoop() : FCore(std::make_shared<Core>()) {}

MainLoop::~MainLoop() {
    RestoreStopSignals();
    FCore->Shutdown();
}

int MainLoop::Run() { return FCore->Run(); }

int MainLoop::RunPending() { return FCore->RunDue(); }

void MainLoop::Quit(int Code) {
    std::lock_guard<std::mutex> lock(FCore->Mutex);
    FCore->QuitRequested = true;
    FCore->QuitCode = Code;
    FCore->WakeLocked();
}

bool MainLoop::Post(std::function<void()> Task) { return FCore->Post(std::move(Task)); }

MainLoop::TimerId MainLoop::StartTimer(std::chrono::nanoseconds Interval, std::function<void()> OnTimer, bool Repeat) {
    const TimerId id = ++FCore->LastTimerId;
    const auto interval = std::max(std::chrono::duration_cast<Clock::duration>(Interval), Clock::duration::zero());
    FCore->Timers[id] = Core::Timer{Clock::now() + interval, interval, Repeat, std::move(OnTimer)};
    return id;
}

void MainLoop::StopTimer(TimerId Id) { FCore->Timers.erase(Id); }

bool MainLoop::TimerActive(TimerId Id) const { return FCore->Timers.count(Id) != 0; }

MainLoop::Clock::time_point MainLoop::TimerDeadline(TimerId Id) const {
    const auto it = FCore->Timers.find(Id);
    return it == FCore->Timers.end() ? Clock::time_point() : it->second.Deadline;
}

void MainLoop::HandleStopSignals(std::function<void(int Signal)> OnSignal) {
    loop_detail::InstallStopSignals(FCore->Waker);
    FCore->SignalsInstalled = true;
    FCore->OnStopSignal = std::move(OnSignal);
}

void MainLoop::RestoreStopSignals() {
    if (!FCore->SignalsInstalled) return;
    loop_detail::RemoveStopSignals();
    FCore->SignalsInstalled = false;
    FCore->OnStopSignal = nullptr;
}

void MainLoop::Shutdown() { FCore->Shutdown(); }

bool MainLoop::IsShutDown() const { return FCore->IsShutDown(); }

size_t MainLoop::Queued() const {
    std::lock_guard<std::mutex> lock(FCore->Mutex);
    return FCore->Tasks.size();
}

uint64_t MainLoop::Wakeups() const {
    std::lock_guard<std::mutex> lock(FCore->Mutex);
    return FCore->Wakeups;
}

namespace {

class MainLoopDispatcher final : public MainThreadDispatcher {
public:
    explicit MainLoopDispatcher(std::shared_ptr<MainLoop::Core> Core) : FCore(std::move(Core)) {}
    void RunAndWait(const std::function<void()>& call) override { FCore->RunAndWait(call); }

private:
    std::shared_ptr<MainLoop::Core> FCore;
};

}  // namespace

std::shared_ptr<MainThreadDispatcher> MainLoop::Dispatcher() { return std::make_shared<MainLoopDispatcher>(FCore); }

}  // namespace pelk

#include "framework/main_thread.h"

#include <algorithm>
#include <utility>

namespace pelk {

MainThreadDispatcher::~MainThreadDispatcher() = default;

namespace {

std::mutex GlobalMutex;
std::shared_ptr<MainThreadDispatcher>& GlobalDispatcher() {
    static std::shared_ptr<MainThreadDispatcher> dispatcher;
    return dispatcher;
}
std::function<void()>& ProcessMessagesHook() {
    static std::function<void()> hook;
    return hook;
}

}  // namespace

std::shared_ptr<MainThreadDispatcher> SetMainThreadDispatcher(std::shared_ptr<MainThreadDispatcher> Dispatcher) {
    std::lock_guard<std::mutex> lock(GlobalMutex);
    return std::exchange(GlobalDispatcher(), std::move(Dispatcher));
}

std::shared_ptr<MainThreadDispatcher> GetMainThreadDispatcher() {
    std::lock_guard<std::mutex> lock(GlobalMutex);
    return GlobalDispatcher();
}

bool RunOnMainThread(const std::function<void()>& call) {
    const std::shared_ptr<MainThreadDispatcher> dispatcher = GetMainThreadDispatcher();
    if (!dispatcher) return false;
    bool ran = false;
    dispatcher->RunAndWait([&] {
        ran = true;
        call();
    });
    return ran;
}

void SetProcessMessages(std::function<void()> Hook) {
    std::lock_guard<std::mutex> lock(GlobalMutex);
    ProcessMessagesHook() = std::move(Hook);
}

void ProcessMessages() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(GlobalMutex);
        hook = ProcessMessagesHook();
    }
    if (hook) hook();
}

PumpedMainThreadQueue::~PumpedMainThreadQueue() { Shutdown(); }

void PumpedMainThreadQueue::RunAndWait(const std::function<void()>& call) {
    auto entry = std::make_shared<Entry>();
    entry->Call = &call;
    std::unique_lock<std::mutex> lock(Mutex);
    if (ShutDown) return;
    Calls.push_back(entry);
    Changed.notify_all();
    // A call being run is always waited for: it uses the caller's call.
    Changed.wait(lock, [&] { return entry->Done || entry->Dropped; });
    if (entry->Error) std::rethrow_exception(entry->Error);
}

void PumpedMainThreadQueue::RunEntry(std::unique_lock<std::mutex>& lock) {
    std::shared_ptr<Entry> entry = Calls.front();
    Calls.pop_front();
    lock.unlock();
    try {
        (*entry->Call)();
    } catch (...) {
        entry->Error = std::current_exception();
    }
    lock.lock();
    entry->Done = true;
    Changed.notify_all();
}

bool PumpedMainThreadQueue::PumpOne(std::chrono::milliseconds Timeout) {
    std::unique_lock<std::mutex> lock(Mutex);
    if (!Changed.wait_for(lock, Timeout, [&] { return !Calls.empty(); })) return false;
    RunEntry(lock);
    return true;
}

int PumpedMainThreadQueue::PumpAll() {
    std::unique_lock<std::mutex> lock(Mutex);
    int n = 0;
    for (size_t queued = Calls.size(); queued > 0 && !Calls.empty(); --queued, ++n) RunEntry(lock);
    return n;
}

bool PumpedMainThreadQueue::PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
        if (Done()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        // Short slices, so a Done() that turns true without a call (bytes
        // arriving on another descriptor) is noticed soon.
        const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(5));
        PumpOne(std::chrono::duration_cast<std::chrono::milliseconds>(slice) + std::chrono::milliseconds(1));
    }
}

bool PumpedMainThreadQueue::WaitForQueued(size_t Count, std::chrono::milliseconds Timeout) {
    std::unique_lock<std::mutex> lock(Mutex);
    return Changed.wait_for(lock, Timeout, [&] { return Calls.size() >= Count; });
}

size_t PumpedMainThreadQueue::Queued() const {
    std::lock_guard<std::mutex> lock(Mutex);
    return Calls.size();
}

void PumpedMainThreadQueue::Shutdown() {
    std::lock_guard<std::mutex> lock(Mutex);
    ShutDown = true;
    for (const auto& e : Calls) e->Dropped = true;
    Calls.clear();
    Changed.notify_all();
}

bool PumpedMainThreadQueue::IsShutDown() const {
    std::lock_guard<std::mutex> lock(Mutex);
    return ShutDown;
}

}  // namespace pelk

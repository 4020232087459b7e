#include "framework/thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>

namespace pelk {

namespace {

std::mutex RunningMutex;
std::condition_variable RunningChanged;
int Running = 0;

constexpr int NiceOffset[] = {19, 10, 5, 0, -5, -10, -20};

}  // namespace

TThread::TThread(bool CreateSuspended) : FCreateSuspended(CreateSuspended) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);  // the calling thread's
    FBaseNice = errno == 0 ? nice : 0;
}

TThread::~TThread() {
    if (FThread.joinable()) {
        Terminate();
        if (FThread.get_id() == std::this_thread::get_id()) FThread.detach();
        else FThread.join();
    }
}

void TThread::AfterConstruction() {
    if (!FCreateSuspended) Start();
}

void TThread::Start() {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FStarted) return;
    FStarted = true;
    {
        std::lock_guard<std::mutex> running(RunningMutex);
        ++Running;
    }
    std::shared_ptr<TThread> self;
    if (FFreeOnTerminate) self = shared_from_this();
    try {
        FThread = std::thread([this, self = std::move(self)]() mutable {
            Body();
            self.reset();  // release at the end: may free this object
            std::lock_guard<std::mutex> running(RunningMutex);
            --Running;
            RunningChanged.notify_all();
        });
    } catch (...) {
        std::lock_guard<std::mutex> running(RunningMutex);
        --Running;
        FStarted = false;
        throw;
    }
    if (FFreeOnTerminate) FThread.detach();
}

void TThread::Body() {
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FTid = static_cast<int>(gettid());
        ApplyPriority();
    }
    try {
        Execute();
    } catch (...) {
        std::lock_guard<std::mutex> lock(FMutex);
        FFatalException = std::current_exception();
    }
    FFinished.store(true);
}

bool TThread::Suspended() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return !FStarted;
}

TThreadPriority TThread::Priority() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FPriority;
}

void TThread::SetPriority(TThreadPriority Value) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (Value > tpTimeCritical) Value = tpTimeCritical;
    FPriority = Value;
    if (FTid != 0 && !FFinished.load()) ApplyPriority();
}

void TThread::ApplyPriority() {
    const int nice = std::clamp(FBaseNice + NiceOffset[FPriority], -20, 19);
    // Best effort: without the right to raise a priority the call fails and
    // the thread keeps the value it has.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(FTid), nice);
}

void TThread::WaitFor() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

std::exception_ptr TThread::FatalException() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FFatalException;
}

int TThread::RunningCount() {
    std::lock_guard<std::mutex> lock(RunningMutex);
    return Running;
}

bool TThread::WaitForAll(std::chrono::milliseconds Timeout) {
    std::unique_lock<std::mutex> lock(RunningMutex);
    return RunningChanged.wait_for(lock, Timeout, [] { return Running == 0; });
}

}  // namespace pelk

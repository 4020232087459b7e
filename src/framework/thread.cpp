#include "framework/thread.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>

namespace pelk {

namespace {

std::mutex RunningMutex;
std::condition_variable RunningChanged;
int Running = 0;

#ifdef _WIN32
constexpr int WindowsPriority[] = {THREAD_PRIORITY_IDLE,   THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                                   THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                   THREAD_PRIORITY_TIME_CRITICAL};
#else
constexpr int NiceOffset[] = {19, 10, 5, 0, -5, -10, -20};
#endif

}  // namespace

TThread::TThread(bool CreateSuspended) : FCreateSuspended(CreateSuspended) {
#ifdef _WIN32
    FBaseNice = 0;
#else
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);  // the calling thread's
    FBaseNice = errno == 0 ? nice : 0;
#endif
}

TThread::~TThread() {
#ifdef _WIN32
    if (FHandle) CloseHandle(static_cast<HANDLE>(FHandle));
#endif
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
#ifdef _WIN32
        // A handle of our own, usable from other threads to set the priority.
        HANDLE self = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                            THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, 0))
            FHandle = self;
        FTid = static_cast<int>(GetCurrentThreadId());
#else
        FTid = static_cast<int>(gettid());
#endif
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
#ifdef _WIN32
    if (FHandle) (void)SetThreadPriority(static_cast<HANDLE>(FHandle), WindowsPriority[FPriority]);
#else
    const int nice = std::clamp(FBaseNice + NiceOffset[FPriority], -20, 19);
    // Best effort: without the right to raise a priority the call fails and
    // the thread keeps the value it has.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(FTid), nice);
#endif
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

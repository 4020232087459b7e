// MainLoop on Linux: the loop sleeps in ppoll() on an eventfd, which Wake
// and the stop signals' handler write to (the handler does nothing else: an
// atomic store and a write() are async-signal-safe).
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <system_error>

#include "framework/loop_waker.h"

namespace pelk::loop_detail {

struct LoopWaker::Impl {
    int Fd = -1;
};

LoopWaker::LoopWaker() : FImpl(new Impl) {
    FImpl->Fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FImpl->Fd < 0) {
        const int error = errno;
        delete FImpl;
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
}

LoopWaker::~LoopWaker() {
    ::close(FImpl->Fd);
    delete FImpl;
}

namespace {

void WriteWake(int Fd) {
    const uint64_t one = 1;
    // EAGAIN: the counter is full, so a wake-up is pending anyway.
    while (::write(Fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace

void LoopWaker::Wake() { WriteWake(FImpl->Fd); }

void LoopWaker::Sleep(MainLoop::Clock::time_point Deadline) {
    pollfd p{FImpl->Fd, POLLIN, 0};
    timespec limit{};
    const timespec* timeout = nullptr;
    if (Deadline != MainLoop::Clock::time_point::max()) {
        const auto left = Deadline - MainLoop::Clock::now();
        if (left > MainLoop::Clock::duration::zero()) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            limit.tv_sec = static_cast<time_t>(ns / 1000000000);
            limit.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        timeout = &limit;
    }
    // EINTR (a signal) ends the sleep like a wake-up: the loop looks again.
    if (::ppoll(&p, 1, timeout, nullptr) > 0) {
        uint64_t value;
        while (::read(FImpl->Fd, &value, sizeof value) < 0 && errno == EINTR) {
        }
    }
}

namespace {

constexpr int StopSignals[] = {SIGHUP, SIGINT, SIGTERM};

static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler needs lock-free atomics");
std::atomic<uint32_t> Pending{0};
std::atomic<int> WakeFd{-1};

extern "C" void OnStopSignal(int Signal) {
    const int saved = errno;
    Pending.fetch_or(1u << Signal);
    const int fd = WakeFd.load();
    if (fd >= 0) WriteWake(fd);
    errno = saved;
}

}  // namespace

void InstallStopSignals(LoopWaker& Waker) {
    WakeFd.store(Waker.Platform().Fd);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : StopSignals) {
        if (sigaction(s, &sa, nullptr) != 0) {
            const int error = errno;
            RemoveStopSignals();
            throw std::system_error(error, std::generic_category(), "sigaction");
        }
    }
}

void RemoveStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int s : StopSignals) sigaction(s, &sa, nullptr);
    WakeFd.store(-1);
    Pending.store(0);
}

uint32_t TakeStopSignals() { return Pending.exchange(0); }

void StopSignalsHandled() {}

}  // namespace pelk::loop_detail

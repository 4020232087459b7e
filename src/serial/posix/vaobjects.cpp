#include "serial/vaobjects.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "serial/vaconst.h"

namespace pelk {

namespace {

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left of a wait that started at Start, as poll() takes them.
int Remaining(uint32_t Timeout, int64_t Start) {
    if (Timeout == INFINITE) return -1;
    const int64_t left = static_cast<int64_t>(Timeout) - (NowMs() - Start);
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace

TVaHandleObject::~TVaHandleObject() {
    if (FHandle >= 0) ::close(FHandle);
}

TVaEvent::TVaEvent(const void* /*EventAttributes*/, bool ManualReset, bool InitialState, const std::string& /*Name*/)
    : FManualReset(ManualReset) {
    FHandle = eventfd(InitialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FHandle < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void TVaEvent::SetEvent() {
    const uint64_t one = 1;
    // EAGAIN: the counter is at its limit, i.e. the event is set anyway.
    while (::write(FHandle, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TVaEvent::ResetEvent() {
    uint64_t value;
    while (::read(FHandle, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool TVaEvent::TryConsume() {
    uint64_t value;
    for (;;) {
        if (::read(FHandle, &value, sizeof value) == sizeof value) return true;
        if (errno != EINTR) return false;
    }
}

bool TVaEvent::IsSet() const {
    pollfd p{FHandle, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TVaEventWaitResult TVaEvent::WaitFor(uint32_t Timeout) {
    const int r = VaWaitForFirst({this}, Timeout);
    if (r == 0) return wrSignaled;
    if (r == -1) return wrTimeout;
    return wrError;
}

int VaWaitForFirst(std::initializer_list<TVaEvent*> Events, uint32_t Timeout) {
    pollfd fds[8];
    const size_t n = Events.size();
    if (n == 0 || n > 8) return -2;
    const int64_t start = NowMs();
    for (;;) {
        size_t i = 0;
        for (TVaEvent* e : Events) fds[i++] = pollfd{e->Handle(), POLLIN, 0};
        const int r = ::poll(fds, n, Remaining(Timeout, start));
        if (r < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            for (TVaEvent* e : Events) e->FLastError = err;
            return -2;
        }
        if (r == 0) return -1;
        i = 0;
        for (TVaEvent* e : Events) {
            if (fds[i].revents & POLLIN) {
                if (e->ManualReset() || e->TryConsume()) return static_cast<int>(i);
            }
            ++i;
        }
        // Only auto-reset events that another waiter took: wait on.
    }
}

}  // namespace pelk

#include "app/exit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace pelk {

namespace {

int Pipe[2] = {-1, -1};
constexpr int Signals[] = {SIGTERM, SIGHUP, SIGINT};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a request to close: nothing is lost.
    [[maybe_unused]] const ssize_t n = write(Pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

ExitSignals::ExitSignals(std::function<void()> close) : Close(std::move(close)) {
    if (pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("Cannot create the signal pipe");
    auto* notifier = new QSocketNotifier(Pipe[0], QSocketNotifier::Read, this);
    Watcher = notifier;
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[64];
        while (read(Pipe[0], bytes, sizeof bytes) > 0) {
        }
        Received();
    });
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : Signals) sigaction(s, &action, nullptr);
}

ExitSignals::~ExitSignals() {
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : Signals) sigaction(s, &action, nullptr);
    delete Watcher;
    close(Pipe[0]);
    close(Pipe[1]);
    Pipe[0] = Pipe[1] = -1;
}

}  // namespace pelk

#include "app/exit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QThread>
#include <QTimer>
#include <algorithm>
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
    Notifier = new QSocketNotifier(Pipe[0], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, [this] { Received(); });
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
    delete Notifier;
    close(Pipe[0]);
    close(Pipe[1]);
    Pipe[0] = Pipe[1] = -1;
}

void ExitSignals::Received() {
    char bytes[64];
    while (read(Pipe[0], bytes, sizeof bytes) > 0) {
    }
    // Modal windows first, as Escape would close them; a window that will
    // not close is left, and the main window closes all the same.
    int loops = QThread::currentThread()->loopLevel();
    QWidget* refused = nullptr;
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (modal == refused) break;
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();  // its exec() loop ends
            --loops;
        } else {
            modal->close();
        }
        if (QApplication::activeModalWidget() == modal) refused = modal;
    }
    CloseFromLoopLevel(std::max(loops, 0), refused ? 0 : 100);
}

void ExitSignals::CloseFromLoopLevel(int level, int passes) {
    // The commands that ran the modal dialogs finish first: the window
    // closes once their event loops have returned (which takes a pass or
    // two of the loop; the count only bounds the wait).
    if (passes > 0 && QThread::currentThread()->loopLevel() > level) {
        QTimer::singleShot(0, this, [this, level, passes] { CloseFromLoopLevel(level, passes - 1); });
        return;
    }
    Close();
}

}  // namespace pelk

#include "app/exit_signals.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <utility>

namespace pelk {

// A GUI program on Windows has no console to take Ctrl-C from, and
// "taskkill" without /F asks the window itself to close. What ends it
// behind its back is the end of the session: Qt reports the system's query
// (log-off, shut-down) as a request to commit data, on the main thread,
// before the session ends. The window closes then, writing its settings;
// the session is not held up.
ExitSignals::ExitSignals(std::function<void()> close) : Close(std::move(close)) {
    Watcher = new QObject(this);
    connect(qGuiApp, &QGuiApplication::commitDataRequest, Watcher, [this](QSessionManager&) { Received(); });
}

ExitSignals::~ExitSignals() { delete Watcher; }

}  // namespace pelk

#pragma once
// The system's requests to end the program end the window as File > Exit
// does: the port is closed and the settings file written. On Linux these
// are SIGTERM, SIGHUP and SIGINT (a logout, a closed terminal, a service
// manager stopping the program, Ctrl-C in the terminal that started it):
// the signal handler only writes a byte into a pipe, which a socket
// notifier reads on the main thread (posix/exit_signals.cpp). On Windows it
// is the end of the session (log-off, shut-down), which Qt reports on the
// main thread (win32/exit_signals.cpp). There a modal dialog or message box
// still open is rejected first (so that the command that opened it ends),
// and then the main window closes.
#include <QObject>
#include <functional>

namespace pelk {

class ExitSignals : public QObject {
    Q_OBJECT
public:
    // close: closes the main window. One instance at a time.
    explicit ExitSignals(std::function<void()> close);
    ~ExitSignals() override;

private:
    // A request came: the modal windows are rejected, then the main window closes.
    void Received();
    // Closes the main window once the event loops above `level` have ended.
    void CloseFromLoopLevel(int level, int passes);

    std::function<void()> Close;
    QObject* Watcher = nullptr;  // what reports the requests on the main thread
};

}  // namespace pelk

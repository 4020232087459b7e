#pragma once
// SIGTERM, SIGHUP and SIGINT (a logout, a closed terminal, a service
// manager stopping the program, Ctrl-C in the terminal that started it) end
// the window as File > Exit does: the port is closed and the settings file
// written. The signal handler only writes a byte into a pipe; a socket
// notifier reads it on the main thread, where a modal dialog or message box
// still open is rejected first (so that the command that opened it ends),
// and then the main window closes.
#include <QObject>
#include <QSocketNotifier>
#include <functional>

namespace pelk {

class ExitSignals : public QObject {
    Q_OBJECT
public:
    // close: closes the main window. One instance at a time.
    explicit ExitSignals(std::function<void()> close);
    ~ExitSignals() override;

private:
    void Received();
    // Closes the main window once the event loops above `level` have ended.
    void CloseFromLoopLevel(int level, int passes);

    std::function<void()> Close;
    QSocketNotifier* Notifier = nullptr;
};

}  // namespace pelk

#include "app/exit_signals.h"

#include <QApplication>
#include <QDialog>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <utility>

namespace pelk {

void ExitSignals::Received() {
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

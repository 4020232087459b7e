#include "dialogs/modeless_dialog.h"

#include <QApplication>
#include <QEvent>
#include <QHideEvent>
#include <utility>

#include "app/formularz.h"
#include "app/windows.h"

namespace pelk {

namespace {
// w is a window whose parent chain leads to owner.
bool BelongsTo(const QWidget* w, const QWidget* owner) {
    for (; w; w = w->parentWidget())
        if (w->parentWidget() == owner) return true;
    return false;
}
}  // namespace

// A dialog window owned by the main window, which keeps it on top of the
// main window. Not a tool window: window managers leave tool (utility)
// windows out when they choose the window that gets the activation back, so
// closing the dialog's own message box would activate the main window.
TModelessDialog::TModelessDialog(QWidget* parent) : QDialog(parent) {}

void TModelessDialog::ShowAt(QPoint first) {
    // Placed by hand each time: shown again, a window would otherwise go
    // where the window manager puts it, which some move down by their
    // title bar at every showing.
    if (!isVisible()) move(LeftAt.value_or(first));
    show();
    raise();
    activateWindow();
}

void TModelessDialog::hideEvent(QHideEvent* e) {
    if (!e->spontaneous()) LeftAt = pos();
    QDialog::hideEvent(e);
}

bool TModelessDialog::event(QEvent* e) {
    if (e->type() == QEvent::WindowDeactivate) {
        // A modal box is registered as soon as it is shown, before any
        // window manager has moved the activation to it.
        LentToOwnWindow = BelongsTo(QApplication::activeModalWidget(), this);
    } else if (e->type() == QEvent::WindowActivate) {
        if (!std::exchange(LentToOwnWindow, false)) Formularz->Guarded([this] { FormActivate(); });
    }
    return QDialog::event(e);
}

}  // namespace pelk

#include "dialogs/modeless_dialog.h"

#include <QApplication>
#include <QEvent>
#include <QHideEvent>
#include <utility>

#include "dialogs/prompts.h"

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
ModelessDialog::ModelessDialog(QWidget* parent) : QDialog(parent) {}

void ModelessDialog::showAt(QPoint first) {
    // Placed by hand each time: shown again, a window would otherwise go
    // where the window manager puts it, which some move down by their
    // title bar at every showing.
    if (!isVisible()) move(leftAt.value_or(first));
    show();
    raise();
    activateWindow();
}

void ModelessDialog::hideEvent(QHideEvent* e) {
    if (!e->spontaneous()) leftAt = pos();
    QDialog::hideEvent(e);
}

bool ModelessDialog::event(QEvent* e) {
    if (e->type() == QEvent::WindowDeactivate) {
        // A modal box is registered as soon as it is shown, before any
        // window manager has moved the activation to it.
        lentToOwnWindow = BelongsTo(QApplication::activeModalWidget(), this);
    } else if (e->type() == QEvent::WindowActivate) {
        if (!std::exchange(lentToOwnWindow, false)) Guarded([this] { formActivate(); });
    }
    return QDialog::event(e);
}

QString BusyRefusal(const char* command) {
    return QString::fromLatin1(command) +
           QStringLiteral(" is not possible while an operation runs: wait for its result, or Stop it.");
}

}  // namespace pelk

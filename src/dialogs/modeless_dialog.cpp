#include "dialogs/modeless_dialog.h"

#include <QApplication>
#include <QEvent>
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

TModelessDialog::TModelessDialog(QWidget* parent) : QDialog(parent, Qt::Tool) {}

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

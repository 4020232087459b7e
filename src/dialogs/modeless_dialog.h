#pragma once
// The base of the Edit and Fill dialogs: modeless windows on top of the
// main window that read the main window's state again each time the user
// activates them (FormActivate). Coming back from a window of the dialog's
// own, such as the message box its field check raised, is not a new
// activation: the fields keep what the user typed.
#include <QDialog>
#include <QPoint>
#include <optional>

namespace pelk {

class TModelessDialog : public QDialog {
    Q_OBJECT
public:
    explicit TModelessDialog(QWidget* parent = nullptr);

    virtual void FormActivate() = 0;
    // Shows and activates the dialog: where the user left it, or at `first`
    // (its frame's top left) the first time.
    void ShowAt(QPoint first);

protected:
    bool event(QEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    std::optional<QPoint> LeftAt;  // where the user left it, once hidden
    // The activation went to a modal window that belongs to this dialog.
    bool LentToOwnWindow = false;
};

}  // namespace pelk

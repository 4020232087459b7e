#pragma once
// The base of the Edit and Fill dialogs: modeless windows on top of the
// main window that look at the image again each time the user activates
// them (formActivate). Coming back from a window of the dialog's own, such
// as the message box its field check raised, is not a new activation: the
// fields keep what the user typed.
#include <QDialog>
#include <QPoint>
#include <optional>

namespace pelk {

class ModelessDialog : public QDialog {
    Q_OBJECT
public:
    explicit ModelessDialog(QWidget* parent = nullptr);

    // Shows and activates the dialog: where the user left it, or at `first`
    // (its frame's top left) the first time.
    void showAt(QPoint first);

protected:
    // The user activated the dialog.
    virtual void formActivate() = 0;
    bool event(QEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    std::optional<QPoint> leftAt;  // where the user left it, once hidden
    // The activation went to a modal window that belongs to this dialog.
    bool lentToOwnWindow = false;
};

// The message for an image command refused while an operation runs, as a
// message box says it.
QString BusyRefusal(const char* command);

}  // namespace pelk

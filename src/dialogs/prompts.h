#pragma once
// Everything that asks the user something or tells the user something in a
// modal way goes through Prompts: message boxes, the open and save file
// dialogs and the modal dialogs' results. The application installs the Qt
// implementation; tests install one that answers from a script and records
// what was shown, so every flow runs headless.
#include <QString>
#include <functional>
#include <optional>

class QDialog;
class QWidget;

namespace pelk {

// One file dialog use. FilterIndex is 1-based, as the filter list counts
// its entries ("HEX Files", "BINARY Files", "All Files").
struct FileDialogRequest {
    QString Filter;            // "Name (*.ext)|*.EXT|..." pairs
    QString Directory;         // starting directory; empty: the dialog's default
    QString FileName;          // proposed file name
    QString DefaultExt;        // appended when the name has none; empty: none
    int FilterIndex = 1;
    bool ConfirmOverwrite = false;
    // Called when the user picks another file type while the dialog is open;
    // returns the default extension that now applies.
    std::function<QString(int filterIndex)> TypeChanged;
};

struct FileDialogResult {
    QString FileName;
    int FilterIndex = 1;
};

class Prompts {
public:
    virtual ~Prompts() = default;
    // A modal message box with an OK button.
    virtual void Message(const QString& text) = 0;
    // The same box raised by the window `owner` (a dialog checking its
    // fields): the box belongs to that window, and closing it hands the
    // activation back to it.
    virtual void MessageFrom(QWidget* owner, const QString& text) {
        (void)owner;
        Message(text);
    }
    virtual std::optional<FileDialogResult> OpenFile(const FileDialogRequest& request) = 0;
    virtual std::optional<FileDialogResult> SaveFile(const FileDialogRequest& request) = 0;
    // Shows a dialog modally; returns QDialog::Accepted or QDialog::Rejected.
    virtual int ExecDialog(QDialog& dialog) = 0;
};

// The prompts in use; the Qt implementation unless one was installed.
Prompts& UserPrompts();
// Installs p (not owned); nullptr goes back to the Qt implementation.
void SetUserPrompts(Prompts* p);

// Splits a "Name (*.ext)|*.EXT|..." filter into the name filters a Qt file
// dialog takes.
QStringList QtNameFilters(const QString& filter);

// Runs a handler of the window or a dialog; an error that escapes it is
// reported (the application's report of unhandled errors) and the program
// goes on.
void Guarded(const std::function<void()>& handler);

}  // namespace pelk

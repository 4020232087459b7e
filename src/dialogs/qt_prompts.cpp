#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QWindow>

#include "dialogs/prompts.h"
#include "framework/exception.h"

namespace pelk {
namespace {

class QtPrompts final : public Prompts {
public:
    void Message(const QString& text) override { MessageFrom(nullptr, text); }

    void MessageFrom(QWidget* owner, const QString& text) override {
        // The box belongs to the window that raised it, so that window
        // managers keep it with that window; closing it gives the activation
        // back to the window the user was in, where a window manager may
        // have chosen another (a dialog's main window).
        QPointer<QWidget> before = QApplication::activeWindow();
        QWidget* parent = owner && owner->isVisible() ? owner->window() : before.data();
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok, parent);
        box.exec();
        // Asked of the window itself: QWidget::activateWindow asks nothing
        // when the window's transient parent is active.
        if (before && before->isVisible() && before->windowHandle()) before->windowHandle()->requestActivate();
    }

    std::optional<FileDialogResult> OpenFile(const FileDialogRequest& request) override {
        QFileDialog dialog(QApplication::activeWindow());
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        return Run(dialog, request);
    }

    std::optional<FileDialogResult> SaveFile(const FileDialogRequest& request) override {
        QFileDialog dialog(QApplication::activeWindow());
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.ConfirmOverwrite);
        return Run(dialog, request);
    }

    int ExecDialog(QDialog& dialog) override { return dialog.exec(); }

private:
    static std::optional<FileDialogResult> Run(QFileDialog& dialog, const FileDialogRequest& request) {
        const QStringList filters = QtNameFilters(request.Filter);
        dialog.setNameFilters(filters);
        if (request.FilterIndex >= 1 && request.FilterIndex <= filters.size())
            dialog.selectNameFilter(filters[request.FilterIndex - 1]);
        if (!request.Directory.isEmpty()) dialog.setDirectory(request.Directory);
        if (!request.FileName.isEmpty()) dialog.selectFile(request.FileName);
        dialog.setDefaultSuffix(request.DefaultExt);
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& f) {
            if (request.TypeChanged) dialog.setDefaultSuffix(request.TypeChanged(int(filters.indexOf(f)) + 1));
        });
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
        return FileDialogResult{dialog.selectedFiles().first(), int(filters.indexOf(dialog.selectedNameFilter())) + 1};
    }
};

Prompts* Installed = nullptr;

}  // namespace

Prompts& UserPrompts() {
    static QtPrompts qt;
    return Installed ? *Installed : qt;
}

void SetUserPrompts(Prompts* p) { Installed = p; }

QStringList QtNameFilters(const QString& filter) {
    // "HEX Files (*.hex)|*.HEX|...": Qt shows the names and takes the pattern
    // from the parentheses (matching any letter case); "*.*" means any file.
    QStringList out;
    const QStringList parts = filter.split(u'|');
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i];
        name.replace(QStringLiteral("(*.*)"), QStringLiteral("(*)"));
        out << name;
    }
    return out;
}

void Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ReportException(e);
    }
}

}  // namespace pelk

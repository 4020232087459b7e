#pragma once
// Prompts that answer from a script and record what the user would have
// seen, so window flows run headless.
#include <QDialog>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "dialogs/prompts.h"

namespace pelk::test {

class ScriptedPrompts : public Prompts {
public:
    std::vector<QString> Messages;
    std::vector<FileDialogRequest> OpenRequests, SaveRequests;
    // Answers of the file dialogs, in order; none left: the user cancels.
    std::deque<std::optional<FileDialogResult>> OpenAnswers, SaveAnswers;
    // Plays the user in a modal dialog (it may change the dialog's controls)
    // and returns the dialog's result; unset: Cancel.
    std::function<int(QDialog&)> OnDialog;
    std::vector<QString> DialogsShown;  // object names, in order

    void Message(const QString& text) override { Messages.push_back(text); }

    std::optional<FileDialogResult> OpenFile(const FileDialogRequest& request) override {
        OpenRequests.push_back(request);
        return Next(OpenAnswers, request);
    }
    std::optional<FileDialogResult> SaveFile(const FileDialogRequest& request) override {
        SaveRequests.push_back(request);
        return Next(SaveAnswers, request);
    }
    int ExecDialog(QDialog& dialog) override {
        DialogsShown.push_back(dialog.objectName());
        return OnDialog ? OnDialog(dialog) : int(QDialog::Rejected);
    }

private:
    // Like a file dialog: a picked file type may change the default
    // extension, which is added to a name that has none.
    static std::optional<FileDialogResult> Next(std::deque<std::optional<FileDialogResult>>& answers,
                                                const FileDialogRequest& request) {
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        if (!answer) return answer;
        QString ext = request.DefaultExt;
        if (answer->FilterIndex != request.FilterIndex && request.TypeChanged)
            ext = request.TypeChanged(answer->FilterIndex);
        const QString base = answer->FileName.section(u'/', -1);
        if (!ext.isEmpty() && !base.contains(u'.')) answer->FileName += u'.' + ext;
        return answer;
    }
};

}  // namespace pelk::test

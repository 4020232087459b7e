// Pelk ISP: the desktop application.
#include <QApplication>
#include <QMessageBox>

#include "app/exit_signals.h"
#include "app/formularz.h"
#include "app/prompts.h"
#include "app/qt_dispatcher.h"
#include "app/windows.h"
#include "framework/exception.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    pelk::SetApplicationIdentity();

    pelk::InstallQtMainThreadDispatcher();
    // An error that escapes an event handler is shown, and the program goes on.
    pelk::SetExceptionReport([](const std::exception& e) { pelk::UserPrompts().Message(QString::fromLocal8Bit(e.what())); });

    int status = 0;
    try {
        // A signal that comes during start-up is acted on once the loop runs.
        pelk::TExitSignals exitSignals([] { pelk::Formularz->CloseOnSignal(); });
        pelk::CreateWindows();
        pelk::Formularz->show();
        status = QApplication::exec();
        if (status == 0 && pelk::Formularz->SettingsWereLost()) status = 1;
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Pelk ISP"), QString::fromLocal8Bit(e.what()));
        status = 1;
    }
    pelk::DestroyWindows();
    pelk::UninstallQtMainThreadDispatcher();
    return status;
}

// Pelk ISP: the desktop application.
#include <QApplication>
#include <QMessageBox>
#include <memory>

#include "app/application_identity.h"
#include "app/exit_signals.h"
#include "app/main_window.h"
#include "app/qt_dispatcher.h"
#include "dialogs/prompts.h"
#include "framework/exception.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    pelk::SetApplicationIdentity();

    pelk::InstallQtMainThreadDispatcher();
    // An error that escapes an event handler is shown, and the program goes on.
    pelk::SetExceptionReport([](const std::exception& e) { pelk::UserPrompts().Message(QString::fromLocal8Bit(e.what())); });

    int status = 0;
    std::unique_ptr<pelk::MainWindow> window;
    try {
        // A signal that comes during start-up is acted on once the loop runs.
        pelk::ExitSignals exitSignals([&window] {
            if (window) window->closeOnSignal();
        });
        // The window reads the settings and opens the port as it is made.
        window = std::make_unique<pelk::MainWindow>();
        window->show();
        status = QApplication::exec();
        if (status == 0 && window->settingsWereLost()) status = 1;
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("Pelk ISP"), QString::fromLocal8Bit(e.what()));
        status = 1;
    }
    window.reset();
    pelk::UninstallQtMainThreadDispatcher();
    return status;
}

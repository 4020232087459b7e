#pragma once
// A fixture that runs the whole application's windows headless: a fresh
// temporary working directory (where the settings file and COMn links
// live), scripted prompts, the Qt hand-over for the serial component, and
// helpers to start, exit and drive the windows.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QRadioButton>
#include <QtCore/qtestsupport_core.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <sstream>
#include <string>

#include "app/main_window.h"
#include "app/qt_dispatcher.h"
#include "dialogs/edit_dialog.h"
#include "dialogs/fill_dialog.h"
#include "dialogs/load_dialog.h"
#include "framework/exception.h"
#include "sim/simulated_target.h"
#include "support/qt_print.h"
#include "support/scripted_prompts.h"
#include "support/temp_dir.h"
#include "support/window_access.h"

// A test that needs a simulated target of its own says so first: the
// target serves a pseudo-terminal, which Windows lacks. (Under wine the
// window's smoke test programs a target through a COM port instead.)
#ifdef _WIN32
#define PELK_NEEDS_TARGET() GTEST_SKIP() << "needs a simulated target on a pseudo-terminal, which Windows lacks"
#else
#define PELK_NEEDS_TARGET() static_cast<void>(0)
#endif

namespace pelk::test {

class WindowTest : public ::testing::Test {
protected:
    std::optional<TempDir> Temp;  // also the working directory
    std::filesystem::path Dir;
    ScriptedPrompts Prompts;
    std::unique_ptr<SimulatedTarget> Target;

    void SetUp() override {
        Temp.emplace(WorkIn::TheFolder);
        Dir = Temp->Path();
        // Qt's per-user settings go to the temporary folder, never to the
        // real user's store; on Windows they are in the registry, where the
        // window's key is emptied before and after each test.
        const QString userSettings = QString::fromStdString((Dir / "user-settings").string());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userSettings);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, userSettings);
        ClearUserSettings();
        SetUserPrompts(&Prompts);
        InstallQtMainThreadDispatcher();
        SetExceptionReport([this](const std::exception& e) { Prompts.Message(QString::fromLocal8Bit(e.what())); });
    }

    void TearDown() override {
        Close();
        UninstallQtMainThreadDispatcher();
        SetExceptionReport(nullptr);
        SetUserPrompts(nullptr);
        if (Target) Target->Stop();
        Temp.reset();
        ClearUserSettings();
    }

    static void ClearUserSettings() {
#ifdef _WIN32
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("pelkisp"), QStringLiteral("PelkISP")).clear();
#endif
    }

    // The settings file as the program writes it (CR LF line ends).
    void WriteSettings(const std::string& port, const std::string& device, const std::string& dir,
                       const std::string& baud, const std::string& autoBaud) {
        std::ofstream f("PelkISP.cfg", std::ios::binary);
        f << "PELKORD ISP Configuration File\r\n" << port << "\r\n" << device << "\r\n" << dir << "\r\n" << baud
          << "\r\n" << autoBaud << "\r\n";
    }
    std::vector<std::string> SettingsLines() const {
        std::ifstream f("PelkISP.cfg", std::ios::binary);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(f, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    // A simulated target for the given device, published as the link COMn.
    SimulatedTarget& StartTarget(uint32_t lastAddress, int comNumber = 1, SimulatedTargetFaults faults = {}) {
        SimulatedTargetOptions o;
        o.LastAddress = lastAddress;
        o.Faults = faults;
        Target = std::make_unique<SimulatedTarget>(o);
        Target->Start();
        std::filesystem::create_symlink(Target->PortPath(), "COM" + std::to_string(comNumber));
        return *Target;
    }

    // The window as the program makes it: it reads the settings and opens
    // the port. Close ends it as the program's exit does.
    void Start() { OpenWindow(); }
    void Close() { CloseWindow(); }
    void Exit() { W().exit(); }
    // The window of the running test (also inside the tests' lambdas).
    static MainWindow& W() { return test::W(); }

    // A control of a window by its name; the test fails when there is none.
    template <class T>
    static T& Child(QObject& window, const char* name) {
        return test::Child<T>(window, name);
    }
    static QAction& Action(const char* name) { return Child<QAction>(W(), name); }
    static DialogEdit& Field(QObject& dialog, const char* name) { return Child<DialogEdit>(dialog, name); }
    static DialogEdit& EditField(const char* name) { return Field(W().editDialog(), name); }
    static DialogEdit& FillField(const char* name) { return Field(W().fillDialog(), name); }
    // Radio index (0..5) of the device dialog: device index + 1.
    static QRadioButton& DeviceRadio(QObject& dialog, int index) {
        return Child<QRadioButton>(dialog, ("device" + std::to_string(index + 1)).c_str());
    }

    // The modeless dialog is activated by the user, as the window manager
    // tells it.
    static void Activate(QWidget& dialog) {
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&dialog, &activate);
    }

    QString Message() const { return W().message(); }
    // Runs the event loop until the message line shows `text` or the timeout passes.
    bool WaitForMessage(const QString& text, int timeoutMs = 30000) {
        return QTest::qWaitFor([&] { return Message() == text; }, timeoutMs);
    }
};

}  // namespace pelk::test

#pragma once
// A fixture that runs the whole application's windows headless: a fresh
// temporary working directory (where the settings file and COMn links
// live), scripted prompts, the Qt hand-over for the serial component, and
// helpers to start, exit and drive the windows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/formularz.h"
#include "app/qt_dispatcher.h"
#include "app/windows.h"
#include "dialogs/edit_dialog.h"
#include "dialogs/filldial.h"
#include "dialogs/load_dialog.h"
#include "framework/exception.h"
#include "sim/simulated_target.h"
#include "support/qt_print.h"
#include "support/scripted_prompts.h"

namespace pelk::test {

class WindowTest : public ::testing::Test {
protected:
    std::filesystem::path Dir;
    std::filesystem::path OldCwd;
    ScriptedPrompts Prompts;
    std::unique_ptr<SimulatedTarget> Target;

    void SetUp() override {
        OldCwd = std::filesystem::current_path();
        char pattern[] = "/tmp/pelk-window-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        std::filesystem::current_path(Dir);
        SetUserPrompts(&Prompts);
        InstallQtMainThreadDispatcher();
        SetExceptionReport([this](const std::exception& e) { Prompts.Message(QString::fromLocal8Bit(e.what())); });
        EditAddress = 0;
    }

    void TearDown() override {
        if (Formularz) {
            Formularz->close();
            DestroyWindows();
        }
        UninstallQtMainThreadDispatcher();
        SetExceptionReport(nullptr);
        SetUserPrompts(nullptr);
        if (Target) Target->Stop();
        std::filesystem::current_path(OldCwd);
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
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

    void Start() { CreateWindows(); }
    void Exit() { Formularz->Exit1Click(); }

    QString Message() const { return Formularz->Komunikat->text(); }
    // Runs the event loop until the message line shows `text` or the timeout passes.
    bool WaitForMessage(const QString& text, int timeoutMs = 30000) {
        return QTest::qWaitFor([&] { return Message() == text; }, timeoutMs);
    }
};

}  // namespace pelk::test

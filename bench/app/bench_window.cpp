// The window's costs as the user feels them: start-up to the first shown
// window, a whole-grid refresh of the 128 KiB device (model notification,
// the checksum summary and the repaint it causes), and a single-byte SET
// with its checksum summary and repaint. Run with the offscreen platform.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QSettings>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/main_window.h"
#include "app/qt_dispatcher.h"
#include "dialogs/edit_dialog.h"
#include "support/window_access.h"

namespace pelk {
namespace {

using test::Child;
using test::CloseWindow;
using test::OpenWindow;
using test::W;

// Runs in an empty working directory with the 128 KiB device configured.
struct Workspace {
    std::filesystem::path Old = std::filesystem::current_path();
    std::filesystem::path Dir;
    Workspace() {
        char pattern[] = "/tmp/pelk-bench-window-XXXXXX";
        Dir = mkdtemp(pattern);
        std::filesystem::current_path(Dir);
        const QString user = QString::fromStdString((Dir / "user-settings").string());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, user);
        std::ofstream("PelkISP.cfg", std::ios::binary)
            << "PELKORD ISP Configuration File\r\n0\r\n6\r\n\r\n6\r\n1\r\n";
    }
    ~Workspace() {
        std::filesystem::current_path(Old);
        std::filesystem::remove_all(Dir);
    }
};

void BM_StartUpToShownWindow(benchmark::State& state) {
    Workspace w;
    for (auto _ : state) {
        OpenWindow();
        W().show();
        if (!QTest::qWaitForWindowExposed(&W())) state.SkipWithError("window not shown");
        QApplication::processEvents();
        state.PauseTiming();
        CloseWindow();
        state.ResumeTiming();
    }
}

void BM_RefreshGrid128K(benchmark::State& state) {
    Workspace w;
    OpenWindow();
    W().show();
    if (!QTest::qWaitForWindowExposed(&W())) state.SkipWithError("window not shown");
    for (auto _ : state) {
        W().refreshGrid();
        QApplication::processEvents();  // paints what the change marked dirty
    }
    CloseWindow();
}

void BM_SetOneByteAndSummary(benchmark::State& state) {
    Workspace w;
    OpenWindow();
    W().show();
    if (!QTest::qWaitForWindowExposed(&W())) state.SkipWithError("window not shown");
    Child<DialogEdit>(W().editDialog(), "addressField").putText("00010");
    uint8_t v = 0;
    for (auto _ : state) {
        Child<DialogEdit>(W().editDialog(), "newHex").putText(QString::asprintf("%02X", v++));
        W().editDialog().setByte();
        QApplication::processEvents();  // paints what the change marked dirty
    }
    CloseWindow();
}

BENCHMARK(BM_StartUpToShownWindow)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_RefreshGrid128K)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SetOneByteAndSummary)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace pelk

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    pelk::InstallQtMainThreadDispatcher();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    pelk::UninstallQtMainThreadDispatcher();
    return 0;
}

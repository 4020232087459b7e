// The window on Windows' own platform plugin, under wine on an X display:
// it maps as a native window captioned "Pelk ISP", loads examples/blinky.hex
// through the real LOAD dialog, programs and verifies a simulated target on
// COM4 (served by pelk_wine_peers) and writes PelkISP.cfg on File > Exit. Run by
// ./dev test in a run of its own (the platform is chosen once per process),
// which sets PELK_WINDOW_SMOKE to the Windows path of blinky.hex.
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include "support/window_fixture.h"

// Last: its macros (CBR_9600...) clash with the serial component's names.
#include <windows.h>

namespace pelk::test {
namespace {

class NativeWindow : public WindowTest {};

TEST_F(NativeWindow, LoadsProgramsVerifiesAndSavesItsSettings) {
    const QString blinky = qEnvironmentVariable("PELK_WINDOW_SMOKE");
    if (blinky.isEmpty()) GTEST_SKIP() << "run by ./dev test on an X display with a target on COM4";
    ASSERT_EQ(QGuiApplication::platformName(), "windows");

    WriteSettings("4", "3", "", "12", "0");
    Start();
    W().show();
    ASSERT_TRUE(QTest::qWaitFor([] { return W().windowHandle() && W().windowHandle()->isExposed(); }, 20000));
    const HWND native = FindWindowW(nullptr, L"Pelk ISP");
    ASSERT_NE(native, nullptr) << "no top-level window captioned \"Pelk ISP\"";
    EXPECT_EQ(native, HWND(W().winId()));
    EXPECT_TRUE(IsWindowVisible(native));
    ASSERT_TRUE(W().port().Active()) << Child<QLabel>(W(), "panel3").toolTip().toStdString();

    // File > Load: the file dialog is scripted; the LOAD dialog is the real
    // one, shown modally and accepted with its OK button.
    Prompts.OpenAnswers.push_back(FileDialogResult{blinky, 1});
    bool shown = false;
    Prompts.OnDialog = [&shown](QDialog& dialog) {
        QTimer::singleShot(0, &dialog, [&shown, &dialog] {
            shown = dialog.isVisible();
            Child<QPushButton>(dialog, "okButton").click();
        });
        return dialog.exec();
    };
    Action("loadAction").trigger();
    EXPECT_TRUE(shown);
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{});
    ASSERT_NE(W().image().ImageBuffer[0], 0xFF) << "blinky.hex was not loaded";

    Child<QToolButton>(W(), "programButton").click();
    ASSERT_TRUE(WaitForMessage("Device programmed.")) << Message().toStdString();
    Child<QToolButton>(W(), "verifyButton").click();
    ASSERT_TRUE(WaitForMessage("Verification OK.")) << Message().toStdString();

    std::filesystem::remove("PelkISP.cfg");
    Action("exitAction").trigger();  // File > Exit
    EXPECT_FALSE(W().isVisible());
    const auto lines = SettingsLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "PELKORD ISP Configuration File");
    EXPECT_EQ(lines[1], "4");
    EXPECT_EQ(lines[2], "3");
}

}  // namespace
}  // namespace pelk::test

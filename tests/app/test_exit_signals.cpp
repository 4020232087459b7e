// The real program, as a child process under the offscreen platform: SIGTERM,
// SIGHUP and SIGINT end it as File > Exit does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "app/exit_signals.h"
#include "dialogs/serial_dialog.h"
#include "support/child_process.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

namespace fs = std::filesystem;

class ExitSignalTest : public ::testing::TestWithParam<int> {
protected:
    fs::path Dir;
    void SetUp() override {
        char pattern[] = "/tmp/pelk-signal-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        // The program reads Qt's per-user settings: the child gets a
        // folder of its own for them, never the real user's.
        const char* old = getenv("XDG_CONFIG_HOME");
        OldConfigHome = old ? std::optional<std::string>(old) : std::nullopt;
        setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
    }
    void TearDown() override {
        if (OldConfigHome) setenv("XDG_CONFIG_HOME", OldConfigHome->c_str(), 1);
        else unsetenv("XDG_CONFIG_HOME");
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }
    std::optional<std::string> OldConfigHome;
    std::string Settings() const {
        std::ifstream f(Dir / "PelkISP.cfg", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
};

TEST_P(ExitSignalTest, EndsTheWindowAsExitDoes) {
    // Device 9 and automatic baud at index 3 read as device 1 at 9600 bps:
    // the file written at exit tells that the exit ran.
    std::ofstream(Dir / "PelkISP.cfg", std::ios::binary)
        << "PELKORD ISP Configuration File\r\n0\r\n9\r\n\r\n3\r\n1\r\n";
    test::ChildProcess window(PELKISP_GUI_PATH, {}, Dir);
    ASSERT_TRUE(window.Running());
    ASSERT_TRUE(window.WaitUntilCatching(GetParam()));
    window.Signal(GetParam());
    EXPECT_EQ(window.Wait(), 0) << window.StdErr;
    EXPECT_EQ(Settings(), "PELKORD ISP Configuration File\r\n0\r\n1\r\n\r\n6\r\n1\r\n");
}

TEST_P(ExitSignalTest, WriteProtectedSettingsFileIsReportedWithoutABox) {
    const std::string old = "PELKORD ISP Configuration File\r\n0\r\n3\r\n\r\n8\r\n0\r\n";
    std::ofstream(Dir / "PelkISP.cfg", std::ios::binary) << old;
    fs::permissions(Dir / "PelkISP.cfg", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    test::ChildProcess window(PELKISP_GUI_PATH, {}, Dir);
    ASSERT_TRUE(window.Running());
    ASSERT_TRUE(window.WaitUntilCatching(GetParam()));
    window.Signal(GetParam());
    EXPECT_EQ(window.Wait(), 1) << "the loss shows in the exit status\n" << window.StdErr;
    EXPECT_EQ(Settings(), old);
    EXPECT_NE(window.StdErr.find("Can't write file"), std::string::npos) << window.StdErr;
}

INSTANTIATE_TEST_SUITE_P(Signals, ExitSignalTest, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const ::testing::TestParamInfo<int>& p) { return "SIG" + std::string(sigabbrev_np(p.param)); });

// A signal that comes while a modal dialog is open: the dialog is rejected,
// its command ends, then the window closes and the settings are written.
class ExitSignalWithDialogTest : public test::WindowTest {};

TEST_F(ExitSignalWithDialogTest, ModalDialogIsRejectedFirst) {
    Start();
    W().show();
    ExitSignals exitSignals([] { W().close(); });
    int result = -1;
    Prompts.OnDialog = [&](QDialog& dialog) {
        raise(SIGHUP);
        result = dialog.exec();
        EXPECT_TRUE(W().isVisible()) << "the window closes after the dialog's command";
        return result;
    };
    W().changeSerialPort();
    EXPECT_EQ(result, int(QDialog::Rejected));
    EXPECT_TRUE(QTest::qWaitFor([] { return !W().isVisible(); }, 10000));
    EXPECT_EQ(SettingsLines().size(), 6u);
}

}  // namespace
}  // namespace pelk

// The main window: start-up, shut-down, layout, device selection, the
// serial port dialog, and the device commands over a pseudo-terminal.
#include <QHeaderView>
#include <random>

#include "dialogs/about_box.h"
#include "dialogs/device_dialog.h"
#include "dialogs/serial_dialog.h"
#include "support/recording_lines.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

using test::WindowTest;

class StartUpTest : public WindowTest {};

TEST_F(StartUpTest, WithoutSettingsFile) {
    PELK_NEEDS_TARGET();
    StartTarget(0xFFFF, 0);  // a link named COM0: port 0 names no port all the same
    Start();
    EXPECT_EQ(W().windowTitle(), "Pelk ISP");
    EXPECT_EQ(W().grid().rowCountWithHeading(), 4097);
    EXPECT_EQ(W().panelText(0), "Device: W78E516B");
    EXPECT_EQ(W().panelText(1), "Checksum: 0000");
    EXPECT_EQ(W().panelText(2), "CRC: 3006");
    EXPECT_EQ(W().panelText(3), "Port: not connected");
    EXPECT_EQ(W().panelText(4), "");
    EXPECT_EQ(Message(), "Ready.");
    EXPECT_EQ(W().progress(), 0);
    EXPECT_EQ(W().autoBaud(), 1);
    EXPECT_EQ(W().baudIndex(), 6);
    EXPECT_EQ(W().port().Baudrate(), br9600);
    EXPECT_FALSE(W().port().Active());
    EXPECT_TRUE(Prompts.Messages.empty());
    EXPECT_FALSE(W().tickTimer().isActive()) << "an idle window does not tick";
    EXPECT_FALSE(Action("skipBlankBlocksAction").isChecked());

    Exit();
    EXPECT_EQ(SettingsLines(), (std::vector<std::string>{"PELKORD ISP Configuration File", "0", "1", "", "6", "1"}));
}

TEST_F(StartUpTest, AbsentPortThreeIsKeptQuietlyAndSavedAgain) {
    WriteSettings("3", "1", "", "6", "1");
    Start();
    EXPECT_EQ(W().panelText(3), "Port: not connected");
    EXPECT_TRUE(Prompts.Messages.empty());
    EXPECT_EQ(W().port().PortNum(), 3);
    Exit();
    EXPECT_EQ(SettingsLines()[1], "3");
}

TEST_F(StartUpTest, WriteProtectedSettingsFileIsKeptAndTheLossReported) {
    WriteSettings("0", "3", "", "8", "0");
    std::filesystem::permissions("PelkISP.cfg", std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                                    std::filesystem::perms::others_read);
#ifndef _WIN32  // there the per-user settings are in the registry, which no file can block
    std::ofstream(Dir / "user-settings");  // a file where the per-user settings' folder goes
#endif
    Start();
#ifndef _WIN32
    Action("skipBlankBlocksAction").trigger();
    EXPECT_TRUE(Prompts.Messages.at(0).startsWith(
        QString::fromStdString("Can't write file\n" + Dir.string() + "/user-settings/pelkisp: Not a")));
    Prompts.Messages.clear();
#endif
    Exit();
    EXPECT_EQ(SettingsLines(), (std::vector<std::string>{"PELKORD ISP Configuration File", "0", "3", "", "8", "0"}));
    ASSERT_EQ(Prompts.Messages.size(), 1u);
    EXPECT_TRUE(Prompts.Messages[0].startsWith("Can't write file\n")) << Prompts.Messages[0].toStdString();
    EXPECT_TRUE(Prompts.Messages[0].contains("PelkISP.cfg")) << Prompts.Messages[0].toStdString();
}

TEST_F(StartUpTest, SettingsAreAppliedAndWrittenBack) {
    PELK_NEEDS_TARGET();
    WriteSettings("1", "3", "/tmp/somewhere/", "12", "0");
    StartTarget(0x7FFF, 1);
    Start();
    EXPECT_EQ(W().panelText(0), "Device: W78E58B");
    EXPECT_EQ(W().panelText(1), "Checksum: 8000");
    EXPECT_EQ(W().panelText(2), "CRC: 7E33");
    EXPECT_EQ(W().grid().rowCountWithHeading(), 2049);
    EXPECT_EQ(W().panelText(3), "Port: COM1");
    EXPECT_TRUE(W().port().Active());
    EXPECT_EQ(W().port().Baudrate(), br115200);
    EXPECT_EQ(W().openState().InitialDir, "/tmp/somewhere/");
    Exit();
    EXPECT_FALSE(W().port().Active());
    // No file was opened in this run: the directory line is empty.
    EXPECT_EQ(SettingsLines(), (std::vector<std::string>{"PELKORD ISP Configuration File", "1", "3", "", "12", "0"}));
}

TEST_F(StartUpTest, AutoBaudOverridesTheSavedIndex) {
    WriteSettings("0", "1", "", "3", "1");
    Start();
    EXPECT_EQ(W().baudIndex(), 6);
    EXPECT_EQ(W().port().Baudrate(), br9600);
    Exit();
    EXPECT_EQ(SettingsLines()[4], "6");
}

TEST_F(StartUpTest, BaudIndexOutsideTheListLeavesThePortRate) {
    WriteSettings("0", "1", "", "14", "2");  // automatic baud 2 counts as off
    Start();
    EXPECT_EQ(W().baudIndex(), 14);
    EXPECT_EQ(W().port().Baudrate(), br9600) << "an index the list does not offer is not applied";
    Exit();
    EXPECT_EQ(SettingsLines()[4], "14");
    EXPECT_EQ(SettingsLines()[5], "2");
}

TEST_F(StartUpTest, ColumnsFollowTheWidthAt501Pixels) {
    Start();
    W().show();
    W().resize(501, 581);
    QCoreApplication::processEvents();
    BufferGrid& grid = W().grid();
    EXPECT_EQ(grid.verticalHeader()->width(), 50);
    // Two digits and 16 characters of the grid's font show whole: 501 px or
    // wider (the smallest window the font allows); the byte columns share
    // what is wider than that.
    const int width = W().frameGeometry().width();
    const int a = std::max({16, grid.fontMetrics().horizontalAdvance("DD") + 3, int((width - 87) * 0.65 * 0.0625)});
    for (int c = 0; c < 16; ++c) EXPECT_EQ(grid.columnWidth(c), a) << c;
    EXPECT_EQ(grid.columnWidth(16), std::max(width - 96 - 16 * a, grid.charColumnMinWidth()));
    EXPECT_EQ(Child<QLineEdit>(W(), "messageLine").width(), width - 22);
    for (const char* name : {"programButton", "verifyButton", "eraseButton", "blankButton", "stopButton"})
        EXPECT_EQ(Child<QToolButton>(W(), name).width(), (width - 10) / 5) << name;
}

TEST_F(StartUpTest, MenusToolbarAndStatusBar) {
    WriteSettings("0", "2", "", "6", "1");  // the longest device name
    Start();
    const std::pair<const char*, const char*> items[] = {
        {"loadAction", "Load"},         {"saveAction", "Save"},          {"exitAction", "Exit"},
        {"editAction", "Edit"},         {"fillAction", "Fill"},          {"clearAction", "Clear"},
        {"programAction", "Program"},   {"verifyAction", "Verify"},      {"eraseAction", "Erase"},
        {"blankCheckAction", "Blank check"}, {"stopAction", "Stop"},    {"skipBlankBlocksAction", "Skip blank blocks"},
        {"serialPortAction", "Change serial port"}, {"deviceAction", "Select device"},
        {"aboutAction", "About"},       {"editCellAction", "Edit"},
    };
    for (const auto& [name, caption] : items) EXPECT_EQ(Action(name).text().remove(u'&'), caption) << "with an Alt letter";
    QString keys;  // shown in the menus
    for (const char* name : {"loadAction", "saveAction", "exitAction", "programAction", "verifyAction", "eraseAction",
                             "blankCheckAction", "stopAction"})
        keys += Action(name).shortcut().toString() + " ";
    EXPECT_EQ(keys, "Ctrl+O Ctrl+S Ctrl+Q F5 F6 F7 F8 Esc ");
    // Tab leaves the grid and skips Edit's read-only fields; a key closes the About box.
    EXPECT_FALSE(W().grid().tabKeyNavigation());
    for (const char* name : {"currentHex", "currentChar"}) EXPECT_EQ(Field(W().editDialog(), name).focusPolicy(), Qt::NoFocus);
    EXPECT_NE(static_cast<QWidget&>(W().aboutBox()).findChild<QPushButton*>("okButton"), nullptr);
    EXPECT_EQ(Child<QToolButton>(W(), "blankButton").text(), "Blank");
    for (int i = 0; i < 5; ++i)
        EXPECT_GE(Child<QLabel>(W(), ("panel" + std::to_string(i)).c_str()).minimumWidth(),
                  (std::array{100, 90, 70, 105, 40})[size_t(i)]);
    // Laid out, also at the smallest size, every panel is wide enough for its whole text.
    EXPECT_EQ(W().panelText(0), "Device: W78LE516B");
    W().resize(100, 100);
    W().show();
    QCoreApplication::processEvents();
    for (int i = 0; i < 5; ++i) {
        const QLabel& panel = Child<QLabel>(W(), ("panel" + std::to_string(i)).c_str());
        EXPECT_GE(panel.width(), panel.sizeHint().width()) << panel.text().toStdString();
    }
    EXPECT_EQ(Child<QProgressBar>(W(), "progressBar").maximum(), 1000);
    EXPECT_EQ(W().tickTimer().interval(), 10);
}

TEST_F(StartUpTest, ProgressBarIsDrawnOncePerRefreshAndItsLastValueAlwaysShows) {
    Start();
    std::vector<int> drawn;
    QObject::connect(&Child<QProgressBar>(W(), "progressBar"), &QProgressBar::valueChanged, [&](int v) { drawn.push_back(v); });
    // Values that come faster than the screen refreshes: the first is drawn,
    // the last follows after the refresh, those between are skipped.
    for (int v : {5, 6, 7}) W().setProgress(v);
    EXPECT_EQ(W().progress(), 5);
    ASSERT_TRUE(QTest::qWaitFor([] { return W().progress() == 7; }, 5000));
    EXPECT_EQ(drawn, (std::vector<int>{5, 7}));
    // The reset that ends an operation is drawn at once, and the values
    // held before it are never drawn after it.
    for (int v : {8, 9, 0}) W().setProgress(v);
    EXPECT_EQ(W().progress(), 0);
    W().setProgress(3);
    ASSERT_TRUE(QTest::qWaitFor([] { return W().progress() == 3; }, 5000));
    EXPECT_EQ(drawn, (std::vector<int>{5, 7, 0, 3}));
}

TEST_F(StartUpTest, ErrorInAHandlerIsShownAndTheWindowGoesOn) {
    Start();
    Guarded([] { throw std::runtime_error("Something failed"); });
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Something failed"});
    W().clearBuffer();
    EXPECT_EQ(W().panelText(1), "Checksum: 0000");
}

class DeviceSelectionTest : public WindowTest {
protected:
    // The user picks device d in the dialog and presses OK.
    void Choose(uint8_t d) {
        Prompts.OnDialog = [d](QDialog& dialog) {
            DeviceRadio(dialog, d - 1).setChecked(true);
            return int(QDialog::Accepted);
        };
        W().selectDevice();
    }
};

TEST_F(DeviceSelectionTest, BytesAboveTheSmallerDeviceSurviveARoundTrip) {
    WriteSettings("0", "6", "", "6", "1");
    Start();
    EXPECT_EQ(W().panelText(0), "Device: W77E532");
    EXPECT_EQ(W().grid().rowCountWithHeading(), 8193);
    EXPECT_EQ(W().panelText(2), "CRC: 2019");
    W().image().ImageBuffer[0x1ABCD] = 0x12;
    W().refreshGrid();
    const QString crc6 = W().panelText(2);
    EXPECT_NE(crc6, "CRC: 2019");

    Choose(3);
    EXPECT_EQ(W().image().DeviceIndex, 3);
    EXPECT_EQ(W().panelText(0), "Device: W78E58B");
    EXPECT_EQ(W().grid().rowCountWithHeading(), 2049);
    EXPECT_EQ(W().panelText(1), "Checksum: 8000");
    EXPECT_EQ(W().panelText(2), "CRC: 7E33");
    EXPECT_EQ(W().grid().cellText(0, 2048), " 07FF0");

    Choose(6);
    EXPECT_EQ(W().image().ImageBuffer[0x1ABCD], 0x12);
    EXPECT_EQ(W().grid().rowCountWithHeading(), 8193);
    EXPECT_EQ(W().panelText(2), crc6);
    EXPECT_EQ(W().grid().cellText(14, 0x1ABC + 1), "12");
    Exit();
    EXPECT_EQ(SettingsLines()[2], "6");
}

TEST_F(DeviceSelectionTest, CancelChangesNothingAndTheDialogShowsTheDevice) {
    WriteSettings("0", "4", "", "6", "1");
    Start();
    int checked = 0;
    Prompts.OnDialog = [&](QDialog& dialog) {
        for (int i = 0; i < 6; ++i)
            if (DeviceRadio(dialog, i).isChecked()) checked = i + 1;
        DeviceRadio(dialog, 0).setChecked(true);
        return int(QDialog::Rejected);
    };
    W().selectDevice();
    EXPECT_EQ(checked, 4);
    EXPECT_EQ(W().image().DeviceIndex, 4);
    EXPECT_EQ(W().panelText(0), "Device: W78LE58");
}

TEST_F(DeviceSelectionTest, DeviceTwoShowsItsOwnStatusText) {
    Start();
    Choose(2);
    EXPECT_EQ(W().panelText(0), "Device: W78LE516B");
    EXPECT_EQ(DeviceRadio(W().deviceDialog(), 1).text(), "W78LE516");
}

class SerialDialogTest : public WindowTest {};

TEST_F(SerialDialogTest, AutomaticBaudRules) {
    PELK_NEEDS_TARGET();
    StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    ASSERT_TRUE(W().port().Active());
    Prompts.OnDialog = [](QDialog& sd) {
        QComboBox& baudrate = Child<QComboBox>(sd, "baudrate");
        // The user picks an entry of the list, or types a text into it.
        const auto pick = [&](int i) {
            baudrate.setCurrentIndex(i);
            emit baudrate.activated(i);
        };
        const auto type = [&](const QString& text) {
            baudrate.setEditText(text);
            emit baudrate.lineEdit()->textEdited(text);
        };
        // Automatic baud on: 9600, the list disabled; COM1 checked as the open port.
        EXPECT_TRUE(Child<QCheckBox>(sd, "autoBaudMode").isChecked());
        EXPECT_FALSE(Child<QComboBox>(sd, "baudrate").isEnabled());
        EXPECT_EQ(Child<QComboBox>(sd, "baudrate").currentText(), "9600 bps");
        EXPECT_TRUE(Child<QRadioButton>(sd, "com1").isChecked());
        // Turned off: the list is enabled and still at 9600.
        Child<QCheckBox>(sd, "autoBaudMode").setChecked(false);
        EXPECT_EQ(W().autoBaud(), 0);
        EXPECT_TRUE(Child<QComboBox>(sd, "baudrate").isEnabled());
        EXPECT_EQ(Child<QComboBox>(sd, "baudrate").currentText(), "9600 bps");
        // 115 200 picked: takes effect at once.
        pick(12);
        EXPECT_EQ(W().baudIndex(), 12);
        EXPECT_EQ(W().port().Baudrate(), br115200);
        // Typed: a text that names no listed rate leaves the rate.
        type("12345");
        EXPECT_EQ(W().baudIndex(), 12);
        EXPECT_EQ(W().port().Baudrate(), br115200);
        type("57600");
        EXPECT_EQ(W().port().Baudrate(), br57600);
        pick(12);
        return int(QDialog::Rejected);
    };
    W().changeSerialPort();
    // Cancel: COM1 is open again, at the new rate.
    EXPECT_TRUE(W().port().Active());
    EXPECT_EQ(W().port().PortNum(), 1);
    EXPECT_EQ(W().panelText(3), "Port: COM1");
    EXPECT_EQ(W().port().Baudrate(), br115200);
    EXPECT_TRUE(Prompts.Messages.empty());
    Exit();
    EXPECT_EQ(SettingsLines()[1], "1");
    EXPECT_EQ(SettingsLines()[4], "12");
    EXPECT_EQ(SettingsLines()[5], "0");
}

TEST_F(SerialDialogTest, OkOnAnAbsentPort) {
    PELK_NEEDS_TARGET();
    StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    Prompts.OnDialog = [](QDialog& dialog) {
        Child<QRadioButton>(dialog, "com3").setChecked(true);  // COM3: no such port here
        return int(QDialog::Accepted);
    };
    W().changeSerialPort();
    ASSERT_EQ(Prompts.Messages.size(), 1u);
    EXPECT_TRUE(Prompts.Messages[0].startsWith("Serial Port not available\nUnable to open specified device COM3"));
    EXPECT_FALSE(W().port().Active());
    EXPECT_EQ(W().port().PortNum(), 0);
    EXPECT_EQ(W().panelText(3), "Port: not connected");
    EXPECT_EQ(W().serialDialog().selectedPort(), 3);

    // Opened again: no radio checked; OK without choosing retries COM3.
    bool anyChecked = true;
    Prompts.OnDialog = [&](QDialog& dialog) {
        anyChecked = false;
        for (const char* com : {"com1", "com2", "com3", "com4"}) anyChecked |= Child<QRadioButton>(dialog, com).isChecked();
        return int(QDialog::Accepted);
    };
    W().changeSerialPort();
    EXPECT_FALSE(anyChecked);
    EXPECT_EQ(Prompts.Messages.size(), 2u);

    // COM1 chosen: it opens again.
    Prompts.OnDialog = [](QDialog& dialog) {
        Child<QRadioButton>(dialog, "com1").setChecked(true);
        return int(QDialog::Accepted);
    };
    W().changeSerialPort();
    EXPECT_TRUE(W().port().Active());
    EXPECT_EQ(W().panelText(3), "Port: COM1");
    EXPECT_EQ(Prompts.Messages.size(), 2u);

    // And back to the absent COM3: 0 is what the settings keep.
    Prompts.OnDialog = [](QDialog& dialog) {
        Child<QRadioButton>(dialog, "com3").setChecked(true);
        return int(QDialog::Accepted);
    };
    W().changeSerialPort();
    Exit();
    EXPECT_EQ(SettingsLines()[1], "0");
}

TEST_F(SerialDialogTest, ClickingTheCheckedPortKeepsItChecked) {
    PELK_NEEDS_TARGET();
    StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    Prompts.OnDialog = [](QDialog& dialog) {
        Child<QRadioButton>(dialog, "com1").click();
        EXPECT_TRUE(Child<QRadioButton>(dialog, "com1").isChecked());
        Child<QRadioButton>(dialog, "com2").click();
        EXPECT_FALSE(Child<QRadioButton>(dialog, "com1").isChecked()) << "one port at a time";
        Child<QRadioButton>(dialog, "com1").click();
        return int(QDialog::Accepted);
    };
    W().changeSerialPort();
    EXPECT_TRUE(Prompts.Messages.empty());
    EXPECT_TRUE(W().port().Active());
    EXPECT_EQ(W().panelText(3), "Port: COM1");
}

TEST_F(SerialDialogTest, ResetLinesAreCheckedAtOkAndKeptInTheUserSettings) {
    PELK_NEEDS_TARGET();
    StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    EXPECT_FALSE(W().linesBefore().On);
    EXPECT_FALSE(W().linesAfter().On);
    bool firstOkClosed = true;
    Prompts.OnDialog = [&](QDialog& sd) {
        EXPECT_FALSE(Child<QCheckBox>(sd, "linesBeforeCheck").isChecked());
        EXPECT_EQ(Child<QLineEdit>(sd, "linesBeforeEdit").text(), "");
        Child<QCheckBox>(sd, "linesBeforeCheck").setChecked(true);
        Child<QLineEdit>(sd, "linesBeforeEdit").setText("dtr,rts,50ms,-dtx,200ms");
        Child<QLineEdit>(sd, "linesAfterEdit").setText("nonsense");  // not checked: not looked at
        sd.setResult(QDialog::Rejected);
        Child<QPushButton>(sd, "okButton").click();
        firstOkClosed = sd.result() == QDialog::Accepted;
        Child<QLineEdit>(sd, "linesBeforeEdit").setText(" DTR, rts ,50ms,-dtr,200ms");
        Child<QPushButton>(sd, "okButton").click();
        return sd.result();
    };
    W().changeSerialPort();
    EXPECT_FALSE(firstOkClosed) << "a sequence that does not parse keeps the dialog open";
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Reset lines before: step 4 \"-dtx\" is not dtr, -dtr, rts, "
                                                     "-rts or a wait such as 50ms"});
    EXPECT_TRUE(W().linesBefore().On);
    EXPECT_EQ(W().linesBefore().Parsed.Sequence.Text(), "dtr,rts,50ms,-dtr,200ms");
    EXPECT_EQ(W().linesAfter().Text, "nonsense");
    EXPECT_TRUE(W().port().Active());

    // Cancel forgets the edits.
    Prompts.OnDialog = [](QDialog& dialog) {
        auto& sd = dynamic_cast<SerialDialog&>(dialog);
        EXPECT_EQ(Child<QLineEdit>(sd, "linesBeforeEdit").text(), " DTR, rts ,50ms,-dtr,200ms");
        Child<QCheckBox>(sd, "linesBeforeCheck").setChecked(false);
        return int(QDialog::Rejected);
    };
    W().changeSerialPort();
    EXPECT_TRUE(W().linesBefore().On);

    // The next run has them; PelkISP.cfg keeps its six lines.
    Exit();
    Close();
    EXPECT_EQ(SettingsLines().size(), 6u);
    Start();
    EXPECT_TRUE(W().linesBefore().On);
    EXPECT_EQ(W().linesBefore().Text, " DTR, rts ,50ms,-dtr,200ms");
    EXPECT_FALSE(W().linesAfter().On);
    EXPECT_EQ(W().linesAfter().Text, "nonsense");
}

TEST_F(SerialDialogTest, CancelWithNoPortOpenSaysNotAvailable) {
    Start();
    W().changeSerialPort();  // the script cancels
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Serial Port not available\nNo serial port has been chosen."});
    EXPECT_EQ(W().panelText(3), "Port: not connected");
}

// Another program holds COM1: why, and which device it is, shows at start, for a command, and at Cancel.
TEST_F(SerialDialogTest, APortInUseIsExplained) {
    PELK_NEEDS_TARGET();
    TVaComm other;
    other.SetDeviceName(StartTarget(0xFFFF, 1).PortPath());
    other.Open();
    WriteSettings("1", "1", "", "6", "1");
    Start();
    const QString why = "Unable to open specified device COM1 (16), Device or resource busy\nCOM1 is " +
                        QString::fromStdString(Target->PortPath());
    EXPECT_EQ(W().panelToolTip(3), why);
    W().erase();
    EXPECT_EQ(Message(), "No serial port is open: " + QString(why).replace("\n", "; "));
    W().changeSerialPort();
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Serial Port not available\n" + why});
}

class DeviceCommandTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        PELK_NEEDS_TARGET();
    }
};

TEST_F(DeviceCommandTest, ProgramAndVerifyThroughTheWindowsHandlers) {
    SimulatedTarget& target = StartTarget(0x7FFF, 1);
    WriteSettings("1", "3", "", "12", "0");
    Start();
    ASSERT_TRUE(W().port().Active());
    std::mt19937 rng(5);
    for (uint32_t a = 0; a <= 0x7FFF; ++a) W().image().ImageBuffer[a] = uint8_t(rng());
    W().refreshGrid();

    Child<QToolButton>(W(), "programButton").click();  // Program
    EXPECT_EQ(Message(), "Programming...");
    ASSERT_TRUE(WaitForMessage("Device programmed.")) << Message().toStdString();
    EXPECT_EQ(W().progress(), 0);
    const auto flash = target.Flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), W().image().ImageBuffer.begin()));

    Action("verifyAction").trigger();  // Verify
    EXPECT_EQ(Message(), "Verifying...");
    ASSERT_TRUE(WaitForMessage("Verification OK.")) << Message().toStdString();
    EXPECT_EQ(W().progress(), 0);

    W().image().ImageBuffer[0x1234] ^= 0xFF;
    W().verify();
    ASSERT_TRUE(WaitForMessage("Verification error.")) << Message().toStdString();

    W().blankCheck();
    ASSERT_TRUE(WaitForMessage("Device not blank at adress: 00000")) << Message().toStdString();
    W().erase();
    ASSERT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
    Child<QToolButton>(W(), "blankButton").click();
    ASSERT_TRUE(WaitForMessage("Device is blank.")) << Message().toStdString();
    W().clearBuffer();  // a result does not stay over another image, nor another port
    EXPECT_EQ(Message(), "Ready.");
    W().erase();
    ASSERT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
    W().changeSerialPort();  // Cancel: COM1 again
    EXPECT_EQ(Message(), "Ready.");
}

TEST_F(DeviceCommandTest, TimerRunsOnlyAroundAnOperation) {
    StartTarget(0x7FFF, 1);
    WriteSettings("1", "3", "", "12", "0");
    Start();
    ASSERT_TRUE(W().port().Active());
    EXPECT_FALSE(W().tickTimer().isActive());
    for (QAction* command : {&Action("eraseAction"), &Action("verifyAction"), &Action("blankCheckAction")}) {
        command->trigger();
        EXPECT_TRUE(W().tickTimer().isActive()) << command->text().toStdString();
        ASSERT_TRUE(QTest::qWaitFor([] { return !W().engine().Pending(); }, 30000));
        EXPECT_FALSE(W().tickTimer().isActive()) << command->text().toStdString();
    }
    EXPECT_EQ(Message(), "Device is blank.");
    // Stop inside the start delay: nothing is left pending.
    W().program();
    W().stop();
    EXPECT_FALSE(W().tickTimer().isActive());
}

TEST_F(DeviceCommandTest, SkipBlankBlocksIsRememberedAndWalksTheDataBlocks) {
    SimulatedTarget& target = StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "12", "0");
    Start();
    EXPECT_FALSE(Action("skipBlankBlocksAction").isChecked());
    Action("skipBlankBlocksAction").trigger();
    EXPECT_TRUE(Action("skipBlankBlocksAction").isChecked());
    Exit();
    Close();
    EXPECT_EQ(SettingsLines(), (std::vector<std::string>{"PELKORD ISP Configuration File", "1", "1", "", "12", "0"}));

    Start();  // the next run
    ASSERT_TRUE(Action("skipBlankBlocksAction").isChecked());
    W().image().ImageBuffer[0x0123] = 0x00;
    W().image().ImageBuffer[0xABCD] = 0x00;
    W().program();
    ASSERT_TRUE(WaitForMessage("Device programmed.")) << Message().toStdString();
    W().verify();
    ASSERT_TRUE(WaitForMessage("Verification OK.")) << Message().toStdString();
    EXPECT_EQ(target.Status().Loader.Program, 2u);
    EXPECT_EQ(target.Status().Loader.Verify, 2u);
    EXPECT_EQ(target.Flash()[0xABCD], 0x00);

    // Turned off again: the whole device, and the next run starts with it off.
    Action("skipBlankBlocksAction").trigger();
    W().verify();
    ASSERT_TRUE(WaitForMessage("Verification OK.")) << Message().toStdString();
    EXPECT_EQ(target.Status().Loader.Verify, 2u + 512u);
    Exit();
    Close();
    Start();
    EXPECT_FALSE(Action("skipBlankBlocksAction").isChecked());
    EXPECT_FALSE(W().engine().SkipBlankBlocks());
    Exit();
    EXPECT_EQ(SettingsLines().size(), 6u);
}

// The target is held up past the reply time-out on the first block, so the
// block goes out twice and two replies come for it: the second must not
// confirm the last block, which differs on the chip.
TEST_F(DeviceCommandTest, AReplyToAnEarlierCopyDoesNotConfirmTheNextBlock) {
    SimulatedTargetFaults held;
    held.StallFrame = 1;
    held.StallFor = std::chrono::milliseconds(2500);
    SimulatedTarget& target = StartTarget(0x7FFF, 1, held);
    WriteSettings("1", "3", "", "12", "0");
    Start();
    Action("skipBlankBlocksAction").trigger();
    W().image().ImageBuffer[0x0010] = 0x12;
    W().image().ImageBuffer[0x0090] = 0x34;
    const uint8_t chip[2] = {0x12, 0x35};
    target.WriteFlash(0x0010, std::span(chip, 1));
    target.WriteFlash(0x0090, std::span(chip + 1, 1));
    W().verify();
    ASSERT_TRUE(QTest::qWaitFor([] { return !W().engine().Pending(); }, 30000));
    EXPECT_EQ(Message(), "Verification error.");
    EXPECT_EQ(target.Status().Loader.Verify, 3u) << "block 0 twice, block 1 once";
}

TEST_F(DeviceCommandTest, StopEndsAProgramRunningAtTheLineRate) {
    SimulatedTargetFaults slow;
    slow.PaceBaud = 9600;
    StartTarget(0xFFFF, 1, slow);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    W().program();
    ASSERT_TRUE(QTest::qWaitFor([] { return W().progress() > 0; }, 10000));
    Child<QToolButton>(W(), "stopButton").click();
    EXPECT_EQ(Message(), "Stopped.");
    EXPECT_EQ(W().progress(), 0);
    EXPECT_EQ(W().engine().Operation(), OpNone);
}

TEST_F(DeviceCommandTest, HangUpEndsTheOperationWithOneMessage) {
    SimulatedTargetFaults slow;
    slow.PaceBaud = 9600;
    const std::string device = StartTarget(0xFFFF, 1, slow).PortPath();
    WriteSettings("1", "1", "", "6", "1");
    Start();
    W().program();
    ASSERT_TRUE(QTest::qWaitFor([] { return W().progress() > 0; }, 10000));
    Target->Stop();  // the adapter is pulled out
    const QString hungUp = QString::fromStdString("Device " + device + " hung up or was removed");
    ASSERT_TRUE(WaitForMessage(hungUp)) << Message().toStdString();
    EXPECT_TRUE(Prompts.Messages.empty()) << "no message box";
    EXPECT_EQ(W().engine().Operation(), OpNone);
    EXPECT_EQ(W().engine().StartDelay(), 0);
    EXPECT_EQ(W().progress(), 0);
    EXPECT_FALSE(W().port().Active()) << "nothing more is sent";
    EXPECT_EQ(W().panelText(3), "Port: not connected");

    // Another device on COM1, opened again by the user.
    std::filesystem::remove("COM1");
    StartTarget(0xFFFF, 1);
    Prompts.OnDialog = [](QDialog& dialog) {
        Child<QRadioButton>(dialog, "com1").setChecked(true);
        return int(QDialog::Accepted);
    };
    W().changeSerialPort();
    EXPECT_EQ(W().panelText(3), "Port: COM1");
    W().erase();
    EXPECT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
}

// The reset-line sequences around the device commands, on a recording
// stand-in of the lines (a pseudo-terminal has none) and a fake clock.
class ResetLinesTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        PELK_NEEDS_TARGET();
    }
    test::RecordingLines Lines;
    int64_t Now = 0;
    // The engine and the message line at each line change.
    std::vector<std::string> Seen;

    void StartWithLines(const QString& before, const QString& after) {
        StartTarget(0x7FFF, 1);
        WriteSettings("1", "3", "", "12", "0");
        Start();
        ASSERT_TRUE(W().port().Active());
        W().useLines(&Lines);
        W().useClock([this] { return Now; });
        Lines.Clock = [this] { return Now; };
        Lines.OnChange = [this](const std::string& step) {
            Seen.push_back(step + " op " + std::to_string(W().engine().Operation()) + " " + Message().toStdString());
        };
        W().setResetLines(ResetLinesSetting::Of(!before.isEmpty(), before),
                          ResetLinesSetting::Of(!after.isEmpty(), after));
    }
    // The fake clock reaches t, and LineTimer fires if it is armed.
    void At(int64_t t) {
        Now = t;
        if (W().lineTimer().isActive()) W().lineWaitEnded();
    }
};

TEST_F(ResetLinesTest, OffByDefaultEveryCommandStartsAtOnceAsItAlwaysHas) {
    StartWithLines("", "");
    W().erase();
    EXPECT_EQ(Message(), "Erasing...");
    EXPECT_EQ(W().engine().StartDelay(), StartDelayTicks);
    EXPECT_FALSE(W().lineTimer().isActive());
    ASSERT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
    EXPECT_TRUE(Lines.Changes.empty());
    EXPECT_EQ(W().run().CurrentPhase(), ProgrammingRun::Phase::Idle);
}

TEST_F(ResetLinesTest, BeforeRunsAheadOfTheFirstFrameAndAfterFollowsTheResult) {
    StartWithLines("dtr,rts,50ms,-dtr,200ms", "-rts,dtr,50ms,-dtr");
    W().setSkipBlankBlocks(true);
    W().image().ImageBuffer[0x0100] = 0x12;  // one block to program
    Child<QToolButton>(W(), "programButton").click();  // Program
    EXPECT_EQ(W().run().CurrentPhase(), ProgrammingRun::Phase::Before);
    EXPECT_EQ(W().lineTimer().interval(), 50);
    At(49);
    At(50);
    EXPECT_EQ(W().lineTimer().interval(), 200);
    At(249);
    EXPECT_EQ(W().engine().Operation(), OpNone) << "nothing goes out before the sequence has ended";
    EXPECT_EQ(W().engine().StartDelay(), 0);
    At(250);
    // The engine starts as it always has: preamble, then 5 ticks to the first frame.
    EXPECT_EQ(Message(), "Programming...");
    EXPECT_EQ(W().engine().Operation(), OpProgram);
    EXPECT_EQ(W().engine().StartDelay(), StartDelayTicks);
    EXPECT_FALSE(W().lineTimer().isActive());
    ASSERT_TRUE(WaitForMessage("Device programmed.")) << Message().toStdString();
    EXPECT_EQ(W().run().CurrentPhase(), ProgrammingRun::Phase::After);
    At(300);
    EXPECT_EQ(W().run().CurrentPhase(), ProgrammingRun::Phase::Idle);
    EXPECT_FALSE(W().lineTimer().isActive());
    using Change = test::RecordingLines::Change;
    EXPECT_EQ(Lines.Changes, (std::vector<Change>{{"dtr", 0}, {"rts", 0}, {"-dtr", 50},
                                                  {"-rts", 250}, {"dtr", 250}, {"-dtr", 300}}));
    const std::string before = "op 0 Reset lines before: dtr,rts,50ms,-dtr,200ms...";
    EXPECT_EQ(Seen, (std::vector<std::string>{"dtr " + before, "rts " + before, "-dtr " + before,
                                              "-rts op 0 Device programmed.", "dtr op 0 Device programmed.",
                                              "-dtr op 0 Device programmed."}));
    EXPECT_EQ(Target->Status().Loader.Program, 1u);
}

TEST_F(ResetLinesTest, ACommandThatCouldSendNothingIsRefusedBeforeAnyLineMoves) {
    StartWithLines("dtr,50ms,-dtr", "rts");
    Action("skipBlankBlocksAction").trigger();  // and the image is all FF
    Action("programAction").trigger();
    EXPECT_EQ(Message(), msg::NothingToProgram);
    Action("verifyAction").trigger();
    EXPECT_EQ(Message(), msg::NothingToVerify);
    W().image().ImageBuffer[0x10] = 0;  // data, but no port
    W().port().Close();
    Action("programAction").trigger();
    EXPECT_EQ(Message(), "No serial port is open: choose one in Setup > Change serial port.");
    EXPECT_TRUE(Lines.Changes.empty());
    EXPECT_EQ(Target->Status().Loader.Program + Target->Status().Loader.Verify, 0u);
}

TEST_F(ResetLinesTest, StopInBeforeEndsTheCommandAndANewCommandDropsAfter) {
    StartWithLines("dtr,100ms,-dtr", "rts,100ms,-rts");
    W().erase();
    W().stop();
    EXPECT_EQ(Message(), "Stopped.");
    EXPECT_EQ(W().engine().Operation(), OpNone);
    EXPECT_EQ(W().engine().StartDelay(), 0);
    EXPECT_EQ(W().run().CurrentPhase(), ProgrammingRun::Phase::After) << "the board is not left in reset";
    W().blankCheck();  // while "after" waits: the newest command wins
    At(100);
    EXPECT_EQ(Message(), "Blank checking...");
    ASSERT_TRUE(WaitForMessage("Device is blank.")) << Message().toStdString();
    At(200);
    using Change = test::RecordingLines::Change;
    EXPECT_EQ(Lines.Changes, (std::vector<Change>{{"dtr", 0}, {"rts", 0}, {"dtr", 0}, {"-dtr", 100},
                                                  {"rts", 100}, {"-rts", 200}}));
    EXPECT_EQ(Target->Status().Loader.Erase, 0u);

    // A line that fails mid-way: its message, and no operation.
    Lines.FailAt = Lines.Changes.size() + 1;
    W().verify();
    EXPECT_EQ(Message(), "Reset lines before: line dtr failed");
    EXPECT_EQ(W().engine().Operation(), OpNone);
    EXPECT_EQ(W().run().CurrentPhase(), ProgrammingRun::Phase::Idle);
}

TEST_F(ResetLinesTest, APortWithoutModemLinesRefusesTheCommand) {
    StartWithLines("", "");
    W().useLines(nullptr);  // the pseudo-terminal's own (missing) lines
    const QString noLines = QString::fromStdString(Target->PortPath()) + ": this port has no modem lines";
    for (const auto& [before, after] : {std::pair{"dtr,50ms,-dtr", ""}, std::pair{"", "rts"}}) {
        W().setResetLines(ResetLinesSetting::Of(*before, before), ResetLinesSetting::Of(*after, after));
        W().program();
        EXPECT_EQ(Message(), noLines) << before << after;
        EXPECT_EQ(W().engine().Operation(), OpNone);
        EXPECT_EQ(W().engine().StartDelay(), 0);
        EXPECT_FALSE(W().lineTimer().isActive());
        EXPECT_FALSE(W().tickTimer().isActive());
    }
    // Only waits: no line to set, so the port needs none.
    W().setResetLines(ResetLinesSetting::Of(true, "20ms"), {});
    W().erase();
    At(20);
    EXPECT_EQ(Message(), "Erasing...");
    ASSERT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
    // A stored text that does not parse (a hand-edited settings store).
    W().setResetLines(ResetLinesSetting::Of(true, "dtr,5s"), {});
    W().erase();
    EXPECT_EQ(Message(), "Reset lines before: step 2 \"5s\" is not dtr, -dtr, rts, -rts or a wait such as 50ms");
    EXPECT_EQ(W().engine().Operation(), OpNone);
}

}  // namespace
}  // namespace pelk

// The main window: start-up, shut-down, layout, device selection, the
// serial port dialog, and the device commands over a pseudo-terminal.
#include <QHeaderView>
#include <random>

#include "dialogs/device_dialog.h"
#include "dialogs/serial_dialog.h"
#include "support/recording_lines.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

using test::WindowTest;

class StartUpTest : public WindowTest {};

TEST_F(StartUpTest, WithoutSettingsFile) {
    StartTarget(0xFFFF, 0);  // a link named COM0: port 0 names no port all the same
    Start();
    EXPECT_EQ(Formularz->windowTitle(), "Pelk ISP");
    EXPECT_EQ(Formularz->Tablica->RowCount(), 4097);
    EXPECT_EQ(Formularz->PanelText(0), "Device: W78E516B");
    EXPECT_EQ(Formularz->PanelText(1), "Checksum: 0000");
    EXPECT_EQ(Formularz->PanelText(2), "CRC: 3006");
    EXPECT_EQ(Formularz->PanelText(3), "Port: not connected");
    EXPECT_EQ(Formularz->PanelText(4), "");
    EXPECT_EQ(Message(), "Ready.");
    EXPECT_EQ(Formularz->Progress->value(), 0);
    EXPECT_EQ(AutoBaud, 1);
    EXPECT_EQ(BaudIndex, 6);
    EXPECT_EQ(Formularz->CommPort.Baudrate(), br9600);
    EXPECT_FALSE(Formularz->CommPort.Active());
    EXPECT_TRUE(Prompts.Messages.empty());
    EXPECT_FALSE(Formularz->Timer->isActive()) << "an idle window does not tick";
    EXPECT_FALSE(Formularz->Skipblankblocks1->isChecked());

    Exit();
    EXPECT_EQ(SettingsLines(), (std::vector<std::string>{"PELKORD ISP Configuration File", "0", "1", "", "6", "1"}));
}

TEST_F(StartUpTest, AbsentPortThreeIsKeptQuietlyAndSavedAgain) {
    WriteSettings("3", "1", "", "6", "1");
    Start();
    EXPECT_EQ(Formularz->PanelText(3), "Port: not connected");
    EXPECT_TRUE(Prompts.Messages.empty());
    EXPECT_EQ(Formularz->CommPort.PortNum(), 3);
    Exit();
    EXPECT_EQ(SettingsLines()[1], "3");
}

TEST_F(StartUpTest, WriteProtectedSettingsFileIsKeptAndTheLossReported) {
    WriteSettings("0", "3", "", "8", "0");
    std::filesystem::permissions("PelkISP.cfg", std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                                    std::filesystem::perms::others_read);
    std::ofstream(Dir / "user-settings");  // a file where the per-user settings' folder goes
    Start();
    Formularz->Skipblankblocks1->trigger();
    EXPECT_TRUE(Prompts.Messages.at(0).startsWith(QString::fromStdString("Can't write file\n" + Dir.string() + "/user-settings/pelkisp: Not a")));
    Prompts.Messages.clear();
    Exit();
    EXPECT_EQ(SettingsLines(), (std::vector<std::string>{"PELKORD ISP Configuration File", "0", "3", "", "8", "0"}));
    ASSERT_EQ(Prompts.Messages.size(), 1u);
    EXPECT_TRUE(Prompts.Messages[0].startsWith("Can't write file\n")) << Prompts.Messages[0].toStdString();
    EXPECT_TRUE(Prompts.Messages[0].contains("PelkISP.cfg")) << Prompts.Messages[0].toStdString();
}

TEST_F(StartUpTest, SettingsAreAppliedAndWrittenBack) {
    WriteSettings("1", "3", "/tmp/somewhere/", "12", "0");
    StartTarget(0x7FFF, 1);
    Start();
    EXPECT_EQ(Formularz->PanelText(0), "Device: W78E58B");
    EXPECT_EQ(Formularz->PanelText(1), "Checksum: 8000");
    EXPECT_EQ(Formularz->PanelText(2), "CRC: 7E33");
    EXPECT_EQ(Formularz->Tablica->RowCount(), 2049);
    EXPECT_EQ(Formularz->PanelText(3), "Port: COM1");
    EXPECT_TRUE(Formularz->CommPort.Active());
    EXPECT_EQ(Formularz->CommPort.Baudrate(), br115200);
    EXPECT_EQ(Formularz->Open.InitialDir, "/tmp/somewhere/");
    Exit();
    EXPECT_FALSE(Formularz->CommPort.Active());
    // No file was opened in this run: the directory line is empty.
    EXPECT_EQ(SettingsLines(), (std::vector<std::string>{"PELKORD ISP Configuration File", "1", "3", "", "12", "0"}));
}

TEST_F(StartUpTest, AutoBaudOverridesTheSavedIndex) {
    WriteSettings("0", "1", "", "3", "1");
    Start();
    EXPECT_EQ(BaudIndex, 6);
    EXPECT_EQ(Formularz->CommPort.Baudrate(), br9600);
    Exit();
    EXPECT_EQ(SettingsLines()[4], "6");
}

TEST_F(StartUpTest, BaudIndexOutsideTheListLeavesThePortRate) {
    WriteSettings("0", "1", "", "14", "2");  // automatic baud 2 counts as off
    Start();
    EXPECT_EQ(BaudIndex, 14);
    EXPECT_EQ(Formularz->CommPort.Baudrate(), br9600) << "an index the list does not offer is not applied";
    Exit();
    EXPECT_EQ(SettingsLines()[4], "14");
    EXPECT_EQ(SettingsLines()[5], "2");
}

TEST_F(StartUpTest, SkalowanieAt501Pixels) {
    Start();
    Formularz->resize(501, 581);
    Formularz->Skalowanie();
    EXPECT_EQ(Formularz->Tablica->verticalHeader()->width(), 50);
    // Two digits and 16 characters of the grid's font show whole: 501 px or wider.
    const int W = Formularz->width(), a = std::max(16, Formularz->Tablica->fontMetrics().horizontalAdvance("DD") + 3);
    for (int c = 0; c < 16; ++c) EXPECT_EQ(Formularz->Tablica->columnWidth(c), a) << c;
    EXPECT_EQ(Formularz->Tablica->columnWidth(16), std::max(501 - 96 - 16 * a, Formularz->Tablica->CharColumnMinWidth()));
    EXPECT_EQ(Formularz->Komunikat->width(), W - 22);
    for (QToolButton* b : {Formularz->Tab1, Formularz->Tab2, Formularz->Tab3, Formularz->Tab4, Formularz->Tab5})
        EXPECT_EQ(b->width(), (W - 10) / 5);
}

TEST_F(StartUpTest, MenusToolbarAndStatusBar) {
    Start();
    struct {
        QAction* action;
        const char* caption;
    } items[] = {
        {Formularz->LoadPlik, "Load"},   {Formularz->Save1, "Save"},          {Formularz->Exit1, "Exit"},
        {Formularz->EditCell, "Edit"},   {Formularz->FillBuffer, "Fill"},     {Formularz->Clear1, "Clear"},
        {Formularz->Start1, "Program"},  {Formularz->Stop2, "Verify"},        {Formularz->Erase1, "Erase"},
        {Formularz->Blankcheck1, "Blank check"}, {Formularz->Erase2, "Stop"},
        {Formularz->Skipblankblocks1, "Skip blank blocks"},
        {Formularz->Changeserialport1, "Change serial port"}, {Formularz->Selectdevice1, "Select device"},
        {Formularz->About1, "About"},    {Formularz->Edit1, "Edit"},
    };
    for (const auto& i : items) EXPECT_EQ(i.action->text().remove(u'&'), i.caption) << "with an Alt letter";
    QString keys;  // shown in the menus
    for (QAction* a : {Formularz->LoadPlik, Formularz->Save1, Formularz->Exit1, Formularz->Start1, Formularz->Stop2,
                       Formularz->Erase1, Formularz->Blankcheck1, Formularz->Erase2})
        keys += a->shortcut().toString() + " ";
    EXPECT_EQ(keys, "Ctrl+O Ctrl+S Ctrl+Q F5 F6 F7 F8 Esc ");
    // Tab leaves the grid and skips Edit's read-only fields; a key closes the About box.
    EXPECT_FALSE(Formularz->Tablica->tabKeyNavigation());
    for (auto* f : {EditDialog->CurrentEdit, EditDialog->CurrentAscii}) EXPECT_EQ(f->focusPolicy(), Qt::NoFocus);
    EXPECT_NE(Formularz->findChild<QWidget*>("AboutBox")->findChild<QWidget*>("OKBtn"), nullptr);
    EXPECT_EQ(Formularz->Tab4->text(), "Blank");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Formularz->Panels[i]->minimumWidth(), (std::array{100, 90, 70, 105, 40})[i]);
    // Laid out, also at the smallest size, every panel is wide enough for its whole text.
    Formularz->SetPanelText(0, "Device: W78LE516B");
    Formularz->resize(100, 100);
    Formularz->show();
    QCoreApplication::processEvents();
    for (QLabel* panel : Formularz->Panels)
        EXPECT_GE(panel->width(), panel->sizeHint().width()) << panel->text().toStdString();
    EXPECT_EQ(Formularz->Progress->maximum(), 1000);
    EXPECT_EQ(Formularz->Timer->interval(), 10);
}

TEST_F(StartUpTest, ProgressBarIsDrawnOncePerRefreshAndItsLastValueAlwaysShows) {
    Start();
    std::vector<int> drawn;
    QObject::connect(Formularz->Progress, &QProgressBar::valueChanged, [&](int v) { drawn.push_back(v); });
    // Values that come faster than the screen refreshes: the first is drawn,
    // the last follows after the refresh, those between are skipped.
    for (int v : {5, 6, 7}) Formularz->SetProgress(v);
    EXPECT_EQ(Formularz->Progress->value(), 5);
    ASSERT_TRUE(QTest::qWaitFor([] { return Formularz->Progress->value() == 7; }, 5000));
    EXPECT_EQ(drawn, (std::vector<int>{5, 7}));
    // The reset that ends an operation is drawn at once, and the values
    // held before it are never drawn after it.
    for (int v : {8, 9, 0}) Formularz->SetProgress(v);
    EXPECT_EQ(Formularz->Progress->value(), 0);
    Formularz->SetProgress(3);
    ASSERT_TRUE(QTest::qWaitFor([] { return Formularz->Progress->value() == 3; }, 5000));
    EXPECT_EQ(drawn, (std::vector<int>{5, 7, 0, 3}));
}

TEST_F(StartUpTest, ErrorInAHandlerIsShownAndTheWindowGoesOn) {
    Start();
    Formularz->Guarded([] { throw std::runtime_error("Something failed"); });
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Something failed"});
    Formularz->Clear1Click();
    EXPECT_EQ(Formularz->PanelText(1), "Checksum: 0000");
}

class DeviceSelectionTest : public WindowTest {
protected:
    // The user picks device d in the dialog and presses OK.
    void Choose(uint8_t d) {
        Prompts.OnDialog = [d](QDialog& dialog) {
            auto& dd = dynamic_cast<TDeviceDialog&>(dialog);
            dd.radio[d - 1]->setChecked(true);
            return int(QDialog::Accepted);
        };
        Formularz->Selectdevice1Click();
    }
};

TEST_F(DeviceSelectionTest, BytesAboveTheSmallerDeviceSurviveARoundTrip) {
    WriteSettings("0", "6", "", "6", "1");
    Start();
    EXPECT_EQ(Formularz->PanelText(0), "Device: W77E532");
    EXPECT_EQ(Formularz->Tablica->RowCount(), 8193);
    EXPECT_EQ(Formularz->PanelText(2), "CRC: 2019");
    Formularz->Image.ImageBuffer[0x1ABCD] = 0x12;
    Formularz->RefreshGrid();
    const QString crc6 = Formularz->PanelText(2);
    EXPECT_NE(crc6, "CRC: 2019");

    Choose(3);
    EXPECT_EQ(Formularz->Image.DeviceIndex, 3);
    EXPECT_EQ(Formularz->PanelText(0), "Device: W78E58B");
    EXPECT_EQ(Formularz->Tablica->RowCount(), 2049);
    EXPECT_EQ(Formularz->PanelText(1), "Checksum: 8000");
    EXPECT_EQ(Formularz->PanelText(2), "CRC: 7E33");
    EXPECT_EQ(Formularz->Tablica->CellText(0, 2048), " 07FF0");

    Choose(6);
    EXPECT_EQ(Formularz->Image.ImageBuffer[0x1ABCD], 0x12);
    EXPECT_EQ(Formularz->Tablica->RowCount(), 8193);
    EXPECT_EQ(Formularz->PanelText(2), crc6);
    EXPECT_EQ(Formularz->Tablica->CellText(14, 0x1ABC + 1), "12");
    Exit();
    EXPECT_EQ(SettingsLines()[2], "6");
}

TEST_F(DeviceSelectionTest, CancelChangesNothingAndTheDialogShowsTheDevice) {
    WriteSettings("0", "4", "", "6", "1");
    Start();
    int checked = 0;
    Prompts.OnDialog = [&](QDialog& dialog) {
        checked = dynamic_cast<TDeviceDialog&>(dialog).CheckedIndex();
        dynamic_cast<TDeviceDialog&>(dialog).radio[0]->setChecked(true);
        return int(QDialog::Rejected);
    };
    Formularz->Selectdevice1Click();
    EXPECT_EQ(checked, 4);
    EXPECT_EQ(Formularz->Image.DeviceIndex, 4);
    EXPECT_EQ(Formularz->PanelText(0), "Device: W78LE58");
}

TEST_F(DeviceSelectionTest, DeviceTwoShowsItsOwnStatusText) {
    Start();
    Choose(2);
    EXPECT_EQ(Formularz->PanelText(0), "Device: W78LE516B");
    EXPECT_EQ(DeviceDialog->radio[1]->text(), "W78LE516");
}

class SerialDialogTest : public WindowTest {};

TEST_F(SerialDialogTest, AutomaticBaudRules) {
    StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    ASSERT_TRUE(Formularz->CommPort.Active());
    Prompts.OnDialog = [](QDialog& dialog) {
        auto& sd = dynamic_cast<TSerialDialog&>(dialog);
        // Automatic baud on: 9600, the list disabled; COM1 checked as the open port.
        EXPECT_TRUE(sd.AutoBaudMode->isChecked());
        EXPECT_FALSE(sd.Baudrate->isEnabled());
        EXPECT_EQ(sd.Baudrate->currentText(), "9600 bps");
        EXPECT_TRUE(sd.comcheck[0]->isChecked());
        // Turned off: the list is enabled and still at 9600.
        sd.AutoBaudMode->setChecked(false);
        EXPECT_EQ(AutoBaud, 0);
        EXPECT_TRUE(sd.Baudrate->isEnabled());
        EXPECT_EQ(sd.Baudrate->currentText(), "9600 bps");
        // 115 200 picked: takes effect at once.
        sd.Baudrate->setCurrentIndex(12);
        sd.BaudrateChange();
        EXPECT_EQ(BaudIndex, 12);
        EXPECT_EQ(Formularz->CommPort.Baudrate(), br115200);
        // Typed: a text that names no listed rate leaves the rate.
        sd.Baudrate->setEditText("12345");
        sd.BaudrateChange();
        EXPECT_EQ(BaudIndex, 12);
        EXPECT_EQ(Formularz->CommPort.Baudrate(), br115200);
        sd.Baudrate->setEditText("57600");
        sd.BaudrateChange();
        EXPECT_EQ(Formularz->CommPort.Baudrate(), br57600);
        sd.Baudrate->setCurrentIndex(12);
        sd.BaudrateChange();
        return int(QDialog::Rejected);
    };
    Formularz->Changeserialport1Click();
    // Cancel: COM1 is open again, at the new rate.
    EXPECT_TRUE(Formularz->CommPort.Active());
    EXPECT_EQ(Formularz->CommPort.PortNum(), 1);
    EXPECT_EQ(Formularz->PanelText(3), "Port: COM1");
    EXPECT_EQ(Formularz->CommPort.Baudrate(), br115200);
    EXPECT_TRUE(Prompts.Messages.empty());
    Exit();
    EXPECT_EQ(SettingsLines()[1], "1");
    EXPECT_EQ(SettingsLines()[4], "12");
    EXPECT_EQ(SettingsLines()[5], "0");
}

TEST_F(SerialDialogTest, OkOnAnAbsentPort) {
    StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    Prompts.OnDialog = [](QDialog& dialog) {
        dynamic_cast<TSerialDialog&>(dialog).comcheck[2]->setChecked(true);  // COM3: no such port here
        return int(QDialog::Accepted);
    };
    Formularz->Changeserialport1Click();
    ASSERT_EQ(Prompts.Messages.size(), 1u);
    EXPECT_TRUE(Prompts.Messages[0].startsWith("Serial Port not available\nUnable to open specified device COM3"));
    EXPECT_FALSE(Formularz->CommPort.Active());
    EXPECT_EQ(Formularz->CommPort.PortNum(), 0);
    EXPECT_EQ(Formularz->PanelText(3), "Port: not connected");
    for (auto* r : SerialDialog->comcheck) EXPECT_FALSE(r->isChecked());
    EXPECT_EQ(SerialDialog->SelectedPort, 3);

    // Opened again: no radio checked; OK without choosing retries COM3.
    bool anyChecked = true;
    Prompts.OnDialog = [&](QDialog& dialog) {
        anyChecked = false;
        for (auto* r : dynamic_cast<TSerialDialog&>(dialog).comcheck) anyChecked |= r->isChecked();
        return int(QDialog::Accepted);
    };
    Formularz->Changeserialport1Click();
    EXPECT_FALSE(anyChecked);
    EXPECT_EQ(Prompts.Messages.size(), 2u);

    // COM1 chosen: it opens again.
    Prompts.OnDialog = [](QDialog& dialog) {
        dynamic_cast<TSerialDialog&>(dialog).comcheck[0]->setChecked(true);
        return int(QDialog::Accepted);
    };
    Formularz->Changeserialport1Click();
    EXPECT_TRUE(Formularz->CommPort.Active());
    EXPECT_EQ(Formularz->PanelText(3), "Port: COM1");
    EXPECT_EQ(Prompts.Messages.size(), 2u);

    // And back to the absent COM3: 0 is what the settings keep.
    Prompts.OnDialog = [](QDialog& dialog) {
        dynamic_cast<TSerialDialog&>(dialog).comcheck[2]->setChecked(true);
        return int(QDialog::Accepted);
    };
    Formularz->Changeserialport1Click();
    Exit();
    EXPECT_EQ(SettingsLines()[1], "0");
}

TEST_F(SerialDialogTest, ClickingTheCheckedPortKeepsItChecked) {
    StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    Prompts.OnDialog = [](QDialog& dialog) {
        auto& sd = dynamic_cast<TSerialDialog&>(dialog);
        sd.comcheck[0]->click();
        EXPECT_TRUE(sd.comcheck[0]->isChecked());
        sd.comcheck[1]->click();
        EXPECT_FALSE(sd.comcheck[0]->isChecked()) << "one port at a time";
        sd.comcheck[0]->click();
        return int(QDialog::Accepted);
    };
    Formularz->Changeserialport1Click();
    EXPECT_TRUE(Prompts.Messages.empty());
    EXPECT_TRUE(Formularz->CommPort.Active());
    EXPECT_EQ(Formularz->PanelText(3), "Port: COM1");
}

TEST_F(SerialDialogTest, ResetLinesAreCheckedAtOkAndKeptInTheUserSettings) {
    StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    EXPECT_FALSE(Formularz->LinesBefore.On);
    EXPECT_FALSE(Formularz->LinesAfter.On);
    bool firstOkClosed = true;
    Prompts.OnDialog = [&](QDialog& dialog) {
        auto& sd = dynamic_cast<TSerialDialog&>(dialog);
        EXPECT_FALSE(sd.LinesBeforeCheck->isChecked());
        EXPECT_EQ(sd.LinesBeforeEdit->text(), "");
        sd.LinesBeforeCheck->setChecked(true);
        sd.LinesBeforeEdit->setText("dtr,rts,50ms,-dtx,200ms");
        sd.LinesAfterEdit->setText("nonsense");  // not checked: not looked at
        sd.setResult(QDialog::Rejected);
        sd.OKBtn->click();
        firstOkClosed = sd.result() == QDialog::Accepted;
        sd.LinesBeforeEdit->setText(" DTR, rts ,50ms,-dtr,200ms");
        sd.OKBtn->click();
        return sd.result();
    };
    Formularz->Changeserialport1Click();
    EXPECT_FALSE(firstOkClosed) << "a sequence that does not parse keeps the dialog open";
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Reset lines before: step 4 \"-dtx\" is not dtr, -dtr, rts, "
                                                     "-rts or a wait such as 50ms"});
    EXPECT_TRUE(Formularz->LinesBefore.On);
    EXPECT_EQ(Formularz->LinesBefore.Parsed.Sequence.Text(), "dtr,rts,50ms,-dtr,200ms");
    EXPECT_EQ(Formularz->LinesAfter.Text, "nonsense");
    EXPECT_TRUE(Formularz->CommPort.Active());

    // Cancel forgets the edits.
    Prompts.OnDialog = [](QDialog& dialog) {
        auto& sd = dynamic_cast<TSerialDialog&>(dialog);
        EXPECT_EQ(sd.LinesBeforeEdit->text(), " DTR, rts ,50ms,-dtr,200ms");
        sd.LinesBeforeCheck->setChecked(false);
        return int(QDialog::Rejected);
    };
    Formularz->Changeserialport1Click();
    EXPECT_TRUE(Formularz->LinesBefore.On);

    // The next run has them; PelkISP.cfg keeps its six lines.
    Exit();
    DestroyWindows();
    EXPECT_EQ(SettingsLines().size(), 6u);
    Start();
    EXPECT_TRUE(Formularz->LinesBefore.On);
    EXPECT_EQ(Formularz->LinesBefore.Text, " DTR, rts ,50ms,-dtr,200ms");
    EXPECT_FALSE(Formularz->LinesAfter.On);
    EXPECT_EQ(Formularz->LinesAfter.Text, "nonsense");
}

TEST_F(SerialDialogTest, CancelWithNoPortOpenSaysNotAvailable) {
    Start();
    Formularz->Changeserialport1Click();  // the script cancels
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Serial Port not available\nNo serial port has been chosen."});
    EXPECT_EQ(Formularz->PanelText(3), "Port: not connected");
}

// Another program holds COM1: why, and which device it is, shows at start, for a command, and at Cancel.
TEST_F(SerialDialogTest, APortInUseIsExplained) {
    TVaComm other;
    other.SetDeviceName(StartTarget(0xFFFF, 1).PortPath());
    other.Open();
    WriteSettings("1", "1", "", "6", "1");
    Start();
    const QString why = "Unable to open specified device COM1 (16), Device or resource busy\nCOM1 is " +
                        QString::fromStdString(Target->PortPath());
    EXPECT_EQ(Formularz->Panels[3]->toolTip(), why);
    Formularz->Erase1Click();
    EXPECT_EQ(Message(), "No serial port is open: " + QString(why).replace("\n", "; "));
    Formularz->Changeserialport1Click();
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Serial Port not available\n" + why});
}

class DeviceCommandTest : public WindowTest {};

TEST_F(DeviceCommandTest, ProgramAndVerifyThroughTheWindowsHandlers) {
    SimulatedTarget& target = StartTarget(0x7FFF, 1);
    WriteSettings("1", "3", "", "12", "0");
    Start();
    ASSERT_TRUE(Formularz->CommPort.Active());
    std::mt19937 rng(5);
    for (uint32_t a = 0; a <= 0x7FFF; ++a) Formularz->Image.ImageBuffer[a] = uint8_t(rng());
    Formularz->RefreshGrid();

    Formularz->Tab1->click();  // Program
    EXPECT_EQ(Message(), "Programming...");
    ASSERT_TRUE(WaitForMessage("Device programmed.")) << Message().toStdString();
    EXPECT_EQ(Formularz->Progress->value(), 0);
    const auto flash = target.Flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), Formularz->Image.ImageBuffer.begin()));

    Formularz->Stop2->trigger();  // Verify
    EXPECT_EQ(Message(), "Verifying...");
    ASSERT_TRUE(WaitForMessage("Verification OK.")) << Message().toStdString();
    EXPECT_EQ(Formularz->Progress->value(), 0);

    Formularz->Image.ImageBuffer[0x1234] ^= 0xFF;
    Formularz->Stop2Click();
    ASSERT_TRUE(WaitForMessage("Verification error.")) << Message().toStdString();

    Formularz->Blankcheck1Click();
    ASSERT_TRUE(WaitForMessage("Device not blank at adress: 00000")) << Message().toStdString();
    Formularz->Erase1Click();
    ASSERT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
    Formularz->Tab4->click();
    ASSERT_TRUE(WaitForMessage("Device is blank.")) << Message().toStdString();
    Formularz->Clear1Click();  // a result does not stay over another image, nor another port
    EXPECT_EQ(Message(), "Ready.");
    Formularz->Erase1Click();
    ASSERT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
    Formularz->Changeserialport1Click();  // Cancel: COM1 again
    EXPECT_EQ(Message(), "Ready.");
}

TEST_F(DeviceCommandTest, TimerRunsOnlyAroundAnOperation) {
    StartTarget(0x7FFF, 1);
    WriteSettings("1", "3", "", "12", "0");
    Start();
    ASSERT_TRUE(Formularz->CommPort.Active());
    EXPECT_FALSE(Formularz->Timer->isActive());
    for (QAction* command : {Formularz->Erase1, Formularz->Stop2, Formularz->Blankcheck1}) {
        command->trigger();
        EXPECT_TRUE(Formularz->Timer->isActive()) << command->text().toStdString();
        ASSERT_TRUE(QTest::qWaitFor([] { return !Formularz->Engine.Pending(); }, 30000));
        EXPECT_FALSE(Formularz->Timer->isActive()) << command->text().toStdString();
    }
    EXPECT_EQ(Message(), "Device is blank.");
    // Stop inside the start delay: nothing is left pending.
    Formularz->Start1Click();
    Formularz->Tab5Click();
    EXPECT_FALSE(Formularz->Timer->isActive());
}

TEST_F(DeviceCommandTest, SkipBlankBlocksIsRememberedAndWalksTheDataBlocks) {
    SimulatedTarget& target = StartTarget(0xFFFF, 1);
    WriteSettings("1", "1", "", "12", "0");
    Start();
    EXPECT_FALSE(Formularz->Skipblankblocks1->isChecked());
    Formularz->Skipblankblocks1->trigger();
    EXPECT_TRUE(Formularz->Skipblankblocks1->isChecked());
    Exit();
    DestroyWindows();
    EXPECT_EQ(SettingsLines(), (std::vector<std::string>{"PELKORD ISP Configuration File", "1", "1", "", "12", "0"}));

    Start();  // the next run
    ASSERT_TRUE(Formularz->Skipblankblocks1->isChecked());
    Formularz->Image.ImageBuffer[0x0123] = 0x00;
    Formularz->Image.ImageBuffer[0xABCD] = 0x00;
    Formularz->Start1Click();
    ASSERT_TRUE(WaitForMessage("Device programmed.")) << Message().toStdString();
    Formularz->Stop2Click();
    ASSERT_TRUE(WaitForMessage("Verification OK.")) << Message().toStdString();
    EXPECT_EQ(target.Status().Loader.Program, 2u);
    EXPECT_EQ(target.Status().Loader.Verify, 2u);
    EXPECT_EQ(target.Flash()[0xABCD], 0x00);

    // Turned off again: the whole device, and the next run starts with it off.
    Formularz->Skipblankblocks1->trigger();
    Formularz->Stop2Click();
    ASSERT_TRUE(WaitForMessage("Verification OK.")) << Message().toStdString();
    EXPECT_EQ(target.Status().Loader.Verify, 2u + 512u);
    Exit();
    DestroyWindows();
    Start();
    EXPECT_FALSE(Formularz->Skipblankblocks1->isChecked());
    EXPECT_FALSE(Formularz->Engine.SkipBlankBlocks);
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
    Formularz->Skipblankblocks1->trigger();
    Formularz->Image.ImageBuffer[0x0010] = 0x12;
    Formularz->Image.ImageBuffer[0x0090] = 0x34;
    const uint8_t chip[2] = {0x12, 0x35};
    target.WriteFlash(0x0010, std::span(chip, 1));
    target.WriteFlash(0x0090, std::span(chip + 1, 1));
    Formularz->Stop2Click();
    ASSERT_TRUE(QTest::qWaitFor([] { return !Formularz->Engine.Pending(); }, 30000));
    EXPECT_EQ(Message(), "Verification error.");
    EXPECT_EQ(target.Status().Loader.Verify, 3u) << "block 0 twice, block 1 once";
}

TEST_F(DeviceCommandTest, StopEndsAProgramRunningAtTheLineRate) {
    SimulatedTargetFaults slow;
    slow.PaceBaud = 9600;
    StartTarget(0xFFFF, 1, slow);
    WriteSettings("1", "1", "", "6", "1");
    Start();
    Formularz->Start1Click();
    ASSERT_TRUE(QTest::qWaitFor([] { return Formularz->Progress->value() > 0; }, 10000));
    Formularz->Tab5->click();
    EXPECT_EQ(Message(), "Stopped.");
    EXPECT_EQ(Formularz->Progress->value(), 0);
    EXPECT_EQ(Formularz->Engine.Operation, OpNone);
}

TEST_F(DeviceCommandTest, HangUpEndsTheOperationWithOneMessage) {
    SimulatedTargetFaults slow;
    slow.PaceBaud = 9600;
    const std::string device = StartTarget(0xFFFF, 1, slow).PortPath();
    WriteSettings("1", "1", "", "6", "1");
    Start();
    Formularz->Start1Click();
    ASSERT_TRUE(QTest::qWaitFor([] { return Formularz->Progress->value() > 0; }, 10000));
    Target->Stop();  // the adapter is pulled out
    const QString hungUp = QString::fromStdString("Device " + device + " hung up or was removed");
    ASSERT_TRUE(WaitForMessage(hungUp)) << Message().toStdString();
    EXPECT_TRUE(Prompts.Messages.empty()) << "no message box";
    EXPECT_EQ(Formularz->Engine.Operation, OpNone);
    EXPECT_EQ(Formularz->Engine.StartDelay, 0);
    EXPECT_EQ(Formularz->Progress->value(), 0);
    EXPECT_FALSE(Formularz->CommPort.Active()) << "nothing more is sent";
    EXPECT_EQ(Formularz->PanelText(3), "Port: not connected");

    // Another device on COM1, opened again by the user.
    std::filesystem::remove("COM1");
    StartTarget(0xFFFF, 1);
    Prompts.OnDialog = [](QDialog& dialog) {
        dynamic_cast<TSerialDialog&>(dialog).comcheck[0]->setChecked(true);
        return int(QDialog::Accepted);
    };
    Formularz->Changeserialport1Click();
    EXPECT_EQ(Formularz->PanelText(3), "Port: COM1");
    Formularz->Erase1Click();
    EXPECT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
}

// The reset-line sequences around the device commands, on a recording
// stand-in of the lines (a pseudo-terminal has none) and a fake clock.
class ResetLinesTest : public WindowTest {
protected:
    test::RecordingLines Lines;
    int64_t Now = 0;
    // The engine and the message line at each line change.
    std::vector<std::string> Seen;

    void StartWithLines(const QString& before, const QString& after) {
        StartTarget(0x7FFF, 1);
        WriteSettings("1", "3", "", "12", "0");
        Start();
        ASSERT_TRUE(Formularz->CommPort.Active());
        Formularz->Lines = &Lines;
        Formularz->LineClock = [this] { return Now; };
        Lines.Clock = Formularz->LineClock;
        Lines.OnChange = [this](const std::string& step) {
            Seen.push_back(step + " op " + std::to_string(Formularz->Engine.Operation) + " " + Message().toStdString());
        };
        Formularz->SetResetLines(ResetLinesSetting::Of(!before.isEmpty(), before),
                                 ResetLinesSetting::Of(!after.isEmpty(), after));
    }
    // The fake clock reaches t, and LineTimer fires if it is armed.
    void At(int64_t t) {
        Now = t;
        if (Formularz->LineTimer->isActive()) Formularz->LineTimerTimer();
    }
};

TEST_F(ResetLinesTest, OffByDefaultEveryCommandStartsAtOnceAsItAlwaysHas) {
    StartWithLines("", "");
    Formularz->Erase1Click();
    EXPECT_EQ(Message(), "Erasing...");
    EXPECT_EQ(Formularz->Engine.StartDelay, StartDelayTicks);
    EXPECT_FALSE(Formularz->LineTimer->isActive());
    ASSERT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
    EXPECT_TRUE(Lines.Changes.empty());
    EXPECT_EQ(Formularz->Phase(), TFormularz::LinePhase::None);
}

TEST_F(ResetLinesTest, BeforeRunsAheadOfTheFirstFrameAndAfterFollowsTheResult) {
    StartWithLines("dtr,rts,50ms,-dtr,200ms", "-rts,dtr,50ms,-dtr");
    Formularz->Engine.SkipBlankBlocks = true;
    Formularz->Image.ImageBuffer[0x0100] = 0x12;  // one block to program
    Formularz->Tab1->click();  // Program
    EXPECT_EQ(Formularz->Phase(), TFormularz::LinePhase::Before);
    EXPECT_EQ(Formularz->LineTimer->interval(), 50);
    At(49);
    At(50);
    EXPECT_EQ(Formularz->LineTimer->interval(), 200);
    At(249);
    EXPECT_EQ(Formularz->Engine.Operation, OpNone) << "nothing goes out before the sequence has ended";
    EXPECT_EQ(Formularz->Engine.StartDelay, 0);
    At(250);
    // The engine starts as it always has: preamble, then 5 ticks to the first frame.
    EXPECT_EQ(Message(), "Programming...");
    EXPECT_EQ(Formularz->Engine.Operation, OpProgram);
    EXPECT_EQ(Formularz->Engine.StartDelay, StartDelayTicks);
    EXPECT_FALSE(Formularz->LineTimer->isActive());
    ASSERT_TRUE(WaitForMessage("Device programmed.")) << Message().toStdString();
    EXPECT_EQ(Formularz->Phase(), TFormularz::LinePhase::After);
    At(300);
    EXPECT_EQ(Formularz->Phase(), TFormularz::LinePhase::None);
    EXPECT_FALSE(Formularz->LineTimer->isActive());
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
    Formularz->Skipblankblocks1->trigger();  // and the image is all FF
    Formularz->Start1->trigger();
    EXPECT_EQ(Message(), msg::NothingToProgram);
    Formularz->Stop2->trigger();
    EXPECT_EQ(Message(), msg::NothingToVerify);
    Formularz->Image.ImageBuffer[0x10] = 0;  // data, but no port
    Formularz->CommPort.Close();
    Formularz->Start1->trigger();
    EXPECT_EQ(Message(), "No serial port is open: choose one in Setup > Change serial port.");
    EXPECT_TRUE(Lines.Changes.empty());
    EXPECT_EQ(Target->Status().Loader.Program + Target->Status().Loader.Verify, 0u);
}

TEST_F(ResetLinesTest, StopInBeforeEndsTheCommandAndANewCommandDropsAfter) {
    StartWithLines("dtr,100ms,-dtr", "rts,100ms,-rts");
    Formularz->Erase1Click();
    Formularz->Tab5Click();
    EXPECT_EQ(Message(), "Stopped.");
    EXPECT_EQ(Formularz->Engine.Operation, OpNone);
    EXPECT_EQ(Formularz->Engine.StartDelay, 0);
    EXPECT_EQ(Formularz->Phase(), TFormularz::LinePhase::After) << "the board is not left in reset";
    Formularz->Blankcheck1Click();  // while "after" waits: the newest command wins
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
    Formularz->Stop2Click();
    EXPECT_EQ(Message(), "Reset lines before: line dtr failed");
    EXPECT_EQ(Formularz->Engine.Operation, OpNone);
    EXPECT_EQ(Formularz->Phase(), TFormularz::LinePhase::None);
}

TEST_F(ResetLinesTest, APortWithoutModemLinesRefusesTheCommand) {
    StartWithLines("", "");
    Formularz->Lines = &Formularz->CommLines;  // the pseudo-terminal's own (missing) lines
    const QString noLines = QString::fromStdString(Target->PortPath()) + ": this port has no modem lines";
    for (const auto& [before, after] : {std::pair{"dtr,50ms,-dtr", ""}, std::pair{"", "rts"}}) {
        Formularz->SetResetLines(ResetLinesSetting::Of(*before, before), ResetLinesSetting::Of(*after, after));
        Formularz->Start1Click();
        EXPECT_EQ(Message(), noLines) << before << after;
        EXPECT_EQ(Formularz->Engine.Operation, OpNone);
        EXPECT_EQ(Formularz->Engine.StartDelay, 0);
        EXPECT_FALSE(Formularz->LineTimer->isActive());
        EXPECT_FALSE(Formularz->Timer->isActive());
    }
    // Only waits: no line to set, so the port needs none.
    Formularz->SetResetLines(ResetLinesSetting::Of(true, "20ms"), {});
    Formularz->Erase1Click();
    At(20);
    EXPECT_EQ(Message(), "Erasing...");
    ASSERT_TRUE(WaitForMessage("Device erased.")) << Message().toStdString();
    // A stored text that does not parse (a hand-edited settings store).
    Formularz->SetResetLines(ResetLinesSetting::Of(true, "dtr,5s"), {});
    Formularz->Erase1Click();
    EXPECT_EQ(Message(), "Reset lines before: step 2 \"5s\" is not dtr, -dtr, rts, -rts or a wait such as 50ms");
    EXPECT_EQ(Formularz->Engine.Operation, OpNone);
}

}  // namespace
}  // namespace pelk

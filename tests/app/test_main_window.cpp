// The main window: start-up, shut-down, layout, device selection, the
// serial port dialog, and the device commands over a pseudo-terminal.
#include <QHeaderView>
#include <random>

#include "dialogs/device_dialog.h"
#include "dialogs/serial_dialog.h"
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
    EXPECT_TRUE(Formularz->Timer->isActive());

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
    for (int c = 0; c < 16; ++c) EXPECT_EQ(Formularz->Tablica->columnWidth(c), 16) << c;
    EXPECT_EQ(Formularz->Tablica->columnWidth(16), 149);
    EXPECT_EQ(Formularz->Komunikat->width(), 479);
    for (QToolButton* b : {Formularz->Tab1, Formularz->Tab2, Formularz->Tab3, Formularz->Tab4, Formularz->Tab5})
        EXPECT_EQ(b->width(), 98);
    // A narrower window: the same formula.
    Formularz->resize(401, 581);
    Formularz->Skalowanie();
    EXPECT_EQ(Formularz->Tablica->columnWidth(0), 12);
    EXPECT_EQ(Formularz->Tablica->columnWidth(16), 401 - 96 - 16 * 12);
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
        {Formularz->Changeserialport1, "Change serial port"}, {Formularz->Selectdevice1, "Select device"},
        {Formularz->About1, "About"},    {Formularz->Edit1, "Edit"},
    };
    for (const auto& i : items) EXPECT_EQ(i.action->text(), i.caption);
    EXPECT_EQ(Formularz->Tab4->text(), "Blank");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Formularz->Panels[i]->minimumWidth(), (std::array{100, 90, 70, 105, 40})[i]);
    // Laid out, every panel is wide enough for its whole text.
    Formularz->show();
    QCoreApplication::processEvents();
    for (QLabel* panel : Formularz->Panels)
        EXPECT_GE(panel->width(), panel->sizeHint().width()) << panel->text().toStdString();
    EXPECT_EQ(Formularz->Progress->maximum(), 1000);
    EXPECT_EQ(Formularz->Timer->interval(), 10);
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
        // A typed text that names no entry: index -1, and the rate stays.
        sd.Baudrate->setEditText("12345");
        sd.BaudrateChange();
        EXPECT_EQ(BaudIndex, -1);
        EXPECT_EQ(Formularz->CommPort.Baudrate(), br115200);
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
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Serial Port not available"});
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

TEST_F(SerialDialogTest, CancelWithNoPortOpenSaysNotAvailable) {
    Start();
    Formularz->Changeserialport1Click();  // the script cancels
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Serial Port not available"});
    EXPECT_EQ(Formularz->PanelText(3), "Port: not connected");
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

}  // namespace
}  // namespace pelk

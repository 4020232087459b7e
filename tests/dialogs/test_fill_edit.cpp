// The Fill and Edit dialogs.
#include <fstream>

#include "dialogs/device_dialog.h"
#include "support/grid_changes.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

class FillEditTest : public test::WindowTest {
protected:
    void StartWithDevice(const char* device) {
        WriteSettings("0", device, "", "6", "1");
        Start();
    }
    void ChooseDevice(uint8_t d) {
        Prompts.OnDialog = [d](QDialog& dialog) {
            dynamic_cast<TDeviceDialog&>(dialog).radio[d - 1]->setChecked(true);
            return int(QDialog::Accepted);
        };
        Formularz->Selectdevice1Click();
    }
    // The grid cells announced as changed while `change` runs.
    test::Cells Announced(const std::function<void()>& change) {
        return test::Announced(Formularz->Tablica->Model(), change);
    }
    const uint8_t* Bytes() const { return Formularz->Image.ImageBuffer.data(); }
};

using test::Cells;

TEST_F(FillEditTest, FillStartsWithFFAndTheDevicesLastAddress) {
    StartWithDevice("1");
    EXPECT_EQ(FillDialog->FillDataHex->text(), "FF");
    EXPECT_EQ(FillDialog->FillDataAscii->text(), QString(QChar(char16_t(0x02D9))));
    EXPECT_EQ(FillDialog->FillStart->text(), "00000");
    EXPECT_TRUE(FillDialog->KlawiszFill->isEnabled());
    FillDialog->FormActivate();
    EXPECT_EQ(FillDialog->FillStop->text(), "0FFFF");
    EXPECT_EQ(FillMaxAddress, 0xFFFFu);
}

TEST_F(FillEditTest, FillValueAndCharacterFields) {
    StartWithDevice("1");
    FillDialog->FillDataHex->setText("00");
    EXPECT_EQ(FillDialog->FillDataAscii->text(), ".");
    FillDialog->FillDataAscii->setText("A");  // typed
    EXPECT_EQ(FillDialog->FillDataHex->text(), "41");
    FillDialog->FillDataAscii->setText("");  // emptying the character changes nothing
    EXPECT_EQ(FillDialog->FillDataHex->text(), "41");
    EXPECT_TRUE(FillDialog->KlawiszFill->isEnabled());
    FillDialog->FillDataHex->setText("");
    EXPECT_FALSE(FillDialog->KlawiszFill->isEnabled());
    EXPECT_EQ(FillDialog->FillDataAscii->text(), "");
    FillDialog->FillDataHex->setText("5");
    EXPECT_TRUE(FillDialog->KlawiszFill->isEnabled());
    FillDialog->FillDataAscii->setText(QString(QChar(char16_t(0x0104))));  // Ą
    EXPECT_EQ(FillDialog->FillDataHex->text(), "A5");
    EXPECT_TRUE(Prompts.Messages.empty());
}

TEST_F(FillEditTest, FillOneRowTouchesOnlyThatRow) {
    StartWithDevice("1");
    FillDialog->FormActivate();
    FillDialog->FillDataHex->setText("00");
    FillDialog->FillStart->setText("00010");
    FillDialog->FillStop->setText("0001F");
    const Cells cells = Announced([] { FillDialog->KlawiszFillClick(); });
    EXPECT_EQ(cells, (Cells{{1, 0, 1, 15}, {1, 16, 1, 16}}));
    for (uint32_t a = 0; a < 0x30; ++a) EXPECT_EQ(Bytes()[a], a >= 0x10 && a <= 0x1F ? 0 : 0xFF) << a;
    EXPECT_EQ(Formularz->Tablica->CellText(17, 2), "................");
    EXPECT_EQ(Formularz->PanelText(1), "Checksum: F010");
}

TEST_F(FillEditTest, FillWithStartAboveStopChangesNothing) {
    StartWithDevice("1");
    FillDialog->FillStart->setText("00020");
    FillDialog->FillStop->setText("0001F");
    FillDialog->FillDataHex->setText("12");
    EXPECT_TRUE(Announced([] { FillDialog->KlawiszFillClick(); }).empty());
    EXPECT_EQ(Formularz->PanelText(1), "Checksum: 0000");
}

TEST_F(FillEditTest, FillAddressesAreLimitedToTheDevice) {
    StartWithDevice("3");
    FillDialog->FormActivate();
    FillDialog->FillStart->setText("08000");
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
    EXPECT_EQ(FillDialog->FillStart->text(), "00000");
    FillDialog->FillStop->SetText("07FFF");
    FillDialog->SpeedButton3->OnMouseDown();
    EXPECT_EQ(FillDialog->FillStop->text(), "07FFF");
    FillDialog->FillDataHex->setText("AB");
    FillDialog->KlawiszFillClick();
    EXPECT_EQ(Bytes()[0x7FFF], 0xAB);
    EXPECT_EQ(Bytes()[0x8000], 0xFF);
}

TEST_F(FillEditTest, ActivationKeepsWhatWasTypedAndDeviceChangesFollow) {
    StartWithDevice("6");
    FillDialog->FormActivate();
    FillDialog->FillStop->setText("00100");
    FillDialog->FormActivate();
    EXPECT_EQ(FillDialog->FillStop->text(), "00100");
    EditDialog->AdresEdit->SetText("12345");
    ChooseDevice(3);
    EXPECT_EQ(FillDialog->FillStop->text(), "00100") << "within the new device";
    EXPECT_EQ(EditDialog->AdresEdit->text(), "07FFF");
    EXPECT_EQ(EditAddress, 0x7FFFu);
    FillDialog->FillStop->setText("07FFF");  // the device's end follows to the next one's
    EditDialog->AdresEdit->SetText("00010");
    ChooseDevice(1);
    EXPECT_EQ(FillDialog->FillStop->text(), "0FFFF");
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00010") << "an address within the device stays";
}

TEST_F(FillEditTest, DeviceChangeBringsFromWithinTheNewDevice) {
    struct {
        const char* device;
        const char* from;
    } cases[] = {{"6", "1FFF0"}, {"1", "0FFF0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        StartWithDevice(c.device);
        FillDialog->FormActivate();
        FillDialog->FillStart->setText(c.from);
        ChooseDevice(3);
        ASSERT_EQ(FillDialog->FillStart->text(), "07FFF");
        FillDialog->SpeedButton2->OnMouseDown();
        EXPECT_EQ(FillDialog->FillStart->text(), "07FFE");
        FillDialog->FillStart->setText("07FF1");  // the last digit retyped
        EXPECT_EQ(FillDialog->FillStart->text(), "07FF1");
        EXPECT_TRUE(Prompts.Messages.empty());
        // A From within the new device stays.
        ChooseDevice(1);
        EXPECT_EQ(FillDialog->FillStart->text(), "07FF1");
        Formularz->close();
        DestroyWindows();
    }
}

TEST_F(FillEditTest, EditShowsTheSelectedCell) {
    StartWithDevice("1");
    Formularz->Image.ImageBuffer[0x24] = 0x41;
    Formularz->Tablica->SelectCell(5, 3);
    Formularz->EditCellClick();
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00024");
    EXPECT_EQ(EditDialog->CurrentEdit->text(), "41");
    EXPECT_EQ(EditDialog->CurrentAscii->text(), "A");
    // The character column keeps the dialog's address, also on the last row.
    EditDialog->hide();
    Formularz->Tablica->SelectCell(17, 4096);
    Formularz->EditCellClick();
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00024");
}

TEST_F(FillEditTest, EditValueAndCharacterFields) {
    StartWithDevice("1");
    EXPECT_EQ(EditDialog->NewEdit->text(), "FF");
    EditDialog->NewEdit->setText("41");
    EXPECT_EQ(EditDialog->NewAscii->text(), "A");
    EditDialog->NewAscii->setText("B");
    EXPECT_EQ(EditDialog->NewEdit->text(), "42");
    EditDialog->NewEdit->setText("00");
    EXPECT_EQ(EditDialog->NewAscii->text(), ".");
    EditDialog->NewAscii->setText("");  // unlike Fill, this empties the value
    EXPECT_EQ(EditDialog->NewEdit->text(), "");
    EXPECT_FALSE(EditDialog->KlawiszSet->isEnabled());
    EditDialog->NewEdit->setText("7");
    EXPECT_TRUE(EditDialog->KlawiszSet->isEnabled());
}

TEST_F(FillEditTest, SetChangesOneByteItsCellsAndTheFigures) {
    StartWithDevice("1");
    EditDialog->AdresEdit->setText("00010");
    EditDialog->NewEdit->setText("12");
    const Cells cells = Announced([] { EditDialog->KlawiszSetClick(); });
    EXPECT_EQ(cells, (Cells{{1, 0, 1, 0}, {1, 16, 1, 16}}));
    EXPECT_EQ(Bytes()[0x10], 0x12);
    EXPECT_EQ(Formularz->Tablica->CellText(1, 2), "12");
    EXPECT_EQ(Formularz->PanelText(1), "Checksum: FF13");
    EXPECT_EQ(EditDialog->CurrentEdit->text(), "12");

    // 00 written: the current character is empty, the grid shows ".".
    EditDialog->NewEdit->setText("00");
    EditDialog->KlawiszSetClick();
    EXPECT_EQ(EditDialog->CurrentAscii->text(), "");
    EXPECT_EQ(Formularz->Tablica->CellText(17, 2)[0], QChar(u'.'));
    EXPECT_EQ(EditDialog->NewEdit->text(), "00");

    // Only cell (column 5, row 292) and its characters for address 0x1234.
    EditDialog->AdresEdit->setText("01234");
    EXPECT_EQ(Announced([] { EditDialog->KlawiszSetClick(); }), (Cells{{0x123, 4, 0x123, 4}, {0x123, 16, 0x123, 16}}));
}

TEST_F(FillEditTest, EditAddressBeyondTheDeviceIsRefused) {
    StartWithDevice("3");
    EditDialog->AdresEdit->setText("00100");
    EditDialog->AdresEdit->setText("08000");
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00100");
    EXPECT_EQ(EditAddress, 0x100u);
}

TEST_F(FillEditTest, OneUserStoryFromFileToFile) {
    StartWithDevice("6");
    // A HEX file with data in both banks.
    {
        std::ofstream f("in.hex", std::ios::binary);
        f << ":10000000020030FFFFFFFFFFFFFFFFFFFFFFFFFFCB\r\n"
             ":020000040001F9\r\n"
             ":04123400112233440C\r\n"
             ":00000001FF\r\n";
    }
    Prompts.OpenAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "in.hex").string()), 1});
    Prompts.OnDialog = [](QDialog&) { return int(QDialog::Accepted); };
    Formularz->SpeedButton1Click();
    ASSERT_EQ(Bytes()[0x11234], 0x11);
    ASSERT_EQ(Bytes()[2], 0x30);

    EditDialog->AdresEdit->setText("00005");
    EditDialog->NewEdit->setText("5A");
    EditDialog->KlawiszSetClick();
    FillDialog->FormActivate();
    FillDialog->FillStart->setText("1FF00");
    FillDialog->FillStop->setText("1FF7F");
    FillDialog->FillDataHex->setText("00");
    FillDialog->KlawiszFillClick();

    const auto before = Formularz->Image.ImageBuffer;
    const QString sum = Formularz->PanelText(1), crc = Formularz->PanelText(2);
    Prompts.SaveAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "story").string()), 1});
    Formularz->SpeedButton2Click();
    Formularz->Clear1Click();
    EXPECT_NE(Formularz->PanelText(2), crc);

    Prompts.OpenAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "story.hex").string()), 1});
    Formularz->SpeedButton1Click();
    EXPECT_TRUE(Formularz->Image.ImageBuffer == before);
    EXPECT_EQ(Formularz->PanelText(1), sum);
    EXPECT_EQ(Formularz->PanelText(2), crc);
    EXPECT_TRUE(Prompts.Messages.empty());
}

}  // namespace
}  // namespace pelk

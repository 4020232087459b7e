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
            DeviceRadio(dialog, d - 1).setChecked(true);
            return int(QDialog::Accepted);
        };
        W().selectDevice();
    }
    // The grid cells announced as changed while `change` runs.
    test::Cells Announced(const std::function<void()>& change) {
        return test::Announced(W().grid().gridModel(), change);
    }
    const uint8_t* Bytes() const { return W().image().ImageBuffer.data(); }
};

using test::Cells;

TEST_F(FillEditTest, FillStartsWithFFAndTheDevicesLastAddress) {
    StartWithDevice("1");
    EXPECT_EQ(FillField("dataHex").text(), "FF");
    EXPECT_EQ(FillField("dataChar").text(), QString(QChar(char16_t(0x02D9))));
    EXPECT_EQ(FillField("fromField").text(), "00000");
    EXPECT_TRUE(Child<QPushButton>(W().fillDialog(), "fillButton").isEnabled());
    Activate(W().fillDialog());
    EXPECT_EQ(FillField("toField").text(), "0FFFF");
}

TEST_F(FillEditTest, FillValueAndCharacterFields) {
    StartWithDevice("1");
    FillField("dataHex").setText("00");
    EXPECT_EQ(FillField("dataChar").text(), ".");
    FillField("dataChar").setText("A");  // typed
    EXPECT_EQ(FillField("dataHex").text(), "41");
    FillField("dataChar").setText("");  // emptying the character changes nothing
    EXPECT_EQ(FillField("dataHex").text(), "41");
    EXPECT_TRUE(Child<QPushButton>(W().fillDialog(), "fillButton").isEnabled());
    FillField("dataHex").setText("");
    EXPECT_FALSE(Child<QPushButton>(W().fillDialog(), "fillButton").isEnabled());
    EXPECT_EQ(FillField("dataChar").text(), "");
    FillField("dataHex").setText("5");
    EXPECT_TRUE(Child<QPushButton>(W().fillDialog(), "fillButton").isEnabled());
    FillField("dataChar").setText(QString(QChar(char16_t(0x0104))));  // Ą
    EXPECT_EQ(FillField("dataHex").text(), "A5");
    EXPECT_TRUE(Prompts.Messages.empty());
}

TEST_F(FillEditTest, FillOneRowTouchesOnlyThatRow) {
    StartWithDevice("1");
    Activate(W().fillDialog());
    FillField("dataHex").setText("00");
    FillField("fromField").setText("00010");
    FillField("toField").setText("0001F");
    const Cells cells = Announced([] { W().fillDialog().fill(); });
    EXPECT_EQ(cells, (Cells{{1, 0, 1, 15}, {1, 16, 1, 16}}));
    for (uint32_t a = 0; a < 0x30; ++a) EXPECT_EQ(Bytes()[a], a >= 0x10 && a <= 0x1F ? 0 : 0xFF) << a;
    EXPECT_EQ(W().grid().cellText(17, 2), "................");
    EXPECT_EQ(W().panelText(1), "Checksum: F010");
}

TEST_F(FillEditTest, FillWithStartAboveStopChangesNothing) {
    StartWithDevice("1");
    FillField("fromField").setText("00020");
    FillField("toField").setText("0001F");
    FillField("dataHex").setText("12");
    EXPECT_TRUE(Announced([] { W().fillDialog().fill(); }).empty());
    EXPECT_EQ(W().panelText(1), "Checksum: 0000");
}

TEST_F(FillEditTest, FillAddressesAreLimitedToTheDevice) {
    StartWithDevice("3");
    Activate(W().fillDialog());
    FillField("fromField").setText("08000");
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
    EXPECT_EQ(FillField("fromField").text(), "00000");
    FillField("toField").putText("07FFF");
    Child<StepButton>(W().fillDialog(), "toUp").onMouseDown();
    EXPECT_EQ(FillField("toField").text(), "07FFF");
    FillField("dataHex").setText("AB");
    W().fillDialog().fill();
    EXPECT_EQ(Bytes()[0x7FFF], 0xAB);
    EXPECT_EQ(Bytes()[0x8000], 0xFF);
}

TEST_F(FillEditTest, ActivationKeepsWhatWasTypedAndDeviceChangesFollow) {
    StartWithDevice("6");
    Activate(W().fillDialog());
    FillField("toField").setText("00100");
    Activate(W().fillDialog());
    EXPECT_EQ(FillField("toField").text(), "00100");
    EditField("addressField").putText("12345");
    ChooseDevice(3);
    EXPECT_EQ(FillField("toField").text(), "00100") << "within the new device";
    EXPECT_EQ(EditField("addressField").text(), "07FFF");
    EXPECT_EQ(W().editDialog().address(), 0x7FFFu);
    FillField("toField").setText("07FFF");  // the device's end follows to the next one's
    EditField("addressField").putText("00010");
    ChooseDevice(1);
    EXPECT_EQ(FillField("toField").text(), "0FFFF");
    EXPECT_EQ(EditField("addressField").text(), "00010") << "an address within the device stays";
}

TEST_F(FillEditTest, DeviceChangeBringsFromWithinTheNewDevice) {
    struct {
        const char* device;
        const char* from;
    } cases[] = {{"6", "1FFF0"}, {"1", "0FFF0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        StartWithDevice(c.device);
        Activate(W().fillDialog());
        FillField("fromField").setText(c.from);
        ChooseDevice(3);
        ASSERT_EQ(FillField("fromField").text(), "07FFF");
        Child<StepButton>(W().fillDialog(), "fromDown").onMouseDown();
        EXPECT_EQ(FillField("fromField").text(), "07FFE");
        FillField("fromField").setText("07FF1");  // the last digit retyped
        EXPECT_EQ(FillField("fromField").text(), "07FF1");
        EXPECT_TRUE(Prompts.Messages.empty());
        // A From within the new device stays.
        ChooseDevice(1);
        EXPECT_EQ(FillField("fromField").text(), "07FF1");
        W().close();
        Close();
    }
}

TEST_F(FillEditTest, EditShowsTheSelectedCell) {
    StartWithDevice("1");
    W().image().ImageBuffer[0x24] = 0x41;
    W().grid().selectCell(5, 3);
    W().editCell();
    EXPECT_EQ(EditField("addressField").text(), "00024");
    EXPECT_EQ(EditField("currentHex").text(), "41");
    EXPECT_EQ(EditField("currentChar").text(), "A");
    // The character column keeps the dialog's address, also on the last row.
    W().editDialog().hide();
    W().grid().selectCell(17, 4096);
    W().editCell();
    EXPECT_EQ(EditField("addressField").text(), "00024");
}

TEST_F(FillEditTest, EditValueAndCharacterFields) {
    StartWithDevice("1");
    EXPECT_EQ(EditField("newHex").text(), "FF");
    EditField("newHex").setText("41");
    EXPECT_EQ(EditField("newChar").text(), "A");
    EditField("newChar").setText("B");
    EXPECT_EQ(EditField("newHex").text(), "42");
    EditField("newHex").setText("00");
    EXPECT_EQ(EditField("newChar").text(), ".");
    EditField("newChar").setText("");  // unlike Fill, this empties the value
    EXPECT_EQ(EditField("newHex").text(), "");
    EXPECT_FALSE(Child<QPushButton>(W().editDialog(), "setButton").isEnabled());
    EditField("newHex").setText("7");
    EXPECT_TRUE(Child<QPushButton>(W().editDialog(), "setButton").isEnabled());
}

TEST_F(FillEditTest, SetChangesOneByteItsCellsAndTheFigures) {
    StartWithDevice("1");
    EditField("addressField").setText("00010");
    EditField("newHex").setText("12");
    const Cells cells = Announced([] { W().editDialog().setByte(); });
    EXPECT_EQ(cells, (Cells{{1, 0, 1, 0}, {1, 16, 1, 16}}));
    EXPECT_EQ(Bytes()[0x10], 0x12);
    EXPECT_EQ(W().grid().cellText(1, 2), "12");
    EXPECT_EQ(W().panelText(1), "Checksum: FF13");
    EXPECT_EQ(EditField("currentHex").text(), "12");

    // 00 written: the current character is empty, the grid shows ".".
    EditField("newHex").setText("00");
    W().editDialog().setByte();
    EXPECT_EQ(EditField("currentChar").text(), "");
    EXPECT_EQ(W().grid().cellText(17, 2)[0], QChar(u'.'));
    EXPECT_EQ(EditField("newHex").text(), "00");

    // Only cell (column 5, row 292) and its characters for address 0x1234.
    EditField("addressField").setText("01234");
    EXPECT_EQ(Announced([] { W().editDialog().setByte(); }), (Cells{{0x123, 4, 0x123, 4}, {0x123, 16, 0x123, 16}}));
}

TEST_F(FillEditTest, EditAddressBeyondTheDeviceIsRefused) {
    StartWithDevice("3");
    EditField("addressField").setText("00100");
    EditField("addressField").setText("08000");
    EXPECT_EQ(Prompts.Messages, std::vector<QString>{"Adress out of range !"});
    EXPECT_EQ(EditField("addressField").text(), "00100");
    EXPECT_EQ(W().editDialog().address(), 0x100u);
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
    W().load();
    ASSERT_EQ(Bytes()[0x11234], 0x11);
    ASSERT_EQ(Bytes()[2], 0x30);

    EditField("addressField").setText("00005");
    EditField("newHex").setText("5A");
    W().editDialog().setByte();
    Activate(W().fillDialog());
    FillField("fromField").setText("1FF00");
    FillField("toField").setText("1FF7F");
    FillField("dataHex").setText("00");
    W().fillDialog().fill();

    const auto before = W().image().ImageBuffer;
    const QString sum = W().panelText(1), crc = W().panelText(2);
    Prompts.SaveAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "story").string()), 1});
    W().save();
    W().clearBuffer();
    EXPECT_NE(W().panelText(2), crc);

    Prompts.OpenAnswers.push_back(FileDialogResult{QString::fromStdString((Dir / "story.hex").string()), 1});
    W().load();
    EXPECT_TRUE(W().image().ImageBuffer == before);
    EXPECT_EQ(W().panelText(1), sum);
    EXPECT_EQ(W().panelText(2), crc);
    EXPECT_TRUE(Prompts.Messages.empty());
}

}  // namespace
}  // namespace pelk

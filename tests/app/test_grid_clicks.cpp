// Clicks in the grid: the address tooltip and the hand-over to the edit dialog.
#include "dialogs/device_dialog.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

class GridClickTest : public test::WindowTest {
protected:
    void Click(int k, int r) {
        Formularz->Tablica->SelectCell(k, r);
        Formularz->TablicaClick();
    }
};

TEST_F(GridClickTest, TooltipNamesTheAddress) {
    Start();
    EXPECT_EQ(Formularz->Tablica->toolTip(), "text");
    Click(1, 1);
    EXPECT_EQ(Formularz->Tablica->toolTip(), "00000 hex; 000000 dec ");
    Click(16, 2);
    EXPECT_EQ(Formularz->Tablica->toolTip(), "0001F hex; 000031 dec ");
    Click(17, 2);
    EXPECT_EQ(Formularz->Tablica->toolTip(), "ASCII");
}

TEST_F(GridClickTest, LargestDeviceKeepsFiveDigits) {
    WriteSettings("0", "6", "", "6", "1");
    Start();
    Click(16, 8192);
    EXPECT_EQ(Formularz->Tablica->toolTip(), "1FFFF hex; 131071 dec ");
}

TEST_F(GridClickTest, ClickHandsTheByteToTheEditDialog) {
    Start();
    Formularz->Image.ImageBuffer[0x24] = 0x00;
    Formularz->Image.ImageBuffer[0x25] = 0x41;
    Click(5, 3);
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00024");
    EXPECT_EQ(EditDialog->CurrentEdit->text(), "00");
    EXPECT_EQ(EditDialog->CurrentAscii->text(), ".");
    EXPECT_EQ(EditAddress, 0x24u);
    Click(6, 3);
    EXPECT_EQ(EditDialog->CurrentEdit->text(), "41");
    EXPECT_EQ(EditDialog->CurrentAscii->text(), "A");
    // The character column hands nothing over: the dialog keeps its byte.
    Click(17, 10);
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00025");
    EXPECT_EQ(EditAddress, 0x25u);
}

TEST_F(GridClickTest, DoubleClickShowsTheEditDialog) {
    Start();
    Click(3, 4);
    EXPECT_FALSE(EditDialog->isVisible());
    Formularz->TablicaDblClick();
    EXPECT_TRUE(EditDialog->isVisible());
    EXPECT_EQ(EditDialog->AdresEdit->text(), "00032");
}

TEST_F(GridClickTest, ContextMenuEditAndClear) {
    Start();
    Formularz->Edit1->trigger();
    EXPECT_TRUE(EditDialog->isVisible());
    Formularz->Image.ImageBuffer[0x100] = 0;
    Formularz->Image.ImageBuffer[0x1FFFF] = 0;
    Formularz->Clear1->trigger();
    EXPECT_EQ(Formularz->Image.ImageBuffer[0x100], 0xFF);
    EXPECT_EQ(Formularz->Image.ImageBuffer[0x1FFFF], 0xFF) << "Clear covers the whole image";
    EXPECT_TRUE(Prompts.Messages.empty());
}

}  // namespace
}  // namespace pelk

// Clicks in the grid: the address tooltip and the hand-over to the edit dialog.
#include "dialogs/device_dialog.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

class GridClickTest : public test::WindowTest {
protected:
    void Click(int k, int r) {
        W().grid().selectCell(k, r);
        W().gridClicked();
    }
};

TEST_F(GridClickTest, TooltipNamesTheAddress) {
    Start();
    EXPECT_EQ(W().grid().toolTip(), "text");
    Click(1, 1);
    EXPECT_EQ(W().grid().toolTip(), "00000 hex; 000000 dec ");
    Click(16, 2);
    EXPECT_EQ(W().grid().toolTip(), "0001F hex; 000031 dec ");
    Click(17, 2);
    EXPECT_EQ(W().grid().toolTip(), "ASCII");
}

TEST_F(GridClickTest, LargestDeviceKeepsFiveDigits) {
    WriteSettings("0", "6", "", "6", "1");
    Start();
    Click(16, 8192);
    EXPECT_EQ(W().grid().toolTip(), "1FFFF hex; 131071 dec ");
}

TEST_F(GridClickTest, ClickHandsTheByteToTheEditDialog) {
    Start();
    W().image().ImageBuffer[0x24] = 0x00;
    W().image().ImageBuffer[0x25] = 0x41;
    Click(5, 3);
    EXPECT_EQ(EditField("addressField").text(), "00024");
    EXPECT_EQ(EditField("currentHex").text(), "00");
    EXPECT_EQ(EditField("currentChar").text(), ".");
    EXPECT_EQ(W().editDialog().address(), 0x24u);
    Click(6, 3);
    EXPECT_EQ(EditField("currentHex").text(), "41");
    EXPECT_EQ(EditField("currentChar").text(), "A");
    // The character column hands nothing over: the dialog keeps its byte.
    Click(17, 10);
    EXPECT_EQ(EditField("addressField").text(), "00025");
    EXPECT_EQ(W().editDialog().address(), 0x25u);
}

TEST_F(GridClickTest, DoubleClickShowsTheEditDialog) {
    Start();
    Click(3, 4);
    EXPECT_FALSE(W().editDialog().isVisible());
    W().gridDoubleClicked();
    EXPECT_TRUE(W().editDialog().isVisible());
    EXPECT_EQ(EditField("addressField").text(), "00032");
}

TEST_F(GridClickTest, ContextMenuEditAndClear) {
    Start();
    Action("editCellAction").trigger();
    EXPECT_TRUE(W().editDialog().isVisible());
    W().image().ImageBuffer[0x100] = 0;
    W().image().ImageBuffer[0x1FFFF] = 0;
    Action("clearAction").trigger();
    EXPECT_EQ(W().image().ImageBuffer[0x100], 0xFF);
    EXPECT_EQ(W().image().ImageBuffer[0x1FFFF], 0xFF) << "Clear covers the whole image";
    EXPECT_TRUE(Prompts.Messages.empty());
}

}  // namespace
}  // namespace pelk

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>

#include "image/device_table.h"
#include "support/grid_changes.h"
#include "view/buffer_grid.h"
#include "image/cp1250.h"

namespace pelk {
namespace {

class BufferGridTest : public ::testing::Test {
protected:
    MemoryImage Image;
    void SetUp() override { ApplyDeviceIndex(Image, 1); }
};

TEST_F(BufferGridTest, ModelPassesTheItemModelTesterThroughDeviceChanges) {
    BufferGridModel model(Image);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (uint8_t d : {6, 3, 1}) {
        ApplyDeviceIndex(Image, d);
        model.rebuildForDevice();
        EXPECT_EQ(model.rowCount(), int(Image.DeviceSize() / 16));
        model.refreshAll();
        model.bytesChanged(0x10, 0x1234);
    }
}

TEST_F(BufferGridTest, FreshGridOf64KDevice) {
    BufferGrid grid(Image);
    EXPECT_EQ(grid.rowCountWithHeading(), 4097);
    EXPECT_EQ(grid.cellText(0, 0), "Adress");
    EXPECT_EQ(grid.cellText(1, 0), "00");
    EXPECT_EQ(grid.cellText(11, 0), "0A");
    EXPECT_EQ(grid.cellText(16, 0), "0F");
    EXPECT_EQ(grid.cellText(17, 0), "ASCII");
    EXPECT_EQ(grid.cellText(0, 1), " 00000");
    EXPECT_EQ(grid.cellText(0, 4096), " 0FFF0");
    EXPECT_EQ(grid.cellText(7, 100), "FF");
    EXPECT_EQ(grid.cellText(17, 4096), QString(16, QChar(char16_t(0x02D9))));  // 0xFF in Windows-1250
}

TEST_F(BufferGridTest, LargestDeviceShowsFiveDigitLabels) {
    ApplyDeviceIndex(Image, 6);
    BufferGrid grid(Image);
    EXPECT_EQ(grid.rowCountWithHeading(), 8193);
    EXPECT_EQ(grid.cellText(0, 8192), " 1FFF0");
}

TEST_F(BufferGridTest, CharacterColumnShowsZeroAsDotAndCodePageCharacters) {
    const uint8_t row[16] = {0x41, 0x00, 0x42, 0x20, 0x20, 0x20, 0x20, 0x20,
                             0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
    std::copy(row, row + 16, Image.ImageBuffer.begin() + 0x30);
    Image.ImageBuffer[0x40] = 0xA5;  // Ą
    Image.ImageBuffer[0x41] = 0x9A;  // š
    Image.ImageBuffer[0x42] = 0x01;  // a control character is shown as itself
    BufferGridModel model(Image);
    EXPECT_EQ(model.rowCharacters(3), QStringLiteral("A.B") + QString(13, u' '));
    const QString next = model.rowCharacters(4);
    EXPECT_EQ(next[0], QChar(char16_t(0x0104)));
    EXPECT_EQ(next[1], QChar(char16_t(0x0161)));
    EXPECT_EQ(next[2], QChar(char16_t(0x0001)));
}

TEST_F(BufferGridTest, EveryCharacterCellIsOneLineWithEveryByteShown) {
    // Rows "ABCDE", byte b, "FGHIJKLMNO" for a space, a hyphen, the soft
    // hyphen and control characters of every kind.
    const uint8_t middle[] = {0x20, 0x2D, 0xAD, 0x01, 0x0A, 0x0C, 0x0D, 0x09, 0x1F, 0x7F, 0x81};
    for (size_t i = 0; i < std::size(middle); ++i) {
        uint8_t* row = Image.ImageBuffer.data() + i * 16;
        for (int k = 0; k < 16; ++k) row[k] = uint8_t(k < 5 ? 'A' + k : 'A' + k - 1);
        row[5] = middle[i];
    }
    BufferGrid grid(Image);
    grid.resize(600, 400);
    grid.show();
    auto cell = [&](size_t row) {
        return grid.viewport()->grab(grid.visualRect(grid.gridModel().index(int(row), BufferGridModel::CharColumn))).toImage();
    };
    // The rightmost column with ink: the cell's background fills its right end.
    auto inkRight = [](const QImage& img) {
        const QRgb background = img.pixel(img.width() - 2, img.height() / 2);
        int right = -1;
        for (int y = 1; y < img.height() - 1; ++y)
            for (int x = 0; x < img.width() - 1; ++x)
                if (img.pixel(x, y) != background) right = std::max(right, x);
        return right;
    };
    const QImage space = cell(0), control = cell(3);
    EXPECT_TRUE(cell(2) == cell(1)) << "the soft hyphen is shown as a hyphen";
    EXPECT_FALSE(control == space);
    EXPECT_GE(inkRight(control), inkRight(space)) << "a control character takes a place of its own";
    for (size_t i = 4; i < std::size(middle); ++i) EXPECT_TRUE(cell(i) == control) << "byte " << int(middle[i]);
}

TEST_F(BufferGridTest, CodePageRoundTrips) {
    for (int b = 0; b < 256; ++b) EXPECT_EQ(UnicodeToCp1250(Cp1250ToUnicode(uint8_t(b))), uint8_t(b)) << b;
    EXPECT_EQ(UnicodeToCp1250(u'€'), 0x80);
    EXPECT_FALSE(UnicodeToCp1250(u'\u4E2D'));
}

using test::Announced;
using test::Cells;

TEST_F(BufferGridTest, NotificationsCoverOnlyWhatChanged) {
    BufferGridModel model(Image);
    // A whole refresh is one notification.
    EXPECT_EQ(Announced(model, [&] { model.refreshAll(); }), (Cells{{0, 0, 4095, 16}}));
    // One byte at 0x1234: its cell (row 0x123, column 4) and that row's characters.
    EXPECT_EQ(Announced(model, [&] { model.bytesChanged(0x1234, 0x1234); }),
              (Cells{{0x123, 4, 0x123, 4}, {0x123, 16, 0x123, 16}}));
    // One whole row.
    EXPECT_EQ(Announced(model, [&] { model.bytesChanged(0x10, 0x1F); }), (Cells{{1, 0, 1, 15}, {1, 16, 1, 16}}));
    // A range over three rows.
    EXPECT_EQ(Announced(model, [&] { model.bytesChanged(0x18, 0x37); }),
              (Cells{{1, 8, 1, 16}, {2, 0, 2, 16}, {3, 0, 3, 7}, {3, 16, 3, 16}}));
    // Beyond the device: nothing.
    EXPECT_TRUE(Announced(model, [&] { model.bytesChanged(0x10000, 0x10010); }).empty());
}

TEST_F(BufferGridTest, TopRowAndSelection) {
    BufferGrid grid(Image);
    grid.resize(400, 300);
    grid.setTopRow(0x1010 / 16 + 1);
    EXPECT_EQ(grid.topRow(), 0x1010 / 16 + 1);
    grid.selectCell(5, 3);
    EXPECT_EQ(grid.selectedColumn(), 5);
    EXPECT_EQ(grid.selectedRow(), 3);
}

}  // namespace
}  // namespace pelk

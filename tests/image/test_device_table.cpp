#include <gtest/gtest.h>

#include "image/device_table.h"

namespace pelk {
namespace {

TEST(DeviceTable, ApplyingAnIndexSetsLastAddressAndStatusText) {
    struct {
        uint8_t index;
        uint8_t applied;
        uint32_t last;
        const char* status;
    } cases[] = {
        {1, 1, 0xFFFF, "Device: W78E516B"},  {2, 2, 0xFFFF, "Device: W78LE516B"},
        {3, 3, 0x7FFF, "Device: W78E58B"},   {4, 4, 0x7FFF, "Device: W78LE58"},
        {5, 5, 0x7FFF, "Device: W78E858"},   {6, 6, 0x1FFFF, "Device: W77E532"},
        {0, 1, 0xFFFF, "Device: W78E516B"},  {7, 1, 0xFFFF, "Device: W78E516B"},
        {255, 1, 0xFFFF, "Device: W78E516B"},
    };
    for (const auto& c : cases) {
        MemoryImage image;
        image.LastAddress = 0;
        EXPECT_EQ(ApplyDeviceIndex(image, c.index), c.status) << int(c.index);
        EXPECT_EQ(image.DeviceIndex, c.applied);
        EXPECT_EQ(image.LastAddress, c.last);
    }
}

TEST(DeviceTable, ChangingDeviceKeepsImageData) {
    MemoryImage image;
    ApplyDeviceIndex(image, 6);
    image.ImageBuffer[0x1ABCD] = 0x12;
    ApplyDeviceIndex(image, 3);
    EXPECT_EQ(image.ImageBuffer[0x1ABCD], 0x12);
    image.Clear();
    EXPECT_EQ(image.ImageBuffer[0x1ABCD], 0xFF) << "Clear covers the whole image, whatever the device";
    EXPECT_EQ(image.DeviceIndex, 3);
}

TEST(DeviceTable, NamesAndNumbers) {
    EXPECT_EQ(DeviceIndexByName("w77e532"), 6);
    EXPECT_EQ(DeviceIndexByName("W78LE516"), 2);
    EXPECT_EQ(DeviceIndexByName("3"), 3);
    EXPECT_FALSE(DeviceIndexByName("7"));
    EXPECT_FALSE(DeviceIndexByName("W78LE516B")) << "the status text is not a device name";
    EXPECT_FALSE(DeviceIndexByName(""));
}

}  // namespace
}  // namespace pelk

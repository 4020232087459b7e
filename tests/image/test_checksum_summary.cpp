#include <gtest/gtest.h>

#include "image/checksum_summary.h"
#include "image/device_table.h"

namespace pelk {
namespace {

TEST(ChecksumSummaryTest, ErasedDeviceRangeForEachSize) {
    struct Case { uint8_t device; uint32_t sum; const char* checksum; const char* crc; };
    for (const Case c : {Case{3, 0x7F8000, "Checksum: 8000", "CRC: 7E33"},
                         Case{1, 0xFF0000, "Checksum: 0000", "CRC: 3006"},
                         Case{6, 0x1FE0000, "Checksum: 0000", "CRC: 2019"}}) {
        MemoryImage image;
        ApplyDeviceIndex(image, c.device);
        const ChecksumSummary s = ComputeChecksumSummary(image);
        EXPECT_EQ(s.Sum, c.sum) << int(c.device);
        EXPECT_EQ(s.ChecksumText(), c.checksum);
        EXPECT_EQ(s.CrcText(), c.crc);
    }
}

TEST(ChecksumSummaryTest, FirstByteChanged) {
    MemoryImage image;
    ApplyDeviceIndex(image, 1);
    image.ImageBuffer[0] = 0x02;
    const ChecksumSummary s = ComputeChecksumSummary(image);
    EXPECT_EQ(s.ChecksumText(), "Checksum: FF03");
    EXPECT_EQ(s.CrcText(), "CRC: 3E0A");
}

TEST(ChecksumSummaryTest, BytesAboveTheDeviceDoNotCount) {
    MemoryImage image;
    ApplyDeviceIndex(image, 6);
    image.ImageBuffer[0x8000] = 0x00;
    image.ImageBuffer[0x1FFFF] = 0x00;
    const ChecksumSummary wide = ComputeChecksumSummary(image);
    EXPECT_EQ(wide.ChecksumText(), "Checksum: FE02");
    ApplyDeviceIndex(image, 3);
    const ChecksumSummary narrow = ComputeChecksumSummary(image);
    EXPECT_EQ(narrow.ChecksumText(), "Checksum: 8000");
    EXPECT_EQ(narrow.CrcText(), "CRC: 7E33");
}

}  // namespace
}  // namespace pelk

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "file_test_support.h"
#include "image/device_table.h"
#include "image/file_load.h"

namespace pelk {
namespace {

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 7 + 3);
    return s;
}

class BinaryReader : public ::testing::Test {
protected:
    test::TempDir Dir;
    MemoryImage Image;
    std::unique_ptr<StagingBuffer> Staging = std::make_unique<StagingBuffer>();
    test::CollectingReporter Reporter;

    bool Load(size_t size, uint8_t device) {
        ApplyDeviceIndex(Image, device);
        const auto path = Dir / "in.bin";
        test::WriteFile(path, Pattern(size));
        return ReadBinaryFile(path, Image, *Staging, Reporter);
    }
};

TEST_F(BinaryReader, FileIsCutAtTheDeviceSizeOrPaddedWithFF) {
    struct Case { size_t size; uint8_t device; uint32_t extent; };
    for (const Case c : {Case{40000, 3, 0x8000}, Case{100, 1, 100}, Case{0x20000, 6, 0x20000},
                         Case{0x30000, 6, 0x20000}, Case{0x10001, 1, 0x10000}}) {
        Staging->fill(0x00);
        EXPECT_TRUE(Load(c.size, c.device)) << c.size;
        EXPECT_EQ(Image.LoadedExtent, c.extent) << c.size;
        const std::string expected = Pattern(c.extent);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), Staging->begin(),
                               [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
        EXPECT_TRUE(std::all_of(Staging->begin() + c.extent, Staging->begin() + Image.LastAddress + 1,
                                [](uint8_t b) { return b == 0xFF; }));
    }
    EXPECT_TRUE(Reporter.Messages.empty());
}

TEST_F(BinaryReader, ProposalAndLimitsFollowTheFileSize) {
    EXPECT_TRUE(Load(40000, 3));
    const LoadSelection s = ProposedLoadSelection(Image.LoadedExtent);
    EXPECT_EQ(s.InputStartValue, 0u);
    EXPECT_EQ(s.InputStopValue, 0x7FFFu);
    EXPECT_EQ(s.BufferOffsetValue, 0u);
    EXPECT_TRUE(s.ClearBuffer);
    EXPECT_FALSE(s.Bank1);
    EXPECT_EQ(DataSizeFor(s.InputStartValue, s.InputStopValue), 32768);

    EXPECT_TRUE(Load(100, 1));
    const uint32_t max = MaxInputAddressFor(Image.LoadedExtent);
    EXPECT_EQ(max, 0x63u);
    for (uint8_t device = 1; device <= 5; ++device) EXPECT_EQ(BufferOffsetLimit(device, max), 0x63u);
    EXPECT_EQ(BufferOffsetLimit(6, max), 0xFFFFu);
}

TEST_F(BinaryReader, EmptyFileGivesNothingToPick) {
    EXPECT_TRUE(Load(0, 1));
    EXPECT_EQ(Image.LoadedExtent, 0u);
    const LoadSelection s = ProposedLoadSelection(Image.LoadedExtent);
    EXPECT_EQ(s.InputStopValue, 0xFFFFFFFFu);
    EXPECT_EQ(DataSizeFor(s.InputStartValue, s.InputStopValue), 0);
    // OK then copies the staging area's 0xFF over the device's range.
    Image.ImageBuffer.fill(0x12);
    const LoadPlacement p = CopyStagedData(Image, *Staging, LoadSelection{0, 0xFFFFFFFF, 0, false, false});
    EXPECT_EQ(p.BytesCopied, 0x10000u);
    EXPECT_EQ(Image.ImageBuffer[0xFFFF], 0xFF);
    EXPECT_EQ(Image.ImageBuffer[0x10000], 0x12);
}

TEST_F(BinaryReader, MissingFileOrDirectoryIsReported) {
    ApplyDeviceIndex(Image, 1);
    Image.LoadedExtent = 5;
    for (const auto& path : {Dir / "missing.bin", Dir.Path()}) {
        Reporter.Messages.clear();
        EXPECT_FALSE(ReadBinaryFile(path, Image, *Staging, Reporter)) << path;
        EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Can't open file"});
    }
}

class CopyRules : public ::testing::Test {
protected:
    MemoryImage Image;
    std::unique_ptr<StagingBuffer> Staging = std::make_unique<StagingBuffer>();

    void SetUp() override {
        for (uint32_t i = 0; i < ImageSize; ++i) (*Staging)[i] = static_cast<uint8_t>(i ^ (i >> 8));
        Image.ImageBuffer.fill(0x5A);
    }
    uint8_t Staged(uint32_t a) const { return (*Staging)[a]; }
};

TEST_F(CopyRules, SecondBankOfTheTwoBankDevice) {
    ApplyDeviceIndex(Image, 6);
    const LoadPlacement p = CopyStagedData(Image, *Staging, LoadSelection{0, 0xFF, 0x0100, true, true});
    EXPECT_EQ(p.Destination, 0x10100u);
    EXPECT_EQ(p.GridTopRow, 0x10100u / 16 + 1);
    EXPECT_EQ(p.BytesCopied, 0x100u);
    EXPECT_EQ(Image.ImageBuffer[0x10100], Staged(0));
    EXPECT_EQ(Image.ImageBuffer[0x101FF], Staged(0xFF));
    EXPECT_EQ(Image.ImageBuffer[0x100FF], 0xFF);  // cleared
    EXPECT_EQ(Image.ImageBuffer[0x00100], 0xFF);
}

TEST_F(CopyRules, BankChoiceCountsOnlyForTheTwoBankDevice) {
    ApplyDeviceIndex(Image, 1);
    const LoadPlacement p = CopyStagedData(Image, *Staging, LoadSelection{0, 0xF, 0x0100, true, false});
    EXPECT_EQ(p.Destination, 0x100u);
    EXPECT_EQ(p.GridTopRow, 1u);
    EXPECT_EQ(Image.ImageBuffer[0x100], Staged(0));
    EXPECT_EQ(Image.ImageBuffer[0x10100], 0x5A);

    ApplyDeviceIndex(Image, 6);
    EXPECT_EQ(CopyStagedData(Image, *Staging, LoadSelection{0, 0xF, 0x7000, false, false}).GridTopRow, 1u);
}

TEST_F(CopyRules, CopyStopsAtTheDevicesLastAddress) {
    ApplyDeviceIndex(Image, 3);
    const LoadPlacement p = CopyStagedData(Image, *Staging, LoadSelection{0x10, 0x1F, 0x7FF8, false, false});
    EXPECT_EQ(p.BytesCopied, 8u);
    for (uint32_t k = 0; k < 8; ++k) EXPECT_EQ(Image.ImageBuffer[0x7FF8 + k], Staged(0x10 + k));
    EXPECT_EQ(Image.ImageBuffer[0x7FF7], 0x5A);
    EXPECT_EQ(Image.ImageBuffer[0x8000], 0x5A);
}

TEST_F(CopyRules, ClearBufferCoversTheDeviceRangeOnly) {
    ApplyDeviceIndex(Image, 3);
    CopyStagedData(Image, *Staging, LoadSelection{0x20, 0x2F, 0x100, false, true});
    EXPECT_EQ(Image.ImageBuffer[0x0FF], 0xFF);
    EXPECT_EQ(Image.ImageBuffer[0x100], Staged(0x20));
    EXPECT_EQ(Image.ImageBuffer[0x110], 0xFF);
    EXPECT_EQ(Image.ImageBuffer[0x7FFF], 0xFF);
    EXPECT_EQ(Image.ImageBuffer[0x8000], 0x5A);

    Image.ImageBuffer.fill(0x5A);
    CopyStagedData(Image, *Staging, LoadSelection{0x20, 0x2F, 0x100, false, false});
    EXPECT_EQ(Image.ImageBuffer[0x0FF], 0x5A);
    EXPECT_EQ(Image.ImageBuffer[0x110], 0x5A);
}

TEST_F(CopyRules, StagingIsNeverReadAboveTheDevice) {
    // Nothing was read (stop 0xFFFFFFFF), a start beyond the device: nothing
    // to copy, even though the destination lies inside the device.
    ApplyDeviceIndex(Image, 3);
    const LoadPlacement p = CopyStagedData(Image, *Staging, LoadSelection{0x9000, 0xFFFFFFFF, 0, false, false});
    EXPECT_EQ(p.BytesCopied, 0u);
    EXPECT_EQ(Image.ImageBuffer[0], 0x5A);
    // A start below the device's end copies up to it only.
    const LoadPlacement q = CopyStagedData(Image, *Staging, LoadSelection{0x7FF0, 0xFFFFFFFF, 0, false, false});
    EXPECT_EQ(q.BytesCopied, 0x10u);
    EXPECT_EQ(Image.ImageBuffer[0x0F], Staged(0x7FFF));
    EXPECT_EQ(Image.ImageBuffer[0x10], 0x5A);
}

TEST_F(CopyRules, DestinationBeyondTheDeviceCopiesNothing) {
    ApplyDeviceIndex(Image, 6);
    for (uint32_t offset : {0x10000u, 0xFFFFFFFFu}) {
        const LoadPlacement p = CopyStagedData(Image, *Staging, LoadSelection{0, 0xFF, offset, true, false});
        EXPECT_EQ(p.BytesCopied, 0u) << offset;
        EXPECT_EQ(p.GridTopRow, 0x1FFFFu / 16 + 1) << offset;
    }
    EXPECT_TRUE(std::all_of(Image.ImageBuffer.begin(), Image.ImageBuffer.end(), [](uint8_t b) { return b == 0x5A; }));
}

}  // namespace
}  // namespace pelk

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "file_test_support.h"
#include "image/device_table.h"
#include "image/file_writer.h"
#include "image/hex_reader.h"

namespace pelk {
namespace {

class FileWriter : public ::testing::Test {
protected:
    test::TempDir Dir;
    MemoryImage Image;
    test::CollectingReporter Reporter;

    std::string SaveHex() {
        const auto path = Dir / "out.hex";
        EXPECT_TRUE(WriteHexFile(path, Image, Reporter));
        EXPECT_TRUE(Reporter.Messages.empty());
        return test::ReadFile(path);
    }
};

TEST_F(FileWriter, WorkedExample) {
    Image.ImageBuffer[0] = 0x02;
    Image.ImageBuffer[1] = 0x00;
    Image.ImageBuffer[2] = 0x30;
    EXPECT_EQ(SaveHex(), ":10000000020030FFFFFFFFFFFFFFFFFFFFFFFFFFCB\r\n:00000001FF\r\n");
}

TEST_F(FileWriter, ClearedImage) {
    EXPECT_EQ(SaveHex(), ":00000001FF\r\n");
    const auto path = Dir / "out.bin";
    EXPECT_TRUE(WriteBinaryFile(path, Image, Reporter));
    EXPECT_EQ(test::ReadBytes(path), std::vector<uint8_t>(ImageSize, 0xFF));
}

TEST_F(FileWriter, BlockWithOneByteBelowFFIsWritten) {
    Image.ImageBuffer[0x105F] = 0xFE;
    EXPECT_EQ(SaveHex(), ":10105000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEA1\r\n:00000001FF\r\n");
}

TEST_F(FileWriter, DataOutsideTheDeviceIsWrittenToo) {
    ApplyDeviceIndex(Image, 3);
    Image.ImageBuffer[0x9000] = 0x00;
    EXPECT_EQ(SaveHex(), ":1090000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6F\r\n:00000001FF\r\n");
}

TEST_F(FileWriter, BlocksAbove64KiBFollowOneLinearAddressRecord) {
    Image.ImageBuffer[0x00010] = 0x01;
    Image.ImageBuffer[0x12340] = 0x11;
    Image.ImageBuffer[0x1FFFF] = 0x22;
    EXPECT_EQ(SaveHex(),
              ":1000100001FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEE\r\n"
              ":020000040001F9\r\n"
              ":1023400011FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF8B\r\n"
              ":10FFF000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF22EE\r\n"
              ":00000001FF\r\n");
}

TEST_F(FileWriter, SavedFilesReadBackToTheSameImage) {
    std::mt19937 random(4);
    for (uint32_t a = 0; a < ImageSize; ++a) Image.ImageBuffer[a] = static_cast<uint8_t>(random());
    for (uint32_t a = 0x300; a < 0x500; ++a) Image.ImageBuffer[a] = 0xFF;  // blank blocks skipped
    SaveHex();
    ASSERT_TRUE(WriteBinaryFile(Dir / "out.bin", Image, Reporter));
    EXPECT_EQ(test::ReadBytes(Dir / "out.bin"),
              std::vector<uint8_t>(Image.ImageBuffer.begin(), Image.ImageBuffer.end()));

    MemoryImage loaded;
    ApplyDeviceIndex(loaded, 6);
    auto staging = std::make_unique<StagingBuffer>();
    ASSERT_TRUE(ReadHexFile(Dir / "out.hex", loaded, *staging, Reporter));
    EXPECT_TRUE(Reporter.Messages.empty());
    EXPECT_EQ(loaded.LoadedExtent, ImageSize);
    EXPECT_TRUE(std::equal(staging->begin(), staging->end(), Image.ImageBuffer.begin()));
}

TEST_F(FileWriter, ExistingFileIsReplaced) {
    const auto path = Dir / "out.hex";
    test::WriteFile(path, std::string(1000, 'x'));
    EXPECT_TRUE(WriteHexFile(path, Image, Reporter));
    EXPECT_EQ(test::ReadFile(path), ":00000001FF\r\n");
    test::WriteFile(Dir / "out.bin", std::string(200000, 'x'));
    EXPECT_TRUE(WriteBinaryFile(Dir / "out.bin", Image, Reporter));
    EXPECT_EQ(test::ReadFile(Dir / "out.bin").size(), ImageSize);
}

TEST_F(FileWriter, FileThatCannotBeCreatedIsReported) {
    for (const auto& path : {Dir / "no-such-dir" / "out.hex", Dir.Path()}) {
        for (auto* write : {&WriteHexFile, &WriteBinaryFile}) {
            Reporter.Messages.clear();
            EXPECT_FALSE(write(path, Image, Reporter)) << path;
            EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Can't open file"});
        }
    }
}

TEST_F(FileWriter, WriteErrorIsReportedNotShownAsSuccess) {
    // /dev/full opens but refuses every write with "no space left".
    Image.ImageBuffer[0] = 0x00;
    for (auto* write : {&WriteHexFile, &WriteBinaryFile}) {
        Reporter.Messages.clear();
        EXPECT_FALSE(write("/dev/full", Image, Reporter));
        EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Can't write file"});
    }
    // A cleared image has only the end record to write, and that fails too.
    Image.Clear();
    Reporter.Messages.clear();
    EXPECT_FALSE(WriteHexFile("/dev/full", Image, Reporter));
    EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Can't write file"});
}

TEST_F(FileWriter, WriteThatRunsOutOfRoomLeavesTheOldFileAsItWas) {
    // Files stop growing at 100000 bytes: a disk that runs full.
    const auto path = Dir / "out.bin";
    const std::string old(50000, 'o');
    test::WriteFile(path, old);
    const bool written = test::WithFileSizeLimit(100000, [&] { return WriteBinaryFile(path, Image, Reporter); });
    EXPECT_FALSE(written);
    EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Can't write file"});
    EXPECT_EQ(Reporter.Reasons, std::vector<std::string>{path.string() + ": File too large"});
    EXPECT_EQ(test::ReadFile(path), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Path()), {}), 1);
}

}  // namespace
}  // namespace pelk

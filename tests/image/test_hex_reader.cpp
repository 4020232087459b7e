#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "file_test_support.h"
#include "hex_test_records.h"
#include "image/device_table.h"
#include "image/hex_reader.h"

namespace pelk {
namespace {

using test::Bytes;
using test::HexRecord;

class HexReader : public ::testing::Test {
protected:
    test::TempDir Dir;
    MemoryImage Image;
    std::unique_ptr<StagingBuffer> Staging = std::make_unique<StagingBuffer>();
    test::CollectingReporter Reporter;

    // Writes `content` to a file and reads it with the given device selected.
    bool Load(const std::string& content, uint8_t device = 1) {
        ApplyDeviceIndex(Image, device);
        const auto path = Dir / "in.hex";
        test::WriteFile(path, content);
        return ReadHexFile(path, Image, *Staging, Reporter);
    }
    uint8_t At(uint32_t address) const { return (*Staging)[address]; }
    bool BlankFrom(uint32_t first, uint32_t last) const {
        return std::all_of(Staging->begin() + first, Staging->begin() + last + 1, [](uint8_t b) { return b == 0xFF; });
    }
};

TEST_F(HexReader, EndRecordAloneGivesNothing) {
    Staging->fill(0x00);  // the reader clears the device's range first
    Image.LoadedExtent = 1234;
    EXPECT_TRUE(Load(":00000001FF\r\n"));
    EXPECT_EQ(Image.LoadedExtent, 0u);
    EXPECT_TRUE(BlankFrom(0, 0xFFFF));
    EXPECT_TRUE(Reporter.Messages.empty());
}

TEST_F(HexReader, RecordMustFitEntirelyIntoTheDevice) {
    // Device 3 ends at 0x7FFF: 0x7FF8 + 16 passes it (and its bad checksum is
    // not even looked at); 0x7FF0 + 16 ends exactly at the device's end.
    const std::string past = HexRecord(0x7FF8, 0, Bytes(0x10, 16), 1);
    const std::string fits = HexRecord(0x7FF0, 0, Bytes(0x40, 16));
    EXPECT_TRUE(Load(past + "\n" + fits + "\n:00000001FF\n", 3));
    EXPECT_EQ(Image.LoadedExtent, 0x8000u);
    EXPECT_EQ(At(0x7FF0), 0x40);
    EXPECT_EQ(At(0x7FFF), 0x4F);
    EXPECT_TRUE(Reporter.Messages.empty());
}

TEST_F(HexReader, ChecksumErrorsAreReportedOnceAndTheDataKept) {
    const std::string content = HexRecord(0x0000, 0, {0x11, 0x22}, 1) + "\r\n" +
                                HexRecord(0x0100, 0, {0x33}) + "\r\n" +
                                HexRecord(0x0200, 0, {0x44, 0x55}, 7) + "\r\n:00000001FF\r\n";
    EXPECT_TRUE(Load(content));
    EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Checksum Error in HEX File !"});
    EXPECT_EQ(At(0x0000), 0x11);
    EXPECT_EQ(At(0x0001), 0x22);
    EXPECT_EQ(At(0x0100), 0x33);
    EXPECT_EQ(At(0x0200), 0x44);
    EXPECT_EQ(At(0x0201), 0x55);
    EXPECT_EQ(Image.LoadedExtent, 0x202u);
}

TEST_F(HexReader, EveryFileGetsItsOwnChecksumMessage) {
    const std::string bad = HexRecord(0x0000, 0, {0x11}, 1) + "\n";
    EXPECT_TRUE(Load(bad));
    EXPECT_TRUE(Load(bad));
    EXPECT_EQ(Reporter.Messages.size(), 2u);
}

TEST_F(HexReader, RecordsAfterTheEndRecordAreLoaded) {
    EXPECT_TRUE(Load(HexRecord(0x0010, 0, {0xAA}) + "\n:00000001FF\n" + HexRecord(0x0020, 0, {0xBB}) + "\n"));
    EXPECT_EQ(At(0x10), 0xAA);
    EXPECT_EQ(At(0x20), 0xBB);
    EXPECT_EQ(Image.LoadedExtent, 0x21u);
}

TEST_F(HexReader, LinesThatAreNotRecordsAreIgnored) {
    const std::string content = "\n\r\n   \nThis file was made by hand\n;:10000000\n" +
                                HexRecord(0x0004, 0, {0x01, 0x02}) + "\n\n# comment\n" +
                                HexRecord(0x0008, 0, {0x03}) + "\n";
    EXPECT_TRUE(Load(content));
    EXPECT_EQ(At(4), 0x01);
    EXPECT_EQ(At(5), 0x02);
    EXPECT_EQ(At(8), 0x03);
    EXPECT_EQ(Image.LoadedExtent, 9u);
    EXPECT_TRUE(Reporter.Messages.empty());
}

TEST_F(HexReader, LowerCaseDigitsReadLikeUpperCase) {
    EXPECT_TRUE(Load(":04abcd00deadbeef4c\n"));  // checksum of 04 AB CD 00 DE AD BE EF
    EXPECT_EQ(At(0xABCD), 0xDE);
    EXPECT_EQ(At(0xABD0), 0xEF);
    EXPECT_TRUE(Reporter.Messages.empty());
}

TEST_F(HexReader, LineEndsMayBeCrLfOrLfAndTheLastLineNeedsNone) {
    for (const std::string end : {"\r\n", "\n"}) {
        EXPECT_TRUE(Load(HexRecord(0x0000, 0, {0x01}) + end + HexRecord(0x0001, 0, {0x02})));
        EXPECT_EQ(At(0), 0x01);
        EXPECT_EQ(At(1), 0x02);
        EXPECT_TRUE(Reporter.Messages.empty());
    }
}

TEST_F(HexReader, LinearAddressRecordsPlaceDataAbove64KiB) {
    const std::string content = HexRecord(0x0000, 0, {0x01}) + "\n" +
                                ":020000040001F9\n" + HexRecord(0x2340, 0, {0x02, 0x03}) + "\n" +
                                ":020000040000FA\n" + HexRecord(0x0001, 0, {0x04}) + "\n:00000001FF\n";
    EXPECT_TRUE(Load(content, 6));
    EXPECT_EQ(At(0x00000), 0x01);
    EXPECT_EQ(At(0x12340), 0x02);
    EXPECT_EQ(At(0x12341), 0x03);
    EXPECT_EQ(At(0x00001), 0x04);
    EXPECT_EQ(At(0x02340), 0xFF);
    EXPECT_EQ(Image.LoadedExtent, 0x12342u);
    EXPECT_TRUE(Reporter.Messages.empty());
}

TEST_F(HexReader, SegmentAddressRecordsCountInUnitsOf16) {
    EXPECT_TRUE(Load(":020000021000EC\n" + HexRecord(0x0234, 0, {0x5A}) + "\n", 6));
    EXPECT_EQ(At(0x10234), 0x5A);
    EXPECT_EQ(Image.LoadedExtent, 0x10235u);
}

TEST_F(HexReader, DataAboveTheDeviceIsIgnoredWhole) {
    // The same file with a 64 KiB device: the upper record does not fit.
    EXPECT_TRUE(Load(":020000040001F9\n" + HexRecord(0x0000, 0, {0x01}) + "\n", 1));
    EXPECT_EQ(Image.LoadedExtent, 0u);
    EXPECT_EQ(At(0x0000), 0xFF);
}

TEST_F(HexReader, AddressRecordsStoreNoData) {
    // A file that starts with a linear address record of 0 (as many tools
    // write it) and start address records of both kinds.
    const std::string content = ":020000040000FA\n:0400000300001234B3\n:0400000500001234B1\n" +
                                HexRecord(0x0010, 0, {0x77}) + "\n";
    EXPECT_TRUE(Load(content));
    EXPECT_TRUE(BlankFrom(0, 0x0F));
    EXPECT_EQ(At(0x10), 0x77);
    EXPECT_EQ(Image.LoadedExtent, 0x11u);
    EXPECT_TRUE(Reporter.Messages.empty());
}

TEST_F(HexReader, AddressRecordWithBadChecksumIsReported) {
    EXPECT_TRUE(Load(":020000040001F8\n" + HexRecord(0x0000, 0, {0x01}) + "\n", 6));
    EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Checksum Error in HEX File !"});
    EXPECT_EQ(At(0x10000), 0x01);
}

TEST_F(HexReader, EachFileStartsFromAddressZero) {
    // Two files joined: the second one's records are not moved by the first
    // one's upper address.
    const std::string first = ":020000040001F9\n" + HexRecord(0x0000, 0, {0x01}) + "\n:00000001FF\n";
    const std::string second = HexRecord(0x0000, 0, {0x02}) + "\n:00000001FF\n";
    EXPECT_TRUE(Load(first + second, 6));
    EXPECT_EQ(At(0x10000), 0x01);
    EXPECT_EQ(At(0x00000), 0x02);
}

TEST_F(HexReader, OverlongLinesAreSkippedAndReadingGoesOn) {
    struct Case { size_t padding; bool read; };
    // A record line padded with trailing text up to the limit still reads.
    const std::string record = HexRecord(0x0000, 0, Bytes(0, 16));
    for (const Case c : {Case{HexLineLimit - record.size(), true}, Case{HexLineLimit - record.size() + 1, false}}) {
        const std::string line = record + std::string(c.padding, ' ');
        EXPECT_TRUE(Load(line + "\r\n" + HexRecord(0x0100, 0, {0x42}) + "\r\n"));
        EXPECT_EQ(At(0x0000), c.read ? 0x00 : 0xFF) << line.size();
        EXPECT_EQ(At(0x0100), 0x42) << line.size();
    }
    const std::string huge = ":" + std::string(200000, '0');
    EXPECT_TRUE(Load(huge + "\n" + HexRecord(0x0100, 0, {0x42}) + "\n"));
    EXPECT_EQ(At(0x0000), 0xFF);
    EXPECT_EQ(At(0x0100), 0x42);
    EXPECT_EQ(Image.LoadedExtent, 0x101u);
}

TEST_F(HexReader, LinesAcrossTheReadBlocksOfALargeFile) {
    // Pad so that records and an overlong line cross the reader's 64 KiB
    // blocks at every offset near the boundary.
    std::string content;
    uint16_t address = 0;
    std::vector<std::pair<uint16_t, uint8_t>> expected;
    while (content.size() < 3 * 65536) {
        const std::string record = HexRecord(address, 0, {static_cast<uint8_t>(address)});
        content += record + "\r\n";
        expected.emplace_back(address, static_cast<uint8_t>(address));
        address = static_cast<uint16_t>(address + 1);
        if (content.size() % 65536 > 65000 && content.size() % 65536 < 65100) content += std::string(700, 'x') + "\n";
    }
    EXPECT_TRUE(Load(content));
    for (const auto& [a, v] : expected) ASSERT_EQ(At(a), v) << a;
    EXPECT_TRUE(Reporter.Messages.empty());
}

TEST_F(HexReader, RecordShorterThanItsCountIsReportedAndNotUsed) {
    // The count asks for 16 bytes, the line holds 2 and no checksum; an
    // address record without its value; a bare record mark.
    EXPECT_TRUE(Load(":10001000AABB\n:020000040001\n:\n" + HexRecord(0x0020, 0, {0x01}) + "\n", 6));
    EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Checksum Error in HEX File !"});
    EXPECT_EQ(At(0x10), 0xFF);
    EXPECT_EQ(At(0x11), 0xFF);
    EXPECT_EQ(At(0x20), 0x01) << "the upper address was not changed";
    EXPECT_EQ(Image.LoadedExtent, 0x21u);
}

TEST_F(HexReader, FieldsEndAtTheFirstNonHexCharacter) {
    // Address "00G0" reads as 0x00; the data pair "5Z" reads as 5.
    EXPECT_TRUE(Load(":0100G0005Z00\n"));
    EXPECT_EQ(At(0x00), 0x05);
    EXPECT_EQ(Image.LoadedExtent, 1u);
    EXPECT_EQ(Reporter.Messages.size(), 1u);
}

TEST_F(HexReader, MissingOrUnreadableFileIsReported) {
    Image.LoadedExtent = 77;
    ApplyDeviceIndex(Image, 1);
    for (const auto& path : {Dir / "missing.hex", Dir.Path()}) {
        Reporter.Messages.clear();
        EXPECT_FALSE(ReadHexFile(path, Image, *Staging, Reporter));
        EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Can't open file"});
        EXPECT_EQ(Image.LoadedExtent, 77u);
    }
}

TEST_F(HexReader, EndlessInputThatIsNotAFileIsGivenUpWithTheReason) {
    // Device nodes made here, as /dev/zero (never a line end) and
    // /dev/urandom (lines, but no end).
    struct Case {
        const char* name;
        unsigned minor;
        std::string reason;
    };
    ApplyDeviceIndex(Image, 1);
    for (const Case& c : {Case{"zero", 5, "no line end in 65536 characters; not an Intel HEX file"},
                          Case{"urandom", 9, "more than 67108864 bytes; not an Intel HEX file"}}) {
        const auto node = Dir / c.name;
        ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0444, makedev(1, c.minor)), 0) << "run as root to make device nodes";
        Reporter = {};
        Image.LoadedExtent = 77;
        EXPECT_FALSE(ReadHexFile(node, Image, *Staging, Reporter));
        EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Can't open file"});
        EXPECT_EQ(Reporter.Reasons, std::vector<std::string>{node.string() + ": " + c.reason});
        EXPECT_EQ(Image.LoadedExtent, 77u);
    }
    // A pipe that brings a HEX file reads as the file does.
    const auto fifo = Dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { test::WriteFile(fifo, HexRecord(0x0100, 0, {0x42}) + "\r\n:00000001FF"); });
    Reporter = {};
    EXPECT_TRUE(ReadHexFile(fifo, Image, *Staging, Reporter));
    writer.join();
    EXPECT_EQ(At(0x0100), 0x42);
    EXPECT_TRUE(Reporter.Messages.empty());
}

}  // namespace
}  // namespace pelk

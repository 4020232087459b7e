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
#include "image/image_file.h"

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
    HexFileFacts Facts;

    // Writes `content` to a file and reads it with the given device selected.
    bool Load(const std::string& content, uint8_t device = 1) {
        ApplyDeviceIndex(Image, device);
        const auto path = Dir / "in.hex";
        test::WriteFile(path, content);
        return ReadHexFile(path, Image, *Staging, Reporter, &Facts);
    }
    // The record errors found, as "line: reason".
    std::vector<std::string> Errors() const {
        std::vector<std::string> e;
        for (const HexRecordError& r : Facts.FirstErrors) e.push_back(std::to_string(r.Line) + ": " + r.Reason);
        return e;
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

TEST_F(HexReader, BytesPastTheDeviceAreLeftOutAndCounted) {
    // Device 3 ends at 0x7FFF: of 0x7FF8 + 16 the first 8 bytes fit; 0x7FF0
    // + 16 ends exactly at the device's end; a record above it fits nowhere.
    const std::string straddles = HexRecord(0x7FF8, 0, Bytes(0x10, 16));
    const std::string fits = HexRecord(0x7FE0, 0, Bytes(0x40, 16));
    const std::string above = HexRecord(0x9000, 0, Bytes(0x60, 4));
    EXPECT_TRUE(Load(straddles + "\n" + fits + "\n" + above + "\n:00000001FF\n", 3));
    EXPECT_EQ(Image.LoadedExtent, 0x8000u);
    EXPECT_EQ(At(0x7FE0), 0x40);
    EXPECT_EQ(At(0x7FF8), 0x10);
    EXPECT_EQ(At(0x7FFF), 0x17);
    EXPECT_EQ(Facts.BytesLeftOut, 8u + 4u);
    EXPECT_EQ(Facts.DataEnd, 0x9004u);
    EXPECT_EQ(Facts.Supplied->count(), 16u + 8u);
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

// Every line that is not blank must be a well-formed record. Each damage
// below is a record error, reported with its line, and shown in the window
// as a wrong checksum is; only a data record whose checksum alone is wrong
// keeps its bytes.
TEST_F(HexReader, DamagedRecordsAreRecordErrors) {
    const std::string good = HexRecord(0x0000, 0, {0x11, 0x22});
    struct Case {
        const char* name;
        std::string line;
        std::string error;
        uint32_t kept;  // an address the damaged line would store; FF if not used
    } cases[] = {
        {"not a hexadecimal digit", ":10G0100000", "2: 'G' at column 4 is not a hexadecimal digit", 0x1000},
        {"type damaged into 01", HexRecord(0x0100, 1, Bytes(0x30, 16)), "2: a type 01 record holds 0 bytes, this one 16", 0x0100},
        {"end record with a bad checksum", ":00000001FE", "2: checksum FE, but the record's bytes give FF", 0},
        {"record without its mark", HexRecord(0x0200, 0, {0x99}).substr(1), "2: not a record: it does not start with ':'", 0x0200},
        {"foreign text", "# made by hand", "2: not a record: it does not start with ':'", 0},
        {"type 06", HexRecord(0x0300, 6, {0x01}), "2: record type 06 is not one of 00 to 05", 0x0300},
        {"shorter than its count", ":10001000AABB", "2: the record is shorter than its byte count 10 says", 0x0010},
        {"longer than its count", ":0100100011223344", "2: the record is longer than its byte count 01 says", 0x0010},
        {"odd digits", ":0100100011E", "2: an odd number of hexadecimal digits", 0x0010},
        {"address record of 3 bytes", ":03000004000100F8", "2: a type 04 record holds 2 bytes, this one 3", 0},
        {"same address, other byte", HexRecord(0x0001, 0, {0x23}), "2: address 00001 is given twice, as 22 and 23", 0},
        {"data with a bad checksum", HexRecord(0x0400, 0, {0x44}, 1), "2: checksum B8, but the record's bytes give B7", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reporter = {};
        EXPECT_TRUE(Load(good + "\r\n" + c.line + "\r\n" + HexRecord(0x0500, 0, {0x55}) + "\r\n:00000001FF\r\n"));
        EXPECT_EQ(Errors(), std::vector<std::string>{c.error});
        EXPECT_EQ(Reporter.Messages, std::vector<std::string>{"Checksum Error in HEX File !"});
        EXPECT_EQ(At(0x0500), 0x55) << "reading goes on";
        EXPECT_EQ(At(0x0001), 0x22) << "the first record's byte stands";
        if (c.kept != 0) {
            EXPECT_EQ(At(c.kept), 0xFF);
        }
    }
    EXPECT_TRUE(Load(good + "\n" + HexRecord(0x0400, 0, {0x44}, 1) + "\n"));
    EXPECT_EQ(At(0x0400), 0x44) << "a wrong checksum alone keeps the data";
    EXPECT_TRUE(Facts.ChecksumError);
}

TEST_F(HexReader, BlankLinesCtrlZCrLfAndEqualOverlapsAreFine) {
    const std::string content = "\n\r\n   \n" + HexRecord(0x0004, 0, {0x01, 0x02}) + "  \r\n\n" +
                                HexRecord(0x0005, 0, {0x02, 0x03}) + "\n:00000001FF\r\n\x1A";
    EXPECT_TRUE(Load(content));
    EXPECT_EQ(At(4), 0x01);
    EXPECT_EQ(At(5), 0x02);
    EXPECT_EQ(At(6), 0x03);
    EXPECT_EQ(Facts.Supplied->count(), 3u);
    EXPECT_EQ(Image.LoadedExtent, 7u);
    EXPECT_TRUE(Reporter.Messages.empty());
    EXPECT_TRUE(Facts.EndRecord);
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

TEST_F(HexReader, OverlongLinesAreRecordErrorsAndReadingGoesOn) {
    struct Case { size_t padding; bool read; };
    // A record line padded with trailing blanks up to the limit still reads.
    const std::string record = HexRecord(0x0000, 0, Bytes(0, 16));
    for (const Case c : {Case{HexRawLineLimit - record.size(), true}, Case{HexRawLineLimit - record.size() + 1, false}}) {
        const std::string line = record + std::string(c.padding, ' ');
        EXPECT_TRUE(Load(line + "\n" + HexRecord(0x0100, 0, {0x42}) + "\r\n"));
        EXPECT_EQ(At(0x0000), c.read ? 0x00 : 0xFF) << line.size();
        EXPECT_EQ(At(0x0100), 0x42) << line.size();
        EXPECT_EQ(Facts.RecordErrors, c.read ? 0u : 1u);
    }
    const std::string huge = ":" + std::string(200000, '0');
    EXPECT_TRUE(Load(huge + "\n" + HexRecord(0x0100, 0, {0x42}) + "\n"));
    EXPECT_EQ(Errors(), std::vector<std::string>{"1: longer than 599 characters"});
    EXPECT_EQ(At(0x0000), 0xFF);
    EXPECT_EQ(At(0x0100), 0x42);
    EXPECT_EQ(Image.LoadedExtent, 0x101u);
}

TEST_F(HexReader, LinesAcrossTheReadBlocksOfALargeFile) {
    // Pad so that records and an overlong line cross the reader's 64 KiB
    // blocks at every offset near the boundary.
    // Whether it is read in place or gathered across two blocks, an
    // overlong line is the same record error.
    std::string content;
    uint16_t address = 0;
    std::vector<std::pair<uint16_t, uint8_t>> expected;
    uint64_t line = 0, overlong = 0;
    while (content.size() < 3 * 65536) {
        const std::string record = HexRecord(address, 0, {static_cast<uint8_t>(address)});
        content += record + "\r\n";
        ++line;
        expected.emplace_back(address, static_cast<uint8_t>(address));
        address = static_cast<uint16_t>(address + 1);
        if (content.size() % 65536 > 65000 && content.size() % 65536 < 65100) {
            content += std::string(700, 'x') + "\n";
            ++line;
            ++overlong;
        }
    }
    EXPECT_TRUE(Load(content));
    for (const auto& [a, v] : expected) ASSERT_EQ(At(a), v) << a;
    EXPECT_EQ(Facts.RecordErrors, overlong);
    for (const HexRecordError& e : Facts.FirstErrors) EXPECT_EQ(e.Reason, "longer than 599 characters");
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

// Intel HEX under a name that does not say so, or in a pipe that can be read
// only once, is read as HEX by its content; other content as binary; a
// .hex name is HEX whatever it holds.
TEST_F(HexReader, ContentDecidesWhenTheNameDoesNotSay) {
    ApplyDeviceIndex(Image, 1);
    const std::string hex = "\r\n" + HexRecord(0x0100, 0, {0x42}) + "\r\n:00000001FF\r\n";
    struct Case {
        std::string name, content;
        bool hex, byContent;
        uint8_t at100;
    } cases[] = {
        {"fw.h86", hex, true, true, 0x42},
        {"fw.hex.txt", hex, true, true, 0x42},
        {"fw.IHX", hex, true, false, 0x42},
        {"fw.bin", std::string("\x02\x00\x30", 3) + std::string(0x100, '\x11'), false, false, 0x11},
        {"fw.hex", std::string("\x02\x00\x30", 3), true, false, 0xFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(Dir / c.name, c.content);
        ImageFileFacts facts;
        EXPECT_TRUE(ReadImageFile(Dir / c.name, Image, *Staging, Reporter, ImageFileFormat::ByContent, &facts));
        EXPECT_EQ(facts.Hex, c.hex);
        EXPECT_EQ(facts.ByContent, c.byContent);
        EXPECT_EQ(At(0x100), c.at100);
    }
    const auto fifo = Dir / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { test::WriteFile(fifo, hex); });
    ImageFileFacts facts;
    EXPECT_TRUE(ReadImageFile(fifo, Image, *Staging, Reporter, ImageFileFormat::ByContent, &facts));
    writer.join();
    EXPECT_TRUE(facts.ByContent);
    EXPECT_EQ(At(0x100), 0x42);
    EXPECT_EQ(facts.HexFacts.RecordErrors, 0u);
}

}  // namespace
}  // namespace pelk

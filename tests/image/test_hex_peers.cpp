// Round trips against the general-purpose converters srec_cat (srecord) and
// objcopy (binutils): they turn random images into HEX files that our reader
// must load to the same bytes, and they turn the files our writer makes back
// into the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "file_test_support.h"
#include "image/device_table.h"
#include "image/file_writer.h"
#include "image/hex_reader.h"

namespace pelk {
namespace {

using test::Quoted;

enum class Shape { Full, Below64KiB, Sparse };

struct PeerCase {
    const char* name;
    Shape shape;
};

// A random image; blank (0xFF) runs of several blocks in the sparse one,
// nothing above 0xFFFF in the 64 KiB one.
std::vector<uint8_t> RandomImage(Shape shape, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> image(ImageSize, 0xFF);
    const uint32_t end = shape == Shape::Below64KiB ? 0x10000 : ImageSize;
    for (uint32_t a = 0; a < end; ++a) image[a] = static_cast<uint8_t>(random());
    if (shape == Shape::Sparse) {
        for (uint32_t a = 0; a < ImageSize; a += 0x1000) {
            const uint32_t gap = (random() % 0x800) & ~0xFu;
            std::fill(image.begin() + a + 0x100, image.begin() + a + 0x100 + gap, 0xFF);
        }
        std::fill(image.begin() + 0xF000, image.begin() + 0x11000, 0xFF);  // nothing near the bank line
    }
    return image;
}

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class HexPeers : public ::testing::TestWithParam<PeerCase> {
protected:
    test::TempDir Dir;
    test::CollectingReporter Reporter;

    void SetUp() override {
        ASSERT_TRUE(std::string(PELK_SREC_CAT).size() && std::string(PELK_OBJCOPY).size())
            << "srec_cat and objcopy are needed (Debian packages srecord and binutils; ./dev deps installs them)";
    }

    // Loads a HEX file with the two-bank device (or device 1 for 64 KiB).
    std::vector<uint8_t> LoadWithOurReader(const std::filesystem::path& path, uint8_t device) {
        MemoryImage image;
        ApplyDeviceIndex(image, device);
        auto staging = std::make_unique<StagingBuffer>();
        staging->fill(0xFF);
        EXPECT_TRUE(ReadHexFile(path, image, *staging, Reporter));
        EXPECT_TRUE(Reporter.Messages.empty());
        return std::vector<uint8_t>(staging->begin(), staging->end());
    }
};

TEST_P(HexPeers, OurReaderLoadsWhatThePeersWrite) {
    const PeerCase c = GetParam();
    const auto bytes = RandomImage(c.shape, 11);
    const uint32_t size = c.shape == Shape::Below64KiB ? 0x10000 : ImageSize;
    const uint8_t device = c.shape == Shape::Below64KiB ? 1 : 6;
    const auto bin = Dir / "image.bin";
    test::WriteFile(bin, std::string(bytes.begin(), bytes.begin() + size));

    // srec_cat: 32-byte records, linear address records, blank runs left out.
    // objcopy: 16-byte records, segment address records, every byte written.
    const auto fromSrec = Dir / "srec.hex";
    const auto fromObjcopy = Dir / "objcopy.hex";
    ASSERT_TRUE(test::RunCommand(std::string(PELK_SREC_CAT) + " " + Quoted(bin) + " -binary -unfill 0xFF 16 -o " +
                                 Quoted(fromSrec) + " -intel"));
    ASSERT_TRUE(test::RunCommand(std::string(PELK_OBJCOPY) + " -I binary -O ihex " + Quoted(bin) + " " +
                                 Quoted(fromObjcopy)));
    for (const auto& file : {fromSrec, fromObjcopy}) {
        const auto loaded = LoadWithOurReader(file, device);
        EXPECT_TRUE(loaded == bytes) << file << " differs from the image it was made from";
    }
}

TEST_P(HexPeers, PeersReadWhatOurWriterWrites) {
    const PeerCase c = GetParam();
    const auto bytes = RandomImage(c.shape, 23);
    MemoryImage image;
    std::copy(bytes.begin(), bytes.end(), image.ImageBuffer.begin());
    const auto hex = Dir / "ours.hex";
    ASSERT_TRUE(WriteHexFile(hex, image, Reporter));

    const auto bySrec = Dir / "srec.bin";
    ASSERT_TRUE(test::RunCommand(std::string(PELK_SREC_CAT) + " " + Quoted(hex) + " -intel -fill 0xFF 0 0x20000 -o " +
                                 Quoted(bySrec) + " -binary"));
    EXPECT_TRUE(test::ReadBytes(bySrec) == bytes) << "srec_cat read a different image";

    // objcopy's binary output starts at the lowest address the file holds.
    const auto byObjcopy = Dir / "objcopy.bin";
    ASSERT_TRUE(test::RunCommand(std::string(PELK_OBJCOPY) + " -I ihex -O binary --gap-fill 0xFF --pad-to 0x20000 " +
                                 Quoted(hex) + " " + Quoted(byObjcopy)));
    uint32_t first = 0;
    while (first < ImageSize && bytes[first] == 0xFF) first += 16;
    const auto converted = test::ReadBytes(byObjcopy);
    EXPECT_TRUE(std::equal(bytes.begin() + first, bytes.end(), converted.begin(), converted.end()))
        << "objcopy read a different image";
}

INSTANTIATE_TEST_SUITE_P(Images, HexPeers,
                         ::testing::Values(PeerCase{"Full128KiB", Shape::Full},
                                           PeerCase{"Below64KiB", Shape::Below64KiB},
                                           PeerCase{"SparseAcrossBothBanks", Shape::Sparse}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace pelk

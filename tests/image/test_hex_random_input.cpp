// Random and damaged input for the HEX reader. Each line is handed over in a
// heap block of exactly its length, so the sanitizer build catches any read
// past the end of a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "file_test_support.h"
#include "hex_test_records.h"
#include "image/device_table.h"
#include "image/hex_reader.h"

namespace pelk {
namespace {

constexpr uint8_t Sentinel = 0xA5;

std::string RandomLine(std::mt19937& random) {
    static constexpr char chars[] = "0123456789ABCDEFabcdef:\r\n \0G-x\xFF";  // NUL included
    const std::string alphabet(chars, sizeof chars - 1);
    std::vector<uint8_t> data(random() % 40);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    std::string line = test::HexRecord(static_cast<uint16_t>(random()), static_cast<uint8_t>(random() % 7), data);
    switch (random() % 5) {
    case 0:  // cut anywhere
        line.resize(random() % (line.size() + 1));
        break;
    case 1:  // a few characters changed
        for (int k = random() % 4; k >= 0; --k) line[random() % line.size()] = alphabet[random() % alphabet.size()];
        break;
    case 2:  // a count that promises more than the line holds
        line[1] = "0123456789ABCDEF"[random() % 16];
        line[2] = "0123456789ABCDEF"[random() % 16];
        line.resize(random() % line.size() + 1);
        break;
    case 3: {  // noise
        line.assign(random() % 700, ' ');
        for (auto& ch : line) ch = alphabet[random() % alphabet.size()];
        if (!line.empty() && random() % 2) line[0] = ':';
        break;
    }
    default:
        break;
    }
    return line;
}

TEST(HexRandomInput, LinesNeverReachOutsideThemselvesOrTheDevice) {
    std::mt19937 random(2024);
    for (uint8_t device : {3, 1, 6}) {
        MemoryImage image;
        ApplyDeviceIndex(image, device);
        auto staging = std::make_unique<StagingBuffer>();
        staging->fill(Sentinel);
        HexRecordReader reader(*staging, image.LastAddress);
        for (int n = 0; n < 20000; ++n) {
            const std::string line = RandomLine(random);
            auto exact = std::make_unique<char[]>(line.size());
            std::copy(line.begin(), line.end(), exact.get());
            reader.HandleLine(std::string_view(exact.get(), line.size()));
        }
        EXPECT_LE(reader.LoadedExtent(), image.LastAddress + 1);
        EXPECT_TRUE(std::all_of(staging->begin() + image.LastAddress + 1, staging->end(),
                                [](uint8_t b) { return b == Sentinel; }))
            << "bytes above the device were written";
    }
}

TEST(HexRandomInput, TruncatedFileKeepsEveryCompleteRecordBeforeTheCut) {
    test::TempDir dir;
    std::mt19937 random(7);
    std::string content;
    std::vector<std::pair<size_t, uint16_t>> ends;  // end offset of each record's line, its address
    for (uint16_t a = 0; a < 0x400; a += 16) {
        content += test::HexRecord(a, 0, test::Bytes(static_cast<uint8_t>(a), 16)) + "\r\n";
        ends.emplace_back(content.size(), a);
    }
    MemoryImage image;
    ApplyDeviceIndex(image, 3);
    auto staging = std::make_unique<StagingBuffer>();
    test::CollectingReporter reporter;
    for (int n = 0; n < 200; ++n) {
        const size_t cut = random() % (content.size() + 1);
        test::WriteFile(dir / "cut.hex", content.substr(0, cut));
        reporter.Messages.clear();
        ASSERT_TRUE(ReadHexFile(dir / "cut.hex", image, *staging, reporter));
        for (const auto& [end, address] : ends) {
            if (end > cut) break;
            ASSERT_EQ((*staging)[address + 15], static_cast<uint8_t>(address + 15)) << "cut at " << cut;
        }
        EXPECT_LE(reporter.Messages.size(), 1u);
    }
}

}  // namespace
}  // namespace pelk

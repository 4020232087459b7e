// The example firmware is a well-formed Intel HEX file that the simulated
// target takes and verifies.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "pty_client.h"
#include "sim/simulated_target.h"

namespace pelk {
namespace {

using namespace pelk::test;

struct HexContents {
    std::map<uint32_t, uint8_t> Bytes;
    bool EndRecord = false;
    std::string Problem;  // empty when every record is sound
};

// A strict reading of the records the example uses: data (00) and end (01).
HexContents ReadHex(const std::string& text) {
    HexContents h;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto hexByte = [](const std::string& s, size_t at) { return uint8_t(std::stoul(s.substr(at, 2), nullptr, 16)); };
    while (std::getline(in, line)) {
        ++number;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (h.EndRecord) return h.Problem = where + "text after the end record", h;
        if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0 ||
            line.find_first_not_of("0123456789ABCDEF", 1) != std::string::npos)
            return h.Problem = where + "not a record", h;
        std::vector<uint8_t> rec;
        for (size_t i = 1; i < line.size(); i += 2) rec.push_back(hexByte(line, i));
        if (rec.size() != size_t(rec[0]) + 5) return h.Problem = where + "wrong byte count", h;
        uint8_t sum = 0;
        for (uint8_t b : rec) sum = uint8_t(sum + b);
        if (sum != 0) return h.Problem = where + "wrong checksum", h;
        const uint32_t address = uint32_t(rec[1]) << 8 | rec[2];
        if (rec[3] == 0x01) {
            if (rec[0] != 0 || address != 0) return h.Problem = where + "malformed end record", h;
            h.EndRecord = true;
        } else if (rec[3] == 0x00) {
            for (size_t i = 0; i < rec[0]; ++i) h.Bytes[address + uint32_t(i)] = rec[4 + i];
        } else {
            return h.Problem = where + "unexpected record type", h;
        }
    }
    if (!h.EndRecord) h.Problem = "no end record";
    return h;
}

TEST(ExampleFirmware, IsSmallWellFormedIntelHex) {
    const Bytes file = ReadFileBytes(std::filesystem::path(PELK_EXAMPLES_DIR) / "blinky.hex");
    ASSERT_FALSE(file.empty());
    EXPECT_LT(file.size(), 1024u);
    const HexContents hex = ReadHex(std::string(file.begin(), file.end()));
    EXPECT_EQ(hex.Problem, "");
    EXPECT_TRUE(hex.EndRecord);
    ASSERT_FALSE(hex.Bytes.empty());
    EXPECT_EQ(hex.Bytes.begin()->first, 0u) << "starts at the reset vector";
    EXPECT_LE(hex.Bytes.rbegin()->first, 0x7FFFu) << "fits the smallest device";
}

TEST(ExampleFirmware, ProgramsAndVerifiesOnTheSimulatedTarget) {
    const Bytes file = ReadFileBytes(std::filesystem::path(PELK_EXAMPLES_DIR) / "blinky.hex");
    const HexContents hex = ReadHex(std::string(file.begin(), file.end()));
    ASSERT_EQ(hex.Problem, "");
    Bytes image(0x8000, 0xFF);
    for (const auto& [address, value] : hex.Bytes) image[address] = value;

    SimulatedTargetOptions o;
    o.LastAddress = 0x7FFF;
    SimulatedTarget target(o);
    target.Start();
    PtyClient client(target.PortPath());
    ASSERT_TRUE(client.IsOpen());
    for (uint8_t command : {CmdProgram, CmdVerify}) {
        for (uint32_t a = 0; a < image.size(); a += BlockSize)
            ASSERT_EQ(client.Exchange(BlockFrame(command, a, image.data() + a), a == 0), ReplyDone) << a;
    }
    EXPECT_EQ(target.Flash(), image);
    image[hex.Bytes.rbegin()->first] ^= 0x01;
    EXPECT_EQ(client.Exchange(BlockFrame(CmdVerify, 0, image.data())), ReplyVerifyError);
}

}  // namespace
}  // namespace pelk

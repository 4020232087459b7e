#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol/rs232.h"

namespace pelk {
namespace {

uint16_t CrcOf(const std::string& s) { return LinkCrc(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// Direct, bit-by-bit CRC-16 of polynomial 0x8005 with initial value 0xF7FE:
// the same checksum written the other way round.
uint16_t DirectCrc(const std::vector<uint8_t>& data) {
    uint16_t r = 0xF7FE;
    for (uint8_t b : data) {
        r ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x8005 : r << 1);
    }
    return r;
}

TEST(LinkCrc, CheckValues) {
    EXPECT_EQ(CrcOf("123456789"), 0x0DE2);
    EXPECT_EQ(CrcOf("abc"), 0x4278);
    EXPECT_EQ(CrcOf(""), 0xF7FE);
}

TEST(LinkCrc, TableEntries) {
    struct {
        int i;
        uint16_t value;
    } cases[] = {{0x00, 0x0000}, {0x01, 0x8005}, {0x02, 0x800F}, {0x03, 0x000A},
                 {0x80, 0x8303}, {0xAA, 0x03FC}, {0xFF, 0x0202}};
    for (auto c : cases) {
        EXPECT_EQ(CrcTableHigh[c.i], c.value >> 8) << c.i;
        EXPECT_EQ(CrcTableLow[c.i], c.value & 0xFF) << c.i;
    }
}

TEST(LinkCrc, StartStepLeavesA956) {
    LinkCrcRegister reg;
    EXPECT_EQ(reg.High(), 0xA9);
    EXPECT_EQ(reg.Low(), 0x56);
}

TEST(LinkCrc, MatchesDirectFormOverRandomData) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 500; ++round) {
        std::vector<uint8_t> data(rng() % 300);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        ASSERT_EQ(LinkCrc(data.data(), data.size()), DirectCrc(data)) << "length " << data.size();
    }
}

TEST(ReplyFrames, WorkedExamples) {
    struct {
        std::vector<uint8_t> frame;
        std::vector<uint8_t> wire;
    } cases[] = {
        {MakeReplyFrame(1), {0x55, 0x04, 0x01, 0xA8, 0x0D}},
        {MakeReplyFrame(2), {0x55, 0x04, 0x02, 0xA8, 0x07}},
        {MakeReplyFrame(3), {0x55, 0x04, 0x03, 0x28, 0x02}},
        {MakeReplyFrame(9), {0x55, 0x04, 0x09, 0x28, 0x3E}},
        {MakeReplyFrame(12), {0x55, 0x04, 0x0C, 0x28, 0x20}},
        {MakeReplyFrame(7, 0x1234), {0x55, 0x07, 0x07, 0x00, 0x12, 0x34, 0xB2, 0x13}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.frame, c.wire);
}

TEST(CommandFrame, ProgramFrameOfErasedBlockEndsF558) {
    const TxFrameBytes f = MakeCommandFrame(CmdProgram, 0x12345, nullptr, 0xFF);
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 6), (std::vector<uint8_t>{0x99, 0x87, 0x01, 0x01, 0x23, 0x45}));
    const TxFrameBytes zero = MakeCommandFrame(CmdProgram, 0, nullptr, 0xFF);
    EXPECT_EQ(zero[134], 0xF5);
    EXPECT_EQ(zero[135], 0x58);
}

TEST(CommandFrame, AddressIsBigEndianAndCutTo24Bits) {
    TxFrameBytes f{};
    PutFrameAddress(f.data(), 0x1FF80);
    EXPECT_EQ(f[3], 0x01);
    EXPECT_EQ(f[4], 0xFF);
    EXPECT_EQ(f[5], 0x80);
    PutFrameAddress(f.data(), 0xAB123456);
    EXPECT_EQ(f[3], 0x12);
    EXPECT_EQ(f[4], 0x34);
    EXPECT_EQ(f[5], 0x56);
}

TEST(CommandFrame, ChecksumCoversStaleDataBlock) {
    TxFrameBytes f = MakeCommandFrame(CmdErase, 0);
    const auto before = f;
    f[TxDataOffset + 5] = 0x42;
    BuildCommandFrame(f, CmdErase, 0, nullptr);  // the data block is kept
    EXPECT_EQ(f[TxDataOffset + 5], 0x42);
    EXPECT_NE(std::make_pair(before[134], before[135]), std::make_pair(f[134], f[135]));
}

// CheckReplyCrc on a reply stored the way the receiver stores it.
ReplyReceiver Stored(std::vector<uint8_t> wire) {
    ReplyReceiver r;
    for (uint8_t b : wire) r.TakeByte(b);
    return r;
}

TEST(CheckReplyCrc, AcceptsAndRejects) {
    EXPECT_TRUE(Stored({0x55, 0x04, 0x01, 0xA8, 0x0D}).CheckReplyCrc());
    EXPECT_FALSE(Stored({0x55, 0x04, 0x01, 0x0D, 0xA8}).CheckReplyCrc()) << "swapped checksum bytes";
    EXPECT_FALSE(Stored({0x55, 0x04, 0x01, 0xA8, 0x0C}).CheckReplyCrc());
}

TEST(CheckReplyCrc, LengthBelowFourIsAFailure) {
    for (uint8_t L = 0; L < 4; ++L) {
        // Whatever the two bytes after the code hold, such a reply fails.
        for (int guess = 0; guess < 0x10000; guess += 0x0101) {
            ReplyReceiver r = Stored({0x55, L, 0x01, uint8_t(guess >> 8), uint8_t(guess)});
            ASSERT_EQ(r.RxCount, 4);
            ASSERT_FALSE(r.CheckReplyCrc()) << int(L);
        }
    }
}

TEST(CheckReplyCrc, LongerReplyWithCodeOneIsAccepted) {
    auto seven = MakeReplyFrame(1, 0x000000);
    EXPECT_EQ(seven[1], 7);
    ReplyReceiver r = Stored(seven);
    EXPECT_TRUE(r.CheckReplyCrc());
    EXPECT_EQ(r.Code(), 1);
}

}  // namespace
}  // namespace pelk

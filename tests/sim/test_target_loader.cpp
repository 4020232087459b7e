#include <gtest/gtest.h>

#include "protocol/rs232.h"
#include "sim/target_loader.h"

namespace pelk {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t command, uint32_t address, uint8_t fill = 0xFF) {
    const TxFrameBytes f = MakeCommandFrame(command, address, nullptr, fill);
    return Bytes(f.begin(), f.end());
}

class TargetLoaderTest : public ::testing::Test {
protected:
    TargetLoader Target{0x7FFF};
    Bytes Send(const Bytes& bytes) {
        Bytes out;
        Target.Receive(bytes.data(), bytes.size(), out);
        return out;
    }
};

TEST_F(TargetLoaderTest, AnswersEachCommand) {
    struct {
        const char* name;
        Bytes frame;
        Bytes reply;
    } steps[] = {
        {"blank at start", Frame(CmdBlankCheck, 0), MakeReplyFrame(ReplyBlank)},
        {"program block 0x100 with 0x00", Frame(CmdProgram, 0x100, 0x00), MakeReplyFrame(ReplyDone)},
        {"verify it", Frame(CmdVerify, 0x100, 0x00), MakeReplyFrame(ReplyDone)},
        {"verify against other data", Frame(CmdVerify, 0x100, 0x01), MakeReplyFrame(ReplyVerifyError)},
        {"not blank any more", Frame(CmdBlankCheck, 0), MakeReplyFrame(ReplyNotBlank, 0x100)},
        {"programming 1s over 0s fails", Frame(CmdProgram, 0x100, 0x01), MakeReplyFrame(ReplyProgramError, 0x100)},
        {"block beyond the device", Frame(CmdProgram, 0x8000), MakeReplyFrame(ReplyAddressOutOfRange)},
        {"verify beyond the device", Frame(CmdVerify, 0x7F81), MakeReplyFrame(ReplyAddressOutOfRange)},
        {"erase", Frame(CmdErase, 0), MakeReplyFrame(ReplyDone)},
        {"blank again", Frame(CmdBlankCheck, 0), MakeReplyFrame(ReplyBlank)},
        {"unknown command", Frame(0x42, 0), {}},
    };
    for (const auto& s : steps) EXPECT_EQ(Send(s.frame), s.reply) << s.name;
}

TEST_F(TargetLoaderTest, BadChecksumAsksForTheFrameAgain) {
    Bytes f = Frame(CmdProgram, 0, 0x00);
    f[50] ^= 0x80;
    EXPECT_EQ(Send(f), MakeReplyFrame(ReplySendAgain));
    EXPECT_EQ(Target.Flash()[44], 0xFF) << "a bad frame programs nothing";
}

TEST_F(TargetLoaderTest, SkipsPreambleAndNoiseAndTakesFramesInPieces) {
    Bytes stream{0x55, 0xFF, 0xFF, 0x00, 0x99, 0x12};  // preamble, noise, a false sync
    const Bytes f = Frame(CmdErase, 0);
    stream.insert(stream.end(), f.begin(), f.end());
    Bytes out;
    for (uint8_t b : stream) Target.Receive(&b, 1, out);
    EXPECT_EQ(out, MakeReplyFrame(ReplyDone));
    EXPECT_EQ(Target.Stats().Frames, 1u);
}

TEST_F(TargetLoaderTest, ProgrammingStopsAtTheFirstFailingByte) {
    Target.Flash()[0x205] = 0x00;
    Bytes f = Frame(CmdProgram, 0x200, 0x5A);
    EXPECT_EQ(Send(f), MakeReplyFrame(ReplyProgramError, 0x205));
    EXPECT_EQ(Target.Flash()[0x204], 0x5A);
    EXPECT_EQ(Target.Flash()[0x206], 0xFF);
}

TEST(TargetLoaderSize, LastBlockOfEachSizeIsAccepted) {
    for (uint32_t last : {0x7FFFu, 0xFFFFu, 0x1FFFFu}) {
        TargetLoader t(last);
        Bytes out;
        Bytes f = Frame(CmdProgram, last - 127, 0x00);
        t.Receive(f.data(), f.size(), out);
        EXPECT_EQ(out, MakeReplyFrame(ReplyDone)) << std::hex << last;
        out.clear();
        Bytes g = Frame(CmdVerify, last + 1, 0x00);
        t.Receive(g.data(), g.size(), out);
        EXPECT_EQ(out, MakeReplyFrame(ReplyAddressOutOfRange)) << std::hex << last;
    }
}

}  // namespace
}  // namespace pelk

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "image/device_table.h"
#include "support/recording_port.h"

namespace pelk {
namespace {

using test::EngineRig;
using Bytes = std::vector<uint8_t>;

const Bytes Preamble(LinkPreamble.begin(), LinkPreamble.end());

Bytes ExpectedFrame(uint8_t command, uint32_t address, const uint8_t* data) {
    const TxFrameBytes f = MakeCommandFrame(command, address, data);
    return Bytes(f.begin(), f.end());
}

class EngineTest : public ::testing::Test {
protected:
    EngineRig Rig;
    std::unique_ptr<TargetLoader> Target;

    void SelectDevice(uint8_t index) { ApplyDeviceIndex(Rig.Image, index); }
    void RandomImage(uint32_t seed) {
        std::mt19937 rng(seed);
        for (auto& b : Rig.Image.ImageBuffer) b = static_cast<uint8_t>(rng());
    }
    void ConnectTarget(uint32_t lastAddress) {
        Target = std::make_unique<TargetLoader>(lastAddress);
        Rig.Link.Target = Target.get();
    }
    // Checks the whole Program/Verify stream: lone preamble at tick 0, then
    // 5 ticks later the preamble and block 0, then every further block as one
    // 136-byte write with nothing in between.
    void ExpectBlockStream(uint8_t command) {
        const auto& w = Rig.Link.Writes;
        const uint32_t blocks = (Rig.Image.LastAddress + 1) / BlockSize;
        ASSERT_EQ(w.size(), 3u + (blocks - 1));
        EXPECT_EQ(w[0].Bytes, Preamble);
        EXPECT_EQ(w[0].Tick, 0u);
        EXPECT_EQ(w[1].Bytes, Preamble);
        EXPECT_EQ(w[1].Tick, uint64_t(StartDelayTicks));
        for (uint32_t k = 0; k < blocks; ++k) {
            const auto& rec = w[2 + k];
            const uint32_t a = k * BlockSize;
            ASSERT_EQ(rec.Bytes, ExpectedFrame(command, a, Rig.Image.ImageBuffer.data() + a)) << "block " << a;
            ASSERT_EQ(rec.Tick, uint64_t(StartDelayTicks)) << "block " << a << " waited for a tick";
        }
    }
};

TEST_F(EngineTest, ProgramOf64KDeviceSendsExactStreamAndEnds) {
    // An image whose every block holds data: the data-block plan is the
    // whole device, and its walk is the same byte for byte and tick for tick.
    for (const bool skipBlank : {false, true}) {
        SCOPED_TRACE(skipBlank ? "data blocks" : "whole device");
        Rig.Link.Writes.clear();
        Rig.View.ProgressHistory.clear();
        Rig.Link.Tick = 0;
        Rig.Engine.SetSkipBlankBlocks(skipBlank);
        SelectDevice(1);
        RandomImage(7);
        ConnectTarget(0xFFFF);
        Rig.Engine.StartProgram();
        EXPECT_EQ(Rig.View.Last(), "Programming...");
        Rig.RunToEnd();
        ExpectBlockStream(CmdProgram);
        EXPECT_EQ(Rig.View.Last(), "Device programmed.");
        EXPECT_EQ(Rig.View.Progress, 0);
        EXPECT_FALSE(Rig.Engine.AwaitingReply());
        EXPECT_TRUE(std::equal(Target->Flash().begin(), Target->Flash().end(), Rig.Image.ImageBuffer.begin()));

        // Progress: 0 at the start, 1, 3, ..., 998 per block, 0 at the end.
        const auto& p = Rig.View.ProgressHistory;
        ASSERT_EQ(p.size(), 1u + 511u + 1u);
        EXPECT_EQ(p.front(), 0);
        EXPECT_EQ(p[1], 1);
        EXPECT_EQ(p[2], 3);
        EXPECT_EQ(p[511], 998);
        EXPECT_EQ(p.back(), 0);
    }
}

TEST_F(EngineTest, VerifySendsTheSameStreamWithCommandTwo) {
    SelectDevice(3);
    RandomImage(8);
    ConnectTarget(0x7FFF);
    std::copy(Rig.Image.ImageBuffer.begin(), Rig.Image.ImageBuffer.begin() + 0x8000, Target->Flash().begin());
    Rig.Engine.StartVerify();
    EXPECT_EQ(Rig.View.Last(), "Verifying...");
    Rig.RunToEnd();
    ExpectBlockStream(CmdVerify);
    EXPECT_EQ(Rig.View.Last(), "Verification OK.");
    EXPECT_EQ(Rig.View.Progress, 0);
}

TEST_F(EngineTest, VerifyReportsADifference) {
    SelectDevice(3);
    ConnectTarget(0x7FFF);
    Target->Flash()[0x4321] = 0x00;
    Rig.Engine.StartVerify();
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Verification error.");
    EXPECT_EQ(Rig.View.Progress, 0);
    EXPECT_EQ(Rig.Engine.Operation(), OpNone);
    // The block holding 0x4321 was the last one sent.
    EXPECT_EQ(Rig.Link.Writes.back().Bytes[4], 0x43);
    EXPECT_EQ(Rig.Link.Writes.back().Bytes[5], 0x00);
}

TEST_F(EngineTest, LastBlockOf128KDeviceIs1FF80) {
    SelectDevice(6);
    RandomImage(9);
    ConnectTarget(0x1FFFF);
    Rig.Engine.StartProgram();
    Rig.RunToEnd();
    ExpectBlockStream(CmdProgram);
    const auto& last = Rig.Link.Writes.back().Bytes;
    EXPECT_EQ(Bytes(last.begin() + 3, last.begin() + 6), (Bytes{0x01, 0xFF, 0x80}));
    EXPECT_EQ(Rig.View.Last(), "Device programmed.");
    // The floor of 1 holds the bar at 1 for block 0x80 (0x80 / 0x1FFFF * 1000 < 1).
    EXPECT_EQ(Rig.View.ProgressHistory[1], 1);
    EXPECT_EQ(Rig.View.ProgressHistory[2], 1);
}

TEST_F(EngineTest, SilentTargetGetsTenTransmissionsThenNotResponding) {
    Rig.Engine.StartProgram();
    Rig.RunToEnd();
    const auto& w = Rig.Link.Writes;
    ASSERT_EQ(w.size(), 1u + 2u * TransmissionsPerFrame);
    const Bytes frame0 = ExpectedFrame(CmdProgram, 0, Rig.Image.ImageBuffer.data());
    for (int k = 0; k < TransmissionsPerFrame; ++k) {
        const uint64_t tick = StartDelayTicks + uint64_t(k) * ReplyTimeoutTicks;
        EXPECT_EQ(w[1 + 2 * k].Bytes, Preamble);
        EXPECT_EQ(w[1 + 2 * k].Tick, tick);
        EXPECT_EQ(w[2 + 2 * k].Bytes, frame0);
        EXPECT_EQ(w[2 + 2 * k].Tick, tick);
    }
    EXPECT_EQ(Rig.Link.Tick, StartDelayTicks + uint64_t(TransmissionsPerFrame) * ReplyTimeoutTicks);
    EXPECT_EQ(Rig.View.Last(), "Microcontroller is not responding.");
    EXPECT_EQ(Rig.Engine.Operation(), OpNone);
    EXPECT_EQ(Rig.View.Progress, 0);
}

TEST_F(EngineTest, BadChecksumThenGoodReplyResendsAtOnceAndGoesOn) {
    ConnectTarget(0xFFFF);
    int replies = 0;
    Rig.Link.ReplyFilter = [&](Bytes& r) {
        if (replies++ == 0) r.back() ^= 0x01;
    };
    Rig.Engine.StartErase();
    for (int i = 0; i < StartDelayTicks; ++i) Rig.Tick();
    const auto& w = Rig.Link.Writes;
    ASSERT_EQ(w.size(), 5u);
    const Bytes frame = ExpectedFrame(CmdErase, 0, nullptr);
    EXPECT_EQ(w[3].Bytes, Preamble);
    EXPECT_EQ(w[4].Bytes, frame);
    EXPECT_EQ(w[4].Tick, w[2].Tick) << "the resend waits for no tick";
    EXPECT_EQ(Rig.View.Last(), "Device erased.");
    EXPECT_EQ(Target->Stats().Erase, 2u);
}

// Every copy of a frame counts against the ten, whatever made it go: a
// target that answers each one with a bad checksum, or asks for each one
// again, gets ten, and the run says why it ended.
TEST_F(EngineTest, EveryTransmissionCountsAgainstTheTen) {
    struct Case {
        const char* name;
        std::function<void(Bytes&)> filter;
        std::string message;
    } cases[] = {
        {"bad checksums", [](Bytes& r) { r.back() ^= 0x01; },
         "Microcontroller is not responding. Replies from the microcontroller are corrupt (bad checksum)."},
        {"send again", [](Bytes& r) { r = MakeReplyFrame(ReplySendAgain); },
         "Microcontroller is not responding. The microcontroller asked for every copy of the frame again."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineRig rig;
        TargetLoader target(0xFFFF);
        rig.Link.Target = &target;
        rig.Link.ReplyFilter = c.filter;
        rig.Engine.StartErase();
        const uint64_t ticks = rig.RunToEnd();
        EXPECT_EQ(target.Stats().Erase, TransmissionsPerFrame);
        EXPECT_EQ(rig.View.Last(), c.message);
        EXPECT_EQ(ticks, uint64_t(StartDelayTicks)) << "the last answer ends it; no time-out is waited for";
        EXPECT_FALSE(rig.Engine.Pending());
    }
}

TEST_F(EngineTest, AddressOutOfRangeShowsCurrentAddress) {
    SelectDevice(1);  // the tool believes in 64 KiB, the target has 32 KiB
    ConnectTarget(0x7FFF);
    Rig.Engine.StartProgram();
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Adress: 08000 out of device memory space.");
    EXPECT_EQ(Rig.Engine.CurrentAddress(), 0x8000u);
    EXPECT_EQ(Rig.View.Progress, 0);

    // During Erase, code 2 shows the address that the last Program left.
    Rig.Link.Target = nullptr;
    Rig.Engine.StartErase();
    for (int i = 0; i < StartDelayTicks; ++i) Rig.Tick();
    Rig.Link.Feed(MakeReplyFrame(ReplyAddressOutOfRange));
    Rig.Deliver();
    EXPECT_EQ(Rig.View.Last(), "Adress: 08000 out of device memory space.");
}

TEST_F(EngineTest, CodeTwoWithNoProgramEverRunShowsZero) {
    Rig.Engine.StartErase();
    for (int i = 0; i < StartDelayTicks; ++i) Rig.Tick();
    Rig.Link.Feed(MakeReplyFrame(ReplyAddressOutOfRange));
    Rig.Deliver();
    EXPECT_EQ(Rig.View.Last(), "Adress: 00000 out of device memory space.");
    EXPECT_EQ(Rig.Engine.Operation(), OpNone);
}

TEST_F(EngineTest, CodeOneDuringBlankCheckIsIgnoredAndTheFrameRepeated) {
    Rig.Engine.StartBlankCheck();
    for (int i = 0; i < StartDelayTicks; ++i) Rig.Tick();
    Rig.Link.Feed(MakeReplyFrame(ReplyDone));
    Rig.Deliver();
    EXPECT_EQ(Rig.View.Last(), "Blank checking...");
    EXPECT_EQ(Rig.Engine.Operation(), OpBlankCheck);
    const size_t before = Rig.Link.Writes.size();
    for (uint32_t i = 0; i < ReplyTimeoutTicks - 1; ++i) Rig.Tick();
    EXPECT_EQ(Rig.Link.Writes.size(), before);
    Rig.Tick();
    ASSERT_EQ(Rig.Link.Writes.size(), before + 2);
    EXPECT_EQ(Rig.Link.Writes.back().Bytes, ExpectedFrame(CmdBlankCheck, 0, nullptr));
    EXPECT_EQ(Rig.Link.Writes.back().Tick, uint64_t(StartDelayTicks) + ReplyTimeoutTicks);
}

TEST_F(EngineTest, EraseStartedDuringProgramReplacesIt) {
    ConnectTarget(0xFFFF);
    int replies = 0;
    Rig.Link.ReplyFilter = [&](Bytes& r) {
        if (++replies > 100) r.clear();  // the target falls silent after 100 blocks
    };
    Rig.Engine.StartProgram();
    for (int i = 0; i < StartDelayTicks; ++i) Rig.Tick();
    const int progress = Rig.View.Progress;
    ASSERT_GT(progress, 0);
    const size_t progressCalls = Rig.View.ProgressHistory.size();
    Rig.Link.ReplyFilter = nullptr;

    Rig.Engine.StartErase();
    EXPECT_EQ(Rig.Engine.Operation(), OpErase);
    EXPECT_EQ(Rig.View.Last(), "Erasing...");
    EXPECT_EQ(Rig.View.ProgressHistory.size(), progressCalls) << "Erase leaves the bar alone";
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Device erased.");
    EXPECT_EQ(Rig.View.Progress, progress);
    for (const auto& m : Rig.View.Messages) EXPECT_NE(m, "Stopped.");
    // The Erase frame keeps the Program's last data block (it is not refreshed).
    EXPECT_EQ(Rig.Engine.TxFrame()[2], CmdErase);
    EXPECT_TRUE(std::equal(Rig.Engine.TxFrame().begin() + TxDataOffset, Rig.Engine.TxFrame().begin() + TxDataOffset + BlockSize,
                           Rig.Image.ImageBuffer.begin() + Rig.Engine.CurrentAddress()));
}

TEST_F(EngineTest, TargetErrorsEndWithTheirMessages) {
    struct Case {
        const char* name;
        void (OperationEngine::*start)();
        Bytes reply;
        std::string message;
        bool progressReset;
    } cases[] = {
        {"program error", &OperationEngine::StartProgram, MakeReplyFrame(ReplyProgramError, 0x1234),
         "Programming error at adress: 01234", true},
        {"not erased", &OperationEngine::StartErase, MakeReplyFrame(ReplyNotErased, 0x1FF80),
         "Device not erased at adress: 1FF80", false},
        {"not blank", &OperationEngine::StartBlankCheck, MakeReplyFrame(ReplyNotBlank, 0x00010),
         "Device not blank at adress: 00010", false},
        {"verify error", &OperationEngine::StartVerify, MakeReplyFrame(ReplyVerifyError), "Verification error.", true},
        // A reply of length 4 carries no address, only its checksum there.
        {"not erased, no address", &OperationEngine::StartErase, MakeReplyFrame(ReplyNotErased), "Device not erased.", false},
        {"program error, no address", &OperationEngine::StartProgram, MakeReplyFrame(ReplyProgramError), "Programming error.", true},
        {"blank", &OperationEngine::StartBlankCheck, MakeReplyFrame(ReplyBlank), "Device is blank.", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineRig rig;
        rig.View.SetProgress(500);
        (rig.Engine.*c.start)();
        for (int i = 0; i < StartDelayTicks; ++i) rig.Tick();
        const size_t writes = rig.Link.Writes.size();
        rig.Link.Feed(c.reply);
        rig.Deliver();
        EXPECT_EQ(rig.View.Last(), c.message);
        EXPECT_EQ(rig.Engine.Operation(), OpNone);
        EXPECT_FALSE(rig.Engine.AwaitingReply());
        if (c.progressReset) EXPECT_EQ(rig.View.Progress, 0);
        else EXPECT_EQ(rig.View.Progress, 500);
        // Nothing more goes to the target, however long we wait.
        for (int i = 0; i < 2000; ++i) rig.Tick();
        EXPECT_EQ(rig.Link.Writes.size(), writes);
    }
}

TEST_F(EngineTest, ProgrammingOverDataFailsAtTheFirstStuckByte) {
    ConnectTarget(0xFFFF);
    Target->Flash()[0x0105] = 0x0F;
    Rig.Image.ImageBuffer[0x0105] = 0xF0;  // needs bits to go from 0 to 1
    Rig.Engine.StartProgram();
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Programming error at adress: 00105");
    EXPECT_EQ(Rig.View.Progress, 0);
}

TEST_F(EngineTest, StopEndsTheOperationAndSendsNothingMore) {
    Rig.Engine.Stop();
    EXPECT_TRUE(Rig.View.Messages.empty()) << "Stop with no operation is silent";

    // Stop inside the start delay: the first transmission never goes out.
    Rig.Engine.StartProgram();
    Rig.Tick();
    Rig.Engine.Stop();
    EXPECT_EQ(Rig.View.Last(), "Stopped.");
    EXPECT_EQ(Rig.Engine.Operation(), OpNone);
    EXPECT_EQ(Rig.Engine.StartDelay(), 0);
    const size_t writes = Rig.Link.Writes.size();
    for (int i = 0; i < 3000; ++i) Rig.Tick();
    EXPECT_EQ(Rig.Link.Writes.size(), writes);

    // Stop while waiting for a reply.
    Rig.Engine.StartVerify();
    for (int i = 0; i < StartDelayTicks + 3; ++i) Rig.Tick();
    Rig.View.SetProgress(250);
    Rig.Engine.Stop();
    EXPECT_EQ(Rig.View.Last(), "Stopped.");
    EXPECT_EQ(Rig.View.Progress, 0);
    EXPECT_FALSE(Rig.Engine.AwaitingReply());
    const size_t after = Rig.Link.Writes.size();
    for (int i = 0; i < 3000; ++i) Rig.Tick();
    EXPECT_EQ(Rig.Link.Writes.size(), after);
}

TEST_F(EngineTest, StartDiscardsWaitingBytesButKeepsReceiverState) {
    Rig.Link.Feed({0x55, 0x04});  // half a reply already taken by the receiver
    Rig.Deliver();
    ASSERT_EQ(Rig.Engine.Receiver().RxState, ReplyReceiver::Receiving);
    Rig.Link.Feed({0x11, 0x22, 0x33});
    Rig.Engine.StartErase();
    EXPECT_TRUE(Rig.Link.Input.empty());
    EXPECT_EQ(Rig.Engine.Receiver().RxState, ReplyReceiver::Receiving);
    EXPECT_EQ(Rig.Engine.Receiver().RxCount, 1);
}

TEST_F(EngineTest, ClosedPortGivesNotRespondingAfterTwentySeconds) {
    // A closed port takes nothing and answers nothing: the engine times out.
    struct ClosedPort : Port {
        int ReadBufUsed() override { return 0; }
        int ReadBuf(void*, int) override { return 0; }
        std::string ReadText() override { return {}; }
        int WriteBuf(const void*, int) override { return 0; }
    } closed;
    test::RecordingView view;
    MemoryImage image;
    OperationEngine engine(image, closed, view);
    int ticks = 0;
    engine.SetClock([&] { return ticks * TickMs; });
    engine.StartErase();
    while ((engine.Operation() != OpNone || engine.StartDelay()) && ticks < 5000) {
        ++ticks;
        engine.TimerTimer();
    }
    EXPECT_EQ(ticks, StartDelayTicks + TransmissionsPerFrame * int(ReplyTimeoutTicks));
    EXPECT_EQ(view.Last(), "Microcontroller is not responding.");
}

// A target slower than the reply time-out: each reply comes 250 ticks after
// its frame, so every frame goes out twice and two replies come for it. The
// second must never be taken for the next block's: a chip whose last block
// differs fails, a good one passes, whatever the walk.
TEST_F(EngineTest, ReplyToAnEarlierCopyNeverConfirmsTheNextBlock) {
    struct Due {
        uint64_t Tick;
        Bytes Reply;
    };
    for (const bool lastDiffers : {true, false}) {
        SCOPED_TRACE(lastDiffers ? "last block differs" : "chip equal to the image");
        EngineRig rig;
        TargetLoader target(0xFFFF);
        rig.Link.Target = &target;
        rig.Engine.SetSkipBlankBlocks(true);
        rig.Image.ImageBuffer[0x0000] = 0x12;
        rig.Image.ImageBuffer[0x0100] = 0x34;
        std::copy(rig.Image.ImageBuffer.begin(), rig.Image.ImageBuffer.begin() + 0x10000, target.Flash().begin());
        if (lastDiffers) target.Flash()[0x0100] = 0x00;
        std::vector<Due> due;
        rig.Link.ReplyFilter = [&](Bytes& r) {
            due.push_back({rig.Link.Tick + 250, r});
            r.clear();
        };
        rig.Engine.StartVerify();
        for (uint64_t t = 0; t < 20000 && rig.Engine.Pending(); ++t) {
            for (auto it = due.begin(); it != due.end();) {
                if (it->Tick > rig.Link.Tick) {
                    ++it;
                    continue;
                }
                rig.Link.Feed(it->Reply);
                it = due.erase(it);
            }
            rig.Deliver();
            rig.Tick();
        }
        EXPECT_EQ(rig.View.Last(), lastDiffers ? "Verification error." : "Verification OK.");
        EXPECT_EQ(target.Stats().Verify, 4u) << "each of the two blocks went out twice";
    }
}

// The data-block plan: blocks of 128 aligned to 128, inside 0..LastAddress,
// holding at least one byte other than 0xFF.
TEST(BlockPlanTest, DataBlocksOfEachDevice) {
    struct Case {
        const char* name;
        uint8_t device;
        std::vector<uint32_t> changed;  // bytes set to something other than 0xFF
        std::vector<uint32_t> blocks;
    } cases[] = {
        {"no data", 1, {}, {}},
        {"first and last byte, 32 KiB", 3, {0x0000, 0x7FFF}, {0x0000, 0x7F80}},
        {"first and last byte, 64 KiB", 1, {0x0000, 0xFFFF}, {0x0000, 0xFF80}},
        {"first and last byte, 128 KiB", 6, {0x0000, 0x1FFFF}, {0x0000, 0x1FF80}},
        {"bank 1 of the W77E532", 6, {0x10000, 0x1007F, 0x10080, 0x18000}, {0x10000, 0x10080, 0x18000}},
        {"beyond the device is left out", 3, {0x7F80, 0x8000, 0x1FFFF}, {0x7F80}},
        {"both ends of one block, one entry", 1, {0x0100, 0x017F}, {0x0100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryImage image;
        ApplyDeviceIndex(image, c.device);
        for (uint32_t a : c.changed) image.ImageBuffer[a] = 0xFE;
        const BlockPlan plan = BlockPlan::DataBlocks(image);
        EXPECT_FALSE(plan.WholeDevice);
        EXPECT_EQ(plan.Blocks, c.blocks);
    }
    // 0x00 is data as much as any other value but 0xFF.
    MemoryImage image;
    image.ImageBuffer[0x0200] = 0x00;
    EXPECT_EQ(BlockPlan::DataBlocks(image).Blocks, std::vector<uint32_t>{0x0200});
    EXPECT_TRUE(BlockPlan::Whole().WholeDevice);
}

class PlanWalkTest : public EngineTest {
protected:
    // Device 1 with data in three blocks that are not side by side.
    void ThreeDataBlocks() {
        SelectDevice(1);
        for (uint32_t a : {0x0010u, 0x2345u, 0xFFFFu}) Rig.Image.ImageBuffer[a] = 0x12;
        Rig.Engine.SetSkipBlankBlocks(true);
    }
    static constexpr uint32_t Plan[] = {0x0000, 0x2300, 0xFF80};
    // Block frames written, in order, and whether each came after a preamble.
    std::vector<std::pair<uint32_t, bool>> FramesSent() const {
        std::vector<std::pair<uint32_t, bool>> frames;
        const auto& w = Rig.Link.Writes;
        for (size_t i = 0; i < w.size(); ++i) {
            if (w[i].Bytes.size() != TxFrameSize) continue;
            const uint32_t a = uint32_t(w[i].Bytes[3]) << 16 | uint32_t(w[i].Bytes[4]) << 8 | w[i].Bytes[5];
            EXPECT_EQ(w[i].Bytes, ExpectedFrame(w[i].Bytes[2], a, Rig.Image.ImageBuffer.data() + a));
            frames.push_back({a, i > 0 && w[i - 1].Bytes == Preamble});
        }
        return frames;
    }
};

TEST_F(PlanWalkTest, EraseProgramVerifyOfDataBlocksLeavesTheChipEqualToTheImage) {
    ThreeDataBlocks();
    ConnectTarget(0xFFFF);
    std::fill(Target->Flash().begin(), Target->Flash().end(), 0x5A);  // whatever an earlier run left
    Rig.Engine.StartErase();
    Rig.RunToEnd();
    Rig.Link.Writes.clear();
    Rig.View.ProgressHistory.clear();
    Rig.Engine.StartProgram();
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Device programmed.");
    // The lone preamble, then the preamble and the first data block, then
    // the other data blocks at once, each as one 136-byte write.
    EXPECT_EQ(Rig.Link.Writes[0].Bytes, Preamble);
    EXPECT_EQ(FramesSent(), (std::vector<std::pair<uint32_t, bool>>{{0x0000, true}, {0x2300, false}, {0xFF80, false}}));
    EXPECT_EQ(Rig.Link.Writes.size(), 4u + 1u);
    // Progress counts the plan's three blocks.
    EXPECT_EQ(Rig.View.ProgressHistory, (std::vector<int>{0, 128 * 1000 / 383, 256 * 1000 / 383, 0}));

    Rig.Engine.StartVerify();
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Verification OK.");
    EXPECT_EQ(Target->Stats().Verify, 3u);
    EXPECT_TRUE(std::equal(Target->Flash().begin(), Target->Flash().end(), Rig.Image.ImageBuffer.begin()));
}

TEST_F(PlanWalkTest, CorruptedReplyInTheMiddleResendsTheSameBlock) {
    ThreeDataBlocks();
    ConnectTarget(0xFFFF);
    int replies = 0;
    Rig.Link.ReplyFilter = [&](Bytes& r) {
        if (++replies == 2) r.back() ^= 0x01;  // the reply to block 0x2300
    };
    Rig.Engine.StartProgram();
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Device programmed.");
    EXPECT_EQ(FramesSent(),
              (std::vector<std::pair<uint32_t, bool>>{{0x0000, true}, {0x2300, false}, {0x2300, true}, {0xFF80, false}}));
}

TEST_F(PlanWalkTest, TargetSilentInTheMiddleGetsTheBlockTenTimes) {
    ThreeDataBlocks();
    ConnectTarget(0xFFFF);
    int replies = 0;
    Rig.Link.ReplyFilter = [&](Bytes& r) {
        if (++replies > 1) r.clear();  // falls silent after block 0
    };
    Rig.Engine.StartProgram();
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Microcontroller is not responding.");
    EXPECT_EQ(Rig.View.Progress, 0);
    const auto frames = FramesSent();
    ASSERT_EQ(frames.size(), 1u + TransmissionsPerFrame);
    for (size_t k = 1; k < frames.size(); ++k) EXPECT_EQ(frames[k], (std::pair<uint32_t, bool>{0x2300, k > 1}));
    EXPECT_FALSE(Rig.Engine.Pending());
    EXPECT_FALSE(Rig.Ticks.Needed);
}

TEST_F(PlanWalkTest, NoDataBlocksEndsAtOnceWithNothingSent) {
    Rig.Engine.SetSkipBlankBlocks(true);
    for (auto start : {&OperationEngine::StartProgram, &OperationEngine::StartVerify}) {
        // Also replaces an Erase that still waits for its first transmission.
        Rig.Engine.StartErase();
        Rig.Link.Writes.clear();
        Rig.View.Messages.clear();
        (Rig.Engine.*start)();
        // Nothing was checked, so nothing may read as a success.
        EXPECT_EQ(Rig.View.Messages, std::vector<std::string>{start == &OperationEngine::StartProgram
                                                                  ? "Nothing to program: every byte of the device is FF."
                                                                  : "Nothing to verify: every byte of the device is FF."});
        EXPECT_EQ(Rig.View.Progress, 0);
        EXPECT_FALSE(Rig.Engine.Pending());
        EXPECT_FALSE(Rig.Ticks.Needed);
        for (int i = 0; i < 3000; ++i) Rig.Tick();
        EXPECT_TRUE(Rig.Link.Writes.empty());
    }
}

TEST_F(EngineTest, TicksAreNeededOnlyWhileSomethingIsPending) {
    ConnectTarget(0xFFFF);
    EXPECT_EQ(Rig.Ticks.Calls, 0u);
    Rig.Engine.StartErase();
    EXPECT_TRUE(Rig.Ticks.Needed) << "the start delay";
    Rig.RunToEnd();
    EXPECT_EQ(Rig.View.Last(), "Device erased.");
    EXPECT_FALSE(Rig.Ticks.Needed);

    // A stray byte arms the inter-byte timer: ticks until it runs out.
    Rig.Link.Target = nullptr;
    Rig.Link.Feed({0x55});
    Rig.Deliver();
    EXPECT_TRUE(Rig.Ticks.Needed);
    for (uint32_t i = 0; i < ByteTimeoutTicks; ++i) Rig.Tick();
    EXPECT_FALSE(Rig.Ticks.Needed);

    Rig.Engine.StartBlankCheck();
    Rig.Engine.Stop();
    EXPECT_FALSE(Rig.Ticks.Needed) << "Stop leaves nothing pending";

    // A write that throws still leaves the tick source told: the operation
    // it started is pending.
    struct FailingPort : test::RecordingPort {
        int WriteBuf(const void*, int) override { throw std::runtime_error("Output buffer full"); }
    } failing;
    test::RecordingTicks ticks;
    OperationEngine engine(Rig.Image, failing, Rig.View);
    engine.SetTickSource(&ticks);
    EXPECT_THROW(engine.StartProgram(), std::runtime_error);
    EXPECT_TRUE(ticks.Needed);
}

}  // namespace
}  // namespace pelk

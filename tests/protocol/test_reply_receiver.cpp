// The reply receiver, driven through the engine as the port's received-bytes
// event drives it.
#include <gtest/gtest.h>

#include "support/recording_port.h"

namespace pelk {
namespace {

using test::EngineRig;
using Bytes = std::vector<uint8_t>;

class ReplyReceiverTest : public ::testing::Test {
protected:
    EngineRig Rig;

    // Starts an operation and lets its first frame go out.
    void Begin(void (OperationEngine::*start)()) {
        (Rig.Engine.*start)();
        for (int i = 0; i < StartDelayTicks; ++i) Rig.Tick();
        Rig.Link.Writes.clear();
        Rig.View.Messages.clear();
    }
    void Event(const Bytes& bytes) {
        Rig.Link.Feed(bytes);
        Rig.Engine.ReceiveReplyBytes();
    }
    // A valid reply of length L whose filler bytes are `fill`.
    static Bytes ReplyOfLength(uint8_t L, uint8_t code, uint8_t fill = 0) {
        Bytes f(size_t(L) + 1, fill);
        f[0] = ReplySync;
        f[1] = L;
        f[2] = code;
        AppendFrameCrc(f.data());
        return f;
    }
    size_t Resends() const {
        size_t n = 0;
        for (const auto& w : Rig.Link.Writes)
            if (w.Bytes == Bytes(LinkPreamble.begin(), LinkPreamble.end())) ++n;
        return n;
    }
};

TEST_F(ReplyReceiverTest, NoiseBeforeSyncIsIgnored) {
    Begin(&OperationEngine::StartErase);
    Event({0x00, 0x12, 0x55, 0x04, 0x01, 0xA8, 0x0D});
    EXPECT_EQ(Rig.View.Messages, std::vector<std::string>{"Device erased."});
    EXPECT_EQ(Rig.Engine.Operation(), OpNone);
}

TEST_F(ReplyReceiverTest, ReplySplitOneBytePerEventIsDispatchedOnceAtItsLastByte) {
    Begin(&OperationEngine::StartErase);
    const Bytes reply{0x55, 0x04, 0x01, 0xA8, 0x0D};
    for (size_t i = 0; i < reply.size(); ++i) {
        EXPECT_TRUE(Rig.View.Messages.empty()) << "dispatched early, at byte " << i;
        Event({reply[i]});
    }
    EXPECT_EQ(Rig.View.Messages, std::vector<std::string>{"Device erased."});
}

TEST_F(ReplyReceiverTest, TwoRepliesInOneEventAreDispatchedInOrder) {
    Begin(&OperationEngine::StartErase);
    std::vector<std::string> log;
    Rig.Link.Log = &log;
    Rig.View.Log = &log;
    Bytes both = MakeReplyFrame(ReplySendAgain);
    Bytes done = MakeReplyFrame(ReplyDone);
    both.insert(both.end(), done.begin(), done.end());
    Event(both);
    // The resend of the first reply goes out before the second one ends the erase.
    EXPECT_EQ(log, (std::vector<std::string>{"write 3", "write 136", "Device erased."}));
}

TEST_F(ReplyReceiverTest, LongestReplyIsDispatchedAtIts133rdByte) {
    Begin(&OperationEngine::StartBlankCheck);
    Bytes reply = ReplyOfLength(133, ReplyBlank, 0x55);
    ASSERT_EQ(reply.size(), 134u);
    Event(Bytes(reply.begin(), reply.end() - 1));
    EXPECT_TRUE(Rig.View.Messages.empty());
    Event({reply.back()});
    EXPECT_EQ(Rig.View.Messages, std::vector<std::string>{"Device is blank."});
}

TEST_F(ReplyReceiverTest, ReplyTooLongIsAbandonedAtIts134thByte) {
    Begin(&OperationEngine::StartBlankCheck);
    Bytes reply(1 + 134, 0x00);
    reply[0] = ReplySync;
    reply[1] = 134;
    reply[2] = ReplyBlank;
    Event(Bytes(reply.begin(), reply.end() - 1));
    EXPECT_EQ(Rig.Engine.Receiver().RxState, ReplyReceiver::Receiving);
    EXPECT_EQ(Rig.Engine.Receiver().RxCount, 133);
    Event({0x55});  // the 134th byte is dropped, even a sync byte
    EXPECT_EQ(Rig.Engine.Receiver().RxState, ReplyReceiver::Idle);
    EXPECT_EQ(Rig.Engine.Receiver().RxCount, 0);
    EXPECT_TRUE(Rig.View.Messages.empty());
    EXPECT_EQ(Resends(), 0u);
    Event(MakeReplyFrame(ReplyBlank));
    EXPECT_EQ(Rig.View.Messages, std::vector<std::string>{"Device is blank."});
}

TEST_F(ReplyReceiverTest, PauseOfNineTicksKeepsTheReplyTenTicksDropIt) {
    const Bytes reply = MakeReplyFrame(ReplyBlank);
    for (int pause : {9, 10}) {
        SCOPED_TRACE(pause);
        Begin(&OperationEngine::StartBlankCheck);
        Event(Bytes(reply.begin(), reply.begin() + 3));
        for (int t = 0; t < pause; ++t) Rig.Tick();
        Event(Bytes(reply.begin() + 3, reply.end()));
        if (pause == 9) {
            EXPECT_EQ(Rig.View.Messages, std::vector<std::string>{"Device is blank."});
        } else {
            EXPECT_TRUE(Rig.View.Messages.empty());
            EXPECT_EQ(Rig.Engine.Receiver().RxState, ReplyReceiver::Idle);
            EXPECT_EQ(Rig.Engine.Operation(), OpBlankCheck);
        }
    }
}

TEST_F(ReplyReceiverTest, SyncByteInsideAReplyIsData) {
    Begin(&OperationEngine::StartBlankCheck);
    Bytes reply = MakeReplyFrame(ReplyNotBlank, 0x555555);
    Event(reply);
    EXPECT_EQ(Rig.View.Messages, std::vector<std::string>{"Device not blank at adress: 555555"});
}

// A reply that comes while no frame waits for one answers nothing: with no
// operation running, or while a new one waits for its first transmission.
// It makes the engine send nothing (a resent Erase frame would erase the
// chip again) and end nothing.
TEST_F(ReplyReceiverTest, ReplyWithNoFrameAwaitedIsDropped) {
    struct {
        const char* name;
        Bytes reply;
    } cases[] = {
        {"code 3", MakeReplyFrame(ReplySendAgain)},
        {"bad checksum", {0x55, 0x04, 0x01, 0xA8, 0x0E}},
        {"length byte below 4", {0x55, 0x02, 0x01, 0x00, 0x00}},
        {"code 2", MakeReplyFrame(ReplyAddressOutOfRange)},
        {"code 1", MakeReplyFrame(ReplyDone)},
    };
    for (const auto& c : cases) {
        for (const bool starting : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (starting ? ", in the start delay" : ", no operation"));
            EngineRig rig;
            if (starting) rig.Engine.StartProgram();
            rig.Link.Writes.clear();
            rig.View.Messages.clear();
            rig.Link.Feed(c.reply);
            rig.Engine.ReceiveReplyBytes();
            EXPECT_TRUE(rig.Link.Writes.empty());
            EXPECT_TRUE(rig.View.Messages.empty());
            EXPECT_EQ(rig.Engine.Operation(), starting ? OpProgram : OpNone);
        }
    }
}

TEST_F(ReplyReceiverTest, CodeOneWithNoOperationDoesNothing) {
    Event(MakeReplyFrame(ReplyDone));
    EXPECT_TRUE(Rig.Link.Writes.empty());
    EXPECT_TRUE(Rig.View.Messages.empty());
    EXPECT_EQ(Rig.Engine.Receiver().RxState, ReplyReceiver::Idle);
}

}  // namespace
}  // namespace pelk

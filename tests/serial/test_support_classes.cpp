// The serial component's support classes: write buffer, events, critical
// sections, option groups, client mechanism and utilities.
#include <gtest/gtest.h>

#include <ostream>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "pty_support.h"
#include "recording_client.h"
#include "serial/vacomm.h"
#include "serial/vaobjects.h"
#include "serial/vaprst.h"
#include "serial/vautils.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;

std::string Held(TVaCommBuffer& b) { return std::string(reinterpret_cast<char*>(b.DataPtr()), static_cast<size_t>(b.Count())); }

// --- TVaCommBuffer ---------------------------------------------------------------

TEST(CommBufferTest, RemoveMovesTheLaterBytesToTheStart) {
    TVaCommBuffer b(16);
    b.Write("abc", 3);
    b.Write("defg", 4);
    b.Remove(3);
    EXPECT_EQ(Held(b), "defg");
    char out[2];
    EXPECT_EQ(b.Read(out, 2), 2);
    EXPECT_EQ(std::string(out, 2), "de");
    EXPECT_EQ(Held(b), "fg");
}

TEST(CommBufferTest, PeekLeavesTheBytes) {
    TVaCommBuffer b(8);
    b.Write("xyz", 3);
    char out[8];
    EXPECT_EQ(b.Peek(out, 8), 3);  // no more than it holds
    EXPECT_EQ(std::string(out, 3), "xyz");
    EXPECT_EQ(b.Count(), 3);
}

TEST(CommBufferTest, RemovingMoreThanHeldEmptiesTheBuffer) {
    TVaCommBuffer b(8);
    b.Write("xyz", 3);
    b.Remove(10);
    EXPECT_EQ(b.Count(), 0);
}

TEST(CommBufferTest, ClearForgetsWithoutMovingAndWriteBeyondCapacityIsRefused) {
    TVaCommBuffer b(4);
    b.Write("abcd", 4);
    const uint8_t* start = b.DataPtr();
    b.Clear();
    EXPECT_EQ(b.Count(), 0);
    EXPECT_EQ(std::memcmp(start, "abcd", 4), 0);
    b.Write("12", 2);
    EXPECT_THROW(b.Write("345", 3), std::length_error);
    EXPECT_EQ(Held(b), "12");
}

// --- Events and critical sections --------------------------------------------------

TEST(EventTest, ManualResetEventStaysSetUntilReset) {
    TVaWaitEvent e;
    EXPECT_EQ(e.WaitFor(0), wrTimeout);
    e.SetEvent();
    EXPECT_EQ(e.WaitFor(0), wrSignaled);
    EXPECT_EQ(e.WaitFor(INFINITE), wrSignaled);
    e.ResetEvent();
    EXPECT_EQ(e.WaitFor(10), wrTimeout);
}

TEST(EventTest, AutoResetEventIsTakenByTheWaitThatSeesIt) {
    TVaEvent e(nullptr, false, true, "");
    EXPECT_EQ(e.WaitFor(0), wrSignaled);
    EXPECT_EQ(e.WaitFor(0), wrTimeout);
}

TEST(EventTest, WaitIsEndedBySetEventFromAnotherThread) {
    TVaWaitEvent e;
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        e.SetEvent();
    });
    EXPECT_EQ(e.WaitFor(INFINITE), wrSignaled);
    setter.join();
}

struct FirstCase {
    bool Stop, Purge, Data;
    int Expected;
};

void PrintTo(const FirstCase& c, std::ostream* os) { *os << "stop " << c.Stop << " purge " << c.Purge << " data " << c.Data; }

class WaitForFirstTest : public ::testing::TestWithParam<FirstCase> {};

TEST_P(WaitForFirstTest, LowestSignalledIndexWins) {
    const FirstCase c = GetParam();
    TVaWaitEvent stop, purge, data;
    if (c.Stop) stop.SetEvent();
    if (c.Purge) purge.SetEvent();
    if (c.Data) data.SetEvent();
    EXPECT_EQ(VaWaitForFirst({&stop, &purge, &data}, c.Expected < 0 ? 10 : INFINITE), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Precedence, WaitForFirstTest,
                         ::testing::Values(FirstCase{true, true, true, 0}, FirstCase{false, true, true, 1},
                                           FirstCase{false, false, true, 2}, FirstCase{true, false, true, 0},
                                           FirstCase{false, false, false, -1}));

TEST(CriticalSectionTest, HolderMayEnterAgainOthersWait) {
    TVaCriticalSection cs;
    cs.Acquire();
    cs.Enter();  // re-entered by the holder
    std::atomic<bool> otherGot{true};
    std::thread other([&] { otherGot = cs.try_lock(); });
    other.join();
    EXPECT_FALSE(otherGot.load());
    cs.Leave();
    cs.Release();
    std::thread again([&] {
        otherGot = cs.try_lock();
        if (otherGot) cs.unlock();
    });
    again.join();
    EXPECT_TRUE(otherGot.load());
}

// --- Option groups -----------------------------------------------------------------

template <class Group>
struct Counted {
    Group G;
    int Changes = 0;
    Counted() {
        G.OnChange = [this](TObject*) { ++Changes; };
    }
};

TEST(OptionGroupTest, AssignOfThreeDifferingSettingsReportsOneChange) {
    Counted<TVaFlowControl> target;
    TVaFlowControl source;
    source.SetOutCtsFlow(true);
    source.SetControlRts(rtsHandshake);
    source.SetXonXoffIn(true);
    target.G.Assign(source);
    EXPECT_EQ(target.Changes, 1);
    EXPECT_TRUE(target.G.OutCtsFlow());
    EXPECT_EQ(target.G.ControlRts(), rtsHandshake);
    EXPECT_TRUE(target.G.XonXoffIn());
    EXPECT_EQ(target.G.UpdateCount(), 0);
}

TEST(OptionGroupTest, SettersReportOnlyRealChanges) {
    Counted<TVaFlowControl> fc;
    fc.G.SetXonXoffOut(false);  // already false
    EXPECT_EQ(fc.Changes, 0);
    fc.G.SetXonXoffOut(true);
    EXPECT_EQ(fc.Changes, 1);
    Counted<TVaBuffers> buffers;
    buffers.G.SetReadSize(4096);
    EXPECT_EQ(buffers.Changes, 0);
    buffers.G.SetWriteSize(100);
    buffers.G.SetReadTimeout(5);  // a plain value: no notice
    EXPECT_EQ(buffers.Changes, 1);
    EXPECT_THROW(buffers.G.SetReadSize(-1), ERangeError);
    EXPECT_EQ(buffers.G.ReadSize(), 4096);
}

TEST(OptionGroupTest, EndUpdateWithoutBeginUpdateReportsAChange) {
    Counted<TVaBuffers> b;
    b.G.EndUpdate();
    EXPECT_EQ(b.Changes, 1);
    EXPECT_EQ(b.G.UpdateCount(), 0);
}

TEST(OptionGroupTest, OutermostEndUpdateReportsOnceEvenWithoutChanges) {
    Counted<TVaBuffers> b;
    b.G.BeginUpdate();
    b.G.BeginUpdate();
    b.G.SetWriteSize(10);
    b.G.EndUpdate();
    EXPECT_EQ(b.Changes, 0);
    b.G.EndUpdate();
    EXPECT_EQ(b.Changes, 1);
}

TEST(OptionGroupTest, SetEventCharWithTheCurrentValueStillReportsAChange) {
    Counted<TVaEventChars> chars;
    chars.G.SetEventChar(1, 17);  // XonChar is 17 already
    EXPECT_EQ(chars.Changes, 1);
    chars.G.SetEventChar(9, 'x');  // no such character: nothing stored, still a notice
    EXPECT_EQ(chars.Changes, 2);
    EXPECT_EQ(chars.G.XonChar(), 17);
}

TEST(OptionGroupTest, AssigningEventCharsCopiesAllFiveCharacters) {
    TVaEventChars source;
    const char values[5] = {1, 2, 3, 4, 5};
    for (int i = 1; i <= 5; ++i) source.SetEventChar(i, values[i - 1]);
    Counted<TVaEventChars> target;
    target.G.Assign(source);
    EXPECT_EQ(target.Changes, 1);
    EXPECT_EQ(target.G.XonChar(), 1);
    EXPECT_EQ(target.G.XoffChar(), 2);
    EXPECT_EQ(target.G.ErrorChar(), 3);
    EXPECT_EQ(target.G.EventChar(), 4);
    EXPECT_EQ(target.G.EofChar(), 5);
}

TEST(OptionGroupTest, AssignFromAnotherClassIsRefused) {
    TVaBuffers buffers;
    TVaFlowControl flow;
    EXPECT_THROW(buffers.Assign(flow), EConvertError);
}

TEST(OptionGroupTest, ACopyBelongsToNoOwner) {
    Counted<TVaFlowControl> owned;
    TVaFlowControl copy = owned.G;
    copy.SetOutCtsFlow(true);
    EXPECT_EQ(owned.Changes, 0);
}

TEST(OptionGroupTest, DefaultsAreTheDocumentedOnes) {
    TVaBuffers b;
    EXPECT_EQ(b.ReadSize(), 4096);
    EXPECT_EQ(b.WriteSize(), 2048);
    EXPECT_EQ(b.ReadTimeout(), 1000);
    EXPECT_EQ(b.WriteTimeout(), 1000);
    TVaEventChars c;
    EXPECT_EQ(c.XonChar(), 17);
    EXPECT_EQ(c.XoffChar(), 19);
}

// --- Clients -------------------------------------------------------------------------

TEST(ClientTest, SetCommAttachesAndDetaches) {
    TVaComm comm;
    test::RecordingClient client;
    client.SetComm(&comm);
    EXPECT_EQ(comm.ClientCount(), 1);
    EXPECT_EQ(client.Dispatcher().Comm(), &comm);
    client.SetComm(nullptr);
    EXPECT_EQ(comm.ClientCount(), 0);
    EXPECT_EQ(client.Dispatcher().Comm(), nullptr);
}

TEST(ClientTest, CommRemovedFromItsOwnerIsLetGo) {
    TVaComponent owner;
    TVaComm comm(&owner);
    test::RecordingClient client(&owner);
    client.SetComm(&comm);
    owner.RemoveComponent(&comm);
    EXPECT_EQ(client.Comm(), nullptr);
    EXPECT_EQ(comm.ClientCount(), 0);
}

TEST(ClientTest, DestroyedCommIsLetGoAlsoWithAnotherOwner) {
    test::RecordingClient client;
    {
        TVaComm comm;
        client.SetComm(&comm);
    }
    EXPECT_EQ(client.Comm(), nullptr);
    EXPECT_EQ(client.Dispatcher().Comm(), nullptr);
    client.SetComm(nullptr);  // must not touch the freed port
}

TEST(ClientTest, DestroyedClientLeavesThePortsList) {
    TVaComm comm;
    {
        test::RecordingClient client;
        client.SetComm(&comm);
        EXPECT_EQ(comm.ClientCount(), 1);
    }
    EXPECT_EQ(comm.ClientCount(), 0);
}

TEST(ClientTest, DispatcherWithoutPortDoesNothing) {
    test::RecordingClient client;
    TVaDispatcher& d = client.Dispatcher();
    EXPECT_EQ(d.WriteBuf("ab", 2), 0);
    EXPECT_FALSE(d.WriteText("ab"));
    EXPECT_FALSE(d.WriteChar('a'));
    d.PurgeRead();
    d.SetDTRState(true);
}

TEST(ClientTest, InactiveDispatcherPassesNothingOn) {
    test::RecordingClient client;
    client.SetActive(false);
    const uint8_t bytes[] = {1, 2};
    client.Dispatcher().DataEvent(bytes, 2);
    client.Dispatcher().LineEvent(EV_ERR);
    EXPECT_TRUE(client.Data.empty());
    EXPECT_TRUE(client.Lines.empty());
    client.SetActive(true);
    client.Dispatcher().LineEvent(EV_ERR);
    EXPECT_EQ(client.Lines, std::vector<uint32_t>{EV_ERR});
}

// --- Utilities --------------------------------------------------------------------------

struct StrCtrlCase {
    const char* In;
    std::string Out;
};

void PrintTo(const StrCtrlCase& c, std::ostream* os) { *os << c.In; }

class StrCtrlTest : public ::testing::TestWithParam<StrCtrlCase> {};

TEST_P(StrCtrlTest, CaretNotation) { EXPECT_EQ(StrCtrl(GetParam().In), GetParam().Out); }

INSTANTIATE_TEST_SUITE_P(Cases, StrCtrlTest,
                         ::testing::Values(StrCtrlCase{"^A", std::string(1, '\x01')},
                                           StrCtrlCase{"^a", std::string(1, '\x01')},
                                           StrCtrlCase{"^1", "^1"}, StrCtrlCase{"x^Zy", "x\x1Ay"},
                                           StrCtrlCase{"ab^^cd", "ab"}, StrCtrlCase{"plain", "plain"},
                                           StrCtrlCase{"^", ""}));

TEST(TimerTest, ZeroTimeoutExpiresOnlyAfterTheTickHasAdvanced) {
    TVaTimeEvent t;
    t.StartTick = 5000;
    t.Timeout = 0;
    EXPECT_FALSE(TimerExpiredAt(t, 5000));
    EXPECT_TRUE(TimerExpiredAt(t, 5001));
}

TEST(TimerTest, TheCountersWrapIsHarmless) {
    TVaTimeEvent t;
    t.StartTick = 0xFFFFFFF0u;
    t.Timeout = 100;
    EXPECT_FALSE(TimerExpiredAt(t, 0x00000010u));  // 32 ms later
    EXPECT_TRUE(TimerExpiredAt(t, 0x00000060u));   // 112 ms later
}

TEST(TimerTest, RealTimerExpires) {
    TVaTimeEvent t;
    InitTimer(t, 0);
    SysDelay(2, false);
    EXPECT_TRUE(TimerExpired(t));
}

TEST(UtilityTest, SmallHelpers) {
    EXPECT_EQ(MinInteger(-3, 2), -3);
    EXPECT_EQ(CN(0), ' ');
    EXPECT_EQ(CN('a'), 'a');
    EXPECT_TRUE(BitOn(0x81, 0x80));
    EXPECT_FALSE(BitOn(0x01, 0x80));
    EXPECT_TRUE(BitOff(0x01, 0x80));
    EXPECT_EQ(AddPathSlash("dir"), "dir/");
    EXPECT_EQ(AddPathSlash("dir/"), "dir/");
    EXPECT_EQ(AddPathSlash(""), "");
    int* p = new int(3);
    FreeObject(p);
    EXPECT_EQ(p, nullptr);
}

TEST(UtilityTest, FileSizeAndUniqueNames) {
    test::TempDir dir{test::WorkIn::TheFolder};
    EXPECT_EQ(GetFileSize("nothing.bin"), -1);
    std::ofstream("image.hex") << "12345";
    EXPECT_EQ(GetFileSize("image.hex"), 5);
    EXPECT_EQ(CreateUniqueFileName("new.hex"), "new.hex");
    EXPECT_EQ(CreateUniqueFileName("image.hex"), "image-1.hex");
    std::ofstream("image-1.hex") << "x";
    EXPECT_EQ(CreateUniqueFileName("image.hex"), "image-2.hex");
}

TEST(UtilityTest, PortStateProbe) {
    test::TempDir dir{test::WorkIn::TheFolder};
    test::PtyPair pty;
    dir.Link("COM1", pty.SlavePath());
    EXPECT_EQ(GetPortState(1), 1);
    dir.Link("COM7", "/nonexistent/device");
    EXPECT_EQ(GetPortState(7), 2);
}

}  // namespace
}  // namespace pelk

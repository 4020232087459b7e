// The life of an open port's threads: late deliveries after Close or after
// the component is gone, a main thread that goes away, and a device that
// hangs up.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>

#include "comm_fixture.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;
using test::CommTest;

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class LifeTest : public CommTest {};

TEST_F(LifeTest, CloseWhileADeliveryIsQueuedThenDestroyTouchesNothingFreed) {
    bool handled = false;
    Comm->OnRxChar = [&](TVaCustomComm*, int) { handled = true; };
    Comm->Open();
    Pty.Send("late");
    ASSERT_TRUE(Rig.Queue->WaitForQueued(1, 5s));
    Comm->Close();
    Comm.reset();
    // The delivery runs now, after the component is gone.
    EXPECT_GE(Rig.Queue->PumpAll(), 1);
    EXPECT_TRUE(Rig.PumpUntilThreadsEnd());
    EXPECT_FALSE(handled);
}

TEST_F(LifeTest, DestroyingAnOpenPortWithATransmitReportQueued) {
    int txEmpty = 0;
    Comm->OnTxEmpty = [&](TObject*) { ++txEmpty; };
    Comm->Open();
    Comm->WriteBuf("abc", 3);
    ASSERT_TRUE(Rig.Queue->WaitForQueued(1, 5s));
    Comm.reset();  // closes: the threads are told to stop
    EXPECT_TRUE(Rig.PumpUntilThreadsEnd());
    EXPECT_EQ(txEmpty, 0);
}

TEST_F(LifeTest, CloseFromInsideTheHandlerEndsTheDeliveries) {
    int calls = 0;
    Comm->OnRxChar = [&](TVaCustomComm* Sender, int) {
        ++calls;
        Sender->Close();
    };
    Comm->Open();
    Pty.Send("a");
    ASSERT_TRUE(Rig.PumpUntil([&] { return calls == 1; }));
    EXPECT_FALSE(Comm->Active());
    Pty.Send("b");
    Rig.PumpFor(50ms);
    EXPECT_EQ(calls, 1);
    Comm->Open();  // the device was released
    EXPECT_TRUE(Comm->Active());
}

TEST_F(LifeTest, RepeatedOpenAndCloseWithTrafficLeavesNothingBehind) {
    Comm->OnRxChar = [&](TVaCustomComm* Sender, int) { Sender->ReadText(); };
    for (int i = 0; i < 20; ++i) {
        Comm->Open();
        Comm->WriteBuf("ping", 4);
        Pty.Send("pong");
        if (i % 2) Rig.Queue->PumpOne(20ms);
        Comm->Close();
        Pty.Drain(1ms);
    }
    EXPECT_TRUE(Rig.PumpUntilThreadsEnd());
}

TEST_F(LifeTest, MainThreadGoneReleasesTheWorkers) {
    Comm->Open();
    Pty.Send("x");
    ASSERT_TRUE(Rig.Queue->WaitForQueued(1, 5s));
    Rig.Queue->Shutdown();  // the application is ending
    Comm->Close();
    EXPECT_TRUE(TThread::WaitForAll(5s));
}

TEST_F(LifeTest, WithoutADispatcherWorkersEndInsteadOfBlocking) {
    auto old = SetMainThreadDispatcher(nullptr);
    Comm->Open();
    Pty.Send("x");
    Comm->WriteBuf("y", 1);
    EXPECT_EQ(Receive(1), "y");
    Comm->Close();
    EXPECT_TRUE(TThread::WaitForAll(5s));
    SetMainThreadDispatcher(old);
}

// Write calls the whole process has made so far (every thread's).
uint64_t ProcessWriteCalls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "syscw:") return value;
    return 0;
}

TEST_F(LifeTest, HangUpIsReportedOnceAndThenNothingIsWrittenAndNothingSpins) {
    std::vector<std::string> hangUps;
    bool activeWhenRaised = false;
    Comm->OnHangUp = [&](TVaCustomComm* Sender, const std::string& Message) {
        hangUps.push_back(Message);
        activeWhenRaised = Sender->Active();
    };
    int errors = 0;
    Comm->OnError = [&](TVaCustomComm*, uint32_t) { ++errors; };
    Comm->Open();
    EXPECT_EQ(Comm->DevicePath(), Pty.SlavePath()) << "the COM1 link names the device it points to";
    ASSERT_EQ(Comm->WriteBuf("before", 6), 6);
    EXPECT_EQ(Receive(6), "before");
    Pty.CloseMaster();  // the far side hangs up while the port is open
    ASSERT_TRUE(Rig.PumpUntil([&] { return !hangUps.empty(); }));
    EXPECT_TRUE(activeWhenRaised);
    EXPECT_EQ(hangUps, std::vector<std::string>{"Device " + Pty.SlavePath() + " hung up or was removed"});
    EXPECT_TRUE(Comm->HungUp());

    // Queries and purges find an empty device and raise nothing.
    EXPECT_EQ(Comm->ReadBufUsed(), 0);
    EXPECT_EQ(Comm->ReadText(), "");
    Comm->PurgeReadWrite();
    const double before = ProcessCpuSeconds();
    Rig.PumpFor(1000ms);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.1) << "the threads spin on the dead device";
    // Writes are accepted and dropped without a single write call (of any
    // kind: not even a signal to the write thread). The sanitizers' own
    // checks write to a pipe of theirs, so the count is checked only
    // without them.
    const uint64_t writesBefore = ProcessWriteCalls();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(Comm->WriteBuf("frame", 5), 5);
    EXPECT_EQ(Comm->WriteBufUsed(), 0);
    Rig.PumpFor(200ms);
#ifndef __SANITIZE_ADDRESS__
    EXPECT_EQ(ProcessWriteCalls(), writesBefore) << "something was written after the hang-up";
#else
    (void)writesBefore;
#endif
    EXPECT_EQ(hangUps.size(), 1u);
    EXPECT_EQ(errors, 0);
    EXPECT_TRUE(Rig.Reports.empty()) << Rig.Reports.front();
    Comm->Close();
    EXPECT_FALSE(Comm->Active());
}

TEST_F(LifeTest, HangUpWithOnlyTheWriteThreadIsReportedByIt) {
    int hangUps = 0;
    Comm->SetMonitorEvents({});  // no event thread
    Comm->OnHangUp = [&](TVaCustomComm* Sender, const std::string&) {
        ++hangUps;
        Sender->Close();  // the handler may close the port
    };
    Comm->Open();
    ASSERT_FALSE(Comm->HasEventThread());
    Pty.CloseMaster();
    ASSERT_TRUE(Rig.PumpUntil([&] { return hangUps > 0; }));
    EXPECT_FALSE(Comm->Active());
    Rig.PumpFor(100ms);
    EXPECT_EQ(hangUps, 1);
}

TEST_F(LifeTest, HangUpWhileTheEventThreadDeliversIsReportedByIt) {
    int hangUps = 0;
    Comm->SetDirectWrite(true);  // no write thread: the event thread alone watches the line
    Comm->OnHangUp = [&](TVaCustomComm*, const std::string&) { ++hangUps; };
    Comm->OnRxChar = [&](TVaCustomComm* Sender, int) { Sender->ReadText(); };
    Comm->Open();
    ASSERT_FALSE(Comm->HasWriteThread());
    Pty.Send("x");
    ASSERT_TRUE(Rig.Queue->WaitForQueued(1, 5000ms));  // the event thread waits in its hand-over
    Pty.CloseMaster();  // and the line goes away meanwhile
    ASSERT_TRUE(Rig.PumpUntil([&] { return hangUps > 0; }));
    Rig.PumpFor(100ms);
    EXPECT_EQ(hangUps, 1);
}

TEST_F(LifeTest, UnreadBytesOnAHungUpLineCostNoProcessorTime) {
    Comm->Open();  // no OnRxChar: the bytes stay in the queue
    Pty.Send("unread");
    ASSERT_TRUE(Rig.PumpUntil([&] { return Comm->ReadBufUsed() == 6; }));
    const double before = ProcessCpuSeconds();
    Rig.PumpFor(500ms);
    Pty.CloseMaster();
    Pty.CloseSlave();
    Rig.PumpFor(500ms);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.1);
}

}  // namespace
}  // namespace pelk

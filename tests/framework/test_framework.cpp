// The class-framework stand-in: Format, component owner and notices,
// persistent assignment, the worker thread, the main-thread hand-over and
// the report of unhandled exceptions.
#include <gtest/gtest.h>

#include <ostream>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <atomic>
#include <chrono>
#include <thread>

#include "framework/component.h"
#include "framework/exception.h"
#include "framework/format.h"
#include "framework/main_thread.h"
#include "framework/thread.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;

// --- Format ------------------------------------------------------------------

struct FormatCase {
    const char* Fmt;
    std::vector<FormatArg> Args;
    const char* Expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.Fmt; }

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, FillsPlaceholdersInOrder) {
    const FormatCase& c = GetParam();
    std::string out;
    switch (c.Args.size()) {
        case 0: out = Format(c.Fmt, {}); break;
        case 1: out = Format(c.Fmt, {c.Args[0]}); break;
        case 2: out = Format(c.Fmt, {c.Args[0], c.Args[1]}); break;
        default: out = Format(c.Fmt, {c.Args[0], c.Args[1], c.Args[2]}); break;
    }
    EXPECT_EQ(out, c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatTest,
    ::testing::Values(FormatCase{"COM%d", {3LL}, "COM3"}, FormatCase{"/dev/ttyUSB0", {3LL}, "/dev/ttyUSB0"},
                      FormatCase{"Error writing dcb (%d), %s", {22LL, std::string("Invalid argument")},
                                 "Error writing dcb (22), Invalid argument"},
                      FormatCase{"Unable to open specified device %s (%d), %s",
                                 {std::string("COM0"), 2LL, std::string("No such file or directory")},
                                 "Unable to open specified device COM0 (2), No such file or directory"},
                      FormatCase{"%05X|%-3d|%%", {0xABCLL, 7LL}, "00ABC|7  |%"},
                      // A user's pattern cannot break anything: unmatched or
                      // unknown placeholders stay as they are.
                      FormatCase{"COM%s%d%q", {1LL}, "COM%s1%q"}, FormatCase{"dev%d%d", {4LL}, "dev4%d"},
                      FormatCase{"tail%", {}, "tail%"}));

// --- Components ----------------------------------------------------------------

class Recorder : public TComponent {
public:
    using TComponent::TComponent;
    std::vector<std::pair<TComponent*, TOperation>> Notices;
    std::vector<std::string> Removed;  // names, told while the component still exists
    ~Recorder() override { Destroying(); }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        Notices.emplace_back(AComponent, Operation);
        if (Operation == opRemove) Removed.push_back(AComponent->Name());
    }
};

TEST(ComponentTest, OwnerListsItsComponentsAndPassesNoticesOn) {
    Recorder owner;
    Recorder a(&owner);
    Recorder b(&owner);
    EXPECT_EQ(owner.ComponentCount(), 2);
    EXPECT_EQ(a.Owner(), &owner);
    // b's insertion was announced to the owner and to a.
    EXPECT_EQ(a.Notices.back(), std::make_pair(static_cast<TComponent*>(&b), opInsert));
    owner.RemoveComponent(&b);
    EXPECT_EQ(owner.ComponentCount(), 1);
    EXPECT_EQ(b.Owner(), nullptr);
    EXPECT_EQ(owner.Notices.back(), std::make_pair(static_cast<TComponent*>(&b), opRemove));
    EXPECT_EQ(a.Notices.back(), std::make_pair(static_cast<TComponent*>(&b), opRemove));
}

TEST(ComponentTest, DestroyedComponentLeavesItsOwnerAndTellsWhoAsked) {
    Recorder owner;
    Recorder watcher;
    auto child = std::make_unique<Recorder>(&owner);
    child->SetName("child");
    child->FreeNotification(&watcher);
    child.reset();
    EXPECT_EQ(owner.ComponentCount(), 0);
    EXPECT_EQ(watcher.Removed, std::vector<std::string>{"child"});
}

TEST(ComponentTest, WatcherDestroyedFirstIsNotToldLater) {
    auto watcher = std::make_unique<Recorder>();
    Recorder watched;
    watched.FreeNotification(watcher.get());
    watcher.reset();  // must unregister, or destroying `watched` would touch it
    SUCCEED();
}

TEST(ComponentTest, LoadedClearsTheLoadingState) {
    TComponent c;
    c.BeginLoading();
    EXPECT_TRUE(c.InState(csLoading));
    c.Loaded();
    EXPECT_FALSE(c.InState(csLoading));
}

TEST(PersistentTest, AssignBetweenUnrelatedClassesRaisesConvertError) {
    TPersistent a;
    TComponent b;
    try {
        a.Assign(b);
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TComponent to a TPersistent");
    }
}

// --- Threads -------------------------------------------------------------------

class CountingThread : public TThread {
public:
    explicit CountingThread(bool Suspended, std::atomic<int>* Alive) : TThread(Suspended), FAlive(Alive) { ++*FAlive; }
    ~CountingThread() override { --*FAlive; }
    std::atomic<int> Turns{0};
    bool Throw = false;

protected:
    void Execute() override {
        while (!Terminated()) {
            ++Turns;
            std::this_thread::sleep_for(1ms);
            if (Throw) throw Exception("boom");
        }
    }

private:
    std::atomic<int>* FAlive;
};

TEST(ThreadTest, SuspendedThreadRunsOnlyAfterStart) {
    std::atomic<int> alive{0};
    auto t = TThread::Create<CountingThread>(true, &alive);
    EXPECT_TRUE(t->Suspended());
    EXPECT_EQ(t->Turns.load(), 0);
    t->Start();
    while (t->Turns.load() == 0) std::this_thread::yield();
    t->Terminate();
    t->WaitFor();
    EXPECT_TRUE(t->Finished());
}

TEST(ThreadTest, FreeOnTerminateThreadReleasesItselfAtItsEnd) {
    std::atomic<int> alive{0};
    {
        auto t = TThread::Create<CountingThread>(true, &alive);
        t->SetFreeOnTerminate(true);
        t->Start();
        t->Terminate();
    }  // the owner lets go while the thread may still run
    ASSERT_TRUE(TThread::WaitForAll(5s));
    EXPECT_EQ(alive.load(), 0);
}

TEST(ThreadTest, ExceptionFromExecuteEndsTheThreadAndIsKept) {
    std::atomic<int> alive{0};
    auto t = TThread::Create<CountingThread>(true, &alive);
    t->Throw = true;
    t->Start();
    t->WaitFor();
    ASSERT_TRUE(t->FatalException());
    EXPECT_THROW(std::rethrow_exception(t->FatalException()), Exception);
}

#ifndef _WIN32
TEST(ThreadTest, LowerPriorityRaisesTheThreadsNiceValue) {
    // Lowering a priority needs no privilege, so this holds for any user.
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, 0);
    std::atomic<int> seen{-100};
    class Probe : public TThread {
    public:
        explicit Probe(std::atomic<int>* Seen) : TThread(true), FSeen(Seen) {}

    protected:
        void Execute() override { *FSeen = getpriority(PRIO_PROCESS, 0); }

    private:
        std::atomic<int>* FSeen;
    };
    auto probe = TThread::Create<Probe>(&seen);
    probe->SetPriority(tpLowest);
    probe->Start();
    probe->WaitFor();
    EXPECT_EQ(seen.load(), std::min(base + 10, 19));
    EXPECT_EQ(probe->Priority(), tpLowest);
}

#endif

// --- Main-thread hand-over -------------------------------------------------------

class HandOverTest : public ::testing::Test {
protected:
    std::shared_ptr<PumpedMainThreadQueue> Queue = std::make_shared<PumpedMainThreadQueue>();
    std::shared_ptr<MainThreadDispatcher> Old = SetMainThreadDispatcher(Queue);
    ~HandOverTest() override {
        Queue->Shutdown();
        SetMainThreadDispatcher(Old);
    }
};

TEST_F(HandOverTest, CallRunsOnThePumpingThreadAndTheWorkerWaitsForIt) {
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        EXPECT_TRUE(RunOnMainThread([&] { ranOn = std::this_thread::get_id(); }));
        returned = true;
    });
    ASSERT_TRUE(Queue->WaitForQueued(1, 5s));
    EXPECT_FALSE(returned.load());  // blocked until the call has run
    ASSERT_TRUE(Queue->PumpOne(5s));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(returned.load());
}

TEST_F(HandOverTest, ExceptionFromTheCallIsRaisedAgainInTheWorker) {
    std::string caught;
    std::thread worker([&] {
        try {
            RunOnMainThread([] { throw Exception("handler failed"); });
        } catch (const Exception& e) {
            caught = e.Message();
        }
    });
    ASSERT_TRUE(Queue->PumpOne(5s));
    worker.join();
    EXPECT_EQ(caught, "handler failed");
}

TEST_F(HandOverTest, ShutdownReleasesAWaitingWorkerWithoutRunningTheCall) {
    std::atomic<int> result{-1};
    bool ran = false;
    std::thread worker([&] { result = RunOnMainThread([&] { ran = true; }) ? 1 : 0; });
    ASSERT_TRUE(Queue->WaitForQueued(1, 5s));
    Queue->Shutdown();
    worker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(ran);
    // Later hand-overs return at once.
    EXPECT_FALSE(RunOnMainThread([&] { ran = true; }));
    EXPECT_FALSE(ran);
}

TEST(HandOverWithoutDispatcherTest, NothingRunsAndTheCallerIsTold) {
    auto old = SetMainThreadDispatcher(nullptr);
    bool ran = false;
    EXPECT_FALSE(RunOnMainThread([&] { ran = true; }));
    EXPECT_FALSE(ran);
    SetMainThreadDispatcher(old);
}

// --- Report of unhandled exceptions ---------------------------------------------

TEST(ExceptionReportTest, HookReceivesReportsAndCanBeReplaced) {
    std::vector<std::string> seen;
    auto old = SetExceptionReport([&](const std::exception& e) { seen.emplace_back(e.what()); });
    ReportException(Exception("one"));
    try {
        throw 42;
    } catch (...) {
        ReportCurrentException();
    }
    SetExceptionReport([](const std::exception&) { throw std::runtime_error("the report fails"); });
    EXPECT_NO_THROW(ReportException(Exception("two")));
    SetExceptionReport(old);
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "Unknown exception"}));
}

}  // namespace
}  // namespace pelk

// The framework's own main loop: posted tasks, the main-thread hand-over on
// it, timers (a drift-free tick that never bursts after a stall) and the stop
// signals. Built for Linux and into the Windows test program.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#ifndef _WIN32
#include <unistd.h>
#endif
#include <stdexcept>
#include <thread>
#include <vector>

#include "framework/exception.h"
#include "framework/loop_waker.h"
#include "framework/main_loop.h"
#include "framework/main_thread.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;
using Clock = MainLoop::Clock;

// A guard against a hang: a loop that never quits ends the test with this
// code instead of blocking the suite.
constexpr int Hung = 99;
void GuardAgainstHang(MainLoop& loop) {
    loop.StartTimer(30s, [&loop] { loop.Quit(Hung); }, false);
}

TEST(MainLoopTest, TasksPostedFromWorkersRunOnTheLoopThreadInOrder) {
    MainLoop loop;
    GuardAgainstHang(loop);
    std::vector<int> seen;
    std::vector<std::thread::id> threads;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) loop.Post([&, i] {
            seen.push_back(i);
            threads.push_back(std::this_thread::get_id());
        });
        loop.Post([&] { loop.Quit(7); });
    });
    EXPECT_EQ(loop.Run(), 7);
    worker.join();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[size_t(i)], i);
    for (const auto& id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(MainLoopTest, QuitBeforeRunEndsTheNextRunAtOnce) {
    MainLoop loop;
    loop.Quit(3);
    EXPECT_EQ(loop.Run(), 3);
    // The quit is used up: the next run waits for its own.
    loop.Post([&] { loop.Quit(4); });
    EXPECT_EQ(loop.Run(), 4);
}

TEST(MainLoopTest, HandOverRunsOnTheLoopAndTheWorkerWaitsForIt) {
    MainLoop loop;
    GuardAgainstHang(loop);
    const auto dispatcher = loop.Dispatcher();
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    bool returnedBeforeCallEnded = true;
    std::string caught;
    std::thread worker([&] {
        dispatcher->RunAndWait([&] {
            ranOn = std::this_thread::get_id();
            returnedBeforeCallEnded = returned.load();
        });
        returned = true;
        try {
            dispatcher->RunAndWait([] { throw Exception("handler failed"); });
        } catch (const Exception& e) {
            caught = e.Message();
        }
        loop.Quit(0);
    });
    EXPECT_EQ(loop.Run(), 0);
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(returnedBeforeCallEnded);
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(caught, "handler failed");
}

TEST(MainLoopTest, HandOverFromTheLoopThreadRunsAtOnce) {
    MainLoop loop;
    bool ran = false;
    loop.Dispatcher()->RunAndWait([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(MainLoopTest, ShutdownReleasesWaitingWorkersWithoutRunningTheirCalls) {
    std::shared_ptr<MainThreadDispatcher> dispatcher;
    std::atomic<int> ran{0};
    std::atomic<int> released{0};
    std::vector<std::thread> workers;
    {
        MainLoop loop;
        dispatcher = loop.Dispatcher();
        // The loop is not running: the hand-overs wait.
        for (int i = 0; i < 3; ++i)
            workers.emplace_back([&] {
                dispatcher->RunAndWait([&] { ++ran; });
                ++released;
            });
        while (loop.Queued() < 3) std::this_thread::yield();
        loop.Shutdown();
        for (auto& w : workers) w.join();
        EXPECT_EQ(ran.load(), 0);
        EXPECT_EQ(released.load(), 3);
        EXPECT_TRUE(loop.IsShutDown());
        EXPECT_FALSE(loop.Post([&] { ++ran; }));
        EXPECT_EQ(loop.Run(), 0);  // returns at once
    }
    // The loop is gone; its dispatcher still answers, running nothing.
    std::thread late([&] { dispatcher->RunAndWait([&] { ++ran; }); });
    late.join();
    EXPECT_EQ(ran.load(), 0);
}

TEST(MainLoopTest, HandOversQueuedBetweenRunsWaitForTheNextRun) {
    MainLoop loop;
    GuardAgainstHang(loop);
    loop.Quit(1);
    EXPECT_EQ(loop.Run(), 1);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        loop.Dispatcher()->RunAndWait([&] { loop.Quit(5); });
        done = true;
    });
    while (loop.Queued() < 1) std::this_thread::yield();
    EXPECT_FALSE(done.load());
    EXPECT_EQ(loop.Run(), 5);
    worker.join();
    EXPECT_TRUE(done.load());
}

TEST(MainLoopTest, OneShotTimerFiresOnceAndTimersMayStopEachOther) {
    MainLoop loop;
    GuardAgainstHang(loop);
    int oneShot = 0, repeating = 0, stopped = 0;
    MainLoop::TimerId victim = loop.StartTimer(50ms, [&] { ++stopped; }, true);
    loop.StartTimer(1ms, [&] { ++oneShot; }, false);
    MainLoop::TimerId self = 0;
    self = loop.StartTimer(2ms, [&] {
        if (++repeating == 1) loop.StopTimer(victim);
        if (repeating == 3) {
            loop.StopTimer(self);
            loop.StartTimer(5ms, [&] { loop.Quit(1); }, false);
        }
    }, true);
    EXPECT_EQ(loop.Run(), 1);
    EXPECT_EQ(oneShot, 1);
    EXPECT_EQ(repeating, 3);
    EXPECT_EQ(stopped, 0);
    EXPECT_FALSE(loop.TimerActive(self));
    EXPECT_FALSE(loop.TimerActive(victim));
}

struct DeadlineCase {
    int DeadlineMs, NowMs, ExpectedMs;
};

TEST(MainLoopTest, NextTickDeadlineStaysOnTheGridAndSkipsMissedPeriods) {
    const Clock::time_point t0{};
    const DeadlineCase cases[] = {
        {100, 100, 110},  // on time
        {100, 105, 110},  // a little late: the grid holds
        {100, 110, 120},  // exactly one period late: the next grid point after now
        {100, 155, 160},  // a stall of five periods: skipped, not made up
        {100, 159, 160},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NextTickDeadline(t0 + std::chrono::milliseconds(c.DeadlineMs), 10ms,
                                   t0 + std::chrono::milliseconds(c.NowMs)),
                  t0 + std::chrono::milliseconds(c.ExpectedMs))
            << c.DeadlineMs << " at " << c.NowMs;
}

TEST(MainLoopTest, TenMillisecondTickKeepsToItsGridAndDoesNotBurstAfterAStall) {
    MainLoop loop;
    GuardAgainstHang(loop);
    constexpr auto period = 10ms;
    std::vector<Clock::time_point> ticks, deadlines;
    Clock::time_point stallEnd{};
    MainLoop::TimerId id = 0;
    id = loop.StartTimer(period, [&] {
        ticks.push_back(Clock::now());
        deadlines.push_back(loop.TimerDeadline(id));
        if (ticks.size() == 3) {
            std::this_thread::sleep_for(10 * period);  // a stall of ten periods
            stallEnd = Clock::now();
        }
        if (ticks.size() == 12) loop.Quit(0);
    }, true);
    const Clock::time_point first = loop.TimerDeadline(id);
    ASSERT_EQ(loop.Run(), 0);
    ASSERT_EQ(ticks.size(), 12u);
    // Every deadline lies on the grid of the first one: no drift.
    for (const auto& d : deadlines) EXPECT_EQ((d - first) % period, Clock::duration::zero());
    // No tick comes before its deadline.
    EXPECT_GE(ticks[0], first);
    for (size_t i = 1; i < ticks.size(); ++i) EXPECT_GE(ticks[i], deadlines[i - 1]);
    // After the stall: one tick at once, then the grid; never the ten missed
    // ones in a burst (at most two ticks can fall within one period after it).
    int soon = 0;
    for (const auto& t : ticks)
        if (t >= stallEnd && t < stallEnd + period) ++soon;
    EXPECT_LE(soon, 2);
}

TEST(MainLoopTest, IdleLoopSleepsUntilItsDeadline) {
    MainLoop loop;
    loop.StartTimer(100ms, [&] { loop.Quit(0); }, false);
    EXPECT_EQ(loop.Run(), 0);
    // One wake-up for the deadline; a second at most, should the system
    // wake a sleeper a little early. A loop that polled would count dozens.
    EXPECT_LE(loop.Wakeups(), 2u);
}

TEST(MainLoopTest, QuitFromAnotherThreadEndsRun) {
    MainLoop loop;
    GuardAgainstHang(loop);
    std::thread other([&] { loop.Quit(9); });
    EXPECT_EQ(loop.Run(), 9);
    other.join();
}

#ifdef _WIN32
// The console's control events, delivered on a thread of their own as the
// system does (the handler of a closing console waits until the loop has run
// its stop handler), and their signal numbers.
const std::vector<std::pair<unsigned long, int>> StopEvents = {
    {0 /* CTRL_C_EVENT */, StopSignalInterrupt},
    {1 /* CTRL_BREAK_EVENT */, StopSignalInterrupt},
    {2 /* CTRL_CLOSE_EVENT */, StopSignalHangUp},
    {6 /* CTRL_SHUTDOWN_EVENT */, StopSignalTerminate},
};
std::thread RaiseStopSignal(unsigned long Event) {
    return std::thread([Event] { EXPECT_TRUE(loop_detail::DeliverConsoleControl(Event)); });
}
#else
const std::vector<std::pair<int, int>> StopEvents = {{SIGINT, SIGINT}, {SIGTERM, SIGTERM}, {SIGHUP, SIGHUP}};
std::thread RaiseStopSignal(int Signal) {
    return std::thread([Signal] { kill(getpid(), Signal); });
}
#endif

TEST(MainLoopTest, StopSignalRunsTheHandlerOnTheLoop) {
    static_assert(StopSignalInterrupt == 2 && StopSignalTerminate == 15 && StopSignalHangUp == 1);
    for (const auto& [event, signal] : StopEvents) {
        MainLoop loop;
        GuardAgainstHang(loop);
        std::thread::id ranOn;
        loop.HandleStopSignals([&](int s) {
            ranOn = std::this_thread::get_id();
            loop.Quit(128 + s);
        });
        std::thread raiser;
        loop.Post([&, event = event] { raiser = RaiseStopSignal(event); });
        EXPECT_EQ(loop.Run(), 128 + signal);
        raiser.join();
        EXPECT_EQ(ranOn, std::this_thread::get_id());
        loop.RestoreStopSignals();
    }
}

}  // namespace
}  // namespace pelk

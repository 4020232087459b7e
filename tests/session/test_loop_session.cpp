// A device session on the framework's own main loop, as the command-line
// tool runs one: the operation engine and the serial component, with the
// engine's tick and the component's received-bytes event both on the loop.
// On Linux the far end is a simulated target in this process; under wine it
// is one of pelk_wine_peers' COM ports (without them the tests are skipped).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "support/loop_main_thread.h"
#include "image/device_table.h"
#include "image/memory_image.h"
#include "protocol/operation_engine.h"
#include "protocol/port.h"
#include "serial/vacomm.h"
#ifndef _WIN32
#include "sim/simulated_target.h"
#endif

namespace pelk {
namespace {

using namespace std::chrono_literals;

enum class Far { Target, Corrupting, Silent, GoingAway };

// The far end of the line and the name the component opens it by.
class FarEnd {
public:
    explicit FarEnd(Far Kind) : FKind(Kind) {
#ifdef _WIN32
        if (!std::getenv("PELK_WINE_PEERS")) return;
        static const char* const Ports[] = {"COM5", "COM6", "COM7", "COM9"};
        FDevice = Ports[static_cast<int>(Kind)];
#else
        SimulatedTargetOptions o;
        o.LastAddress = 0xFFFF;
        o.Faults.CorruptEvery = Kind == Far::Corrupting ? 3 : 0;
        o.Faults.Silent = Kind == Far::Silent;
        FTarget = std::make_unique<SimulatedTarget>(o);
        FTarget->Start();
        FDevice = FTarget->PortPath();
#endif
    }
    bool Available() const { return !FDevice.empty(); }
    const std::string& Device() const { return FDevice; }
    // Called on every tick: the far end that is to go away does so once
    // some frames have been served (under wine the peer goes by itself at
    // the first byte).
    void Tick() {
#ifndef _WIN32
        if (FKind == Far::GoingAway && FTarget && FTarget->Status().FramesServed >= 5) FTarget->Stop();
#endif
    }
#ifndef _WIN32
    SimulatedTarget& Target() { return *FTarget; }
#endif

private:
    Far FKind;
    std::string FDevice;
#ifndef _WIN32
    std::unique_ptr<SimulatedTarget> FTarget;
#endif
};

class LoopSessionTest : public ::testing::Test, public EngineView {
protected:
    test::LoopMainThread Main;
    MainLoop& Loop = Main.Loop;
    MemoryImage Image;
    TVaComm CommPort;
    PortOf<TVaComm> Link{CommPort};
    OperationEngine Engine{Image, Link, *this};
    std::string LastMessage;
    std::string HangUpMessage;
    int RxEvents = 0;
    bool RxOffLoop = false;  // an OnRxChar that ran on another thread than the loop's

    void ShowMessage(const std::string& text) override { LastMessage = text; }
    void SetProgress(int) override {}

    LoopSessionTest() {
        ApplyDeviceIndex(Image, 1);  // 64 KiB
        for (uint32_t a = 0; a <= Image.LastAddress; ++a) Image.ImageBuffer[a] = uint8_t(a * 13 + (a >> 8));
        CommPort.SetBaudrate(br115200);
        CommPort.Buffers().SetReadSize(1000);
        CommPort.Buffers().SetWriteSize(1000);
    }

    void Open(FarEnd& End) {
        CommPort.SetDeviceName(End.Device());
        CommPort.Open();
    }

    // Starts an operation and runs the loop until it has ended (or the far
    // end went away); returns the engine's last message.
    std::string RunOperation(FarEnd& End, void (OperationEngine::*Start)(), std::chrono::nanoseconds Tick = 10ms) {
        LastMessage.clear();
        const std::thread::id loopThread = std::this_thread::get_id();
        auto ended = [&] {
            if (Engine.Operation() == OpNone && Engine.StartDelay() == 0) Loop.Quit(0);
        };
        CommPort.OnRxChar = [&, loopThread](TVaCustomComm*, int) {
            ++RxEvents;
            if (std::this_thread::get_id() != loopThread) RxOffLoop = true;
            Engine.ReceiveReplyBytes();
            ended();
        };
        CommPort.OnHangUp = [&](TVaCustomComm*, const std::string& Message) {
            HangUpMessage = Message;
            Engine.Stop();
            Loop.Quit(0);
        };
        // The engine's time-outs count in ticks here, so a shorter tick
        // runs them through sooner.
        int64_t ticks = 0;
        Engine.SetClock([&] { return ticks * TickMs; });
        const MainLoop::TimerId tick = Loop.StartTimer(Tick, [&] {
            End.Tick();
            ++ticks;
            Engine.TimerTimer();
            ended();
        }, true);
        const MainLoop::TimerId guard = Loop.StartTimer(180s, [&] { Loop.Quit(1); }, false);
        (Engine.*Start)();
        EXPECT_EQ(Loop.Run(), 0) << "the operation did not end";
        Loop.StopTimer(tick);
        Loop.StopTimer(guard);
        return LastMessage;
    }
};

TEST_F(LoopSessionTest, ProgramVerifyEraseAndBlankCheckA64KiBDevice) {
    FarEnd end(Far::Target);
    if (!end.Available()) GTEST_SKIP() << "no far end";
    Open(end);
    EXPECT_EQ(RunOperation(end, &OperationEngine::StartProgram), msg::DeviceProgrammed);
#ifndef _WIN32
    const std::vector<uint8_t> flash = end.Target().Flash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x10000, Image.ImageBuffer.begin()));
#endif
    EXPECT_EQ(RunOperation(end, &OperationEngine::StartVerify), msg::VerificationOk);
    EXPECT_EQ(RunOperation(end, &OperationEngine::StartErase), msg::DeviceErased);
    EXPECT_EQ(RunOperation(end, &OperationEngine::StartBlankCheck), msg::DeviceBlank);
    // Every reply came through OnRxChar on the loop's thread.
    EXPECT_GE(RxEvents, 1024);
    EXPECT_FALSE(RxOffLoop);
}

TEST_F(LoopSessionTest, CorruptedRepliesAreAnsweredByResendingTheFrame) {
    FarEnd end(Far::Corrupting);
    if (!end.Available()) GTEST_SKIP() << "no far end";
    Open(end);
    EXPECT_EQ(RunOperation(end, &OperationEngine::StartProgram), msg::DeviceProgrammed);
    EXPECT_EQ(RunOperation(end, &OperationEngine::StartVerify), msg::VerificationOk);
#ifndef _WIN32
    EXPECT_GT(end.Target().Status().RepliesCorrupted, 100u);
#endif
}

TEST_F(LoopSessionTest, SilentTargetEndsInNotResponding) {
    FarEnd end(Far::Silent);
    if (!end.Available()) GTEST_SKIP() << "no far end";
    Open(end);
    // Ten transmissions 200 ticks apart: with a tick of half a millisecond
    // they run through in a second, not in twenty.
    EXPECT_EQ(RunOperation(end, &OperationEngine::StartBlankCheck, 500us), msg::NotResponding);
    EXPECT_EQ(Engine.Transmissions(), TransmissionsPerFrame);
}

TEST_F(LoopSessionTest, FarEndGoingAwayIsReportedOnTheLoop) {
    FarEnd end(Far::GoingAway);
    if (!end.Available()) GTEST_SKIP() << "no far end";
    Open(end);
    EXPECT_EQ(RunOperation(end, &OperationEngine::StartProgram), msg::Stopped);
    EXPECT_NE(HangUpMessage.find("hung up or was removed"), std::string::npos) << HangUpMessage;
    EXPECT_TRUE(CommPort.HungUp());
}

}  // namespace
}  // namespace pelk

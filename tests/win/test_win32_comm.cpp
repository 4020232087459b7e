// The serial component on its Win32 device layer, under wine against
// pelk_wine_peers' COM ports (see wine_peers.cpp), with the framework's main
// loop as its main thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "protocol/rs232.h"
#include "serial/vacomm.h"
#include "support/loop_main_thread.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;

class Win32CommTest : public ::testing::Test {
protected:
    test::LoopMainThread Main;
    MainLoop& Loop = Main.Loop;
    TVaComm CommPort;

    void SetUp() override {
        if (!std::getenv("PELK_WINE_PEERS")) GTEST_SKIP() << "no pelk_wine_peers serving the COM ports";
        CommPort.Buffers().SetReadSize(1000);
        CommPort.Buffers().SetWriteSize(1000);
    }

    // Sends Bytes and collects what comes back through OnRxChar on the loop
    // until Count bytes have come.
    std::string Exchange(const std::string& Bytes, size_t Count) {
        std::string got;
        const std::thread::id loopThread = std::this_thread::get_id();
        CommPort.OnRxChar = [&](TVaCustomComm*, int) {
            EXPECT_EQ(std::this_thread::get_id(), loopThread);
            got += CommPort.ReadText();
            if (got.size() >= Count) Loop.Quit(0);
        };
        const MainLoop::TimerId guard = Loop.StartTimer(20s, [&] { Loop.Quit(1); }, false);
        if (!Bytes.empty()) {
            EXPECT_EQ(CommPort.WriteBuf(Bytes.data(), int(Bytes.size())), int(Bytes.size()));
        }
        EXPECT_EQ(Loop.Run(), 0) << "only " << got.size() << " bytes came back";
        Loop.StopTimer(guard);
        CommPort.OnRxChar = nullptr;
        return got;
    }
};

TEST_F(Win32CommTest, OpenRewritesSettingsWhileOpenAndCloses) {
    CommPort.SetDeviceName("COM%d");
    CommPort.SetPortNum(10);
    CommPort.SetBaudrate(br19200);
    CommPort.Open();
    ASSERT_TRUE(CommPort.Active());
    EXPECT_EQ(CommPort.EventMask(), EV_RXCHAR | EV_ERR);
    EXPECT_EQ(Exchange("?", 12), "19200 8N1 -\n");
    CommPort.SetBaudrate(br115200);  // written to the open device at once
    CommPort.SetStopbits(sb2);
    EXPECT_EQ(Exchange("?", 13), "115200 8N2 -\n");
    try {
        CommPort.Open();
        ADD_FAILURE() << "a second Open did not raise";
    } catch (const EVaCommError& e) {
        EXPECT_EQ(e.Message(), "Can't perform this operation while port is open");
    }
    EXPECT_THROW(CommPort.SetPortNum(5), EVaCommError);
    EXPECT_EQ(CommPort.PortNum(), 10);
    EXPECT_FALSE(CommPort.GetModemStatus(1));  // a pseudo-terminal has no modem lines
    CommPort.Close();
    EXPECT_FALSE(CommPort.Active());
    EXPECT_EQ(CommPort.ReadBufUsed(), 0);
}

TEST_F(Win32CommTest, FailuresCarryTheSystemsCodeAndLeaveThePortClosed) {
    CommPort.SetPortNum(199);
    try {
        CommPort.Open();
        ADD_FAILURE() << "COM199 opened";
    } catch (const EVaCommError& e) {
        EXPECT_EQ(e.Message().rfind("Unable to open specified device COM199 (2), ", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(CommPort.Active());
    CommPort.SetPortNum(10);
    CommPort.SetUserBaudrate(12345);  // the line would not run at it
    try {
        CommPort.Open();
        ADD_FAILURE() << "opened at 12345 bit/s";
    } catch (const EVaCommError& e) {
        EXPECT_EQ(e.Message().rfind("Error writing dcb (87), ", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(CommPort.Active());
}

TEST_F(Win32CommTest, PreambleAndFrameGoOutAs139BytesInOrder) {
    CommPort.SetDeviceName("COM8");
    CommPort.Open();
    uint8_t block[BlockSize];
    for (size_t i = 0; i < BlockSize; ++i) block[i] = uint8_t(255 - i);
    const TxFrameBytes frame = MakeCommandFrame(CmdVerify, 0xFF80, block);
    const std::string preamble(LinkPreamble.begin(), LinkPreamble.end());
    const std::string body(frame.begin(), frame.end());
    // Queued one right after the other, as the engine does.
    EXPECT_EQ(CommPort.WriteBuf(preamble.data(), 3), 3);
    EXPECT_EQ(Exchange(body, 139), preamble + body);
}

}  // namespace
}  // namespace pelk

// Opening and closing the port on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <termios.h>

#include <fstream>

#include "comm_fixture.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;
using test::CommTest;
using test::ExpectCommError;

class OpenCloseTest : public CommTest {};

TEST_F(OpenCloseTest, OpenTwiceRaisesAndThePortKeepsWorking) {
    Comm->Open();
    ASSERT_TRUE(Comm->Active());
    ExpectCommError([&] { Comm->Open(); }, "Can't perform this operation while port is open");
    EXPECT_TRUE(Comm->Active());
    EXPECT_EQ(Comm->WriteBuf("ok", 2), 2);
    EXPECT_EQ(Receive(2), "ok");
}

// A terminal used as the port (as /dev/tty) gets its settings back at
// Close: the user's shell is not left raw and without echo.
TEST_F(OpenCloseTest, CloseRestoresTheLineSettingsItFound) {
    termios before{};
    ASSERT_EQ(tcgetattr(Pty.Slave(), &before), 0);
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(Pty.Slave(), TCSANOW, &before), 0);
    Comm->Open();
    termios open{};
    ASSERT_EQ(tcgetattr(Pty.Slave(), &open), 0);
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw while open";
    Comm->Close();
    termios after{};
    ASSERT_EQ(tcgetattr(Pty.Slave(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(OpenCloseTest, ComZeroFailsAndLeavesThePortClosed) {
    // Port 0 names no port: not even a link called COM0 is opened.
    Dir.Link("COM0", Pty.SlavePath());
    Comm->SetPortNum(0);
    ExpectCommError([&] { Comm->Open(); }, "Unable to open specified device COM0 (2), No such file or directory");
    EXPECT_FALSE(Comm->Active());
    // A name without the number's placeholder needs no port number.
    Comm->SetDeviceName(Pty.SlavePath());
    Comm->Open();
    EXPECT_TRUE(Comm->Active());
}

TEST_F(OpenCloseTest, MissingDeviceFailsAndLeavesThePortClosed) {
    Comm->SetDeviceName("/dev/pelk-no-such-device");
    ExpectCommError([&] { Comm->Open(); },
                    "Unable to open specified device /dev/pelk-no-such-device (2), No such file or directory");
    EXPECT_FALSE(Comm->Active());
}

TEST_F(OpenCloseTest, FileThatIsNoTerminalIsRefused) {
    std::ofstream("plain.txt") << "x";
    Comm->SetDeviceName("./plain.txt");
    ExpectCommError([&] { Comm->Open(); },
                    "Unable to open specified device ./plain.txt (25), Inappropriate ioctl for device");
    EXPECT_FALSE(Comm->Active());
}

TEST_F(OpenCloseTest, SecondOpenerOfTheSameDeviceIsRefused) {
    Comm->Open();
    TVaComm second;
    test::ApplyCommPortSettings(second);
    ExpectCommError([&] { second.Open(); }, "Unable to open specified device COM1 (16), Device or resource busy");
    EXPECT_FALSE(second.Active());
    Comm->Close();
    second.Open();  // free again once closed
    EXPECT_TRUE(second.Active());
    second.Close();
}

TEST_F(OpenCloseTest, RefusedSettingsCloseTheDeviceAgain) {
    Comm->SetBaudrate(brUser);  // UserBaudrate 0: no rate at all
    ExpectCommError([&] { Comm->Open(); }, "Error writing dcb (22), Invalid argument");
    EXPECT_FALSE(Comm->Active());
    // The device was released: a valid setting opens it.
    Comm->SetBaudrate(br9600);
    Comm->Open();
    EXPECT_TRUE(Comm->Active());
}

TEST_F(OpenCloseTest, ReopenAfterCloseWithAnotherPort) {
    test::PtyPair other;
    Dir.Link("COM2", other.SlavePath());
    Comm->Open();
    Comm->Close();
    Comm->SetPortNum(2);
    Comm->Open();
    Comm->WriteText("two");
    EXPECT_EQ(other.Receive(3), "two");
}

TEST_F(OpenCloseTest, OpenAndCloseEventsAndCloseOnAClosedPort) {
    std::vector<std::string> events;
    Comm->OnOpen = [&](TObject*) { events.push_back("open"); };
    Comm->OnClose = [&](TObject*) { events.push_back("close"); };
    Comm->Close();  // closed: nothing
    Comm->Open();
    Comm->Close();
    EXPECT_EQ(events, (std::vector<std::string>{"open", "close"}));
}

TEST_F(OpenCloseTest, ExceptionFromOnOpenIsReportedAndOpenSucceeds) {
    Comm->OnOpen = [](TObject*) { throw Exception("handler failed"); };
    Comm->Open();
    EXPECT_TRUE(Comm->Active());
    EXPECT_EQ(Rig.Reports, std::vector<std::string>{"handler failed"});
}

TEST_F(OpenCloseTest, DestroyingAnOpenPortRaisesNoOnClose) {
    bool closed = false;
    Comm->OnClose = [&](TObject*) { closed = true; };
    Comm->Open();
    Comm.reset();
    EXPECT_FALSE(closed);
}

TEST_F(OpenCloseTest, LoadedOpensOnlyWithAutoOpen) {
    Comm->Loaded();
    EXPECT_FALSE(Comm->Active());
    Comm->SetAutoOpen(true);
    Comm->Loaded();
    EXPECT_TRUE(Comm->Active());
}

TEST_F(OpenCloseTest, CommPortRunsBothThreadsWithMaskOfErrorAndReceivedBytes) {
    Comm->Open();
    EXPECT_EQ(Comm->EventMask(), 0x81u);
    EXPECT_TRUE(Comm->HasEventThread());
    EXPECT_TRUE(Comm->HasWriteThread());
}

TEST_F(OpenCloseTest, OnlyTransmitEmptyMonitoredGivesNoEventThread) {
    Comm->SetMonitorEvents({ceTxEmpty});
    Comm->Open();
    EXPECT_EQ(Comm->EventMask(), 0u);
    EXPECT_FALSE(Comm->HasEventThread());
    EXPECT_TRUE(Comm->HasWriteThread());
}

TEST_F(OpenCloseTest, DirectWriteGivesNoWriteThread) {
    Comm->SetDirectWrite(true);
    Comm->Open();
    EXPECT_EQ(Comm->EventMask(), 0x85u);  // transmit-empty now watched by the event thread
    EXPECT_FALSE(Comm->HasWriteThread());
}

TEST_F(OpenCloseTest, ClosedPortAnswersWithZerosAndNothingRaised) {
    char buf[4];
    EXPECT_EQ(Comm->WriteBuf("ab", 2), 0);
    EXPECT_EQ(Comm->ReadBuf(buf, 4), 0);
    EXPECT_EQ(Comm->ReadBufUsed(), 0);
    EXPECT_EQ(Comm->ReadBufFree(), 0);
    EXPECT_EQ(Comm->WriteBufUsed(), 0);
    EXPECT_EQ(Comm->WriteBufFree(), 0);
    EXPECT_EQ(Comm->ReadText(), "");
    EXPECT_FALSE(Comm->GetModemStatus(2));
    EXPECT_EQ(Comm->GetCommStatus().Stat.cbInQue, 0u);
    Comm->PurgeReadWrite();
    Comm->SetBreak(true);
    Comm->SetDTR(true);
    EXPECT_FALSE(Comm->HasModemLines());
    ExpectCommError([&] { Comm->GetProperties(); }, "Can't perform this operation while port is closed");
}

TEST_F(OpenCloseTest, LineControlRefusedUnderHandshakeEvenWhenClosed) {
    Comm->FlowControl().SetControlDtr(dtrHandshake);
    ExpectCommError([&] { Comm->SetDTR(true); }, "DTR line updates not allowed when flowcontrol is set to Handshake.");
    Comm->FlowControl().SetControlRts(rtsToggle);
    ExpectCommError([&] { Comm->SetRTS(true); },
                    "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.");
    Comm->FlowControl().SetControlRts(rtsHandshake);
    ExpectCommError([&] { Comm->SetRTS(false); },
                    "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.");
}

TEST_F(OpenCloseTest, PseudoTerminalHasNoModemLinesAndRefusesToSetThem) {
    Comm->FlowControl().SetControlDtr(dtrEnabled);  // applied at Open: tolerated without lines
    Comm->Open();
    for (int i = 1; i <= 4; ++i) EXPECT_FALSE(Comm->GetModemStatus(i)) << i;
    // Setting a line that is not there is refused, not taken quietly.
    EXPECT_FALSE(Comm->HasModemLines());
    const std::string noLines = Pty.SlavePath() + ": this port has no modem lines";
    ExpectCommError([&] { Comm->CheckModemLines(); }, noLines);
    ExpectCommError([&] { Comm->SetDTR(false); }, noLines);
    ExpectCommError([&] { Comm->SetRTS(true); }, noLines);
    Comm->FlowControl().SetControlDtr(dtrDisabled);  // the line settings still apply
    Comm->SetBreak(true);
    Comm->SetBreak(false);
    Comm->ResetDev();
    EXPECT_FALSE(Comm->GetComStat(1));
    EXPECT_FALSE(Comm->ClearLineErrors());
    Comm->GetProperties();
    EXPECT_EQ(Comm->CommProp().wPacketLength, 64);
}

}  // namespace
}  // namespace pelk

// Line settings on a real pseudo-terminal, read back from the far end.
// A pseudo-terminal keeps the rate, the stop bits and the flow-control
// flags (it stores 8 data bits and no parity whatever is asked; those are
// checked on the settings block in test_line_settings.cpp).
#include <gtest/gtest.h>

#include <ostream>
#include <termios.h>

#include <cctype>
#include <functional>

#include "comm_fixture.h"
#include "serial/posix/line_settings.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;
using test::CommTest;
using test::ExpectCommError;

class SettingsTest : public CommTest {
protected:
    // Changes the line behind the component's back, from the other side.
    void SetRateFromOutside(speed_t Rate) {
        termios t = Pty.Attr();
        cfsetspeed(&t, Rate);
        tcsetattr(Pty.Slave(), TCSANOW, &t);
    }
};

TEST_F(SettingsTest, OpenAppliesCommPortSettings) {
    Comm->Open();
    const termios t = Pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
}

struct ChangeCase {
    const char* Name;
    std::function<void(TVaComm&)> Change;
    std::function<bool(const termios&, const posix::LineTermios&)> Holds;
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.Name; }

class SettingChangeTest : public CommTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(SettingChangeTest, ChangeWhileOpenIsWrittenAtOnce) {
    Comm->Open();
    ASSERT_FALSE(GetParam().Holds(Pty.Attr(), Pty.Attr2())) << "already so before the change";
    GetParam().Change(*Comm);
    EXPECT_TRUE(GetParam().Holds(Pty.Attr(), Pty.Attr2()));
}

TEST_P(SettingChangeTest, ChangeWhileClosedTakesEffectAtOpen) {
    GetParam().Change(*Comm);
    Comm->Open();
    EXPECT_TRUE(GetParam().Holds(Pty.Attr(), Pty.Attr2()));
}

bool Custom(const posix::LineTermios& t, uint32_t Rate) {
    return (t.Cflag & posix::CustomRateCode) == posix::CustomRateCode && t.Ospeed == Rate;
}

std::vector<ChangeCase> ChangeCases() {
    return {

        ChangeCase{"rate 19200", [](TVaComm& c) { c.SetBaudrate(br19200); },
                   [](const termios& t, const posix::LineTermios&) { return cfgetospeed(&t) == B19200; }},
        ChangeCase{"rate 115200", [](TVaComm& c) { c.SetBaudrate(br115200); },
                   [](const termios& t, const posix::LineTermios&) { return cfgetospeed(&t) == B115200; }},
        ChangeCase{"rate 14400", [](TVaComm& c) { c.SetBaudrate(br14400); },
                   [](const termios&, const posix::LineTermios& t) { return Custom(t, 14400); }},
        ChangeCase{"rate 56000", [](TVaComm& c) { c.SetBaudrate(br56000); },
                   [](const termios&, const posix::LineTermios& t) { return Custom(t, 56000); }},
        ChangeCase{"rate 128000", [](TVaComm& c) { c.SetBaudrate(br128000); },
                   [](const termios&, const posix::LineTermios& t) { return Custom(t, 128000); }},
        ChangeCase{"rate 256000", [](TVaComm& c) { c.SetBaudrate(br256000); },
                   [](const termios&, const posix::LineTermios& t) { return Custom(t, 256000); }},
        ChangeCase{"user rate", [](TVaComm& c) { c.SetUserBaudrate(250000); },
                   [](const termios&, const posix::LineTermios& t) { return Custom(t, 250000); }},
        ChangeCase{"two stop bits", [](TVaComm& c) { c.SetStopbits(sb2); },
                   [](const termios& t, const posix::LineTermios&) { return (t.c_cflag & CSTOPB) != 0; }},
        ChangeCase{"parity check", [](TVaComm& c) { c.SetParityCheck(true); },
                   [](const termios& t, const posix::LineTermios&) { return (t.c_iflag & INPCK) != 0; }},
        ChangeCase{"CTS flow", [](TVaComm& c) { c.FlowControl().SetOutCtsFlow(true); },
                   [](const termios& t, const posix::LineTermios&) { return (t.c_cflag & CRTSCTS) != 0; }},
        ChangeCase{"RTS handshake", [](TVaComm& c) { c.FlowControl().SetControlRts(rtsHandshake); },
                   [](const termios& t, const posix::LineTermios&) { return (t.c_cflag & CRTSCTS) != 0; }},
        ChangeCase{"XON/XOFF out", [](TVaComm& c) { c.FlowControl().SetXonXoffOut(true); },
                   [](const termios& t, const posix::LineTermios&) { return (t.c_iflag & IXON) != 0; }},
        ChangeCase{"XON/XOFF in", [](TVaComm& c) { c.FlowControl().SetXonXoffIn(true); },
                   [](const termios& t, const posix::LineTermios&) { return (t.c_iflag & IXOFF) != 0; }},
        ChangeCase{"XON/XOFF characters",
                   [](TVaComm& c) {
                       TVaEventChars chars;
                       chars.SetXonChar('Q');
                       chars.SetXoffChar('S');
                       c.SetEventChars(chars);
                   },
                   [](const termios& t, const posix::LineTermios&) {
                       return t.c_cc[VSTART] == 'Q' && t.c_cc[VSTOP] == 'S';
                   }},
        ChangeCase{"whole flow control",
                   [](TVaComm& c) {
                       TVaFlowControl fc;
                       fc.SetOutCtsFlow(true);
                       fc.SetXonXoffOut(true);
                       c.SetFlowControl(fc);
                   },
                   [](const termios& t, const posix::LineTermios&) {
                       return (t.c_cflag & CRTSCTS) && (t.c_iflag & IXON);
                   }}};
}

std::string CaseName(const std::string& Name) {
    std::string n = Name;
    for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingChangeTest, ::testing::ValuesIn(ChangeCases()),
                         [](const ::testing::TestParamInfo<ChangeCase>& param) { return CaseName(param.param.Name); });

TEST_F(SettingsTest, BaudrateSetToItsValueRewritesNothing) {
    Comm->Open();
    SetRateFromOutside(B4800);
    Comm->SetBaudrate(br9600);  // the current value
    termios t = Pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
    Comm->SetBaudrate(br19200);
    t = Pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}

TEST_F(SettingsTest, EventCharSetToItsValueStillRewrites) {
    Comm->Open();
    SetRateFromOutside(B4800);
    Comm->EventChars().SetXonChar(17);
    const termios t = Pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST_F(SettingsTest, WithoutUpdateDcbTheDeviceKeepsItsSettings) {
    SetRateFromOutside(B4800);
    Comm->SetUpdateDCB(false);
    Comm->Open();
    Comm->SetBaudrate(br19200);
    const termios t = Pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
}

TEST_F(SettingsTest, WithoutUpdateDcbTheLineIsStillRaw) {
    // A terminal as a fresh one is set: line editing, echo, signal keys,
    // CR and LF translated.
    termios t = Pty.Attr();
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ISIG | IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_cc[VINTR] = 0x03;
    cfsetspeed(&t, B4800);
    tcsetattr(Pty.Slave(), TCSANOW, &t);
    Comm->SetUpdateDCB(false);
    Comm->Open();
    const std::string in("a\x03\x11\rb", 5);
    Pty.Send(in);
    ASSERT_TRUE(Rig.PumpUntil([&] { return Comm->ReadBufUsed() == 5; })) << "bytes held back for a line end";
    EXPECT_EQ(Comm->ReadText(), in);
    EXPECT_EQ(Pty.Drain(50ms), "") << "echoed";
    ASSERT_EQ(Comm->WriteBuf("\n\x13", 2), 2);
    EXPECT_EQ(Receive(2), "\n\x13");
    EXPECT_EQ(Drain(50ms), "");
    const termios after = Pty.Attr();
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B4800)) << "the device's rate is kept";
}

struct RefusedCase {
    const char* Name;
    std::function<void(TVaComm&)> Change;
    std::function<bool(TVaComm&)> KeptOld;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.Name; }

class RefusedWhileOpenTest : public CommTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedWhileOpenTest, RaisesAndKeepsTheOldValue) {
    Comm->Open();
    ExpectCommError([&] { GetParam().Change(*Comm); }, "Can't perform this operation while port is open");
    EXPECT_TRUE(GetParam().KeptOld(*Comm));
    EXPECT_TRUE(Comm->Active());
}

std::vector<RefusedCase> RefusedCases() {
    return {
RefusedCase{"PortNum", [](TVaComm& c) { c.SetPortNum(2); }, [](TVaComm& c) { return c.PortNum() == 1; }},
                      RefusedCase{"DeviceName", [](TVaComm& c) { c.SetDeviceName("/dev/null"); },
                                  [](TVaComm& c) { return c.DeviceName() == "COM%d"; }},
                      RefusedCase{"MonitorEvents", [](TVaComm& c) { c.SetMonitorEvents({ceBreak}); },
                                  [](TVaComm& c) { return c.MonitorEvents() == TVaCommEvents{ceError, ceRxChar, ceTxEmpty}; }},
                      RefusedCase{"DirectWrite", [](TVaComm& c) { c.SetDirectWrite(true); },
                                  [](TVaComm& c) { return !c.DirectWrite(); }},
                      RefusedCase{"UpdateDCB", [](TVaComm& c) { c.SetUpdateDCB(false); },
                                  [](TVaComm& c) { return c.UpdateDCB(); }},
                      RefusedCase{"Buffers",
                                  [](TVaComm& c) {
                                      TVaBuffers b;
                                      b.SetReadSize(64);
                                      c.SetBuffers(b);
                                  },
                                  [](TVaComm& c) { return c.Buffers().ReadSize() == 1000; }}};
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedWhileOpenTest, ::testing::ValuesIn(RefusedCases()),
                         [](const ::testing::TestParamInfo<RefusedCase>& param) { return CaseName(param.param.Name); });

TEST_F(SettingsTest, ReadSizeWhileOpenRaisesButKeepsTheNewValue) {
    Comm->Open();
    ExpectCommError([&] { Comm->Buffers().SetReadSize(2000); }, "Can't perform this operation while port is open");
    EXPECT_EQ(Comm->Buffers().ReadSize(), 2000);
    Comm->Buffers().SetReadTimeout(50);  // plain values change at any time
    EXPECT_EQ(Comm->Buffers().ReadTimeout(), 50);
}

TEST_F(SettingsTest, SettingTheLineCannotTakeIsRefusedAndUndone) {
    Comm->Open();
    ExpectCommError([&] { Comm->SetDatabits(db4); }, "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(Comm->Databits(), db8);
    ExpectCommError([&] { Comm->SetStopbits(sb15); }, "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(Comm->Stopbits(), sb1);
    ExpectCommError([&] { Comm->SetUserBaudrate(-1); }, "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(Comm->Baudrate(), br9600);
    EXPECT_EQ(Comm->UserBaudrate(), 0);
    ExpectCommError([&] { Comm->FlowControl().SetOutDsrFlow(true); }, "Error writing dcb (22), Invalid argument");
    EXPECT_FALSE(Comm->FlowControl().OutDsrFlow());
    ExpectCommError([&] { Comm->FlowControl().SetControlRts(rtsToggle); },
                    "Error writing dcb (25), Inappropriate ioctl for device");
    EXPECT_EQ(Comm->FlowControl().ControlRts(), rtsDisabled);
    // The port still works and takes later changes.
    Comm->SetBaudrate(br38400);
    const termios t = Pty.Attr();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(Comm->WriteBuf("ok", 2), 2);
    EXPECT_EQ(Receive(2), "ok");
}

TEST_F(SettingsTest, PrioritiesChangeOnRunningThreads) {
    Comm->Open();
    Comm->SetEventPriority(tpLower);
    Comm->SetWritePriority(tpNormal);
    EXPECT_EQ(Comm->EventPriority(), tpLower);
    EXPECT_EQ(Comm->WritePriority(), tpNormal);
}

}  // namespace
}  // namespace pelk

// The settings block: from the component's properties to the device control
// block, from the block to the terminal settings, and the settings in words;
// how device names resolve; and the one port fact that needs the real
// kernel (a lock another process holds).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <ostream>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "pty_support.h"
#include "serial/device_common.h"
#include "serial/posix/device_names.h"
#include "serial/posix/line_settings.h"
#include "serial/posix/port_list.h"
#include "serial/vacomm.h"

namespace pelk {
namespace {

using posix::BuildLinePlan;
using posix::LineLevel;
using posix::LinePlan;
using posix::LineTermios;

TDCB CommPortBlock() {
    TDCB d;
    d.BaudRate = 9600;
    d.Flags = dcb_Binary;
    d.ByteSize = 8;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
}

// A terminal in its default cooked state, as a freshly opened one is.
LineTermios Cooked() {
    LineTermios t;
    t.Iflag = ICRNL | IXON | IMAXBEL;
    t.Oflag = OPOST | ONLCR;
    t.Cflag = B38400 | CS8 | CREAD | HUPCL;
    t.Lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    t.Cc[VMIN] = 1;
    return t;
}

// --- From properties to the block ---------------------------------------------------

TEST(DeviceControlBlockTest, CommPortSettingsGiveTheDocumentedBlock) {
    TVaComm comm;
    comm.SetBaudrate(br9600);
    comm.Buffers().SetReadSize(1000);
    comm.Buffers().SetWriteSize(1000);
    const TDCB d = comm.BuildDCB();
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, 0);
    EXPECT_EQ(d.StopBits, 0);
    EXPECT_EQ(d.Flags, dcb_Binary);
    EXPECT_EQ(d.XonLim, 250);
    EXPECT_EQ(d.XoffLim, 250);
    EXPECT_EQ(d.XonChar, 17);
    EXPECT_EQ(d.XoffChar, 19);
}

TEST(DeviceControlBlockTest, FlagsFollowTheProperties) {
    TVaComm comm;
    comm.SetParityCheck(true);
    comm.FlowControl().SetOutCtsFlow(true);
    comm.FlowControl().SetOutDsrFlow(true);
    comm.FlowControl().SetControlDtr(dtrHandshake);
    comm.FlowControl().SetDsrSensitivity(true);
    comm.FlowControl().SetTxContinueOnXoff(true);
    comm.FlowControl().SetXonXoffOut(true);
    comm.FlowControl().SetXonXoffIn(true);
    comm.FlowControl().SetControlRts(rtsToggle);
    comm.SetOptions({coErrorChar, coNullStrip});
    EXPECT_EQ(comm.BuildDCB().Flags, 0x3FEFu);
    comm.FlowControl().SetControlDtr(dtrEnabled);
    comm.FlowControl().SetControlRts(rtsHandshake);
    EXPECT_EQ(comm.BuildDCB().Flags & (dcb_DtrControlMask | dcb_RtsControlMask), 0x2010u);
}

TEST(DeviceControlBlockTest, LimitsAreAQuarterOfTheReadSizeAtMost1024) {
    TVaComm comm;
    EXPECT_EQ(comm.BuildDCB().XonLim, 1024);  // 4096 / 4
    comm.Buffers().SetReadSize(100000);
    EXPECT_EQ(comm.BuildDCB().XoffLim, 1024);
    comm.Buffers().SetReadSize(10);
    EXPECT_EQ(comm.BuildDCB().XoffLim, 2);
}

TEST(DeviceControlBlockTest, UserRateGoesIntoTheBlock) {
    TVaComm comm;
    comm.SetUserBaudrate(250000);
    EXPECT_EQ(comm.Baudrate(), brUser);
    EXPECT_EQ(comm.BuildDCB().BaudRate, 250000u);
    comm.SetBaudrate(br57600);
    EXPECT_EQ(comm.UserBaudrate(), 0);
    EXPECT_EQ(comm.BuildDCB().BaudRate, 57600u);
    comm.SetUserBaudrate(-5);
    EXPECT_EQ(comm.BuildDCB().BaudRate, 0u);  // refused by the line
}

TEST(DeviceControlBlockTest, RatesOfTheEnumeration) {
    const uint32_t rates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                              14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int i = 0; i <= br256000; ++i) EXPECT_EQ(BaudrateValue(static_cast<TVaBaudrate>(i)), rates[i]) << i;
    // The serial dialog's list index plus one.
    EXPECT_EQ(static_cast<TVaBaudrate>(static_cast<uint8_t>(6 + 1)), br9600);
    EXPECT_EQ(TVaComm().BuildDCB().BaudRate, 1200u);  // the default
}

// --- From the block to the terminal --------------------------------------------------

TEST(LinePlanTest, CommPortBlockGivesARawLine) {
    const LinePlan p = BuildLinePlan(CommPortBlock(), Cooked());
    ASSERT_EQ(p.Error, 0);
    const LineTermios& t = p.Termios;
    EXPECT_EQ(t.Cflag & CBAUD, static_cast<uint32_t>(B9600));
    EXPECT_EQ(t.Cflag & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_EQ(t.Cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.Cflag & (CREAD | CLOCAL), static_cast<uint32_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.Iflag & (ICRNL | IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(t.Oflag & OPOST, 0u);
    EXPECT_EQ(t.Lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.Cc[VMIN], 0);
    EXPECT_EQ(t.Cc[VTIME], 0);
    EXPECT_EQ(p.Dtr, LineLevel::Low);
    EXPECT_EQ(p.Rts, LineLevel::Low);
}

struct RateCase {
    uint32_t Rate;
    bool Standard;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.Rate; }

class LineRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(LineRateTest, StandardRatesUseTheirCodeOthersBother) {
    TDCB d = CommPortBlock();
    d.BaudRate = GetParam().Rate;
    const LinePlan p = BuildLinePlan(d, Cooked());
    ASSERT_EQ(p.Error, 0);
    const uint32_t code = p.Termios.Cflag & CBAUD;
    if (GetParam().Standard) EXPECT_EQ(code, posix::StandardRateCode(GetParam().Rate));
    else EXPECT_EQ(code, posix::CustomRateCode);
    EXPECT_EQ(p.Termios.Ospeed, GetParam().Rate);
    EXPECT_EQ(p.Termios.Ispeed, GetParam().Rate);
    EXPECT_EQ(p.Termios.Cflag & CIBAUD, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryRate, LineRateTest,
                         ::testing::Values(RateCase{110, true}, RateCase{300, true}, RateCase{600, true},
                                           RateCase{1200, true}, RateCase{2400, true}, RateCase{4800, true},
                                           RateCase{9600, true}, RateCase{14400, false}, RateCase{19200, true},
                                           RateCase{38400, true}, RateCase{56000, false}, RateCase{57600, true},
                                           RateCase{115200, true}, RateCase{128000, false},
                                           RateCase{256000, false}, RateCase{250000, false}));

struct FramingCase {
    uint8_t ByteSize, Parity, StopBits;
    uint32_t Expected;  // CSIZE | PARENB | PARODD | CMSPAR | CSTOPB bits
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << int(c.ByteSize) << "/" << int(c.Parity) << "/" << int(c.StopBits); }

class LineFramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(LineFramingTest, DataBitsParityAndStopBits) {
    TDCB d = CommPortBlock();
    d.ByteSize = GetParam().ByteSize;
    d.Parity = GetParam().Parity;
    d.StopBits = GetParam().StopBits;
    const LinePlan p = BuildLinePlan(d, Cooked());
    ASSERT_EQ(p.Error, 0);
    EXPECT_EQ(p.Termios.Cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineFramingTest,
    ::testing::Values(FramingCase{5, 0, 0, CS5}, FramingCase{6, 0, 0, CS6}, FramingCase{7, 0, 0, CS7},
                      FramingCase{8, 0, 0, CS8}, FramingCase{8, 1, 0, CS8 | PARENB | PARODD},
                      FramingCase{8, 2, 0, CS8 | PARENB}, FramingCase{7, 3, 0, CS7 | PARENB | PARODD | CMSPAR},
                      FramingCase{7, 4, 0, CS7 | PARENB | CMSPAR}, FramingCase{8, 0, 2, CS8 | CSTOPB},
                      FramingCase{5, 0, 1, CS5 | CSTOPB}));

struct RefusalCase {
    const char* What;
    TDCB Block;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.What; }

TDCB With(void (*Change)(TDCB&)) {
    TDCB d = CommPortBlock();
    Change(d);
    return d;
}

class LineRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(LineRefusalTest, WhatTheLineCannotDoIsRefused) {
    EXPECT_EQ(BuildLinePlan(GetParam().Block, Cooked()).Error, EINVAL) << GetParam().What;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineRefusalTest,
    ::testing::Values(RefusalCase{"4 data bits", With([](TDCB& d) { d.ByteSize = 4; })},
                      RefusalCase{"1.5 stop bits with 8 data bits", With([](TDCB& d) { d.StopBits = 1; })},
                      RefusalCase{"2 stop bits with 5 data bits", With([](TDCB& d) {
                                      d.ByteSize = 5;
                                      d.StopBits = 2;
                                  })},
                      RefusalCase{"rate 0", With([](TDCB& d) { d.BaudRate = 0; })},
                      RefusalCase{"DSR output flow", With([](TDCB& d) { d.Flags |= dcb_OutxDsrFlow; })},
                      RefusalCase{"DSR sensitivity", With([](TDCB& d) { d.Flags |= dcb_DsrSensitivity; })},
                      RefusalCase{"DTR handshake", With([](TDCB& d) { d.Flags |= dcb_DtrControlHandshake; })},
                      RefusalCase{"null stripping", With([](TDCB& d) { d.Flags |= dcb_NullStrip; })},
                      RefusalCase{"error character other than 0", With([](TDCB& d) {
                                      d.Flags |= dcb_ErrorChar;
                                      d.ErrorChar = '?';
                                  })},
                      RefusalCase{"XON equal to XOFF", With([](TDCB& d) {
                                      d.Flags |= dcb_OutX;
                                      d.XoffChar = d.XonChar;
                                  })}));

TEST(LinePlanTest, FlowControlFlagsAndCharacters) {
    TDCB d = CommPortBlock();
    d.Flags |= dcb_OutxCtsFlow | dcb_OutX | dcb_InX | dcb_ParityCheck | dcb_TXContinueOnXoff;
    d.XonChar = 'Q';
    d.XoffChar = 'S';
    const LinePlan p = BuildLinePlan(d, Cooked());
    ASSERT_EQ(p.Error, 0);
    EXPECT_NE(p.Termios.Cflag & CRTSCTS, 0u);
    EXPECT_NE(p.Termios.Iflag & IXON, 0u);
    EXPECT_NE(p.Termios.Iflag & IXOFF, 0u);
    EXPECT_NE(p.Termios.Iflag & INPCK, 0u);
    EXPECT_EQ(p.Termios.Iflag & IGNPAR, 0u);
    EXPECT_EQ(p.Termios.Cc[VSTART], 'Q');
    EXPECT_EQ(p.Termios.Cc[VSTOP], 'S');
}

struct LevelCase {
    uint32_t Flags;
    LineLevel Dtr, Rts;
    bool Crtscts, Toggle;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << "flags " << c.Flags; }

class LineLevelTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LineLevelTest, DtrAndRtsControl) {
    TDCB d = CommPortBlock();
    d.Flags |= GetParam().Flags;
    const LinePlan p = BuildLinePlan(d, Cooked());
    ASSERT_EQ(p.Error, 0);
    EXPECT_EQ(p.Dtr, GetParam().Dtr);
    EXPECT_EQ(p.Rts, GetParam().Rts);
    EXPECT_EQ((p.Termios.Cflag & CRTSCTS) != 0, GetParam().Crtscts);
    EXPECT_EQ(p.RtsToggle, GetParam().Toggle);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineLevelTest,
    ::testing::Values(LevelCase{0, LineLevel::Low, LineLevel::Low, false, false},
                      LevelCase{dcb_DtrControlEnable | dcb_RtsControlEnable, LineLevel::High, LineLevel::High, false, false},
                      LevelCase{dcb_RtsControlHandshake, LineLevel::Low, LineLevel::Leave, true, false},
                      LevelCase{dcb_RtsControlToggle, LineLevel::Low, LineLevel::Leave, false, true}));

TEST(LinePlanTest, RateToleranceIsThreePercent) {
    EXPECT_TRUE(RateAccepted(56000, 57600));
    EXPECT_TRUE(RateAccepted(9600, 9600));
    EXPECT_FALSE(RateAccepted(256000, 230400));
    EXPECT_FALSE(RateAccepted(4000000, 9600));
}

TEST(LineDescription, ReadsAsThePersonWouldSayIt) {
    posix::LineTermios t;
    t.Cflag = CS8 | CREAD | CLOCAL;
    t.Ospeed = t.Ispeed = 115200;
    EXPECT_EQ(posix::DescribeLine(t), "115200 bit/s, 8 data bits, no parity, 1 stop bit, no flow control, raw");
    t.Cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    t.Iflag = IXON | IXOFF | ICRNL;
    t.Ospeed = t.Ispeed = 9600;
    EXPECT_EQ(posix::DescribeLine(t),
              "9600 bit/s, 7 data bits, odd parity, 2 stop bits, flow control RTS/CTS and XON/XOFF, not raw");
}

// --- Device names --------------------------------------------------------------------------

TEST(DeviceNameTest, PathsOtherNamesAndComLinks) {
    test::TempDir dir{test::WorkIn::TheFolder};
    EXPECT_EQ(posix::ResolveDeviceName("/dev/ttyUSB3"), "/dev/ttyUSB3");
    EXPECT_EQ(posix::ResolveDeviceName("ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(posix::ResolveDeviceName("COM0"), "");
    EXPECT_EQ(posix::ResolveDeviceName("COM9999"), "");
    dir.Link("COM2", "/dev/null");
    EXPECT_EQ(posix::ResolveDeviceName("COM2"), "COM2");
}

TEST(DeviceNameTest, SystemPortsUsbFirstInNumberOrderThenOnboardWithHardware) {
    test::TempDir dir{test::WorkIn::TheFolder};
    namespace fs = std::filesystem;
    fs::create_directories("dev");
    for (const char* n : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB10", "ttyUSB2", "ttyACM0", "ttyUSBx", "tty0", "ttyS2"})
        std::ofstream("dev/" + std::string(n));
    for (const auto& [name, type] : {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS10", "4"}}) {
        fs::create_directories(std::string("sys/") + name);
        std::ofstream(std::string("sys/") + name + "/type") << type << "\n";
    }
    const std::vector<std::string> ports = posix::ListSerialPorts("dev", "sys", "no-consoles");
    EXPECT_EQ(ports, (std::vector<std::string>{"dev/ttyUSB2", "dev/ttyUSB10", "dev/ttyACM0", "dev/ttyS0", "dev/ttyS10"}));
}

TEST(DeviceNameTest, ConsolesAreNeverCounted) {
    // ttyS0 is the console by its attribute, ttyUSB0 by the kernel's list;
    // so COM1 is ttyUSB1 and COM2 ttyS1.
    test::TempDir dir{test::WorkIn::TheFolder};
    namespace fs = std::filesystem;
    fs::create_directories("dev");
    for (const char* n : {"ttyS0", "ttyS1", "ttyUSB0", "ttyUSB1"}) {
        std::ofstream("dev/" + std::string(n));
        fs::create_directories(std::string("sys/") + n);
        std::ofstream(std::string("sys/") + n + "/type") << "4\n";
    }
    std::ofstream("sys/ttyS0/console") << "Y\n";
    std::ofstream("sys/ttyS1/console") << "N\n";
    std::ofstream("consoles") << "tty0                 -WU (EC p  )    4:1\nttyUSB0              -W- (E  p a)  188:0\n";
    EXPECT_EQ(posix::ListSerialPorts("dev", "sys", "consoles"), (std::vector<std::string>{"dev/ttyUSB1", "dev/ttyS1"}));
}

// --- Port facts ----------------------------------------------------------------------------

TEST(PortFactsTest, ALockHeldByAnotherProcessIsSeenWithoutOpeningThePort) {
    test::TempDir dir{test::WorkIn::TheFolder};
    std::filesystem::create_directories("dev");
    std::ofstream("dev/ttyUSB0");
    posix::PortFolders F;
    F.DevDir = "dev";
    F.SysTtyDir = "sys";
    F.ConsolesFile = "no-consoles";
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        close(release[1]);
        const int fd = open("dev/ttyUSB0", O_RDWR);
        const char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(release[0], &c, 1);  // until the parent has looked
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    const auto ports = posix::DescribeSerialPorts(F);
    close(release[1]);
    close(ready[0]);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(ports.size(), 1u);
    ASSERT_EQ(ports[0].Holders.size(), 1u) << "one holder, seen once though it both locks and holds the port";
    EXPECT_EQ(ports[0].Holders[0].Pid, child);
    EXPECT_TRUE(ports[0].Holders[0].Locked);
    EXPECT_FALSE(ports[0].Holders[0].Command.empty());
}

}  // namespace
}  // namespace pelk

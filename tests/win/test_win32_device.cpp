// The Win32 device layer on real COM ports: under wine, each COMn is a
// pseudo-terminal whose far end pelk_wine_peers serves (see wine_peers.cpp
// for what answers on which port). Without those peers (PELK_WINE_PEERS not
// set) the tests that need a line are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/rs232.h"
#include "serial/vaconst.h"
#include "serial/win32/platform_error.h"
#include "serial/win32/port_list.h"
#include "serial/win32/serial_device.h"

namespace pelk::win32 {
namespace {

bool HavePeers() { return std::getenv("PELK_WINE_PEERS") != nullptr; }

#define REQUIRE_PEERS() \
    if (!HavePeers()) GTEST_SKIP() << "no pelk_wine_peers serving the COM ports"

TDCB LineOf(uint32_t Rate, uint8_t Bits = 8, uint8_t Parity = 0, uint8_t Stop = 0, uint32_t Flags = dcb_Binary) {
    TDCB d;
    d.BaudRate = Rate;
    d.ByteSize = Bits;
    d.Parity = Parity;
    d.StopBits = Stop;
    d.Flags = Flags;
    d.XonLim = d.XoffLim = 250;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
}

// Opens Name as the component does: settings, queues, timeouts, mask.
std::shared_ptr<SerialDevice> OpenLine(const std::string& Name, const TDCB& Dcb = LineOf(9600)) {
    auto device = SerialDevice::Open(Name);
    if (!device) return nullptr;
    EXPECT_TRUE(device->SetState(Dcb)) << PlatformErrorMessage("(%d), %s");
    EXPECT_TRUE(device->SetupQueues(1000, 1000));
    EXPECT_TRUE(device->SetTimeoutsImmediate());
    EXPECT_TRUE(device->SetEventMask(EV_RXCHAR | EV_ERR));
    return device;
}

// Waits (through the device's event wait, as the event thread does) until
// Count bytes have arrived, and reads them; fewer if the line stays quiet
// for a few seconds.
std::vector<uint8_t> Receive(SerialDevice& Device, size_t Count) {
    TVaWaitEvent stop;
    std::vector<uint8_t> got;
    int quiet = 0;
    while (got.size() < Count && quiet < 3000) {
        SerialDevice::InputSample sample;
        if (!Device.SampleInput(sample)) break;
        if (sample.Queued == 0) {
            short revents = 0;
            if (Device.Wait(DeviceReadable, {&stop}, 1, revents) == -1) ++quiet;
            continue;
        }
        std::vector<uint8_t> buf(size_t(sample.Queued));
        const int n = Device.Read(buf.data(), sample.Queued);
        if (n < 0) break;
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    return got;
}

int WriteAll(SerialDevice& Device, const uint8_t* Data, int Count) {
    int done = 0;
    while (done < Count) {
        const int n = Device.Write(Data + done, Count - done);
        if (n < 0) return -1;
        if (n == 0) {
            short revents = 0;
            Device.Wait(DeviceWritable, {}, 1000, revents);
        }
        done += n;
    }
    return done;
}

TEST(Win32DeviceTest, SystemNamesAndRefusedSettings) {
    EXPECT_EQ(SystemDeviceName("COM1"), "\\\\.\\COM1");
    EXPECT_EQ(SystemDeviceName("com256"), "\\\\.\\com256");
    EXPECT_EQ(SystemDeviceName("\\\\.\\COM3"), "\\\\.\\COM3");
    EXPECT_EQ(SystemDeviceName("COM"), "COM");
    EXPECT_FALSE(DcbRefused(LineOf(9600)));
    EXPECT_TRUE(DcbRefused(LineOf(0)));
    EXPECT_TRUE(DcbRefused(LineOf(9600, 4)));
    EXPECT_TRUE(DcbRefused(LineOf(9600, 8, 0, 1)));   // 1.5 stop bits need 5 data bits
    EXPECT_FALSE(DcbRefused(LineOf(9600, 5, 0, 1)));
    EXPECT_TRUE(DcbRefused(LineOf(9600, 5, 0, 2)));   // 2 stop bits not with 5 data bits
    TDCB xonEqual = LineOf(9600, 8, 0, 0, dcb_Binary | dcb_OutX);
    xonEqual.XoffChar = xonEqual.XonChar;
    EXPECT_TRUE(DcbRefused(xonEqual));
    // What the Windows line takes, unlike a terminal: DSR flow control, DTR
    // handshake, null stripping.
    EXPECT_FALSE(DcbRefused(LineOf(9600, 8, 0, 0, dcb_Binary | dcb_OutxDsrFlow | dcb_DtrControlHandshake | dcb_NullStrip)));
}

TEST(Win32DeviceTest, PortsAreListedFromTheRegistryInNumberOrder) {
    const PortListing listing = ListPorts();
    std::vector<std::string> ports;
    for (const PortInfo& p : listing.Ports) ports.push_back(p.Name);
    for (size_t i = 1; i < ports.size(); ++i)
        EXPECT_LT(std::stoi(ports[i - 1].substr(3)), std::stoi(ports[i].substr(3))) << ports[i - 1] << " " << ports[i];
    if (!HavePeers()) return;
    const std::vector<std::string> served = {"COM5", "COM6", "COM7", "COM8", "COM9", "COM10"};
    auto first = std::find(ports.begin(), ports.end(), "COM5");
    ASSERT_NE(first, ports.end());
    EXPECT_EQ(std::vector<std::string>(first, first + std::min<ptrdiff_t>(6, ports.end() - first)), served);
    // What `pelkisp ports` shows: each port with the device behind it.
    for (const PortInfo& p : listing.Ports) EXPECT_FALSE(p.Device.empty()) << p.Name;
}

TEST(Win32DeviceTest, PortNamesAndTheirListing) {
    const std::pair<const char*, unsigned> names[] = {
        {"COM1", 1}, {"com12", 12}, {"COM256", 256}, {"COM257", 0}, {"COM0", 0},
        {"COM03", 0}, {"COM", 0},   {"COM1a", 0},    {"LPT1", 0},   {"\\\\.\\COM3", 0},
    };
    for (const auto& [name, number] : names) EXPECT_EQ(ComPortNumber(name), number) << name;
    const PortListing listing = ListPorts();
    EXPECT_EQ(listing.SearchedIn, "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    EXPECT_TRUE(listing.ComNames.empty()) << "COMn is the system's own name";
}

TEST(Win32DeviceTest, MissingPortFailsWithTheSystemsCodeAndText) {
    EXPECT_EQ(SerialDevice::Open("COM199"), nullptr);
    EXPECT_EQ(LastPlatformError(), 2);  // ERROR_FILE_NOT_FOUND
    EXPECT_FALSE(PlatformErrorText(2).empty());
    EXPECT_NE(PlatformErrorText(2).back(), '\n');
    // A device that is not a communications port is refused too.
    EXPECT_EQ(SerialDevice::Open("NUL"), nullptr);
    EXPECT_NE(LastPlatformError(), 0);
}

TEST(Win32DeviceTest, LineSettingsReachTheTerminalDriver) {
    REQUIRE_PEERS();
    auto line = OpenLine("COM10", LineOf(19200));
    ASSERT_NE(line, nullptr) << PlatformErrorMessage("(%d), %s");
    struct Case {
        TDCB Dcb;
        std::string Expected;
    };
    // A pseudo-terminal always keeps 8 data bits and no parity (the kernel
    // forces them), so only the rate, the stop bits and the flow control
    // can be seen on the far side.
    const Case cases[] = {
        {LineOf(19200), "19200 8N1 -\n"},
        {LineOf(9600, 7, 2, 2, dcb_Binary | dcb_OutxCtsFlow | dcb_RtsControlHandshake), "9600 8N2 rtscts\n"},
        {LineOf(115200, 8, 1, 0, dcb_Binary | dcb_OutX | dcb_InX), "115200 8N1 xonxoff\n"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(line->SetState(c.Dcb)) << PlatformErrorMessage("(%d), %s");
        const uint8_t ask = '?';
        ASSERT_EQ(WriteAll(*line, &ask, 1), 1);
        const std::vector<uint8_t> reply = Receive(*line, c.Expected.size());
        EXPECT_EQ(std::string(reply.begin(), reply.end()), c.Expected);
    }
    // A rate the line does not really run at is refused, and the old one kept.
    EXPECT_FALSE(line->SetState(LineOf(12345)));
    EXPECT_EQ(LastPlatformError(), 87);  // ERROR_INVALID_PARAMETER
    line->Close();
    EXPECT_FALSE(line->IsOpen());
}

TEST(Win32DeviceTest, PreambleAndFrameGoOutInOrder) {
    REQUIRE_PEERS();
    auto line = OpenLine("COM8");
    ASSERT_NE(line, nullptr) << PlatformErrorMessage("(%d), %s");
    std::vector<uint8_t> sent(LinkPreamble.begin(), LinkPreamble.end());
    uint8_t block[BlockSize];
    for (size_t i = 0; i < BlockSize; ++i) block[i] = uint8_t(i * 7);
    const TxFrameBytes frame = MakeCommandFrame(CmdProgram, 0x1280, block);
    ASSERT_EQ(WriteAll(*line, LinkPreamble.data(), int(LinkPreamble.size())), 3);
    ASSERT_EQ(WriteAll(*line, frame.data(), int(frame.size())), 136);
    sent.insert(sent.end(), frame.begin(), frame.end());
    EXPECT_EQ(Receive(*line, sent.size()), sent);
    TVaCommStatus status;
    ASSERT_TRUE(line->ClearError(status));
    EXPECT_EQ(status.Errors, 0u);
    EXPECT_EQ(status.Stat.cbInQue, 0u);
}

TEST(Win32DeviceTest, FarSideGoingAwayIsSeenAsAHangUp) {
    REQUIRE_PEERS();
    auto line = OpenLine("COM9");
    ASSERT_NE(line, nullptr) << PlatformErrorMessage("(%d), %s");
    EXPECT_FALSE(line->HungUp());
    const uint8_t bye = 0x55;
    ASSERT_EQ(WriteAll(*line, &bye, 1), 1);  // the peer closes the line on it
    TVaWaitEvent stop;
    bool reported = false;
    for (int turn = 0; turn < 5000 && !reported; ++turn) {
        short revents = 0;
        const int r = line->Wait(DeviceReadable, {&stop}, 1000, revents);
        reported = r == -2 || (revents & DeviceHangUp) || line->HungUp();
    }
    EXPECT_TRUE(reported);
    EXPECT_TRUE(line->HungUp());
    EXPECT_TRUE(line->ClaimHangUpReport());
    EXPECT_FALSE(line->ClaimHangUpReport());
    line->Close();
}

}  // namespace
}  // namespace pelk::win32

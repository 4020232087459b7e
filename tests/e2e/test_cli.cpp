// End to end: the pelkisp command line against the simulated target, both
// inside the process (--port sim) and as the pelkisp-target program behind a
// pseudo-terminal, with the exit statuses and the exact result lines.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <map>
#include <tuple>
#include <regex>

#include "cli_fixture.h"

namespace pelk {
namespace {

using test::ChildProcess;
using test::CliRun;
using test::CliTest;
namespace fs = std::filesystem;

TEST_F(CliTest, ProgramsAndVerifiesEachDeviceSize) {
    struct {
        const char* device;
        size_t size;
    } cases[] = {{"W78E58B", 0x8000}, {"w78e516b", 0x10000}, {"W77E532", 0x20000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        const std::string image = RandomImageFile("image.bin", c.size, uint32_t(c.size));
        const std::string port = StartTarget({"--device", c.device, "--flash", "flash.bin"});
        const CliRun r = Pelkisp({"--port", port, "--baud", "115200", "--device", c.device, "program", image});
        EXPECT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(r.Out, "Device erased.\nDevice programmed.\nVerification OK.\n");
        EXPECT_EQ(StopTarget(), 0);
        EXPECT_EQ(ReadFile("flash.bin"), ReadFile(image));
        fs::remove(Dir / "flash.bin");
    }
}

TEST_F(CliTest, ExampleFirmwareThroughTheSimulatorInsideTheProcess) {
    const CliRun r = Pelkisp({"--port", "sim", "--sim-flash", "chip.bin", "program",
                           std::string(PELK_EXAMPLES_DIR) + "/blinky.hex"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "Device erased.\nDevice programmed.\nVerification OK.\n");
    // The load's summary, and no progress bar: standard error is not a terminal.
    EXPECT_EQ(r.Err, "pelkisp: " + std::string(PELK_EXAMPLES_DIR) + "/blinky.hex: 16 bytes in 00000-0000F, CRC ECAC\n");
    const auto flash = ReadFile("chip.bin");
    ASSERT_EQ(flash.size(), 0x10000u);
    EXPECT_NE(flash[0], 0xFF);
    // The flash file is kept between runs: the next verify agrees, a blank check does not.
    const CliRun v = Pelkisp({"--port", "sim", "--sim-flash", "chip.bin", "verify",
                           std::string(PELK_EXAMPLES_DIR) + "/blinky.hex"});
    EXPECT_EQ(v.Status, 0) << v.Err;
    EXPECT_EQ(v.Out, "Verification OK.\n");
    const CliRun b = Pelkisp({"--port", "sim", "--sim-flash", "chip.bin", "blank"});
    EXPECT_EQ(b.Status, 1);
    EXPECT_EQ(b.Out, "Device not blank at adress: 00000\n");
}

TEST_F(CliTest, ExampleFirmwareFrameCountsWithAndWithoutAllBlocks) {
    const std::string blinky = std::string(PELK_EXAMPLES_DIR) + "/blinky.hex";
    struct {
        std::vector<std::string> options;
        std::string frames;
    } cases[] = {
        // The 16-byte program is one data block: one frame per step.
        {{}, "stopped after 3 frames (program 1, verify 1, erase 1, blank check 0, bad checksum 0)"},
        {{"--all-blocks"}, "stopped after 1025 frames (program 512, verify 512, erase 1, blank check 0, bad checksum 0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        const std::string port = StartTarget({"--flash", "flash.bin"});
        std::vector<std::string> args{"--port", port, "--baud", "115200", "program", blinky};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const CliRun r = Pelkisp(args);
        EXPECT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(r.Out, "Device erased.\nDevice programmed.\nVerification OK.\n");
        EXPECT_EQ(StopTarget(), 0);
        EXPECT_NE(Targets.back()->StdErr.find(c.frames), std::string::npos) << Targets.back()->StdErr;
        // Either way the chip ends equal to the image: the program, then 0xFF.
        std::vector<uint8_t> expected(0x10000, 0xFF);
        const uint8_t code[16] = {0xB2, 0x90, 0x7D, 0x04, 0x7E, 0xFA, 0x7F, 0xFA,
                                  0xDF, 0xFE, 0xDE, 0xFA, 0xDD, 0xF6, 0x80, 0xF0};
        std::copy(std::begin(code), std::end(code), expected.begin());
        EXPECT_EQ(ReadFile("flash.bin"), expected);
        fs::remove(Dir / "flash.bin");
    }
    // A file with no data block is refused; with --force nothing is sent,
    // and the run ends saying that nothing was checked: not a success.
    { std::ofstream(Dir / "empty.hex", std::ios::binary) << ":00000001FF\r\n"; }
    const std::string port = StartTarget({});
    CliRun r = Pelkisp({"--port", port, "verify", "empty.hex"});
    EXPECT_EQ(r.Status, 2) << r.Err;
    EXPECT_EQ(r.Out, "");
    r = Pelkisp({"--port", port, "verify", "empty.hex", "--force"});
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_EQ(r.Out, "Nothing to verify: every byte of the device is FF.\n");
    EXPECT_NE(r.Err.find("nothing reaches the chip and nothing is checked"), std::string::npos) << r.Err;
    EXPECT_EQ(StopTarget(), 0);
    EXPECT_NE(Targets.back()->StdErr.find("stopped after 0 frames"), std::string::npos) << Targets.back()->StdErr;
}

TEST_F(CliTest, VerificationErrorAfterAFlashByteChanged) {
    const std::string image = RandomImageFile("image.bin", 0x8000, 3);
    const std::string port = StartTarget({"--device", "3", "--damage-after", "100"});
    const CliRun r = Pelkisp({"--port", port, "--device", "3", "program", image});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "Device erased.\nDevice programmed.\nVerification error.\n");
}

TEST_F(CliTest, EraseThenBlankCheck) {
    const std::string port = StartTarget({"--device", "1"});
    CliRun r = Pelkisp({"--port", port, "erase"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "Device erased.\n");
    r = Pelkisp({"--port", port, "blank"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "Device is blank.\n");
}

TEST_F(CliTest, BlankCheckFindsDataAndProgrammingOverDataFails) {
    {
        std::ofstream f(Dir / "part.hex", std::ios::binary);
        f << ":0412340011223344" << "0C\r\n:00000001FF\r\n";
    }
    const std::string port = StartTarget({"--device", "1"});
    CliRun r = Pelkisp({"--port", port, "program", "part.hex", "--no-verify"});
    EXPECT_EQ(r.Out, "Device erased.\nDevice programmed.\n");
    r = Pelkisp({"--port", port, "blank"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "Device not blank at adress: 01234\n");
    // Programming other data over it without an erase: the first stuck byte.
    {
        std::ofstream f(Dir / "other.hex", std::ios::binary);
        f << ":02123400AAAA" << "64\r\n:00000001FF\r\n";
    }
    r = Pelkisp({"--port", port, "--no-erase", "program", "other.hex"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "Programming error at adress: 01234\n");
}

TEST_F(CliTest, CorruptedChecksumsAndNoiseAreSurvived) {
    const std::string image = RandomImageFile("image.bin", 0x8000, 4);
    const std::string port = StartTarget({"--device", "4", "--corrupt-every", "3", "--noise", "7", "--split", "1"});
    const CliRun r = Pelkisp({"--port", port, "--device", "W78LE58", "program", image});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "Device erased.\nDevice programmed.\nVerification OK.\n");
}

TEST_F(CliTest, CtrlCStopsTheOperation) {
    const std::string image = RandomImageFile("image.bin", 0x10000, 5);
    const std::string port = StartTarget({"--pace", "9600"});
    ChildProcess p(PELKISP_PATH, {"--port", port, "--no-erase", "program", image}, Dir, -1, -1, Env());
    ASSERT_TRUE(WaitUntilCatching(p.ProcessId(), SIGINT)) << "the run did not begin";
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 130);
    EXPECT_EQ(p.StdOut, "Stopped.\n");
}

TEST_F(CliTest, HangUpOfThePortEndsTheRunAtOnceWithOneMessage) {
    const std::string image = RandomImageFile("image.bin", 0x10000, 7);
    const std::string port = StartTarget({"--pace", "9600"});
    // -q: the load's summary is left out, errors are not.
    ChildProcess p(PELKISP_PATH, {"-q", "--port", port, "--no-erase", "program", image}, Dir, -1, -1, Env());
    ASSERT_TRUE(WaitUntilCatching(p.ProcessId(), SIGINT)) << "the run did not begin";
    Targets.back()->Signal(SIGKILL);  // the line's other side goes away
    Targets.back()->Wait();
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_EQ(p.StdOut, "");
    EXPECT_EQ(p.StdErr, "pelkisp: Device " + port + " hung up or was removed\n");
}

TEST_F(CliTest, TerminalHangUpStopsLikeCtrlCAndKeepsTheSimulatedFlash) {
    const std::string image = RandomImageFile("image.bin", 0x20000, 8);
    ChildProcess p(PELKISP_PATH, {"--port", "sim", "--device", "W77E532", "--sim-flash", "chip.bin", "program", image}, Dir,
                   -1, -1, Env());
    ASSERT_TRUE(WaitUntilCatching(p.ProcessId(), SIGHUP)) << "the run did not begin";
    p.Signal(SIGHUP);
    EXPECT_EQ(p.Wait(), 128 + SIGHUP);
    EXPECT_TRUE(p.StdOut.ends_with("Stopped.\n")) << p.StdOut;
    EXPECT_EQ(ReadFile("chip.bin").size(), 0x20000u) << "the simulated flash was not written back";
}

TEST_F(CliTest, LostStandardOutputEndsTheRunCleanlyNotMidway) {
    const std::vector<std::string> args = {"--port", "sim", "--sim-flash", "chip.bin", "program",
                                           std::string(PELK_EXAMPLES_DIR) + "/blinky.hex"};
    for (const bool closedPipe : {true, false}) {
        SCOPED_TRACE(closedPipe ? "closed pipe" : "/dev/full");
        fs::remove(Dir / "chip.bin");
        int out = -1;
        if (closedPipe) {
            int p[2];
            ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
            close(p[0]);  // nobody reads: as "| head -c1" after its byte
            out = p[1];
        } else {
            out = open("/dev/full", O_WRONLY | O_CLOEXEC);
        }
        ChildProcess c(PELKISP_PATH, args, Dir, out, -1, Env());
        close(out);
        EXPECT_EQ(c.Wait(), 2);
        EXPECT_NE(c.StdErr.find(std::string("pelkisp: can't write to standard output: ") +
                                (closedPipe ? "Broken pipe" : "No space left on device")),
                  std::string::npos)
            << c.StdErr;
        const auto flash = ReadFile("chip.bin");
        ASSERT_EQ(flash.size(), 0x10000u) << "the run ended midway";
        EXPECT_NE(flash[0], 0xFF) << "the program step did not run";
    }
}

// Several boards at once: a port that cannot be opened among good ones
// does not keep them from being programmed (exit 3), and Ctrl-C stops every
// board, each saying so (exit 130). Every line of a board carries its port.
TEST_F(CliTest, SeveralBoardsAtOnceWithAPortThatCannotBeOpened) {
    const std::string image = RandomImageFile("image.bin", 0x10000, 21);
    const std::string first = StartTarget({"--flash", "first.bin"});
    const std::string second = StartTarget({"--flash", "second.bin"});
    const CliRun r = Pelkisp({"-p", first, "--port=/dev/no-such-tty," + second, "-b", "115200", "program", image});
    EXPECT_EQ(r.Status, 3) << r.Err;
    // Each line of standard output is one board's; standard error has the
    // refusal and, at the end, a summary line per board in the order given.
    std::string stray;
    auto out = LinesByPort(r.Out, {first, second}, stray);
    EXPECT_EQ(stray, "");
    for (const std::string& port : {first, second})
        EXPECT_EQ(out[port], "Device erased.\nDevice programmed.\nVerification OK.\n") << r.Out;
    EXPECT_NE(r.Err.find("/dev/no-such-tty: Unable to open specified device /dev/no-such-tty"), std::string::npos) << r.Err;
    const size_t summary = r.Err.find(first + ": succeeded in ");
    ASSERT_NE(summary, std::string::npos) << r.Err;
    EXPECT_TRUE(r.Err.substr(summary).starts_with(first + ": succeeded in ")) << r.Err;
    EXPECT_NE(r.Err.find("\n/dev/no-such-tty: failed: Unable to open", summary), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("\n" + second + ": succeeded in ", summary), std::string::npos) << r.Err;
    EXPECT_EQ(StopTarget(), 0);
    Targets.pop_back();
    EXPECT_EQ(StopTarget(), 0);
    EXPECT_EQ(ReadFile("first.bin"), ReadFile(image));
    EXPECT_EQ(ReadFile("second.bin"), ReadFile(image));

    // Two slow boards, stopped together.
    const std::string slow1 = StartTarget({"--pace", "9600"});
    const std::string slow2 = StartTarget({"--pace", "9600"});
    ChildProcess p(PELKISP_PATH, {"-p", slow1 + "," + slow2, "--no-erase", "program", image}, Dir, -1, -1, Env());
    ASSERT_TRUE(WaitUntilCatching(p.ProcessId(), SIGINT)) << "the run did not begin";
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 130);
    EXPECT_NE(p.StdOut.find(slow1 + ": Stopped.\n"), std::string::npos) << p.StdOut;
    EXPECT_NE(p.StdOut.find(slow2 + ": Stopped.\n"), std::string::npos) << p.StdOut;
    EXPECT_NE(p.StdErr.find(slow1 + ": stopped in "), std::string::npos) << p.StdErr;
    EXPECT_NE(p.StdErr.find(slow2 + ": stopped in "), std::string::npos) << p.StdErr;
}

// --before and --after on ports without modem lines (pseudo-terminals): a
// sequence that sets a line is refused before anything is sent; one that
// only waits runs, "before" ahead of the first step and "after" behind the
// last, also after a failure and a stop.
TEST_F(CliTest, ResetLineSequencesOnAPortWithoutModemLines) {
    const std::string image = RandomImageFile("image.bin", 0x1000, 23);
    const std::string port = StartTarget({"--flash", "flash.bin"});
    const CliRun refused = Pelkisp({"-p", port, "--before", "dtr,50ms,-dtr", "program", image});
    EXPECT_EQ(refused.Status, 3);
    EXPECT_EQ(refused.Out, "");
    EXPECT_NE(refused.Err.find(port + ": this port has no modem lines\n"), std::string::npos) << refused.Err;
    const CliRun waits = Pelkisp({"-p", port, "-v", "--before", "50ms", "--after=20ms", "erase"});
    EXPECT_EQ(waits.Status, 0) << waits.Err;
    EXPECT_EQ(waits.Out, "Device erased.\n");
    const size_t before = waits.Err.find("pelkisp: before: 50ms\n");
    const size_t step = waits.Err.find("pelkisp: Erase: ");
    const size_t after = waits.Err.find("pelkisp: after: 20ms\n");
    ASSERT_NE(before, std::string::npos) << waits.Err;
    EXPECT_LT(before, step) << waits.Err;
    EXPECT_LT(step, after) << waits.Err;
    EXPECT_NE(after, std::string::npos) << waits.Err;
    // "after" also follows a failed step and a stop.
    const CliRun failed = Pelkisp({"-p", port, "-v", "--after=20ms", "verify", image});
    EXPECT_EQ(failed.Status, 1);
    EXPECT_EQ(failed.Out, "Verification error.\n");
    EXPECT_NE(failed.Err.find("pelkisp: after: 20ms\n"), std::string::npos) << failed.Err;
    const std::string slow = StartTarget({"--pace", "9600"});
    ChildProcess stopped(PELKISP_PATH, {"-p", slow, "-v", "--after=20ms", "--no-erase", "program", image}, Dir, -1, -1, Env());
    ASSERT_TRUE(WaitUntilCatching(stopped.ProcessId(), SIGINT)) << "the run did not begin";
    stopped.Signal(SIGINT);
    EXPECT_EQ(stopped.Wait(), 130);
    EXPECT_EQ(stopped.StdOut, "Stopped.\n");
    EXPECT_NE(stopped.StdErr.find("pelkisp: after: 20ms\n"), std::string::npos) << stopped.StdErr;
    Targets.pop_back();
    EXPECT_EQ(StopTarget(), 0);
    // Nothing was ever programmed: the refused run sent no frame.
    const auto flash = ReadFile("flash.bin");
    ASSERT_EQ(flash.size(), 0x10000u);
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

// Every file a run reads or writes follows one rule and is named in one
// way: a folder, a missing folder, a write-protected file (also for root),
// a FIFO nobody reads (at once, no hang), a device that takes nothing; the
// files of one run never name each other; the flash file's problems are the
// user's file errors (exit 2, with the program's name).
TEST_F(CliTest, FilesOfARunFollowOneRule) {
    { std::ofstream(Dir / "fw.hex", std::ios::binary) << ":0100000002FD\r\n:00000001FF\r\n"; }
    { std::ofstream(Dir / "ro.txt") << "keep"; }
    { std::ofstream(Dir / "notalog.csv") << "some notes\n"; }
    ASSERT_EQ(chmod((Dir / "ro.txt").c_str(), 0444), 0);
    ASSERT_EQ(mkfifo((Dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(Dir / "dir");
    const std::string noFolder = (fs::path("nofolder") / "x").string();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"checksum", "dir"}, 2, "pelkisp: dir: Can't open file (it is a folder)\n"},
        {{"convert", "fw.hex", "dir"}, 2, "pelkisp: dir: Can't open file (it is a folder)\n"},
        {{"-p", "sim", "--trace=dir", "erase"}, 2, "pelkisp: --trace=dir: can't open it (it is a folder)\n"},
        {{"-p", "sim", "--log", "dir", "erase"}, 2, "pelkisp: --log dir: can't open it (it is a folder)\n"},
        {{"-p", "sim", "--sim-flash", "dir", "erase"}, 2, "pelkisp: Can't use flash file dir: it is a folder\n"},
        {{"checksum", noFolder}, 2, "Can't open file (the folder nofolder does not exist)\n"},
        {{"-p", "sim", "--trace=" + noFolder, "erase"}, 2, "can't open it (the folder nofolder does not exist)\n"},
        {{"-p", "sim", "--log", noFolder, "erase"}, 2, "can't open it (the folder nofolder does not exist)\n"},
        {{"-p", "sim", "--sim-flash", noFolder, "erase"}, 2, "pelkisp: Can't use flash file nofolder/x: the folder nofolder does not exist\n"},
        {{"convert", "fw.hex", "ro.txt"}, 2, "pelkisp: ro.txt: Can't open file (the file is write-protected)\n"},
        {{"-p", "sim", "--trace=ro.txt", "erase"}, 2, "pelkisp: --trace=ro.txt: can't open it (the file is write-protected)\n"},
        {{"-p", "sim", "--log", "ro.txt", "erase"}, 2, "pelkisp: --log ro.txt: can't open it (the file is write-protected)\n"},
        {{"-p", "sim", "--sim-flash", "ro.txt", "erase"}, 2, "pelkisp: Can't use flash file ro.txt: the file is write-protected\n"},
        {{"-p", "sim", "--trace=fifo", "erase"}, 2, "can't open it (no program reads from this FIFO)\n"},
        {{"-p", "sim", "--trace=/dev/full", "erase"}, 2, "pelkisp: --trace=/dev/full: can't write it (No space left on device)\n"},
        {{"-p", "sim", "--log", "notalog.csv", "erase"}, 2, "it is not a results log: its first line is not the log's header"},
        {{"-p", "sim", "--sim-flash", "fw.hex", "program", "fw.hex"}, 2,
         "pelkisp: --sim-flash fw.hex: that is fw.hex, the firmware, which the run reads\n"},
        {{"-p", "sim", "--sim-flash", "new.bin", "--trace=new.bin", "erase"}, 2,
         "pelkisp: --trace=new.bin: that is new.bin, which the run also writes as --sim-flash\n"},
        {{"-p", "sim", "--trace=t.txt", "--log", "t.txt", "erase"}, 2,
         "pelkisp: --log t.txt: that is t.txt, which the run also writes as --trace\n"},
    };
    for (const auto& c : cases) {
        const CliRun r = Pelkisp(c.args);
        SCOPED_TRACE(c.args[c.args.size() - 2] + " " + c.args.back() + "\n" + r.Err);
        EXPECT_EQ(r.Status, c.status);
        EXPECT_NE(r.Err.find(c.err), std::string::npos);
    }
    EXPECT_EQ(ReadFile("ro.txt"), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));
    EXPECT_EQ(ReadFile("fw.hex").size(), 28u) << "the firmware was never turned into a flash image";
    EXPECT_FALSE(fs::exists(Dir / "new.bin"));
    EXPECT_FALSE(fs::exists(Dir / "t.txt"));
    // "-" is standard output for the log: the results line comes after the
    // result lines, and without a header.
    const CliRun out = Pelkisp({"-p", "sim", "--log", "-", "erase"});
    EXPECT_EQ(out.Status, 0) << out.Err;
    EXPECT_EQ(out.Out.rfind("Device erased.\n", 0), 0u) << out.Out;
    EXPECT_NE(out.Out.find(",sim,"), std::string::npos) << out.Out;
    EXPECT_EQ(out.Out.find("time,port"), std::string::npos) << out.Out;
}

// What a load reports: the bytes the file holds and the span they cover
// (not the gap before them), HEX read by its content whatever the name, a
// .hex that is not HEX refused, an offset anywhere inside the device; and a
// failed verify names its block.
TEST_F(CliTest, LoadSummaryFormatAndOffset) {
    const std::string gap = ":10010000000102030405060708090A0B0C0D0E0F77\r\n"
                            ":10011000101112131415161718191A1B1C1D1E1F67\r\n:00000001FF\r\n";
    { std::ofstream(Dir / "gap.hex", std::ios::binary) << gap; }
    { std::ofstream(Dir / "gap.h86", std::ios::binary) << gap; }
    { std::ofstream(Dir / "high.hex", std::ios::binary) << ":020000040001F9\r\n:10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FF\r\n"; }
    { std::ofstream(Dir / "text.hex", std::ios::binary) << std::string("\x02\x00\x30\xFF", 4); }
    RandomImageFile("boot.bin", 0x800, 3);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"checksum", "gap.hex"}, 0, "pelkisp: gap.hex: 32 bytes in 00100-0011F, CRC "},
        {{"checksum", "gap.h86"}, 0, "pelkisp: gap.h86: read as Intel HEX, by its content\npelkisp: gap.h86: 32 bytes in 00100-0011F"},
        {{"-d", "W77E532", "checksum", "high.hex"}, 0, "pelkisp: high.hex: 16 bytes in 10000-1000F, CRC "},
        {{"checksum", "text.hex"}, 2, "pelkisp: text.hex: not an Intel HEX file (line 1: not a record: it does not start with ':'); --format bin"},
        {{"checksum", "text.hex", "--format", "bin"}, 0, "pelkisp: text.hex: 4 bytes in 00000-00003"},
        {{"checksum", "boot.bin", "--offset", "F800"}, 0, "pelkisp: boot.bin: 2048 bytes in 0F800-0FFFF, CRC "},
    };
    for (const auto& c : cases) {
        const CliRun r = Pelkisp(c.args);
        SCOPED_TRACE(c.args[c.args.size() > 2 && c.args[0] == "-d" ? 3 : 1] + "\n" + r.Err);
        EXPECT_EQ(r.Status, c.status);
        EXPECT_EQ(r.Err.rfind(c.err, 0), 0u);
    }
    // "-" is standard input, a pipe here, HEX by its content.
    for (const std::string& command : {std::string("checksum -"), std::string("-p sim program -")}) {
        ChildProcess p("/bin/sh", {"-c", std::string(PELKISP_PATH) + " " + command + " < gap.h86"}, Dir, -1, -1, Env());
        EXPECT_EQ(p.Wait(), 0) << command << "\n" << p.StdErr;
        EXPECT_EQ(p.StdErr.rfind("pelkisp: standard input: read as Intel HEX, by its content\n"
                                 "pelkisp: standard input: 32 bytes in 00100-0011F, CRC 4F32\n", 0), 0u) << p.StdErr;
        EXPECT_EQ(p.StdOut, command[0] == 'c' ? "Checksum: E210\nCRC: 4F32\n" : "Device erased.\nDevice programmed.\nVerification OK.\n");
    }
    // The results log counts the same bytes; the chip is blank, so the
    // first data block fails.
    const CliRun v = Pelkisp({"-p", "sim", "--log", "log.csv", "verify", "gap.hex"});
    EXPECT_EQ(v.Status, 1);
    EXPECT_EQ(v.Out, "Verification error.\n");
    EXPECT_NE(v.Err.find("pelkisp: the block at 00100-0017F differs on the chip\n"), std::string::npos) << v.Err;
    std::ifstream log(Dir / "log.csv");
    std::string header, line;
    std::getline(log, header);
    std::getline(log, line);
    EXPECT_NE(line.find(",gap.hex,"), std::string::npos) << line;
    EXPECT_NE(line.find(",32,verify,"), std::string::npos) << line;
}

// --log: one CSV line per board, with a header when the file is new; a
// log that cannot be opened stops the run before anything is sent.
TEST_F(CliTest, ResultsLogHasALinePerBoard) {
    const std::string image = RandomImageFile("image.bin", 0x2000, 24);
    const CliRun sum = Pelkisp({"checksum", image});
    ASSERT_EQ(sum.Status, 0);
    ASSERT_EQ(sum.Out.size(), std::string("Checksum: XXXX\nCRC: XXXX\n").size()) << sum.Out;
    const std::string checksum = sum.Out.substr(10, 4), crc = sum.Out.substr(20, 4);
    {
        std::vector<uint8_t> flash = ReadFile(image);
        flash.resize(0x10000, 0xFF);
        std::ofstream(Dir / "same.bin", std::ios::binary).write(reinterpret_cast<const char*>(flash.data()), flash.size());
    }
    const std::string same = StartTarget({"--flash", "same.bin"});
    const std::string blank = StartTarget({"--flash", "blank.bin"});

    const CliRun refused = Pelkisp({"-p", same, "--log", "no-folder/log.csv", "--no-verify", "program", image});
    EXPECT_EQ(refused.Status, 2);
    EXPECT_EQ(refused.Out, "");
    EXPECT_NE(refused.Err.find("pelkisp: --log no-folder/log.csv: can't open it (the folder no-folder does not exist)"),
              std::string::npos)
        << refused.Err;

    const CliRun r = Pelkisp({"-p", same + "," + blank, "--log", "log.csv", "verify", image});
    EXPECT_EQ(r.Status, 1) << r.Err;
    std::ifstream log(Dir / "log.csv");
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(log, line);) {
        rows.emplace_back();
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) rows.back().push_back(field);
    }
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "port", "device", "chip", "file", "crc", "checksum", "bytes",
                                                 "steps", "result", "duration_ms", "exit_status"}));
    std::map<std::string, std::vector<std::string>> byPort;
    for (size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 12u);
        byPort[rows[i][1]] = rows[i];
    }
    for (const auto& [port, result, status] : {std::tuple{same, "Verification OK.", "0"},
                                               std::tuple{blank, "Verification error.", "1"}}) {
        SCOPED_TRACE(port);
        const std::vector<std::string>& f = byPort[port];
        ASSERT_EQ(f.size(), 12u);
        // 2026-12-08T23:59:01.123+01:00
        EXPECT_TRUE(std::regex_match(f[0], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)"))) << f[0];
        EXPECT_EQ(f[2], port);
        EXPECT_EQ(f[3], "W78E516B");
        EXPECT_EQ(f[4], image);
        EXPECT_EQ(f[5], crc);
        EXPECT_EQ(f[6], checksum);
        EXPECT_EQ(f[7], std::to_string(0x2000));
        EXPECT_EQ(f[8], "verify");
        EXPECT_EQ(f[9], result);
        EXPECT_TRUE(std::regex_match(f[10], std::regex(R"(\d+)"))) << f[10];
        EXPECT_EQ(f[11], status);
    }
    Targets.pop_back();
    EXPECT_EQ(StopTarget(), 0);
    // The refused program run sent nothing: the flash is as it was made.
    std::vector<uint8_t> flash = ReadFile(image);
    flash.resize(0x10000, 0xFF);
    EXPECT_EQ(ReadFile("same.bin"), flash);
}

TEST_F(CliTest, UsageFileAndPortErrors) {
    // A device node made here (as /dev/null), a COM1 that leads to a file
    // that is no terminal.
    const fs::path node = Dir / "null";
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << "run as root to make device nodes";
    { std::ofstream(Dir / "notatty") << "x"; }
    fs::create_symlink("notatty", Dir / "COM1");
    struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string errHas;
    } cases[] = {
        {{"checksum", "/dev/zero", "--format", "hex"}, 2, "", "pelkisp: /dev/zero: Can't open file (no line end in 65536"},
        {{"--port", "sim", "--sim-flash", "null", "erase"}, 2, "", "Can't use flash file null: not a regular file"},
        {{"--port", "COM1", "erase"}, 3, "", "pelkisp: Unable to open specified device COM1 (25), Inappropriate ioctl for device\n"
                                             "pelkisp: COM1 is " + fs::canonical(Dir / "notatty").string() + "\n"},
        // com1 is COM1, and finds the same link.
        {{"--port", " com1", "erase"}, 3, "", "pelkisp: Unable to open specified device COM1 (25)"},
        {{}, 2, "", "no command given"},
        {{"--port", "sim", "frobnicate"}, 2, "", "unknown command"},
        {{"erase"}, 2, "", "needs --port"},
        {{"--port", "sim", "--baud", "12345", "erase"}, 2, "", "unsupported baud rate"},
        {{"--port", "sim", "--device", "W99", "erase"}, 2, "", "unknown device"},
        {{"--port", "sim", "program", "missing.hex"}, 2, "", "pelkisp: missing.hex: Can't open file (No such file or directory)\n"},
        {{"--port", "sim", "program", "small.bin", "--start", "200"}, 2, "", "Adress out of range !"},
        {{"--port", "sim", "program", "small.bin", "--offset", "12345"}, 2, "",
         "pelkisp: --offset 12345: Adress out of range ! (highest 0FFFF for the W78E516B)\n"},
        {{"--port", "sim", "--device", "3", "--bank", "1", "program", "small.bin"}, 2, "", "W77E532"},
        {{"--port", "COM0", "erase"}, 3, "", "Unable to open specified device COM0 (2), No such file or directory\n"
                                             "pelkisp: COM0 names no serial port of this machine\n"},
        {{"--port", "/dev/no-such-tty", "erase"}, 3, "", "Unable to open specified device"},
        {{"--port", "sim", "--after", "-rts,dtx", "erase"}, 2, "",
         "pelkisp: --after -rts,dtx: step 2 \"dtx\" is not dtr, -dtr, rts, -rts or a wait such as 50ms\n"},
    };
    { std::ofstream(Dir / "small.bin", std::ios::binary) << std::string(100, 'x'); }
    for (const auto& c : cases) {
        const CliRun r = Pelkisp(c.args);
        SCOPED_TRACE(r.Err);
        EXPECT_EQ(r.Status, c.status);
        EXPECT_EQ(r.Out, c.out);
        EXPECT_NE(r.Err.find(c.errHas), std::string::npos);
    }
    EXPECT_TRUE(fs::is_character_file(node));
    const CliRun help = Pelkisp({"--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_NE(help.Out.find("pelkisp -p PORT"), std::string::npos);
    for (const char* v : {"--version", "-V"}) {
        const CliRun version = Pelkisp({v});
        EXPECT_EQ(version.Status, 0);
        EXPECT_EQ(version.Out.rfind("pelkisp ", 0), 0u);
    }
}

TEST_F(CliTest, ChecksumAndConvert) {
    { std::ofstream(Dir / "one.hex", std::ios::binary) << ":0100000002FD\r\n:00000001FF"; }
    CliRun r = Pelkisp({"checksum", "one.hex"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "Checksum: FF03\nCRC: 3E0A\n");
    r = Pelkisp({"--device", "w78e58b", "checksum", "missing.bin"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Err, "pelkisp: missing.bin: Can't open file (No such file or directory)\n");

    // A HEX file with a bad record checksum: for checksum and convert a
    // warning, and the load goes on.
    { std::ofstream(Dir / "bad.hex", std::ios::binary) << ":0100000002FE\r\n:00000001FF"; }
    r = Pelkisp({"checksum", "bad.hex"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Err, "pelkisp: bad.hex: 1 byte in 00000-00000, CRC 3E0A\n"
                     "pelkisp: bad.hex: line 1: checksum FE, but the record's bytes give FD\n");
    EXPECT_EQ(r.Out, "Checksum: FF03\nCRC: 3E0A\n");

    r = Pelkisp({"convert", "one.hex", "one.bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    const auto bin = ReadFile("one.bin");
    ASSERT_EQ(bin.size(), 131072u);
    EXPECT_EQ(bin[0], 0x02);
    r = Pelkisp({"convert", "one.bin", "back.ihx"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    const auto hex = ReadFile("back.ihx");
    EXPECT_EQ(std::string(hex.begin(), hex.end()), ":10000000" "02" + std::string(30, 'F') + "FD\r\n:00000001FF\r\n");
    r = Pelkisp({"convert", "one.hex", "out.dat", "--out-format", "hex"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(ReadFile("out.dat"), hex);

    // "-" is standard output; a device node is written into, not replaced.
    r = Pelkisp({"convert", "one.bin", "-", "--out-format", "hex"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, std::string(hex.begin(), hex.end()));
    EXPECT_FALSE(fs::exists(Dir / "-"));
    ASSERT_EQ(mknod((Dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    r = Pelkisp({"convert", "one.hex", "null"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_TRUE(fs::is_character_file(Dir / "null"));
}

}  // namespace
}  // namespace pelk

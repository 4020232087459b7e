// pelkisp.exe under wine against simulated targets on Linux
// pseudo-terminals. Each target's line is published as a link PORTS/COMn,
// which the wine prefix maps to COMn (./dev writes the mapping):
//
//   COM11  64 KiB target                     program, verify, erase, blank
//   COM12  every 3rd reply with a wrong checksum
//   COM13  silent: takes frames, never answers
//   COM14  paced at 9600 bit/s; goes away (its line closes) mid-run
//   COM15  paced at 9600 bit/s; the run is stopped with Ctrl-C
//
// COM11 also serves runs on a console (through script(1)), where the
// progress bar is drawn; COM11 and COM12 take one board each in runs of two
// boards at once, with a results log and on a console.
// Also, without a line: convert into files and standard output byte for
// byte, `ports`, a missing port, and --port sim refused.
//
// The targets are the simulator that pelkisp-target runs, here in this
// process so that the tests can read their flash and count their frames.
// ./dev test runs this program (CTest label "wine") with PELK_WINE_PELKISP
// (the .exe), PELK_WINE_SCREEN (pelk_console_screen.exe), PELK_WINE_PORTS
// (the folder of the links) and the wine prefix's environment set.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulated_target.h"
#include "support/child_process.h"

namespace pelk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* Setting(const char* Name) {
    const char* value = std::getenv(Name);
    return value && *value ? value : nullptr;
}

// The targets, made once for the whole program: wine keeps a COM port's
// device object for a while after it is closed, so a port is not given a
// new line between tests.
struct Targets {
    std::map<std::string, std::unique_ptr<SimulatedTarget>> ByPort;
    fs::path Ports;

    SimulatedTarget& operator[](const std::string& Port) { return *ByPort.at(Port); }

    void Add(const std::string& Port, SimulatedTargetFaults Faults) {
        SimulatedTargetOptions o;
        o.LastAddress = 0xFFFF;
        o.Faults = Faults;
        auto t = std::make_unique<SimulatedTarget>(o);
        t->Start();
        const fs::path link = Ports / Port;
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_symlink(t->PortPath(), link);
        ByPort[Port] = std::move(t);
    }
    ~Targets() {
        for (auto& [port, target] : ByPort) {
            std::error_code ec;
            fs::remove(Ports / port, ec);
        }
    }
};

Targets* Lines = nullptr;

class WineCliEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* ports = Setting("PELK_WINE_PORTS");
        if (!Setting("PELK_WINE_PELKISP")) {
            // A plain ctest run: reported as skipped (SKIP_RETURN_CODE), not passed.
            std::fprintf(stderr, "pelk_wine_cli_tests: run by ./dev test, which builds pelkisp.exe and sets "
                                 "PELK_WINE_PELKISP, PELK_WINE_PORTS and WINEPREFIX\n");
            std::exit(77);
        }
        ASSERT_TRUE(ports && Setting("WINEPREFIX") && Setting("PELK_WINE_SCREEN"))
            << "PELK_WINE_PORTS, PELK_WINE_SCREEN and WINEPREFIX must be set too";
        ASSERT_TRUE(fs::is_regular_file(Setting("PELK_WINE_PELKISP"))) << Setting("PELK_WINE_PELKISP");
        signal(SIGPIPE, SIG_IGN);
        // Wine reads the names it is given by the locale's character set.
        setenv("LC_ALL", "C.UTF-8", 1);
        Lines = new Targets;
        Lines->Ports = ports;
        fs::create_directories(Lines->Ports);
        Lines->Add("COM11", {});
        SimulatedTargetFaults corrupt;
        corrupt.CorruptEvery = 3;
        Lines->Add("COM12", corrupt);
        SimulatedTargetFaults silent;
        silent.Silent = true;
        Lines->Add("COM13", silent);
        SimulatedTargetFaults paced;
        paced.PaceBaud = 9600;
        Lines->Add("COM14", paced);
        Lines->Add("COM15", paced);
    }
    void TearDown() override {
        delete Lines;
        Lines = nullptr;
    }
};

const auto* const Registered = ::testing::AddGlobalTestEnvironment(new WineCliEnvironment);

struct RunResult {
    int Status = -1;
    std::string Out, Err;
};

class WineCli : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Lines, nullptr);
        char pattern[] = "/tmp/pelk-wine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }

    static std::string Read(const fs::path& Path) {
        std::ifstream in(Path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // A binary image of Size bytes, no byte 0xFF, so every block holds data.
    std::vector<uint8_t> ImageFile(const std::string& Name, size_t Size, uint32_t Seed) {
        std::vector<uint8_t> bytes(Size);
        uint32_t x = Seed * 2654435761u + 1;
        for (uint8_t& b : bytes) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = uint8_t(x % 255);
        }
        std::ofstream(Dir / Name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(Size));
        return bytes;
    }

    // Starts `wine pelkisp.exe Args` in the test's folder; its standard
    // output and error go to files there (not pipes: the wine processes it
    // starts may keep a pipe open long after it has ended), or its standard
    // output to the file StdOut.
    std::unique_ptr<test::ChildProcess> Start(const std::vector<std::string>& Args, const char* StdOut = nullptr) {
        ++Runs;
        OutFile = Dir / ("out" + std::to_string(Runs));
        ErrFile = Dir / ("err" + std::to_string(Runs));
        const int out = StdOut ? ::open(StdOut, O_WRONLY | O_CLOEXEC)
                               : ::open(OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = ::open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::vector<std::string> args{Setting("PELK_WINE_PELKISP")};
        args.insert(args.end(), Args.begin(), Args.end());
        auto child = std::make_unique<test::ChildProcess>("/usr/bin/wine", args, Dir, out, err);
        ::close(out);
        ::close(err);
        return child;
    }

    // Waits for the end of the run; a run that has not ended after Limit
    // (far more than any run here takes) is killed and fails the test.
    RunResult Finish(test::ChildProcess& Child, std::chrono::seconds Limit = 240s) {
        RunResult r;
        r.Status = Child.WaitAtMost(Limit);
        EXPECT_FALSE(Child.KilledAtLimit) << "pelkisp.exe did not end; killed";
        r.Out = Read(OutFile);
        r.Err = Read(ErrFile);
        return r;
    }

    RunResult Pelkisp(const std::vector<std::string>& Args, const char* StdOut = nullptr) {
        auto child = Start(Args, StdOut);
        return Finish(*child);
    }

    // Runs pelkisp.exe on a console and gives what the console shows after
    // it (RunResult::Out): script(1) gives wine a terminal, wine gives the
    // program a console there, and pelk_console_screen.exe, on the same
    // console, reads its rows back when pelkisp.exe has ended.
    RunResult OnConsole(const std::vector<std::string>& Args) {
        std::string command =
            std::string("wine ") + Setting("PELK_WINE_SCREEN") + " screen.txt " + Setting("PELK_WINE_PELKISP");
        for (const std::string& a : Args) command += " '" + a + "'";
        const int terminal = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        test::ChildProcess child("/usr/bin/script", {"-qec", command, "/dev/null"}, Dir, terminal, terminal);
        ::close(terminal);
        RunResult r;
        r.Status = child.WaitAtMost(240s);
        EXPECT_FALSE(child.KilledAtLimit);
        r.Out = Read(Dir / "screen.txt");
        return r;
    }

    // The rows of a screen, without the blank ones at its end.
    static std::vector<std::string> Rows(const std::string& Screen) {
        std::vector<std::string> rows;
        std::istringstream in(Screen);
        for (std::string row; std::getline(in, row);) rows.push_back(row);
        while (!rows.empty() && rows.back().empty()) rows.pop_back();
        return rows;
    }

    fs::path Dir;
    fs::path OutFile, ErrFile;
    int Runs = 0;
};

// Result lines end in CR LF on Windows (standard output in text mode).
std::string CrLf(std::initializer_list<const char*> Texts) {
    std::string s;
    for (const char* t : Texts) s += std::string(t) + "\r\n";
    return s;
}

TEST_F(WineCli, ProgramVerifyEraseAndBlankOfA64KiBDevice) {
    SimulatedTarget& target = (*Lines)["COM11"];
    const std::vector<uint8_t> image = ImageFile("image.bin", 0x10000, 1);
    RunResult r = Pelkisp({"-p", "COM11", "-b", "115200", "program", "image.bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, CrLf({"Device erased.", "Device programmed.", "Verification OK."}));
    // Standard error is a file here: the load's summary, and no progress bar.
    EXPECT_EQ(r.Err.rfind("pelkisp: image.bin: 65536 bytes in 00000-0FFFF, CRC ", 0), 0u) << r.Err;
    EXPECT_EQ(r.Err.size(), std::string("pelkisp: image.bin: 65536 bytes in 00000-0FFFF, CRC XXXX\r\n").size()) << r.Err;
    EXPECT_EQ(target.Flash(), image);

    r = Pelkisp({"-q", "-p", "COM11", "-b", "115200", "verify", "image.bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "");

    // One byte of the chip changed: verify finds it.
    const uint8_t changed = uint8_t(image[0x8765] ^ 0x01);
    target.WriteFlash(0x8765, std::span(&changed, 1));
    r = Pelkisp({"-p", "COM11", "-b", "115200", "verify", "image.bin"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, CrLf({"Verification error."}));

    r = Pelkisp({"-p", "COM11", "-b", "115200", "erase"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, CrLf({"Device erased."}));
    EXPECT_EQ(target.Flash(), std::vector<uint8_t>(0x10000, 0xFF));

    r = Pelkisp({"-p", "COM11", "-b", "115200", "blank"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, CrLf({"Device is blank."}));

    // A reset sequence needs modem lines, which wine's line to a
    // pseudo-terminal does not have: refused before anything is sent.
    const uint64_t frames = target.Status().FramesServed;
    r = Pelkisp({"-p", "COM11", "--before", "dtr,50ms,-dtr", "erase"});
    EXPECT_EQ(r.Status, 3);
    EXPECT_EQ(r.Err, "COM11: this port has no modem lines\r\n");
    EXPECT_EQ(target.Status().FramesServed, frames);
}

TEST_F(WineCli, ProgressBarIsRedrawnInPlaceOnAConsole) {
    ImageFile("Ωmega.bin", 0x1000, 7);
    RunResult r = OnConsole({"-p", "COM11", "-b", "115200", "program", "Ωmega.bin"});
    EXPECT_EQ(r.Status, 0) << r.Out;
    // The name as it is; each step's bar leaves one row, its last state,
    // full: nothing of the states before it.
    const std::string full = "[" + std::string(40, '#') + "] 100%  ";
    const std::vector<std::string> expected{"pelkisp: Ωmega.bin: 4096 bytes in 00000-00FFF, CRC ",
                                            "Erasing     " + full, "Device erased.",
                                            "Programming " + full, "Device programmed.",
                                            "Verifying   " + full, "Verification OK."};
    std::vector<std::string> rows = Rows(r.Out);
    ASSERT_EQ(rows.size(), expected.size()) << r.Out;
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].rfind(expected[i], 0), 0u) << r.Out;

    // Two boards: a block of two bars below the other rows, erased and
    // drawn again for every row above it, leaves only each step's last state.
    r = OnConsole({"-p", "COM11,COM12", "-b", "115200", "program", "Ωmega.bin"});
    EXPECT_EQ(r.Status, 0) << r.Out;
    rows = Rows(r.Out);
    EXPECT_EQ(rows.size(), 1 + 2 * 6 + 2u) << r.Out;  // the load's summary; 3 bars, 3 results, 1 summary a board
    for (const char* port : {"COM11: ", "COM12: "}) {
        std::string bars;
        for (const std::string& row : rows)
            if (row.rfind(port, 0) == 0 && row.find(" [") != std::string::npos)
                bars += row.substr(7, 12) + row.substr(row.find(']'), 6) + "\n";
        EXPECT_EQ(bars, "Erasing     ] 100%\nProgramming ] 100%\nVerifying   ] 100%\n") << r.Out;
    }
}

// Each name has a stand-in in the ANSI code page ("Ωmega" is "Omega"
// there) or none at all ("日本" is "??"): the run reads and writes the
// files named, the log and the trace included.
TEST_F(WineCli, NamesOutsideTheAnsiCodePageNameTheirOwnFiles) {
    const std::vector<uint8_t> image = ImageFile("Ωmega.bin", 0x800, 8);
    ImageFile("Omega.bin", 0x800, 9);
    RunResult r = Pelkisp({"-p", "COM11", "-b", "115200", "--log", "café.csv", "--trace=Ωtrace.txt", "program", "Ωmega.bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err.rfind("pelkisp: Ωmega.bin: 2048 bytes in 00000-007FF, CRC ", 0), 0u) << r.Err;
    std::vector<uint8_t> flash = (*Lines)["COM11"].Flash();
    flash.resize(image.size());
    EXPECT_EQ(flash, image);
    EXPECT_NE(Read(Dir / "café.csv").find(",COM11,COM11,W78E516B,Ωmega.bin,"), std::string::npos);
    EXPECT_NE(Read(Dir / "Ωtrace.txt").find("Verify"), std::string::npos);

    std::ofstream(Dir / "Omega.hex") << "stand-in";
    r = Pelkisp({"convert", "Ωmega.bin", "Ωmega.hex"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(Read(Dir / "Omega.hex"), "stand-in");
    fs::copy_file(Dir / "Ωmega.hex", Dir / "日本.hex");
    const RunResult bin = Pelkisp({"checksum", "Ωmega.bin"});
    r = Pelkisp({"checksum", "日本.hex"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, bin.Out);
}

TEST_F(WineCli, CorruptedRepliesAreSentAgain) {
    SimulatedTarget& target = (*Lines)["COM12"];
    const std::vector<uint8_t> image = ImageFile("image.bin", 0x1000, 2);
    const uint64_t corruptedBefore = target.Status().RepliesCorrupted;
    const RunResult r = Pelkisp({"-p", "COM12", "-b", "115200", "program", "image.bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, CrLf({"Device erased.", "Device programmed.", "Verification OK."}));
    // 1 erase + 32 program + 32 verify frames, every 3rd reply spoilt.
    EXPECT_GE(target.Status().RepliesCorrupted - corruptedBefore, 21u);
    std::vector<uint8_t> flash = target.Flash();
    flash.resize(image.size());
    EXPECT_EQ(flash, image);
}

TEST_F(WineCli, TwoBoardsAtOnceWithTheirResultsLog) {
    const std::vector<uint8_t> image = ImageFile("image.bin", 0x2000, 6);
    const RunResult r = Pelkisp({"-p", "COM11,COM12", "-b", "115200", "--log", "log.csv", "program", "image.bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    // The results log: a header and one line per board, in the order they ended.
    std::map<std::string, std::vector<std::string>> logged;
    std::istringstream log(Read(Dir / "log.csv"));
    std::string header;
    std::getline(log, header);
    EXPECT_EQ(header, "time,port,device,chip,file,crc,checksum,bytes,steps,result,duration_ms,exit_status");
    for (std::string line; std::getline(log, line);) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
        ASSERT_EQ(fields.size(), 12u) << line;
        logged[fields[1]] = fields;
    }
    ASSERT_EQ(logged.size(), 2u);
    // Each board's lines carry its port; the two boards' lines interleave.
    auto linesOf = [](const std::string& Text, const std::string& Port) {
        std::string mine;
        std::istringstream in(Text);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(Port + ": ", 0) == 0) mine += line.substr(Port.size() + 2) + "\n";
        return mine;
    };
    for (const char* port : {"COM11", "COM12"}) {
        EXPECT_EQ(linesOf(r.Out, port), "Device erased.\r\nDevice programmed.\r\nVerification OK.\r\n") << r.Out;
        EXPECT_EQ(linesOf(r.Err, port).rfind("succeeded in ", 0), 0u) << r.Err;
        const std::vector<std::string>& f = logged[port];
        ASSERT_EQ(f.size(), 12u) << port;
        EXPECT_EQ(std::vector<std::string>(f.begin() + 2, f.begin() + 5), (std::vector<std::string>{port, "W78E516B", "image.bin"}));
        EXPECT_EQ(std::vector<std::string>(f.begin() + 8, f.begin() + 10),
                  (std::vector<std::string>{"erase+program+verify", "Verification OK."}));
        EXPECT_EQ(f[11], "0");
        std::vector<uint8_t> flash = (*Lines)[port].Flash();
        flash.resize(image.size());
        EXPECT_EQ(flash, image) << port;
    }
}

TEST_F(WineCli, SilentTargetIsReportedAfterTheTenthTransmission) {
    SimulatedTarget& target = (*Lines)["COM13"];
    const uint64_t before = target.Status().RepliesWithheld;
    const RunResult r = Pelkisp({"-p", "COM13", "-b", "115200", "erase"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, CrLf({"Microcontroller is not responding."}));
    EXPECT_EQ(target.Status().RepliesWithheld - before, 10u);
}

TEST_F(WineCli, FarSideGoingAwayEndsTheRunWithOneMessage) {
    SimulatedTarget& target = (*Lines)["COM14"];
    ImageFile("image.bin", 0x10000, 3);
    auto child = Start({"-q", "-p", "COM14", "-b", "9600", "--no-erase", "program", "image.bin"});
    ASSERT_TRUE(target.WaitForFramesServed(2, 60s)) << "the run did not begin";
    target.Stop();  // both sides of its line close
    const RunResult r = Finish(*child);
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err, "Device COM14 hung up or was removed\r\n");
}

TEST_F(WineCli, CtrlCStopsTheRun) {
    SimulatedTarget& target = (*Lines)["COM15"];
    ImageFile("image.bin", 0x10000, 4);
    auto child = Start({"-p", "COM15", "-b", "9600", "--no-erase", "program", "image.bin"});
    ASSERT_TRUE(target.WaitForFramesServed(2, 60s)) << "the run did not begin";
    // What a terminal sends for Ctrl-C; wine turns it into the console's
    // CTRL_C_EVENT for the program.
    child->Signal(SIGINT);
    const RunResult r = Finish(*child);
    // "Stopped." comes from the program's console handler only: a program
    // that wine had simply killed by the signal would end 130 as well.
    EXPECT_EQ(r.Status, 130) << r.Err;
    EXPECT_EQ(r.Out, CrLf({"Stopped."}));
}

TEST_F(WineCli, ConvertWritesFilesAndStandardOutputByteForByte) {
    // Every byte value, 0x0A and 0x0D among them, which a text-mode write
    // would change.
    std::vector<uint8_t> image(0x8000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + i / 256);
    std::ofstream(Dir / "in.bin", std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    std::vector<uint8_t> expected(0x20000, 0xFF);
    std::copy(image.begin(), image.end(), expected.begin());
    const std::string bytes(expected.begin(), expected.end());

    RunResult r = Pelkisp({"convert", "in.bin", "out.bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(Read(Dir / "out.bin"), bytes);
    r = Pelkisp({"convert", "in.bin", "-", "--out-format", "bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, bytes);
    // Over a read-only file: refused, and the file left as it was.
    r = Pelkisp({"convert", "in.bin", "out.hex"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    const std::string hex = Read(Dir / "out.hex");
    EXPECT_EQ(hex.substr(0, 11), ":10000000" + std::string(1, "0123456789ABCDEF"[image[0] >> 4]) +
                                     std::string(1, "0123456789ABCDEF"[image[0] & 15]));
    EXPECT_EQ(hex.substr(hex.size() - 15), "\r\n:00000001FF\r\n");  // the end record, as on Linux
    fs::permissions(Dir / "out.hex", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    r = Pelkisp({"convert", "in.bin", "out.hex"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("the file is write-protected"), std::string::npos) << r.Err;
    EXPECT_EQ(Read(Dir / "out.hex"), hex);
    fs::permissions(Dir / "out.hex", fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), {}), 3 + 2 * Runs) << "a temporary file was left behind";

    // Standard output on a full device: what is lost there makes exit status 2.
    for (const char* command : {"checksum", "--help"}) {
        r = Pelkisp({command, "in.bin"}, "/dev/full");
        EXPECT_EQ(r.Status, 2) << command;
        EXPECT_NE(r.Err.find("pelkisp: can't write to standard output"), std::string::npos) << r.Err;
    }
}

TEST_F(WineCli, TraceNeverOverwritesTheFileTheRunReads) {
    ImageFile("image.bin", 0x100, 5);
    const std::string before = Read(Dir / "image.bin");
    // The same file under another spelling of its name.
    const RunResult r = Pelkisp({"-p", "COM199", "--trace=.\\IMAGE.BIN", "verify", "image.bin"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("pelkisp: --trace=.\\IMAGE.BIN: that is image.bin, which the run reads\r\n"), std::string::npos)
        << r.Err;
    EXPECT_EQ(Read(Dir / "image.bin"), before);
}

TEST_F(WineCli, PortsListsTheSystemsPortsAndAMissingPortIsNamed) {
    RunResult r = Pelkisp({"ports"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    for (const char* port : {"COM11", "COM12", "COM13", "COM14", "COM15"})
        EXPECT_NE(("\r\n" + r.Out).find(std::string("\r\n") + port + " "), std::string::npos) << port << " in\n" << r.Out;

    r = Pelkisp({"-p", "COM199", "erase"});
    EXPECT_EQ(r.Status, 3);
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err.find("COM199 (2), "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("pelkisp: COM199 names no serial port of this machine\r\n"), std::string::npos) << r.Err;

    // No simulated target inside the program on Windows, and it says why.
    r = Pelkisp({"-p", "sim", "erase"});
    EXPECT_EQ(r.Status, 3);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err.rfind("--port sim: the simulated target needs a pseudo-terminal, which Windows does not have", 0), 0u)
        << r.Err;

    // --help tells Windows's port names and stops, nothing of Linux's, in
    // lines of at most 80 columns.
    r = Pelkisp({"--help"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Out.find("COM1 to COM256"), std::string::npos) << r.Out;
    for (const char* other : {"/dev/", "sim", "SIGTERM", "SIGHUP", "COM1..COM4"})
        EXPECT_EQ(r.Out.find(other), std::string::npos) << other << " in\n" << r.Out;
    std::istringstream help(r.Out);
    for (std::string line; std::getline(help, line, '\n');) EXPECT_LE(line.size(), 81u) << line;  // and its CR
}

}  // namespace
}  // namespace pelk

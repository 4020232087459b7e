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
// COM11 also serves a run on a terminal (through script(1)), where the
// progress bar is drawn; COM11 and COM12 take one board each in a run of two
// boards at once, with its results log.
// Also, without a line: convert into files and standard output byte for
// byte, `ports`, a missing port, and --port sim refused.
//
// The targets are the simulator that pelkisp-target runs, here in this
// process so that the tests can read their flash and count their frames.
// ./dev test runs this program (CTest label "wine") with PELK_WINE_PELKISP
// (the .exe), PELK_WINE_PORTS (the folder of the links) and the wine
// prefix's environment set.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulated_target.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

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
        ASSERT_TRUE(ports && Setting("WINEPREFIX")) << "PELK_WINE_PORTS and WINEPREFIX must be set too";
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
    void SetUp() override { ASSERT_NE(Lines, nullptr); }

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

    // What a console shows after `wine pelkisp.exe Args` ran on it:
    // script(1) gives wine a terminal, so the program a console, whose rows
    // pelk_console_screen.exe of the same build reads back at the end.
    std::string OnConsole(const std::vector<std::string>& Args, int& Status) {
        const fs::path exe = Setting("PELK_WINE_PELKISP");
        std::string command = "wine " + (exe.parent_path() / "../../tests/win/pelk_console_screen.exe").string() +
                              " screen.txt " + exe.string();
        for (const std::string& a : Args) command += " '" + a + "'";
        const int terminal = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        test::ChildProcess child("/usr/bin/script", {"-qec", command, "/dev/null"}, Dir, terminal, terminal);
        ::close(terminal);
        Status = child.WaitAtMost(240s);
        return Read(Dir / "screen.txt");
    }

    test::TempDir Folder;
    const fs::path Dir = Folder.Path();
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
    EXPECT_EQ(r.Err, "pelkisp: COM11: this port has no modem lines\r\n");
    EXPECT_EQ(target.Status().FramesServed, frames);

    // A rate the port does not take (wine's line to a pseudo-terminal has
    // no 56000) is said as such, not as the settings block's error code
    // alone, and the port is not said to be itself.
    r = Pelkisp({"-p", "COM11", "-b", "56000", "erase"});
    EXPECT_EQ(r.Status, 3) << r.Err;
    EXPECT_NE(r.Err.find("pelkisp: COM11 does not take 56000 bit/s\r\n"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("COM11 is COM11"), std::string::npos) << r.Err;
}

TEST_F(WineCli, ProgressBarIsRedrawnInPlaceOnAConsole) {
    // The name as it is, and of each step's bar one row: its last state.
    ImageFile("Ωmega.bin", 0x1000, 7);
    int status = -1;
    std::string screen = OnConsole({"-p", "COM11", "-b", "115200", "program", "Ωmega.bin"}, status);
    EXPECT_EQ(status, 0);
    const std::string bar = " \\[#{40}\\] 100%  [^\n]*\n";
    EXPECT_TRUE(std::regex_match(screen, std::regex("pelkisp: Ωmega.bin: 4096 bytes in 00000-00FFF, CRC ....\nErasing    " +
                                                    bar + "Device erased.\nProgramming" + bar + "Device programmed.\n" +
                                                    "Verifying  " + bar + "Verification OK.\n\n")))
        << screen;
    // Two boards: their block of bars, erased and drawn again below every
    // new row, leaves the summary, and a board's 3 bars, 3 results, summary.
    screen = OnConsole({"-p", "COM11,COM12", "-b", "115200", "program", "Ωmega.bin"}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::count(screen.begin(), screen.end(), '\n'), 1 + 15) << screen;  // and the cursor's row
    const std::regex atTheEnd("\\] 100%  ");
    EXPECT_EQ(std::distance(std::sregex_iterator(screen.begin(), screen.end(), atTheEnd), {}), 6) << screen;
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
    const std::vector<uint8_t> image = ImageFile("Ωmega.bin", 0x2000, 6);
    ImageFile("Omega.bin", 0x2000, 16);  // its stand-in in the ANSI code page
    const RunResult r =
        Pelkisp({"-p", "COM11,COM12", "-b", "115200", "--log", "café.csv", "--trace=日本.txt", "program", "Ωmega.bin"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(Read(Dir / "日本.txt").find("Verify"), std::string::npos);
    // The results log: a header and one line per board, in the order they ended.
    std::map<std::string, std::vector<std::string>> logged;
    std::istringstream log(Read(Dir / "café.csv"));
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
        EXPECT_EQ(std::vector<std::string>(f.begin() + 2, f.begin() + 5), (std::vector<std::string>{port, "W78E516B", "Ωmega.bin"}));
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
    EXPECT_EQ(r.Err, "pelkisp: Device COM14 hung up or was removed\r\n");
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

    // Written and read as named, not as the stand-in or "??.hex".
    std::ofstream(Dir / "Omega.hex") << "stand-in";
    EXPECT_EQ(Pelkisp({"convert", "in.bin", "Ωmega.hex"}).Status, 0);
    EXPECT_TRUE(Read(Dir / "Omega.hex") == "stand-in") << "the stand-in was written";
    fs::rename(Dir / "Ωmega.hex", Dir / "日本.hex");
    r = Pelkisp({"checksum", "日本.hex"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, Pelkisp({"checksum", "in.bin"}).Out);

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
    EXPECT_NE(r.Err.find("pelkisp: --trace=.\\IMAGE.BIN: that is image.bin, the firmware, which the run reads\r\n"), std::string::npos)
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
    EXPECT_EQ(r.Err.rfind("pelkisp: --port sim: the simulated target needs a pseudo-terminal, which Windows does not have", 0), 0u)
        << r.Err;

    // --help tells Windows's port names and stops, nothing of Linux's.
    r = Pelkisp({"--help"});
    EXPECT_NE(r.Out.find("COM1 to COM256"), std::string::npos) << r.Out;
    for (const char* other : {"/dev/", "sim", "SIGTERM", "SIGHUP", "COM1..COM4"})
        EXPECT_EQ(r.Out.find(other), std::string::npos) << other << " in\n" << r.Out;
}

}  // namespace
}  // namespace pelk

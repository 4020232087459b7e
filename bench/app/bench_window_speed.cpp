// The window against the command line, block for block, and the idle window,
// under a real X server (an Xvfb of our own on a free display).
//
// Per block: Program and Verify of the 128 KiB device through the same
// simulated target over a pseudo-terminal, by the window (its handlers and
// its event loop) and by `pelkisp` (a child process), in alternating rounds.
// Each side's time per block is the difference between a 1024-block image
// and a 1-block image, over the 2 x 1023 blocks between them, so start-up,
// the start delays and the process start drop out. A third column runs the
// window with its progress bar hidden: what the bar's repaints cost.
//
// Idle: the window with its port open to the target and no operation, 10 s
// of its own event loop; processor time of the whole process (all threads)
// and its voluntary context switches (wake-ups). For comparison the same
// with the 10 ms timer forced on, as it ran before it followed the engine.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/formularz.h"
#include "app/qt_dispatcher.h"
#include "app/windows.h"
#include "protocol/block_plan.h"
#include "sim/simulated_target.h"
#include "support/child_process.h"

extern char** environ;

namespace pelk {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t LastAddress = 0x1FFFF;
constexpr uint32_t Blocks = (LastAddress + 1) / BlockSize;
constexpr int DefaultRounds = 7;

// An X server of our own: Xvfb picks a free display and tells it on a pipe.
class XServer {
public:
    bool Start() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args{"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int spawned = posix_spawnp(&Pid, "Xvfb", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (spawned != 0) {
            Pid = -1;
            close(fds[0]);
            return false;
        }
        std::string number;
        for (;;) {
            pollfd p{fds[0], POLLIN, 0};
            char c;
            if (poll(&p, 1, 10000) <= 0 || read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) return false;
        Display = ":" + number;
        return true;
    }
    ~XServer() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            waitpid(Pid, nullptr, 0);
        }
    }
    std::string Display;

private:
    pid_t Pid = -1;
};

// A temporary working directory with the settings of the run: COM1 at
// 115 200 bit/s, the W77E532; Qt's per-user settings kept in it as well.
struct Workspace {
    fs::path Old = fs::current_path();
    fs::path Dir;
    std::vector<uint8_t> Full, One;
    Workspace() {
        char pattern[] = "/tmp/pelk-bench-speed-XXXXXX";
        Dir = mkdtemp(pattern);
        fs::current_path(Dir);
        std::ofstream("PelkISP.cfg", std::ios::binary) << "PELKORD ISP Configuration File\r\n1\r\n6\r\n\r\n12\r\n0\r\n";
        const QString user = QString::fromStdString((Dir / "user-settings").string());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, user);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, user);
        // Every block of the full image holds data; the one-block image is
        // its first block, so both program over each other without an erase.
        std::mt19937 rng(12);
        Full.resize(LastAddress + 1);
        for (auto& b : Full) b = uint8_t(rng() % 255);  // never 0xFF: every block is a data block
        One.assign(LastAddress + 1, 0xFF);
        std::copy_n(Full.begin(), BlockSize, One.begin());
        Write("full.bin", Full);
        Write("one.bin", One);
    }
    ~Workspace() {
        fs::current_path(Old);
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }
    static void Write(const char* name, const std::vector<uint8_t>& bytes) {
        std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// pelkisp program (data blocks, no erase) and verify of one file; wall time.
double RunCli(const std::string& port, const char* file) {
    const auto start = Clock::now();
    test::ChildProcess p(PELKISP_PATH, {"--port", port, "--baud", "115200", "--device", "W77E532", "--no-erase", "program", file},
                         fs::current_path());
    if (p.Wait() != 0) {
        std::fprintf(stderr, "pelkisp failed: %s%s\n", p.StdOut.c_str(), p.StdErr.c_str());
        return -1;
    }
    return Seconds(Clock::now() - start);
}

// Runs the window's event loop until the message line shows `text`.
bool WaitForMessage(const QString& text) {
    if (Formularz->Komunikat->text() == text) return true;
    QEventLoop loop;
    const auto c = QObject::connect(Formularz->Komunikat, &QLineEdit::textChanged, &loop, [&](const QString& t) {
        if (t == text) loop.quit();
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(c);
    return Formularz->Komunikat->text() == text;
}

// The window's Program and Verify of an image; wall time.
double RunWindow(const std::vector<uint8_t>& image) {
    std::copy(image.begin(), image.end(), Formularz->Image.ImageBuffer.begin());
    const auto start = Clock::now();
    Formularz->Start1Click();
    if (!WaitForMessage(QStringLiteral("Device programmed."))) return -1;
    Formularz->Stop2Click();
    if (!WaitForMessage(QStringLiteral("Verification OK."))) return -1;
    return Seconds(Clock::now() - start);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Usage {
    double Cpu;
    long Wakeups;
};
Usage ProcessUsage() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return {double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6,
            r.ru_nvcsw};
}

// Ten seconds of the window's own event loop; processor share and wake-ups per second.
Usage Idle(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    const Usage before = ProcessUsage();
    const auto start = Clock::now();
    loop.exec();
    const Usage after = ProcessUsage();
    const double wall = Seconds(Clock::now() - start);
    return {(after.Cpu - before.Cpu) / wall * 100, long(double(after.Wakeups - before.Wakeups) / wall)};
}

// `rounds` 0: the idle measure only.
int Run(int rounds) {
    Workspace w;
    SimulatedTargetOptions o;
    o.LastAddress = LastAddress;
    SimulatedTarget target(o);
    target.Start();
    fs::create_symlink(target.PortPath(), "COM1");

    CreateWindows();
    Formularz->show();
    if (!QTest::qWaitForWindowExposed(Formularz)) {
        std::fprintf(stderr, "the window was not shown\n");
        return 1;
    }
    Formularz->Skipblankblocks1->setChecked(true);  // the command line's default plan
    if (!Formularz->CommPort.Active()) {
        std::fprintf(stderr, "COM1 did not open\n");
        return 1;
    }

    // The message line and progress bar's share alone: the view calls of one
    // 1024-block walk, and the events they leave for the loop, per block.
    {
        const auto start = Clock::now();
        for (int pass = 0; pass < 20; ++pass) {
            Formularz->ShowMessage("Programming...");
            Formularz->SetProgress(0);
            for (uint32_t k = 1; k < Blocks; ++k) {
                Formularz->SetProgress(BlockProgress(k * BlockSize, LastAddress));
                QCoreApplication::processEvents();
            }
            Formularz->SetProgress(0);
            Formularz->ShowMessage("Device programmed.");
            QCoreApplication::processEvents();
        }
        const double withView = Seconds(Clock::now() - start);
        const auto loopStart = Clock::now();
        for (int pass = 0; pass < 20; ++pass)
            for (uint32_t k = 1; k < Blocks; ++k) QCoreApplication::processEvents();
        const double loopOnly = Seconds(Clock::now() - loopStart);
        std::printf("progress and message updates of a walk: %.1f us/block (event loop pass alone %.1f us)\n",
                    (withView - loopOnly) / (20.0 * Blocks) * 1e6, loopOnly / (20.0 * Blocks) * 1e6);
    }

    std::vector<double> cli, window, bare;
    const double perBlock = 2.0 * (Blocks - 1);
    for (int round = 0; round < rounds; ++round) {
        Formularz->CommPort.Close();  // the port is opened exclusively
        const double cliFull = RunCli(target.PortPath(), "full.bin");
        const double cliOne = RunCli(target.PortPath(), "one.bin");
        Formularz->CommPort.Open();
        const double winFull = RunWindow(w.Full);
        const double winOne = RunWindow(w.One);
        Formularz->Progress->hide();
        const double bareFull = RunWindow(w.Full);
        const double bareOne = RunWindow(w.One);
        Formularz->Progress->show();
        if (cliFull < 0 || cliOne < 0 || winFull < 0 || winOne < 0 || bareFull < 0 || bareOne < 0) {
            std::fprintf(stderr, "a run failed: %s\n", Formularz->Komunikat->text().toStdString().c_str());
            return 1;
        }
        cli.push_back((cliFull - cliOne) / perBlock * 1e6);
        window.push_back((winFull - winOne) / perBlock * 1e6);
        bare.push_back((bareFull - bareOne) / perBlock * 1e6);
        std::printf("round %d: pelkisp %.1f us/block, window %.1f us/block, window without its progress bar %.1f us/block\n",
                    round + 1, cli.back(), window.back(), bare.back());
        std::fflush(stdout);
    }
    if (rounds > 0) {
        // The least of the rounds is what each side costs when nothing else
        // runs on the machine; the median shows what a busy machine adds.
        const auto least = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
        std::printf("\nProgram + Verify of 128 KiB over a pty under Xvfb (%s), %d rounds, us/block:\n",
                    qgetenv("DISPLAY").constData(), rounds);
        std::printf("                                  least   median   least against pelkisp\n");
        std::printf("  pelkisp                         %6.1f  %7.1f\n", least(cli), Median(cli));
        std::printf("  window                          %6.1f  %7.1f   %+6.1f\n", least(window), Median(window),
                    least(window) - least(cli));
        std::printf("  window, progress bar hidden     %6.1f  %7.1f   %+6.1f\n", least(bare), Median(bare),
                    least(bare) - least(cli));
    }
    Idle(1);  // whatever the runs left behind settles first
    const Usage idle = Idle(10);
    // The old way: the 10 ms tick from start to exit, whatever the engine does.
    Formularz->Engine.Ticks = nullptr;
    Formularz->Timer->start();
    const Usage ticking = Idle(10);
    Formularz->Timer->stop();
    Formularz->Engine.Ticks = Formularz;
    std::printf("\nIdle window with its port open, 10 s each:\n");
    std::printf("  timer following the engine       %6.3f%% CPU, %4ld wake-ups/s\n", idle.Cpu, idle.Wakeups);
    std::printf("  10 ms timer always running       %6.3f%% CPU, %4ld wake-ups/s\n", ticking.Cpu, ticking.Wakeups);

    Formularz->close();
    DestroyWindows();
    target.Stop();
    return 0;
}

}  // namespace
}  // namespace pelk

int main(int argc, char** argv) {
    pelk::XServer x;
    if (!x.Start()) {
        std::fprintf(stderr, "bench_window_speed: could not start Xvfb\n");
        return 1;
    }
    setenv("DISPLAY", x.Display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int status;
    {
        QApplication app(argc, argv);
        pelk::InstallQtMainThreadDispatcher();
        // Optional argument: the number of rounds (0: the idle measure only).
        status = pelk::Run(argc > 1 ? std::atoi(argv[1]) : pelk::DefaultRounds);
        pelk::UninstallQtMainThreadDispatcher();
    }
    return status;
}

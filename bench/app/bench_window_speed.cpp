// The window against the command line, block for block, and the idle window,
// under a real X server (an Xvfb of our own on a free display).
//
// Per block: Program and Verify of the 128 KiB device through the same
// pelkisp-target over a pseudo-terminal, by the window (its handlers and its
// event loop, in this process) and by `pelkisp` (a child process), in
// alternating rounds. Each side's cost per block is the difference between a
// 1024-block image and a 1-block image, over the 2 x 1023 blocks between
// them, so start-up, the start delays and the process start drop out; as
// wall time, and as processor time of the process (all its threads), which
// a busy machine disturbs much less. A third column runs the window with its
// progress bar hidden: what the bar's repaints cost.
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
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/qt_dispatcher.h"
#include "protocol/block_plan.h"
#include "support/child_process.h"
#include "support/window_access.h"
#include "support/x_session.h"

extern char** environ;

namespace pelk {
namespace {

using test::Child;
using test::CloseWindow;
using test::OpenWindow;
using test::W;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t LastAddress = 0x1FFFF;
constexpr uint32_t Blocks = (LastAddress + 1) / BlockSize;
constexpr int DefaultRounds = 7;

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

struct Cost {
    double Wall = -1, Cpu = 0;  // seconds; Wall < 0: the run failed
};

double CpuOf(const rusage& r) {
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// pelkisp program (data blocks, no erase) and verify of one file.
Cost RunCli(const std::string& port, const char* file) {
    std::vector<std::string> args{PELKISP_PATH, "--port", port, "--baud", "115200", "--device", "W77E532",
                                  "--no-erase", "program", file};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    Cost cost;
    const auto start = Clock::now();
    pid_t pid;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return cost;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return cost;
    cost.Wall = Seconds(Clock::now() - start);
    cost.Cpu = CpuOf(usage);
    return cost;
}

// Runs the window's event loop until the message line shows `text`.
bool WaitForMessage(const QString& text) {
    if (Child<QLineEdit>(W(), "messageLine").text() == text) return true;
    QEventLoop loop;
    const auto c = QObject::connect(&Child<QLineEdit>(W(), "messageLine"), &QLineEdit::textChanged, &loop, [&](const QString& t) {
        if (t == text) loop.quit();
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(c);
    return Child<QLineEdit>(W(), "messageLine").text() == text;
}

double ProcessCpu() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return CpuOf(r);
}

// The window's Program and Verify of an image.
Cost RunWindow(const std::vector<uint8_t>& image) {
    std::copy(image.begin(), image.end(), W().image().ImageBuffer.begin());
    Cost cost;
    const double cpu = ProcessCpu();
    const auto start = Clock::now();
    W().program();
    if (!WaitForMessage(QStringLiteral("Device programmed."))) return cost;
    W().verify();
    if (!WaitForMessage(QStringLiteral("Verification OK."))) return cost;
    cost.Wall = Seconds(Clock::now() - start);
    cost.Cpu = ProcessCpu() - cpu;
    return cost;
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
    return {CpuOf(r), r.ru_nvcsw};
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
    test::ChildProcess target(PELKISP_TARGET_PATH, {"--device", "W77E532", "--link", "COM1"}, w.Dir);
    const std::optional<std::string> port = target.ReadLine();
    if (!port) {
        std::fprintf(stderr, "pelkisp-target did not start: %s\n", target.StdErr.c_str());
        return 1;
    }

    OpenWindow();
    W().show();
    if (!QTest::qWaitForWindowExposed(&W())) {
        std::fprintf(stderr, "the window was not shown\n");
        return 1;
    }
    W().setSkipBlankBlocks(true);  // the command line's default plan
    if (!W().port().Active()) {
        std::fprintf(stderr, "COM1 did not open\n");
        return 1;
    }

    // The message line and progress bar's share alone: the view calls of one
    // 1024-block walk with an event loop pass after each, less the passes
    // alone; the least of 20 walks, per block.
    {
        double withView = 1e9, loopOnly = 1e9;
        for (int pass = 0; pass < 20; ++pass) {
            auto start = Clock::now();
            W().showMessage("Programming...");
            W().setProgress(0);
            for (uint32_t k = 1; k < Blocks; ++k) {
                W().setProgress(BlockProgress(k * BlockSize, LastAddress));
                QCoreApplication::processEvents();
            }
            W().setProgress(0);
            W().showMessage("Device programmed.");
            QCoreApplication::processEvents();
            withView = std::min(withView, Seconds(Clock::now() - start));
            start = Clock::now();
            for (uint32_t k = 1; k < Blocks; ++k) QCoreApplication::processEvents();
            loopOnly = std::min(loopOnly, Seconds(Clock::now() - start));
        }
        std::printf("progress and message updates of a walk: %.1f us/block (an event loop pass alone: %.1f us)\n",
                    (withView - loopOnly) / Blocks * 1e6, loopOnly / Blocks * 1e6);
    }

    // Per block, in microseconds: wall time and processor time of each side.
    struct Side {
        std::vector<double> Wall, Cpu;
        void Add(const Cost& full, const Cost& one) {
            const double blocks = 2.0 * (Blocks - 1);
            Wall.push_back((full.Wall - one.Wall) / blocks * 1e6);
            Cpu.push_back((full.Cpu - one.Cpu) / blocks * 1e6);
        }
    } cli, window, bare;
    for (int round = 0; round < rounds; ++round) {
        W().port().Close();  // the port is opened exclusively
        const Cost cliFull = RunCli(*port, "full.bin");
        const Cost cliOne = RunCli(*port, "one.bin");
        W().port().Open();
        // The window with and without its bar, in turns first.
        Cost winFull, winOne, bareFull, bareOne;
        for (const bool shown : {round % 2 == 0, round % 2 != 0}) {
            Child<QProgressBar>(W(), "progressBar").setVisible(shown);
            (shown ? winFull : bareFull) = RunWindow(w.Full);
            (shown ? winOne : bareOne) = RunWindow(w.One);
        }
        Child<QProgressBar>(W(), "progressBar").show();
        for (const Cost& c : {cliFull, cliOne, winFull, winOne, bareFull, bareOne}) {
            if (c.Wall < 0) {
                std::fprintf(stderr, "a run failed: %s\n", Child<QLineEdit>(W(), "messageLine").text().toStdString().c_str());
                return 1;
            }
        }
        cli.Add(cliFull, cliOne);
        window.Add(winFull, winOne);
        bare.Add(bareFull, bareOne);
        std::printf("round %d, us/block (wall / processor): pelkisp %.1f / %.1f, window %.1f / %.1f, "
                    "window without its progress bar %.1f / %.1f\n",
                    round + 1, cli.Wall.back(), cli.Cpu.back(), window.Wall.back(), window.Cpu.back(), bare.Wall.back(),
                    bare.Cpu.back());
        std::fflush(stdout);
    }
    if (rounds > 0) {
        // The least of the rounds is what each side costs when nothing else
        // runs on the machine; the median shows what a busy machine adds; the
        // median of each round's difference to pelkisp compares the two sides
        // under the same load.
        const auto least = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
        const auto against = [](const std::vector<double>& v, const std::vector<double>& base) {
            std::vector<double> d;
            for (size_t i = 0; i < v.size(); ++i) d.push_back(v[i] - base[i]);
            return Median(d);
        };
        std::printf("\nProgram + Verify of 128 KiB over a pty under Xvfb (%s), %d rounds, us/block:\n",
                    qgetenv("DISPLAY").constData(), rounds);
        std::printf("                                wall: least  median  vs pelkisp | processor: least  median  vs pelkisp\n");
        for (const auto& [name, side] : {std::pair<const char*, const Side*>{"pelkisp", &cli},
                                         {"window", &window},
                                         {"window, progress bar hidden", &bare}}) {
            std::printf("  %-28s %10.1f %7.1f %+10.1f | %16.1f %7.1f %+10.1f\n", name, least(side->Wall),
                        Median(side->Wall), against(side->Wall, cli.Wall), least(side->Cpu), Median(side->Cpu),
                        against(side->Cpu, cli.Cpu));
        }
    }

    Idle(1);  // whatever the runs left behind settles first
    const Usage idle = Idle(10);
    // The old way: a 10 ms tick from start to exit, whatever the engine
    // does (an idle engine's tick does nothing, so an empty one stands in).
    QTimer always;
    always.setTimerType(Qt::PreciseTimer);
    always.setInterval(10);
    QObject::connect(&always, &QTimer::timeout, [] {});
    always.start();
    const Usage ticking = Idle(10);
    always.stop();
    std::printf("\nIdle window with its port open, 10 s each:\n");
    std::printf("  timer following the engine       %6.3f%% CPU, %4ld wake-ups/s\n", idle.Cpu, idle.Wakeups);
    std::printf("  10 ms timer always running       %6.3f%% CPU, %4ld wake-ups/s\n", ticking.Cpu, ticking.Wakeups);

    W().close();
    CloseWindow();
    target.Signal(SIGTERM);
    target.Wait();
    return 0;
}

}  // namespace
}  // namespace pelk

int main(int argc, char** argv) {
    // An X display of our own, without a window manager.
    pelk::test::XSession x;
    if (!x.Start(false)) {
        std::fprintf(stderr, "bench_window_speed: %s\n", x.Error.c_str());
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

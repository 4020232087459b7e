// Program and verify the 128 KiB device (1024 blocks each way) through
// `pelkisp --port sim`, against a bare loop that exchanges the same frames
// and replies with the same simulated target over a pseudo-terminal, in the
// same run. Prints both times, the time per block and the ratio.
//
// Then the time the user waits at a line's pace, through pelkisp-target
// --pace: the example firmware (erase, program, verify of its one data
// block) at 115 200 and 9600 bit/s, against --all-blocks; and a full 128 KiB
// image, where the data blocks are every block, with and without
// --all-blocks. And this build against an earlier one, at the same pace.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include "protocol/rs232.h"
#include "sim/simulated_target.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

extern char** environ;

namespace pelk {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t LastAddress = 0x1FFFF;
constexpr uint32_t Blocks = (LastAddress + 1) / BlockSize;

struct Setup {
    test::TempDir Folder;
    const fs::path Dir = Folder.Path();
    fs::path Image;
    std::vector<uint8_t> Bytes;
    Setup() {
        Image = Dir / "image.bin";
        std::mt19937 rng(1);
        Bytes.resize(LastAddress + 1);
        for (auto& b : Bytes) b = uint8_t(rng());
        std::ofstream(Image, std::ios::binary).write(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
    }
};

Setup& Files() {
    static Setup s;
    return s;
}

// Processor time (user + system, all threads) of the last run, in seconds.
double LastCpu = 0;

double CpuOf(const rusage& r) {
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double RunPelkisp(bool trace = false) {
    std::vector<std::string> args{PELKISP_PATH, "--port", "sim", "--device", "W77E532", "--no-erase", "program",
                                  Files().Image.string()};
    if (trace) args.push_back("--trace=" + (Files().Dir / "trace.txt").string());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    LastCpu = CpuOf(usage);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The bare loop: write a frame, wait for the reply, read it, next frame.
double RunBareLoop() {
    SimulatedTargetOptions o;
    o.LastAddress = LastAddress;
    SimulatedTarget target(o);
    target.Start();
    const int fd = open(target.PortPath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    const std::array<uint8_t, 3> preamble = LinkPreamble;
    if (write(fd, preamble.data(), preamble.size()) != 3) return -1;
    TxFrameBytes frame{};
    for (uint8_t command : {CmdProgram, CmdVerify}) {
        for (uint32_t k = 0; k < Blocks; ++k) {
            BuildCommandFrame(frame, command, k * BlockSize, Files().Bytes.data() + k * BlockSize);
            if (write(fd, frame.data(), frame.size()) != ssize_t(frame.size())) return -1;
            size_t got = 0;
            uint8_t reply[8];
            while (got < 5) {
                pollfd p{fd, POLLIN, 0};
                poll(&p, 1, 5000);
                const ssize_t n = read(fd, reply + got, 5 - got);
                if (n <= 0) return -1;
                got += size_t(n);
            }
            if (reply[2] != ReplyDone) return -1;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    LastCpu = CpuOf(after) - CpuOf(before);
    close(fd);
    target.Stop();
    return seconds;
}

void Report(benchmark::State& state, double (*run)()) {
    double total = 0, cpu = 0;
    for (auto _ : state) {
        const double s = run();
        if (s < 0) {
            state.SkipWithError("run failed");
            return;
        }
        state.SetIterationTime(s);
        total += s;
        cpu += LastCpu;
    }
    const double mean = total / double(state.iterations());
    state.counters["us_per_block"] = mean / (2.0 * Blocks) * 1e6;
    state.counters["cpu_us_per_block"] = cpu / double(state.iterations()) / (2.0 * Blocks) * 1e6;
}

void BM_PelkispProgramVerify128K(benchmark::State& state) { Report(state, [] { return RunPelkisp(); }); }

// The wire trace's cost per block: the same run with --trace=FILE and
// without, in turn (each first every other time), 2048 blocks a run. The
// time shown is the traced run's; the counters give both per block and the
// difference, which is to stay within 50 us.
void BM_TraceOnVsOff(benchmark::State& state) {
    double on = 0, off = 0, onCpu = 0, offCpu = 0;
    bool onFirst = true;
    for (auto _ : state) {
        double t[2], cpu[2];
        for (int k = 0; k < 2; ++k) {
            const bool trace = (k == 0) == onFirst;
            t[trace] = RunPelkisp(trace);
            cpu[trace] = LastCpu;
        }
        onFirst = !onFirst;
        if (t[0] < 0 || t[1] < 0) {
            state.SkipWithError("run failed");
            return;
        }
        state.SetIterationTime(t[1]);
        on += t[1], off += t[0], onCpu += cpu[1], offCpu += cpu[0];
    }
    const double per = double(state.iterations()) * 2.0 * Blocks / 1e6;
    state.counters["on_us_per_block"] = on / per;
    state.counters["off_us_per_block"] = off / per;
    state.counters["diff_us_per_block"] = (on - off) / per;
    state.counters["cpu_diff_us_per_block"] = (onCpu - offCpu) / per;
}
void BM_BareLoopProgramVerify128K(benchmark::State& state) { Report(state, RunBareLoop); }

// pelkisp program FILE against pelkisp-target --pace BAUD: wall time of
// pelkisp from its start to its exit.
double RunPaced(uint32_t baud, const std::string& device, const std::string& file, bool allBlocks,
                const std::string& tool = PELKISP_PATH) {
    const std::string rate = std::to_string(baud);
    test::ChildProcess target(PELKISP_TARGET_PATH, {"--device", device, "--pace", rate}, Files().Dir);
    const auto port = target.ReadLine();
    if (!port) return -1;
    std::vector<std::string> args{"--port", *port, "--baud", rate, "--device", device, "program", file};
    if (allBlocks) args.push_back("--all-blocks");
    const auto start = Clock::now();
    test::ChildProcess run(tool, args, Files().Dir);
    const int status = run.Wait();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    target.Signal(SIGTERM);
    target.Wait();
    return status == 0 ? seconds : -1;
}

const std::string Example = PELK_EXAMPLES_DIR "/blinky.hex";

void Paced(benchmark::State& state, const std::string& device, const std::string& file, bool allBlocks) {
    for (auto _ : state) {
        const double s = RunPaced(uint32_t(state.range(0)), device, file, allBlocks);
        if (s < 0) {
            state.SkipWithError("run failed");
            return;
        }
        state.SetIterationTime(s);
    }
}

void BM_ExampleFirmware(benchmark::State& state) { Paced(state, "W78E516B", Example, false); }
void BM_ExampleFirmwareAllBlocks(benchmark::State& state) { Paced(state, "W78E516B", Example, true); }
// Data blocks and --all-blocks in turn, each first every other time, so
// that both see the same machine; the time shown is the data blocks', the
// counters give both and their ratio.
void BM_Full128KDataVsAllBlocks(benchmark::State& state) {
    double data = 0, all = 0;
    bool dataFirst = true;
    for (auto _ : state) {
        const auto run = [&](bool allBlocks) {
            return RunPaced(uint32_t(state.range(0)), "W77E532", Files().Image.string(), allBlocks);
        };
        const double first = run(!dataFirst);
        const double second = run(dataFirst);
        const double d = dataFirst ? first : second, a = dataFirst ? second : first;
        dataFirst = !dataFirst;
        if (d < 0 || a < 0) {
            state.SkipWithError("run failed");
            return;
        }
        state.SetIterationTime(d);
        data += d;
        all += a;
    }
    state.counters["data_blocks_s"] = data / double(state.iterations());
    state.counters["all_blocks_s"] = all / double(state.iterations());
    state.counters["ratio"] = data / all;
}

// This build's pelkisp against an earlier build's (the environment's
// PELK_BENCH_BASELINE names its pelkisp), in turn and each first every other
// time, against the same paced target: the example firmware, and a full
// 64 KiB image (erase, program, verify of 512 blocks each). The time shown is
// this build's; the counters give both and their ratio.
void AgainstBaseline(benchmark::State& state, const std::string& device, const std::string& file) {
    const char* baseline = std::getenv("PELK_BENCH_BASELINE");
    if (!baseline || !*baseline) {
        state.SkipWithError("set PELK_BENCH_BASELINE to an earlier build's pelkisp");
        return;
    }
    double now = 0, before = 0;
    bool nowFirst = true;
    for (auto _ : state) {
        double t[2] = {-1, -1};
        for (int k = 0; k < 2; ++k) {
            const bool isNow = (k == 0) == nowFirst;
            t[isNow] = RunPaced(uint32_t(state.range(0)), device, file, false, isNow ? PELKISP_PATH : baseline);
        }
        nowFirst = !nowFirst;
        if (t[0] < 0 || t[1] < 0) {
            state.SkipWithError("run failed");
            return;
        }
        state.SetIterationTime(t[1]);
        now += t[1];
        before += t[0];
    }
    state.counters["this_s"] = now / double(state.iterations());
    state.counters["baseline_s"] = before / double(state.iterations());
    state.counters["ratio"] = now / before;
}

const std::string& Image64() {
    static const std::string path = [] {
        const fs::path image = Files().Dir / "image64.bin";
        std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(Files().Bytes.data()), 0x10000);
        return image.string();
    }();
    return path;
}

void BM_ExampleAgainstBaseline(benchmark::State& state) { AgainstBaseline(state, "W78E516B", Example); }
void BM_Full64KAgainstBaseline(benchmark::State& state) { AgainstBaseline(state, "W78E516B", Image64()); }

// Several boards at once: pelkisp programs (erase, program, verify) a full
// 64 KiB image into N pelkisp-target --pace BAUD at once. Returns the wall
// time; LastCpu gets pelkisp's processor time (all its threads).
double RunBoards(int boards, uint32_t baud) {
    const std::string image = Image64();
    const std::string rate = std::to_string(baud);
    std::vector<std::unique_ptr<test::ChildProcess>> targets;
    std::vector<std::string> args{PELKISP_PATH, "-q", "--baud", rate, "program", image};
    for (int i = 0; i < boards; ++i) {
        targets.push_back(std::make_unique<test::ChildProcess>(PELKISP_TARGET_PATH, std::vector<std::string>{"--pace", rate},
                                                               Files().Dir));
        const auto port = targets.back()->ReadLine();
        if (!port) return -1;
        args.push_back("--port=" + *port);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    LastCpu = CpuOf(usage);
    for (auto& t : targets) {
        t->Signal(SIGTERM);
        t->Wait();
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// Four boards and one in turn, each first every other time; the time shown
// is the four boards'. Counters: both wall times and their ratio (the goal
// is at most 1.05: the boards do not wait for each other), and both
// processor times and their ratio (it should be about 4: linear).
void BM_FourBoardsVsOne(benchmark::State& state) {
    const uint32_t baud = uint32_t(state.range(0));
    double one = 0, four = 0, cpuOne = 0, cpuFour = 0;
    bool oneFirst = true;
    for (auto _ : state) {
        double w1 = -1, w4 = -1, c1 = 0, c4 = 0;
        for (int k = 0; k < 2; ++k) {
            if ((k == 0) == oneFirst) {
                w1 = RunBoards(1, baud);
                c1 = LastCpu;
            } else {
                w4 = RunBoards(4, baud);
                c4 = LastCpu;
            }
        }
        oneFirst = !oneFirst;
        if (w1 < 0 || w4 < 0) {
            state.SkipWithError("run failed");
            return;
        }
        state.SetIterationTime(w4);
        one += w1;
        four += w4;
        cpuOne += c1;
        cpuFour += c4;
    }
    const double n = double(state.iterations());
    state.counters["one_s"] = one / n;
    state.counters["four_s"] = four / n;
    state.counters["wall_ratio"] = four / one;
    state.counters["cpu_one_ms"] = cpuOne / n * 1e3;
    state.counters["cpu_four_ms"] = cpuFour / n * 1e3;
    state.counters["cpu_ratio"] = cpuFour / cpuOne;
}

BENCHMARK(BM_PelkispProgramVerify128K)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TraceOnVsOff)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareLoopProgramVerify128K)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExampleFirmware)->Arg(115200)->Arg(9600)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExampleFirmwareAllBlocks)->Arg(115200)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Full128KDataVsAllBlocks)->Arg(115200)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExampleAgainstBaseline)->Arg(115200)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Full64KAgainstBaseline)->Arg(115200)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FourBoardsVsOne)->Arg(115200)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelk

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // The ratio, from one more run of each, side by side.
    const double tool = pelk::RunPelkisp();
    const double toolCpu = pelk::LastCpu;
    const double bare = pelk::RunBareLoop();
    const double bareCpu = pelk::LastCpu;
    // Two operations start with 5 ticks of 10 ms each; the process start is
    // part of the tool's time too.
    const double fixed = 2 * 0.05;
    std::printf("\npelkisp program+verify 128 KiB: %.1f ms (%.1f us/block)\n", tool * 1e3, tool / (2 * pelk::Blocks) * 1e6);
    std::printf("bare loop, same frames:          %.1f ms (%.1f us/block)\n", bare * 1e3, bare / (2 * pelk::Blocks) * 1e6);
    std::printf("ratio: %.2f; tool overhead per block without the two 50 ms start delays: %.1f us\n", tool / bare,
                (tool - fixed - bare) / (2 * pelk::Blocks) * 1e6);
    std::printf("processor time, all threads: pelkisp %.1f ms (%.1f us/block, start-up included), bare loop %.1f ms "
                "(%.1f us/block)\n",
                toolCpu * 1e3, toolCpu / (2 * pelk::Blocks) * 1e6, bareCpu * 1e3, bareCpu / (2 * pelk::Blocks) * 1e6);
    benchmark::Shutdown();
    return 0;
}

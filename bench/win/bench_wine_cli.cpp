// Program + verify of a 64 KiB device (512 blocks each way, 1024 frames)
// through pelkisp.exe under wine, against the Linux pelkisp, with the same
// simulated target (unpaced: replies as fast as the pseudo-terminal goes)
// in the same run, the two taking turns. Also the start and end of each
// program alone (`--version`), so that the per-block cost is the run's time
// less that, divided by the frames.
//
// ./dev bench runs it after the Windows build, with PELK_WINE_PELKISP,
// PELK_WINE_PORTS and the wine prefix set (COM11 is this bench's line).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sim/simulated_target.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t LastAddress = 0xFFFF;
constexpr int Frames = 2 * (LastAddress + 1) / 128;
constexpr int Rounds = 5;

// Seconds the program takes; exits the bench when it fails.
double Time(const std::string& Program, const std::vector<std::string>& Args, const fs::path& Dir) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const fs::path errFile = Dir / "err.txt";
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const auto start = Clock::now();
    pelk::test::ChildProcess p(Program, Args, Dir, null, err);
    const int status = p.WaitAtMost(std::chrono::minutes(5));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(null);
    ::close(err);
    if (status != 0) {
        std::ifstream in(errFile);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::fprintf(stderr, "bench_wine_cli: %s failed (%d): %s\n", Program.c_str(), status, text.c_str());
        std::exit(1);
    }
    return seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    const char* exe = std::getenv("PELK_WINE_PELKISP");
    const char* ports = std::getenv("PELK_WINE_PORTS");
    if (!exe || !ports || !std::getenv("WINEPREFIX")) {
        std::fprintf(stderr, "bench_wine_cli: run through ./dev bench (PELK_WINE_PELKISP, PELK_WINE_PORTS, WINEPREFIX)\n");
        return 2;
    }
    const pelk::test::TempDir folder;
    const fs::path dir = folder.Path();
    std::vector<uint8_t> bytes(LastAddress + 1);
    std::mt19937 rng(1);
    for (auto& b : bytes) b = uint8_t(rng() % 255);  // no 0xFF: every block holds data
    std::ofstream(dir / "image.bin", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    pelk::SimulatedTargetOptions o;
    o.LastAddress = LastAddress;
    pelk::SimulatedTarget target(o);
    target.Start();
    const fs::path link = fs::path(ports) / "COM11";
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target.PortPath(), link);

    const std::vector<std::string> run{"-q", "-b", "115200", "--no-erase", "program", "image.bin"};
    auto with = [](std::vector<std::string> a, const std::string& port) {
        a.insert(a.begin(), {"-p", port});
        return a;
    };
    std::vector<double> wine, native, wineStart, nativeStart;
    Time("/usr/bin/wine", {exe, "--version"}, dir);  // wine's first start in this session
    for (int round = 0; round < Rounds; ++round) {
        wine.push_back(Time("/usr/bin/wine", [&] {
            auto a = with(run, "COM11");
            a.insert(a.begin(), exe);
            return a;
        }(), dir));
        native.push_back(Time(PELKISP_PATH, with(run, target.PortPath()), dir));
        wineStart.push_back(Time("/usr/bin/wine", {exe, "--version"}, dir));
        nativeStart.push_back(Time(PELKISP_PATH, {"--version"}, dir));
    }
    fs::remove(link, ec);
    target.Stop();

    const double w = Median(wine), l = Median(native), ws = Median(wineStart), ls = Median(nativeStart);
    const double wBlock = (w - ws) / Frames * 1e6, lBlock = (l - ls) / Frames * 1e6;
    std::printf("64 KiB program + verify (%d frames), unpaced simulated target, median of %d runs each, in turns:\n",
                Frames, Rounds);
    std::printf("  pelkisp.exe under wine  %7.3f s   (start and end alone %.3f s)   %7.1f us/frame\n", w, ws, wBlock);
    std::printf("  pelkisp on Linux        %7.3f s   (start and end alone %.3f s)   %7.1f us/frame\n", l, ls, lBlock);
    std::printf("  ratio wine / Linux: %.2f whole run, %.2f per frame\n", w / l, wBlock / lBlock);
    return 0;
}

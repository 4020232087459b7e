// Loading a full 128 KiB image from Intel HEX and saving it again, against
// the general converters objcopy and srec_cat on the same file, in the same
// run. The converters run as programs, as a user would run them, so their
// figures include starting a process; the spawn of /bin/true is measured too,
// so the report gives the ratios with and without that start-up cost.
//
// Also: the checksum summary over the full 128 KiB, which runs after every
// single-byte edit.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "image/checksum_summary.h"
#include "image/device_table.h"
#include "image/file_load.h"
#include "image/file_writer.h"
#include "image/hex_reader.h"
#include "image/file_test_support.h"

extern char** environ;

namespace pelk {
namespace {

struct NullReporter : FileReporter {
    void Message(const std::string&) override {}
};

// The shared input: a random image with no blank block, saved as HEX.
struct Fixture {
    test::TempDir Dir;
    std::filesystem::path Input = Dir / "image.hex";
    MemoryImage Image;

    Fixture() {
        std::mt19937 random(1);
        for (auto& b : Image.ImageBuffer) b = static_cast<uint8_t>(random() % 255);  // never 0xFF
        ApplyDeviceIndex(Image, 6);
        NullReporter reporter;
        WriteHexFile(Input, Image, reporter);
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

// Loads the input the way File > Load does with the two-bank device, then
// saves the image as HEX or binary.
void LoadAndSave(benchmark::State& state, bool hex) {
    Fixture& f = Shared();
    MemoryImage image;
    ApplyDeviceIndex(image, 6);
    auto staging = std::make_unique<StagingBuffer>();
    NullReporter reporter;
    const auto output = f.Dir / (hex ? "ours.hex" : "ours.bin");
    for (auto _ : state) {
        if (!ReadHexFile(f.Input, image, *staging, reporter)) state.SkipWithError("read failed");
        CopyStagedData(image, *staging, ProposedLoadSelection(image.LoadedExtent));
        const bool saved = hex ? WriteHexFile(output, image, reporter) : WriteBinaryFile(output, image, reporter);
        if (!saved) state.SkipWithError("write failed");
    }
    if (image.ImageBuffer != f.Image.ImageBuffer) state.SkipWithError("image differs after loading");
    state.SetBytesProcessed(int64_t(state.iterations()) * ImageSize);
}

void BM_PelkHexToHex(benchmark::State& state) { LoadAndSave(state, true); }
void BM_PelkHexToBinary(benchmark::State& state) { LoadAndSave(state, false); }

void BM_PelkHexReadOnly(benchmark::State& state) {
    MemoryImage image;
    ApplyDeviceIndex(image, 6);
    auto staging = std::make_unique<StagingBuffer>();
    NullReporter reporter;
    for (auto _ : state) ReadHexFile(Shared().Input, image, *staging, reporter);
}

void BM_PelkHexWriteOnly(benchmark::State& state) {
    NullReporter reporter;
    for (auto _ : state) WriteHexFile(Shared().Dir / "write-only.hex", Shared().Image, reporter);
}

bool Spawn(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void RunProgram(benchmark::State& state, const std::vector<std::string>& args) {
    if (args[0].empty()) {
        state.SkipWithError("program not installed");
        return;
    }
    for (auto _ : state) {
        if (!Spawn(args)) {
            state.SkipWithError(("failed: " + args[0]).c_str());
            break;
        }
    }
}

std::string In() { return Shared().Input.string(); }
std::string Out(const char* name) { return (Shared().Dir / name).string(); }

void BM_ObjcopyHexToBinary(benchmark::State& state) {
    RunProgram(state, {PELK_OBJCOPY, "-I", "ihex", "-O", "binary", In(), Out("objcopy.bin")});
}
void BM_SrecCatHexToBinary(benchmark::State& state) {
    RunProgram(state, {PELK_SREC_CAT, In(), "-intel", "-o", Out("srec.bin"), "-binary"});
}
void BM_SrecCatHexToHex(benchmark::State& state) {
    RunProgram(state, {PELK_SREC_CAT, In(), "-intel", "-o", Out("srec.hex"), "-intel"});
}
void BM_ProcessStart(benchmark::State& state) { RunProgram(state, {"/bin/true"}); }

void BM_ChecksumSummary128KiB(benchmark::State& state) {
    MemoryImage image = Shared().Image;
    ApplyDeviceIndex(image, 6);
    for (auto _ : state) {
        image.ImageBuffer[0x1234] ^= 1;  // as after a single-byte edit
        ChecksumSummary s = ComputeChecksumSummary(image);
        benchmark::DoNotOptimize(s);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * ImageSize);
}

BENCHMARK(BM_PelkHexToHex)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PelkHexToBinary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PelkHexReadOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PelkHexWriteOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ObjcopyHexToBinary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SrecCatHexToBinary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SrecCatHexToHex)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProcessStart)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ChecksumSummary128KiB)->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's time per iteration, in seconds, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> Seconds;

    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            Seconds[run.run_name.function_name] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }
};

void PrintRatio(const RatioReporter& r, const char* peer, const char* ours, bool withoutStart) {
    const auto p = r.Seconds.find(peer);
    const auto o = r.Seconds.find(ours);
    if (p == r.Seconds.end() || o == r.Seconds.end()) return;
    std::printf("  %-24s / %-20s = %6.2f", peer, ours, p->second / o->second);
    const auto start = r.Seconds.find("BM_ProcessStart");
    if (withoutStart && start != r.Seconds.end())
        std::printf("   (without process start: %6.2f)", (p->second - start->second) / o->second);
    std::printf("\n");
}

}  // namespace
}  // namespace pelk

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    pelk::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nTime of the general converter per time of ours (above 1: ours is faster):\n");
    pelk::PrintRatio(reporter, "BM_ObjcopyHexToBinary", "BM_PelkHexToBinary", true);
    pelk::PrintRatio(reporter, "BM_SrecCatHexToBinary", "BM_PelkHexToBinary", true);
    pelk::PrintRatio(reporter, "BM_SrecCatHexToHex", "BM_PelkHexToHex", true);
    benchmark::Shutdown();
    return 0;
}

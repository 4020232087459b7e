// CPU cost of the operation engine plus the reply receiver per 128-byte
// block: build the frame, compute its CRC, let the simulated loader answer,
// receive the reply byte by byte, check it and dispatch it.
#include <benchmark/benchmark.h>

#include "image/device_table.h"
#include "support/recording_port.h"

namespace pelk {
namespace {

void RunOperation(benchmark::State& state, bool verify) {
    test::EngineRig rig;
    ApplyDeviceIndex(rig.Image, 6);  // 128 KiB: 1024 blocks
    TargetLoader target(rig.Image.LastAddress);
    rig.Link.Record = false;
    rig.Link.Target = &target;
    const uint32_t blocks = rig.Image.DeviceSize() / BlockSize;
    for (auto _ : state) {
        if (!verify) std::fill(target.Flash().begin(), target.Flash().end(), 0xFF);
        if (verify) rig.Engine.StartVerify();
        else rig.Engine.StartProgram();
        rig.RunToEnd();
        if (rig.View.Last() != (verify ? "Verification OK." : "Device programmed.")) {
            state.SkipWithError("operation failed");
            break;
        }
        rig.View.Messages.clear();
        rig.View.ProgressHistory.clear();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * blocks);
    state.counters["per_block"] = benchmark::Counter(
        double(state.iterations()) * blocks, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ProgramBlock(benchmark::State& state) { RunOperation(state, false); }
void BM_VerifyBlock(benchmark::State& state) { RunOperation(state, true); }

// The engine's share alone: the loader answers from a canned reply, so only
// frame building, CRC, reception and dispatch are measured.
void BM_EngineOnlyBlock(benchmark::State& state) {
    test::EngineRig rig;
    ApplyDeviceIndex(rig.Image, 6);
    rig.Link.Record = false;
    const auto done = MakeReplyFrame(ReplyDone);
    const uint32_t blocks = rig.Image.DeviceSize() / BlockSize;
    for (auto _ : state) {
        rig.Engine.StartProgram();
        for (int i = 0; i < StartDelayTicks; ++i) rig.Engine.TimerTimer();
        while (rig.Engine.Operation() != OpNone) {
            rig.Link.Feed(done);
            rig.Engine.ReceiveReplyBytes();
        }
        rig.View.Messages.clear();
        rig.View.ProgressHistory.clear();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * blocks);
}

BENCHMARK(BM_ProgramBlock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyBlock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineOnlyBlock)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelk

BENCHMARK_MAIN();

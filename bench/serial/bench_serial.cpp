// Round trip of one block over a pseudo-terminal: a 136-byte frame out and
// a 5-byte reply back, answered at once by a peer thread on the master side.
//
//  - BM_CommRoundTrip: through TVaComm as the application uses it (WriteBuf
//    queues for the write thread; the event thread hands the received-bytes
//    event to the main thread; OnRxChar reads the reply one byte at a time).
//    The benchmark's thread is the main thread and runs the hand-overs.
//  - BM_BareRoundTrip: write, poll and read on the slave descriptor itself,
//    on the same pseudo-terminal pair, in the same run.
//
// After both have run, the two times, their ratio and the component's
// overhead per block are printed. For scale: at 115200 bit/s the line time
// of one block (141 bytes with the reply, 10 bits each) is about 12 ms.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "serial/pty_support.h"
#include "serial/vacomm.h"

namespace pelk {
namespace {

using namespace std::chrono_literals;

constexpr size_t FrameSize = 136;
constexpr size_t ReplySize = 5;

// The far end: reads whole frames and answers each with a reply.
class Peer {
public:
    explicit Peer(int Master) : FMaster(Master), FThread([this] { Run(); }) {}
    ~Peer() {
        FStop = true;
        FThread.join();
    }

private:
    void Run() {
        const char reply[ReplySize] = {0x55, 0x05, 0x01, 0x12, 0x34};
        size_t have = 0;
        char buf[4096];
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t r = ::read(FMaster, buf, sizeof buf);
            if (r <= 0) continue;
            have += static_cast<size_t>(r);
            while (have >= FrameSize) {
                have -= FrameSize;
                (void)!::write(FMaster, reply, ReplySize);
            }
        }
    }

    int FMaster;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

struct Rig {
    test::TempDir Dir{test::WorkIn::TheFolder};
    test::PtyPair Pty;
    std::shared_ptr<PumpedMainThreadQueue> Queue = std::make_shared<PumpedMainThreadQueue>();
    Peer Far{Pty.Master()};
    std::string Frame = std::string(FrameSize, '\x5A');
    Rig() {
        Dir.Link("COM1", Pty.SlavePath());
        SetMainThreadDispatcher(Queue);
    }
    ~Rig() {
        Queue->Shutdown();
        TThread::WaitForAll(5s);
        SetMainThreadDispatcher(nullptr);
    }
};

std::unique_ptr<Rig> TheRigHolder;  // made by the first benchmark, ended by main

Rig& TheRig() {
    if (!TheRigHolder) TheRigHolder = std::make_unique<Rig>();
    return *TheRigHolder;
}

void BM_BareRoundTrip(benchmark::State& state) {
    Rig& rig = TheRig();
    const int fd = rig.Pty.Slave();
    char reply[64];
    for (auto _ : state) {
        size_t sent = 0;
        while (sent < FrameSize) {
            const ssize_t w = ::write(fd, rig.Frame.data() + sent, FrameSize - sent);
            if (w > 0) sent += static_cast<size_t>(w);
        }
        size_t got = 0;
        while (got < ReplySize) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 1000);
            const ssize_t r = ::read(fd, reply, sizeof reply);
            if (r > 0) got += static_cast<size_t>(r);
        }
    }
}

void BM_CommRoundTrip(benchmark::State& state) {
    Rig& rig = TheRig();
    TVaComm comm;
    comm.SetBaudrate(br115200);
    comm.SetPortNum(1);
    comm.Buffers().SetReadSize(1000);
    comm.Buffers().SetWriteSize(1000);
    size_t received = 0;
    comm.OnRxChar = [&](TVaCustomComm* Sender, int Count) {
        for (int i = 0; i < Count; ++i) {
            char b;
            if (Sender->ReadBuf(&b, 1) == 1) ++received;
        }
    };
    comm.Open();
    for (auto _ : state) {
        received = 0;
        comm.WriteBuf(rig.Frame.data(), static_cast<int>(FrameSize));
        while (received < ReplySize) {
            if (!rig.Queue->PumpOne(1s)) {
                state.SkipWithError("no reply");
                break;
            }
        }
    }
    comm.Close();
    // Let the closed port's last hand-overs run before the next benchmark.
    while (!TThread::WaitForAll(1ms)) rig.Queue->PumpAll();
}

BENCHMARK(BM_BareRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CommRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Keeps each benchmark's time per iteration for the summary.
class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& Runs) override {
        ConsoleReporter::ReportRuns(Runs);
        // One plain run, or the median of repetitions.
        for (const Run& r : Runs) {
            if (r.error_occurred) continue;
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
                Times[r.run_name.function_name] = r.GetAdjustedRealTime();
        }
    }
    std::map<std::string, double> Times;  // microseconds
};

}  // namespace
}  // namespace pelk

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    pelk::Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    const auto comm = recorder.Times.find("BM_CommRoundTrip");
    const auto bare = recorder.Times.find("BM_BareRoundTrip");
    if (comm != recorder.Times.end() && bare != recorder.Times.end() && bare->second > 0) {
        std::printf("\nRound trip of a %zu-byte frame and a %zu-byte reply over a pseudo-terminal:\n", pelk::FrameSize,
                    pelk::ReplySize);
        std::printf("  through TVaComm: %8.1f us\n", comm->second);
        std::printf("  bare loop:       %8.1f us\n", bare->second);
        std::printf("  ratio:           %8.2f\n", comm->second / bare->second);
        std::printf("  overhead:        %8.1f us per block (line time at 115200 bit/s: about 12200 us)\n",
                    comm->second - bare->second);
    }
    pelk::TheRigHolder.reset();
    benchmark::Shutdown();
    return 0;
}

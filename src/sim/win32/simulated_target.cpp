// The simulated target on Windows. It serves its loader on a pseudo-
// terminal, and Windows has none (nor a serial port pair of its own that a
// program could make): Start refuses with a message that says so and where
// the simulated target runs instead. Everything else works on the flash as
// it does on Linux, with no line.
#include "sim/simulated_target.h"

namespace pelk {

SimulatedTarget::SimulatedTarget(SimulatedTargetOptions options)
    : Options(std::move(options)), Loader(Options.LastAddress) {}

SimulatedTarget::~SimulatedTarget() = default;

void SimulatedTarget::Start() {
    throw SimulatedTargetError(
        "--port sim: the simulated target needs a pseudo-terminal, which Windows does not have; run pelkisp-target "
        "on a Linux machine and reach it through a serial line, or program a real target through its COM port");
}

void SimulatedTarget::Stop() {}

bool SimulatedTarget::WaitForFramesServed(uint64_t frames, std::chrono::milliseconds) const {
    std::lock_guard<std::mutex> hold(Lock);
    return Counters.FramesServed >= frames;
}

}  // namespace pelk

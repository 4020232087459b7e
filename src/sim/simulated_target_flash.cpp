// The simulated flash and the counters, as tests and the tools read and set
// them: the same on every platform, whatever serves the line.
#include <algorithm>

#include "sim/simulated_target.h"

namespace pelk {

std::vector<uint8_t> SimulatedTarget::Flash() const {
    std::lock_guard<std::mutex> hold(Lock);
    return Loader.Flash();
}

void SimulatedTarget::WriteFlash(uint32_t address, std::span<const uint8_t> bytes) {
    std::lock_guard<std::mutex> hold(Lock);
    std::vector<uint8_t>& flash = Loader.Flash();
    if (address > flash.size() || bytes.size() > flash.size() - address)
        throw SimulatedTargetError("Flash write beyond the end of the simulated device");
    std::copy(bytes.begin(), bytes.end(), flash.begin() + address);
}

SimulatedTargetStatus SimulatedTarget::Status() const {
    std::lock_guard<std::mutex> hold(Lock);
    SimulatedTargetStatus s = Counters;
    s.Loader = Loader.Stats();
    return s;
}

}  // namespace pelk

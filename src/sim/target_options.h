#pragma once
// Command line of the pelkisp-target program.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/simulated_target.h"

namespace pelk {

struct TargetCommandLine {
    uint8_t DeviceIndex = 1;          // 1..6, as in the device table
    SimulatedTargetOptions Options;   // LastAddress follows DeviceIndex
    std::string Link;                 // "COM1".."COM4": link to publish; empty: none
    bool Help = false;
    bool Version = false;
};

// Parses the arguments that follow the program name. On a usage error returns
// nothing and puts a one-line explanation in `error`.
std::optional<TargetCommandLine> ParseTargetCommandLine(const std::vector<std::string>& args, std::string& error);

// The text that --help prints.
std::string TargetUsage();

}  // namespace pelk

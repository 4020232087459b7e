#pragma once
// The command line of pelkisp:
//
//   pelkisp --port PORT [--baud RATE] [--device DEV] COMMAND [FILE] [load options]
//   pelkisp [--device DEV] checksum FILE [load options]
//   pelkisp [--device DEV] convert IN OUT [load options] [--out-format hex|bin]
//
// COMMAND: program FILE (erase, program, verify; --no-erase, --no-verify),
// verify FILE, erase, blank; program and verify walk the blocks that hold
// data, or every block with --all-blocks. Load options: --format hex|bin,
// --start, --stop, --offset (hexadecimal), --bank 0|1, --no-clear.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelk {

enum class CliCommand { None, Program, Verify, Erase, Blank, Checksum, Convert, Help, Version };
enum class FileFormat { Auto, Hex, Binary };

struct CliOptions {
    CliCommand Command = CliCommand::None;
    std::string Port;                 // COM1..COM4, a device path, or "sim"
    uint32_t Baud = 9600;
    uint8_t DeviceIndex = 1;
    std::vector<std::string> Files;   // FILE, or IN and OUT
    FileFormat Format = FileFormat::Auto;
    FileFormat OutFormat = FileFormat::Auto;
    std::optional<uint32_t> Start, Stop, Offset;
    bool Bank1 = false;
    bool ClearBuffer = true;
    bool Erase = true;                // program: erase first
    bool Verify = true;               // program: verify after
    bool AllBlocks = false;           // program, verify: every block, not only the data blocks
    std::string SimFlash;             // --sim-flash FILE
};

// The 13 line speeds the tool offers, 110 to 115200 bit/s.
extern const std::vector<uint32_t> CliBaudRates;

struct CliParse {
    CliOptions Options;
    std::string Error;  // empty when the line was understood
};

CliParse ParseCommandLine(const std::vector<std::string>& args);

// Format of a file by its name: HEX for .hex and .ihx in any case, binary otherwise.
FileFormat FormatByName(const std::string& fileName);

// The text of --help.
std::string UsageText();

}  // namespace pelk

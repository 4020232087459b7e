#pragma once
// The command line of pelkisp:
//
//   pelkisp -p PORT [-b RATE] [-d DEV] COMMAND [FILE] [options]
//   pelkisp [-d DEV] checksum FILE [load options]
//   pelkisp [-d DEV] convert IN OUT [load options] [--out-format hex|bin]
//   pelkisp ports
//
// Options and words may come in any order; "--opt=value" and "--opt value"
// both work, short options take their value attached or as the next word
// ("-b115200", "-b 115200") and flags may be bundled ("-vq" is refused for
// its meaning, not its form); "--" ends the options. Every option is a row of
// one table (CliOptionTable) that says which commands it serves: an option
// given with a command it does nothing for is refused, naming both.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/line_sequence.h"

namespace pelk {

enum class CliCommand { None, Program, Verify, Erase, Blank, Checksum, Convert, Ports, Help, Version };
enum class FileFormat { Auto, Hex, Binary };

struct CliOptions {
    CliCommand Command = CliCommand::None;
    std::vector<std::string> Ports;   // each COM1..COM4, a device path, or "sim"; one board each
    uint32_t Baud = 9600;
    uint8_t DeviceIndex = 1;
    std::vector<std::string> Files;   // FILE, or IN and OUT
    FileFormat Format = FileFormat::Auto;
    FileFormat OutFormat = FileFormat::Auto;
    std::optional<uint32_t> Start, Stop, Offset;
    bool Bank1 = false;
    bool Erase = true;                // program: erase first
    bool Verify = true;               // program: verify after
    bool AllBlocks = false;           // program, verify: every block, not only the data blocks
    bool Force = false;               // program, verify: go on despite a doubtful file
    std::string SimFlash;             // --sim-flash FILE
    bool Verbose = false;             // -v
    bool Quiet = false;               // -q
    bool Trace = false;               // --trace[=FILE]
    std::string TraceFile;            // empty: standard error
    std::optional<LineSequence> Before, After;  // --before, --after: reset-line sequences
    std::string LogFile;              // --log FILE: one CSV line per board
};

// The 13 line speeds the tool offers, 110 to 115200 bit/s.
extern const std::vector<uint32_t> CliBaudRates;

// One option of the table.
struct CliOptionRow {
    const char* Long;     // "--port"
    char Short;           // 'p', or 0
    enum Kind { Flag, Value, OptionalValue } Takes;  // OptionalValue: only as --opt=value
    const char* ValueName;
    unsigned Commands;    // CliCommandBit of the commands it serves
    // Stores the value (or sets the flag); an error text, empty when fine.
    std::string (*Apply)(CliOptions& o, const std::string& value);
};

constexpr unsigned CliCommandBit(CliCommand c) { return 1u << static_cast<unsigned>(c); }

extern const std::vector<CliOptionRow> CliOptionTable;

struct CliParse {
    CliOptions Options;
    std::string Error;  // empty when the line was understood
};

CliParse ParseCommandLine(const std::vector<std::string>& args);

// Format of a file by its name: HEX for .hex, .ihx and .ihex in any case, binary otherwise.
FileFormat FormatByName(const std::string& fileName);

// The name of a command as typed ("program").
const char* CommandName(CliCommand c);

// The text of --help; no line is wider than 80 columns.
std::string UsageText();

}  // namespace pelk

#include "cli/cli_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "cli/cli_platform.h"
#include "framework/utf8_path.h"
#include "image/device_table.h"
#include "image/image_file.h"

namespace pelk {

const std::vector<uint32_t> CliBaudRates{110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::optional<uint32_t> ParseHex(const std::string& text) {
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    if (t.empty() || t.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : t) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        v = v * 16 + uint32_t(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10);
    }
    return v;
}

std::optional<FileFormat> ParseFormat(const std::string& text) {
    const std::string t = Lower(text);
    if (t == "hex") return FileFormat::Hex;
    if (t == "bin") return FileFormat::Binary;
    return std::nullopt;
}

constexpr unsigned Bit(CliCommand c) { return CliCommandBit(c); }
constexpr unsigned DeviceCommands =
    Bit(CliCommand::Program) | Bit(CliCommand::Verify) | Bit(CliCommand::Erase) | Bit(CliCommand::Blank);
constexpr unsigned FileCommands =
    Bit(CliCommand::Program) | Bit(CliCommand::Verify) | Bit(CliCommand::Checksum) | Bit(CliCommand::Convert);
constexpr unsigned Walks = Bit(CliCommand::Program) | Bit(CliCommand::Verify);
constexpr unsigned AllCommands = DeviceCommands | FileCommands | Bit(CliCommand::Ports);

// The same port twice: COM names in any letter case, paths as written.
// A port as given, blanks around it taken off, and comN in any letter case
// written COMn: COM1 and com1 are one port everywhere.
std::string PortName(std::string name) {
    const size_t first = name.find_first_not_of(" \t");
    name = first == std::string::npos ? std::string() : name.substr(first, name.find_last_not_of(" \t") - first + 1);
    if (name.size() > 3 && Lower(name.substr(0, 3)) == "com" &&
        std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c); }))
        return "COM" + name.substr(3);
    return name;
}

bool SamePortName(const std::string& a, const std::string& b) {
    return a.find('/') == std::string::npos ? Lower(a) == Lower(b) : a == b;
}

std::string Sequence(std::optional<LineSequence>& into, const std::string& v) {
    ParsedLineSequence parsed = ParseLineSequence(v);
    if (!parsed.Ok()) return parsed.Error;
    into = std::move(parsed.Sequence);
    return "";
}

std::string Address(std::optional<uint32_t>& into, const std::string& v) {
    into = ParseHex(v);
    return into ? "" : "not a hexadecimal address";
}

struct CommandWord {
    const char* Name;
    CliCommand Command;
    size_t Files;
};
constexpr CommandWord Commands[] = {
    {"program", CliCommand::Program, 1}, {"verify", CliCommand::Verify, 1},     {"erase", CliCommand::Erase, 0},
    {"blank", CliCommand::Blank, 0},     {"checksum", CliCommand::Checksum, 1}, {"convert", CliCommand::Convert, 2},
    {"ports", CliCommand::Ports, 0},
};

}  // namespace

const std::vector<CliOptionRow> CliOptionTable{
    {"--port", 'p', CliOptionRow::Value, "PORT", DeviceCommands,
     [](CliOptions& o, const std::string& v) -> std::string {
         // Given several times or as a comma list: one board per port.
         size_t start = 0;
         do {
             const size_t comma = std::min(v.find(',', start), v.size());
             const std::string name = PortName(v.substr(start, comma - start));
             if (name.empty()) return "needs a port name";
             for (const std::string& given : o.Ports)
                 if (SamePortName(given, name) && name != "sim") return name + " is given twice";
             o.Ports.push_back(name);
             start = comma + 1;
         } while (start <= v.size());
         return "";
     }},
    {"--baud", 'b', CliOptionRow::Value, "RATE", DeviceCommands,
     [](CliOptions& o, const std::string& v) -> std::string {
         uint32_t rate = 0;
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), rate);
         if (v.empty() || ec != std::errc() || end != v.data() + v.size() ||
             std::find(CliBaudRates.begin(), CliBaudRates.end(), rate) == CliBaudRates.end())
             return "unsupported baud rate (110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, "
                    "56000, 57600, 115200)";
         o.Baud = rate;
         return "";
     }},
    {"--device", 'd', CliOptionRow::Value, "DEV", DeviceCommands | Bit(CliCommand::Checksum) | Bit(CliCommand::Convert),
     [](CliOptions& o, const std::string& v) -> std::string {
         const auto d = DeviceIndexByName(v);
         if (!d) return "unknown device (W78E516B, W78LE516, W78E58B, W78LE58, W78E858, W77E532 or 1 to 6)";
         o.DeviceIndex = *d;
         return "";
     }},
    {"--sim-flash", 0, CliOptionRow::Value, "FILE", DeviceCommands,
     [](CliOptions& o, const std::string& v) -> std::string {
         o.SimFlash = v;
         return v.empty() ? "needs a file name" : "";
     }},
    {"--before", 0, CliOptionRow::Value, "SEQ", DeviceCommands,
     [](CliOptions& o, const std::string& v) { return Sequence(o.Before, v); }},
    {"--after", 0, CliOptionRow::Value, "SEQ", DeviceCommands,
     [](CliOptions& o, const std::string& v) { return Sequence(o.After, v); }},
    {"--log", 0, CliOptionRow::Value, "FILE", DeviceCommands,
     [](CliOptions& o, const std::string& v) -> std::string {
         o.LogFile = v;
         return v.empty() ? "needs a file name" : "";
     }},
    {"--all-blocks", 0, CliOptionRow::Flag, nullptr, Walks,
     [](CliOptions& o, const std::string&) -> std::string {
         o.AllBlocks = true;
         return "";
     }},
    {"--force", 0, CliOptionRow::Flag, nullptr, Walks,
     [](CliOptions& o, const std::string&) -> std::string {
         o.Force = true;
         return "";
     }},
    {"--no-erase", 0, CliOptionRow::Flag, nullptr, Bit(CliCommand::Program),
     [](CliOptions& o, const std::string&) -> std::string {
         o.Erase = false;
         return "";
     }},
    {"--no-verify", 0, CliOptionRow::Flag, nullptr, Bit(CliCommand::Program),
     [](CliOptions& o, const std::string&) -> std::string {
         o.Verify = false;
         return "";
     }},
    {"--format", 0, CliOptionRow::Value, "hex|bin", FileCommands,
     [](CliOptions& o, const std::string& v) -> std::string {
         const auto f = ParseFormat(v);
         if (!f) return "takes hex or bin";
         o.Format = *f;
         return "";
     }},
    {"--start", 0, CliOptionRow::Value, "ADDR", FileCommands,
     [](CliOptions& o, const std::string& v) { return Address(o.Start, v); }},
    {"--stop", 0, CliOptionRow::Value, "ADDR", FileCommands,
     [](CliOptions& o, const std::string& v) { return Address(o.Stop, v); }},
    {"--offset", 0, CliOptionRow::Value, "ADDR", FileCommands,
     [](CliOptions& o, const std::string& v) { return Address(o.Offset, v); }},
    {"--bank", 0, CliOptionRow::Value, "0|1", FileCommands,
     [](CliOptions& o, const std::string& v) -> std::string {
         if (v != "0" && v != "1") return "takes 0 or 1";
         o.Bank1 = v == "1";
         return "";
     }},
    // The image starts as FF for every run, so there was never anything to
    // keep: the option is refused with the reason rather than ignored.
    {"--no-clear", 0, CliOptionRow::Flag, nullptr, 0,
     [](CliOptions&, const std::string&) -> std::string {
         return "was dropped: each run loads FILE into an image of FF, so there is nothing to keep";
     }},
    {"--out-format", 0, CliOptionRow::Value, "hex|bin", Bit(CliCommand::Convert),
     [](CliOptions& o, const std::string& v) -> std::string {
         const auto f = ParseFormat(v);
         if (!f) return "takes hex or bin";
         o.OutFormat = *f;
         return "";
     }},
    {"--trace", 0, CliOptionRow::OptionalValue, "FILE", DeviceCommands,
     [](CliOptions& o, const std::string& v) -> std::string {
         o.Trace = true;
         o.TraceFile = v;
         return "";
     }},
    {"--verbose", 'v', CliOptionRow::Flag, nullptr, AllCommands,
     [](CliOptions& o, const std::string&) -> std::string {
         o.Verbose = true;
         return "";
     }},
    {"--quiet", 'q', CliOptionRow::Flag, nullptr, AllCommands,
     [](CliOptions& o, const std::string&) -> std::string {
         o.Quiet = true;
         return "";
     }},
    {"--help", 'h', CliOptionRow::Flag, nullptr, AllCommands,
     [](CliOptions& o, const std::string&) -> std::string {
         o.Command = CliCommand::Help;
         return "";
     }},
    {"--version", 'V', CliOptionRow::Flag, nullptr, AllCommands,
     [](CliOptions& o, const std::string&) -> std::string {
         o.Command = CliCommand::Version;
         return "";
     }},
};

FileFormat FormatByName(const std::string& fileName) {
    return NameSaysIntelHex(PathFromUtf8(fileName)) ? FileFormat::Hex : FileFormat::Binary;
}

const char* CommandName(CliCommand c) {
    for (const CommandWord& w : Commands)
        if (w.Command == c) return w.Name;
    return "";
}

CliParse ParseCommandLine(const std::vector<std::string>& args) {
    CliParse out;
    CliOptions& o = out.Options;
    std::vector<std::string> words;
    struct Given {
        const CliOptionRow* Row;
        std::string Typed;  // as the user wrote it: "-b" or "--baud"
    };
    std::vector<Given> given;
    auto fail = [&out](std::string message) {
        out.Error = std::move(message);
        return out;
    };
    // Applies one option; an error names the option as typed and its value.
    auto apply = [&](const CliOptionRow& row, const std::string& typed, const std::string& value) {
        const std::string error = row.Apply(o, value);
        if (error.empty()) given.push_back({&row, typed});
        return error.empty() ? error : typed + (row.Takes == CliOptionRow::Flag || value.empty() ? "" : " " + value) +
                                           ": " + error;
    };

    std::pair<std::string, std::string> wordAfterBareOption;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            words.push_back(a);  // "-" alone is a word: standard output for convert
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a[1] == '-') {
            const size_t eq = a.find('=');
            const std::string name = a.substr(0, eq);
            const auto row = std::find_if(CliOptionTable.begin(), CliOptionTable.end(),
                                           [&](const CliOptionRow& s) { return name == s.Long; });
            if (row == CliOptionTable.end()) return fail("unknown option " + name);
            std::string value;
            if (eq != std::string::npos) {
                if (row->Takes == CliOptionRow::Flag) return fail(name + " takes no value");
                value = a.substr(eq + 1);
                if (value.empty() && row->Takes == CliOptionRow::OptionalValue) return fail(name + ": needs a file name");
            } else if (row->Takes == CliOptionRow::OptionalValue) {
                // "--trace FILE" names no file: FILE is the next word.
                if (i + 1 < args.size()) wordAfterBareOption = {name, args[i + 1]};
            } else if (row->Takes == CliOptionRow::Value) {
                if (i + 1 >= args.size()) return fail(name + " needs a value (" + row->ValueName + ")");
                value = args[++i];
            }
            if (std::string e = apply(*row, name, value); !e.empty()) return fail(e);
        } else {
            // Short options: flags may be bundled; a value follows its letter
            // in the same word or is the next word.
            for (size_t j = 1; j < a.size(); ++j) {
                const std::string typed = std::string("-") + a[j];
                const auto row = std::find_if(CliOptionTable.begin(), CliOptionTable.end(),
                                               [&](const CliOptionRow& s) { return s.Short != 0 && s.Short == a[j]; });
                if (row == CliOptionTable.end()) return fail("unknown option " + typed);
                std::string value;
                if (row->Takes == CliOptionRow::Value) {
                    if (j + 1 < a.size()) value = a.substr(j + 1);
                    else if (i + 1 < args.size()) value = args[++i];
                    else return fail(typed + " needs a value (" + row->ValueName + ")");
                    j = a.size();
                }
                if (std::string e = apply(*row, typed, value); !e.empty()) return fail(e);
            }
        }
        if (o.Command == CliCommand::Help || o.Command == CliCommand::Version) return out;
    }

    if (words.empty()) return fail("no command given");
    const auto c = std::find_if(std::begin(Commands), std::end(Commands),
                                [&](const CommandWord& w) { return words[0] == w.Name; });
    if (c == std::end(Commands)) {
        if (words[0] == wordAfterBareOption.second)
            return fail("unknown command " + words[0] + " (for " + wordAfterBareOption.first + " to write to " + words[0] +
                        ", write " + wordAfterBareOption.first + "=" + words[0] + ")");
        return fail("unknown command " + words[0]);
    }
    o.Command = c->Command;
    o.Files.assign(words.begin() + 1, words.end());
    if (o.Files.size() != c->Files)
        return fail(words[0] + (c->Files == 0   ? " takes no file"
                                : c->Files == 1 ? " takes one file"
                                                : " takes an input and an output file"));
    for (const Given& g : given) {
        if (g.Row->Commands & Bit(o.Command)) continue;
        std::string serves;
        for (const CommandWord& w : Commands)
            if (g.Row->Commands & Bit(w.Command)) serves += std::string(serves.empty() ? "" : ", ") + w.Name;
        return fail(g.Typed + " does nothing with " + words[0] + " (it is for " + serves + ")");
    }
    if (o.Verbose && o.Quiet) return fail("-v (--verbose) and -q (--quiet) do not go together");
    if ((Bit(o.Command) & DeviceCommands) && o.Ports.empty()) return fail(words[0] + " needs --port (-p)");
    if (!o.SimFlash.empty() && (o.Ports.size() != 1 || o.Ports[0] != "sim"))
        return fail(o.Ports.size() > 1 ? "--sim-flash is for a single --port sim (each board would write it)"
                                       : "--sim-flash is for --port sim only");
    for (const Given& g : given)
        if (std::string(g.Row->Long) == "--bank" && o.DeviceIndex != 6)
            return fail("--bank is for the W77E532 only (the one device with two banks)");
    return out;
}

std::string UsageText() {
    const PlatformHelpText system = PlatformHelp();
    return R"(Usage:
  pelkisp -p PORT [-b RATE] [-d DEV] COMMAND [FILE] [options]
  pelkisp [-d DEV] checksum FILE [load options]
  pelkisp [-d DEV] convert IN OUT [load options] [--out-format hex|bin]
  pelkisp ports

Commands:
  program FILE    erase, program and verify the device
  verify FILE     verify the device against FILE
                  Both send only the 128-byte blocks of FILE that hold data
                  (a byte other than FF); the other blocks are not verified:
                  erase leaves them blank, blank or --all-blocks checks them.
  erase           erase the device
  blank           check that the device is blank
  checksum FILE   print "Checksum: XXXX" and "CRC: XXXX" of FILE as loaded
  convert IN OUT  load IN, write OUT (HEX for .hex/.ihx, else binary); OUT -
                  is standard output
)" + system.PortsCommand + R"(
Options:
)" + system.PortOptions + R"(  -b, --baud RATE     110 300 600 1200 2400 4800 9600 (default) 14400 19200
                      38400 56000 57600 115200
  -d, --device DEV    W78E516B (default), W78LE516, W78E58B, W78LE58, W78E858,
                      W77E532, in any letter case, or 1..6
      --no-erase      program: do not erase first
      --no-verify     program: do not verify after
      --before SEQ    set and clear DTR/RTS after the port opens, before the
                      first frame: a comma list of dtr, -dtr, rts, -rts and
                      waits such as 50ms (e.g. dtr,rts,50ms,-dtr,200ms)
      --after SEQ     the same at the end, whatever the result
      --all-blocks    program, verify: every block of the device, not only
                      the blocks that hold data
      --force         program, verify: go on with a file that is empty, cut
                      short, has checksum errors or does not fit the device
      --trace[=FILE]  write every frame and reply, decoded and timed, to FILE
                      (default: standard error)
      --log FILE      append one CSV line per board to FILE (a header line
                      first when the file is new): time, port, device, chip,
                      file, crc, checksum, bytes, steps, result, duration_ms,
                      exit_status
  -v, --verbose       also the device opened, the line settings and step times
  -q, --quiet         only errors and the boards that failed; the exit status
                      tells the result
  -h, --help          this text
  -V, --version       the version
  --                  ends the options (for a FILE that starts with -)
Load options (FILE goes into an image of FF as File > Load puts it):
      --format hex|bin  default: HEX for .hex and .ihx, binary otherwise
      --start ADDR    first file address to take (hexadecimal; default 0)
      --stop ADDR     last file address to take (default: the file's end)
      --offset ADDR   image address that receives --start (default 0)
      --bank 0|1      W77E532: bank 1 adds 10000 to the offset
Values go as "--baud 115200", "--baud=115200", "-b115200" or "-b 115200".

Output: result lines on standard output, exactly as the window's message
line shows them. On standard error: after each load a summary, "FILE: N
bytes in AAAAA-BBBBB, CRC XXXX" (the bytes the load copied into the image,
and the CRC that the window's status bar shows for the image); errors; a
progress bar when it is a )" + system.Terminal + R"(.
With several ports, a summary line per board ends the run.
Exit status: 0 every step succeeded (on every board); 1 a step failed or the
port hung up; 2 usage or file error (also output that could not be written);
3 a port cannot be opened (or drive DTR/RTS for --before/--after); )" +
           system.StopStatuses;
}

}  // namespace pelk

#include "cli/cli_options.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "image/device_table.h"

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

}  // namespace

FileFormat FormatByName(const std::string& fileName) {
    const auto dot = fileName.find_last_of('.');
    const auto slash = fileName.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return FileFormat::Binary;
    const std::string ext = Lower(fileName.substr(dot + 1));
    return ext == "hex" || ext == "ihx" ? FileFormat::Hex : FileFormat::Binary;
}

CliParse ParseCommandLine(const std::vector<std::string>& args) {
    CliParse out;
    CliOptions& o = out.Options;
    std::vector<std::string> words;
    auto fail = [&out](std::string message) {
        out.Error = std::move(message);
        return out;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.Command = CliCommand::Help;
            return out;
        }
        if (a == "--version") {
            o.Command = CliCommand::Version;
            return out;
        }
        if (a.rfind("--", 0) != 0) {
            words.push_back(a);
            continue;
        }
        const bool takesValue = a == "--port" || a == "--baud" || a == "--device" || a == "--format" ||
                                a == "--out-format" || a == "--start" || a == "--stop" || a == "--offset" ||
                                a == "--bank" || a == "--sim-flash";
        if (takesValue && !value(v)) return fail("option " + a + " needs a value");
        if (a == "--port") {
            o.Port = v;
        } else if (a == "--baud") {
            char* end = nullptr;
            const unsigned long rate = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end || std::find(CliBaudRates.begin(), CliBaudRates.end(), rate) == CliBaudRates.end())
                return fail("unsupported baud rate " + v + " (110, 300, 600, 1200, 2400, 4800, 9600, 14400, "
                            "19200, 38400, 56000, 57600, 115200)");
            o.Baud = uint32_t(rate);
        } else if (a == "--device") {
            const auto d = DeviceIndexByName(v);
            if (!d) return fail("unknown device " + v);
            o.DeviceIndex = *d;
        } else if (a == "--format" || a == "--out-format") {
            const auto f = ParseFormat(v);
            if (!f) return fail(a + " takes hex or bin");
            (a == "--format" ? o.Format : o.OutFormat) = *f;
        } else if (a == "--start" || a == "--stop" || a == "--offset") {
            const auto h = ParseHex(v);
            if (!h) return fail(a + " takes a hexadecimal address, not " + v);
            (a == "--start" ? o.Start : a == "--stop" ? o.Stop : o.Offset) = *h;
        } else if (a == "--bank") {
            if (v != "0" && v != "1") return fail("--bank takes 0 or 1");
            o.Bank1 = v == "1";
        } else if (a == "--sim-flash") {
            o.SimFlash = v;
        } else if (a == "--no-clear") {
            o.ClearBuffer = false;
        } else if (a == "--no-erase") {
            o.Erase = false;
        } else if (a == "--no-verify") {
            o.Verify = false;
        } else {
            return fail("unknown option " + a);
        }
    }
    if (words.empty()) return fail("no command given");
    static const std::map<std::string, std::pair<CliCommand, size_t>> commands{
        {"program", {CliCommand::Program, 1}}, {"verify", {CliCommand::Verify, 1}},
        {"erase", {CliCommand::Erase, 0}},     {"blank", {CliCommand::Blank, 0}},
        {"checksum", {CliCommand::Checksum, 1}}, {"convert", {CliCommand::Convert, 2}},
    };
    const auto c = commands.find(words[0]);
    if (c == commands.end()) return fail("unknown command " + words[0]);
    o.Command = c->second.first;
    o.Files.assign(words.begin() + 1, words.end());
    if (o.Files.size() != c->second.second)
        return fail(words[0] + (c->second.second == 0 ? " takes no file"
                                : c->second.second == 1 ? " takes one file"
                                                        : " takes an input and an output file"));
    const bool device = o.Command != CliCommand::Checksum && o.Command != CliCommand::Convert;
    if (device && o.Port.empty()) return fail(words[0] + " needs --port");
    if (o.Bank1 && o.DeviceIndex != 6) return fail("--bank 1 is for the W77E532 only");
    return out;
}

std::string UsageText() {
    return R"(Usage:
  pelkisp --port PORT [--baud RATE] [--device DEV] COMMAND [FILE] [load options]
  pelkisp [--device DEV] checksum FILE [load options]
  pelkisp [--device DEV] convert IN OUT [load options] [--out-format hex|bin]

Commands:
  program FILE   erase, program and verify the device (--no-erase, --no-verify leave a step out)
  verify FILE    verify the device against FILE
  erase          erase the device
  blank          check that the device is blank
  checksum FILE  print "Checksum: XXXX" and "CRC: XXXX" of FILE as loaded for the device
  convert IN OUT load IN and write OUT (HEX for .hex/.ihx, binary otherwise, or --out-format);
                 OUT - is standard output

Options:
  --port PORT        COM1..COM4, a device path such as /dev/ttyUSB0, or sim (a simulated
                     target inside this process, behind a pseudo-terminal)
  --sim-flash FILE   with --port sim: keep the simulated flash in FILE (read at start if it
                     exists, all 0xFF otherwise; written back at exit)
  --baud RATE        110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600 115200
                     (default 9600)
  --device DEV       W78E516B (default), W78LE516, W78E58B, W78LE58, W78E858, W77E532,
                     in any letter case, or 1..6
Load options (FILE goes into an image of 0xFF as File > Load puts it):
  --format hex|bin   file format (default: HEX for .hex and .ihx, binary otherwise)
  --start ADDR       first file address to take (hexadecimal; default 0)
  --stop ADDR        last file address to take (default: the end of the file's data)
  --offset ADDR      image address that receives --start (default 0)
  --bank 0|1         for the W77E532: bank 1 adds 0x10000 to the offset
  --no-clear         do not clear the device's range of the image first
  --help, --version

Output: each step's result line on standard output; progress on standard error when it is a
terminal. Exit status: 0 every step succeeded, 1 a step failed or the port hung up,
2 usage or file error (also standard output that could not be written), 3 the port cannot
be opened, 128 + signal when stopped by Ctrl-C (130), SIGTERM (143) or SIGHUP (129).
)";
}

}  // namespace pelk

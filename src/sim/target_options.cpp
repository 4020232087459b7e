#include "sim/target_options.h"

#include <charconv>
#include <string_view>

#include "image/device_table.h"

namespace pelk {

namespace {

// A whole decimal number within [low, high], nothing else.
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t low, uint32_t high) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
    return value;
}

// "COM1".."COM4" in any letter case, returned as the link name "COMn".
std::optional<std::string> ParseLinkName(std::string_view text) {
    if (text.size() != 4) return std::nullopt;
    for (size_t i = 0; i < 3; ++i) {
        if ((text[i] & ~0x20) != "COM"[i]) return std::nullopt;
    }
    if (text[3] < '1' || text[3] > '4') return std::nullopt;
    return std::string("COM") + text[3];
}

}  // namespace

std::optional<TargetCommandLine> ParseTargetCommandLine(const std::vector<std::string>& args, std::string& error) {
    TargetCommandLine line;
    SimulatedTargetFaults& faults = line.Options.Faults;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        // The option's value: after '=' or the next argument.
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < args.size()) return args[++i];
            error = "option " + name + " needs a value";
            return std::nullopt;
        };
        auto number = [&](uint32_t low, uint32_t high) -> std::optional<uint32_t> {
            const std::optional<std::string> v = value();
            if (!v) return std::nullopt;
            const std::optional<uint32_t> n = ParseNumber(*v, low, high);
            if (!n)
                error = "option " + name + " takes a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high) + ", not \"" + *v + "\"";
            return n;
        };
        auto flag = [&]() {
            if (inlineValue) error = "option " + name + " takes no value";
            return !inlineValue;
        };

        if (name == "--help" || name == "-h") {
            if (!flag()) return std::nullopt;
            line.Help = true;
        } else if (name == "--version" || name == "-V") {
            if (!flag()) return std::nullopt;
            line.Version = true;
        } else if (name == "--device") {
            const std::optional<std::string> v = value();
            if (!v) return std::nullopt;
            const std::optional<uint8_t> index = DeviceIndexByName(*v);
            if (!index) {
                error = "unknown device \"" + *v +
                        "\" (W78E516B, W78LE516, W78E58B, W78LE58, W78E858, W77E532 or 1 to 6)";
                return std::nullopt;
            }
            line.DeviceIndex = *index;
        } else if (name == "--flash") {
            const std::optional<std::string> v = value();
            if (!v) return std::nullopt;
            if (v->empty()) {
                error = "option --flash needs a file name";
                return std::nullopt;
            }
            line.Options.FlashFile = *v;
        } else if (name == "--link") {
            const std::optional<std::string> v = value();
            if (!v) return std::nullopt;
            const std::optional<std::string> link = ParseLinkName(*v);
            if (!link) {
                error = "option --link takes COM1, COM2, COM3 or COM4, not \"" + *v + "\"";
                return std::nullopt;
            }
            line.Link = *link;
        } else if (name == "--silent") {
            if (!flag()) return std::nullopt;
            faults.Silent = true;
        } else if (name == "--corrupt-every") {
            const auto n = number(1, UINT32_MAX);
            if (!n) return std::nullopt;
            faults.CorruptEvery = *n;
        } else if (name == "--noise") {
            const auto n = number(1, 4096);
            if (!n) return std::nullopt;
            faults.NoiseBytes = *n;
        } else if (name == "--split") {
            const auto n = number(0, 10000);
            if (!n) return std::nullopt;
            faults.SplitReplies = true;
            faults.SplitPause = std::chrono::milliseconds(*n);
        } else if (name == "--pace") {
            const auto n = number(50, 4000000);
            if (!n) return std::nullopt;
            faults.PaceBaud = *n;
        } else if (name == "--stall") {
            // FRAME:MS, both whole numbers.
            const std::optional<std::string> v = value();
            if (!v) return std::nullopt;
            const size_t colon = v->find(':');
            const auto frame = colon == std::string::npos ? std::nullopt : ParseNumber(std::string_view(*v).substr(0, colon), 1, UINT32_MAX);
            const auto ms = colon == std::string::npos ? std::nullopt : ParseNumber(std::string_view(*v).substr(colon + 1), 1, 600000);
            if (!frame || !ms) {
                error = "option --stall takes FRAME:MS, e.g. 3:2500 (frame 1 or later, 1 to 600000 ms), not \"" + *v + "\"";
                return std::nullopt;
            }
            faults.StallFrame = *frame;
            faults.StallFor = std::chrono::milliseconds(*ms);
        } else if (name == "--garble") {
            const auto n = number(1, 65536);
            if (!n) return std::nullopt;
            faults.GarbleBytes = *n;
        } else if (name == "--damage-after") {
            const auto n = number(1, UINT32_MAX);
            if (!n) return std::nullopt;
            faults.DamageAfterPrograms = *n;
        } else {
            error = (name.rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ") + name;
            return std::nullopt;
        }
    }
    line.Options.LastAddress = FindDevice(line.DeviceIndex)->LastAddress;
    return line;
}

std::string TargetUsage() {
    return R"(Usage: pelkisp-target [--device DEV] [--flash FILE] [--link COMn] [fault options]

A simulated target for Pelk ISP: the loader of an 8051 microcontroller with its
flash memory, reached through a pseudo-terminal. The program prints the path of
its pseudo-terminal on standard output (one line) and serves command frames
until it is interrupted (Ctrl-C, SIGINT, SIGTERM or SIGHUP).

Options:
  --device DEV       the simulated microcontroller: W78E516B (default), W78LE516,
                     W78E58B, W78LE58, W78E858 (32 or 64 KiB) or W77E532
                     (128 KiB), in any letter case, or its number 1 to 6
  --flash FILE       keep the flash in a binary file: read at start if it exists
                     (the flash is all 0xFF otherwise) and written back at exit.
                     Bytes of the file beyond the device's size are kept as they
                     are. It must be a regular file (or none yet)
  --link COMn        also publish the pseudo-terminal as a symbolic link named
                     COMn (COM1 to COM4) in the working directory, where the
                     window's serial dialog and pelkisp --port COMn find it; a
                     stale link of that name (its device gone) is replaced, one
                     that leads to a device in use is not; the link is removed
                     at exit
  -h, --help         show this text
  -V, --version      show the version

Fault options, for tests and demonstrations:
  --silent           take frames but never answer
  --corrupt-every N  send every N-th reply with a wrong checksum
  --noise N          send N noise bytes (never 0x55) ahead of every reply
  --split MS         send replies one byte at a time, MS milliseconds apart
                     (0 to 10000); the tool drops a reply whose bytes are 100 ms
                     or more apart, so keep MS well below that unless a stalled
                     reply is what you want to see
  --pace BAUD        take frames and send replies at the line rate of BAUD
                     bit/s (10 bits per byte), e.g. 9600, so that a run takes
                     the time it takes on a real line
  --damage-after N   after the N-th accepted Program frame, invert the first
                     byte of that block in the flash (once), so that a later
                     Verify fails
  --stall FRAME:MS   before answering frame number FRAME (counted from the
                     start), take and send nothing for MS milliseconds, once:
                     a target that is held up past the tool's time-out
  --garble N         send N random bytes (any value, 0x55 too) in place of
                     every reply

A frame whose next byte comes 50 ms or more after the previous one is
forgotten, as the real loader does.

Exit status: 0 after a normal stop, 1 when the pseudo-terminal, the link or the
flash file fails, 2 for a usage error.
)";
}

}  // namespace pelk

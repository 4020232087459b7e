#include "cli/wire_trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crc/link_crc.h"
#include "protocol/operation_engine.h"

namespace pelk {

namespace {

const char* CommandText(uint8_t code) {
    switch (code) {
        case CmdProgram: return "Program";
        case CmdVerify: return "Verify";
        case CmdErase: return "Erase";
        case CmdBlankCheck: return "Blank check";
        default: return nullptr;
    }
}

const char* ReplyText(uint8_t code) {
    switch (code) {
        case ReplyDone: return "done";
        case ReplyAddressOutOfRange: return "address out of range";
        case ReplySendAgain: return "send again";
        case ReplyProgramError: return "programming error";
        case ReplyNotErased: return "not erased";
        case ReplyBlank: return "blank";
        case ReplyNotBlank: return "not blank";
        case ReplyVerifyError: return "verification error";
        default: return "unknown code";
    }
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(value));
    return text;
}

// Milliseconds in seconds: "2.00".
std::string Seconds(size_t ms) {
    char text[24];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(ms) / 1000.0);
    return text;
}

// Bytes in hexadecimal, 32 to a line, each line indented under the time
// stamp: what a developer compares with a logic analyser's capture.
std::string HexLines(const uint8_t* bytes, size_t count, size_t shown) {
    std::string out;
    for (size_t i = 0; i < std::min(count, shown); ++i) {
        if (i % 32 == 0) out += (i == 0 ? "" : "\n") + std::string(12, ' ');
        else out += ' ';
        out += Hex(bytes[i], 2);
    }
    if (count > shown) out += " ... (" + std::to_string(count) + " bytes in all)";
    return out + "\n";
}

constexpr size_t NoiseShown = 64;

}  // namespace

WireTrace::WireTrace(Sink sink, Clock::time_point zero) : Out(std::move(sink)), Zero(zero) {}

void WireTrace::Sent(const void* data, int count) {
    const auto* p = static_cast<const uint8_t*>(data);
    Events.push_back({Kind::Sent, Clock::now(), Bytes.size(), static_cast<size_t>(count), 0, false, {}});
    Bytes.insert(Bytes.end(), p, p + count);
}

void WireTrace::Received(const void* data, int count) {
    const auto* p = static_cast<const uint8_t*>(data);
    // Byte by byte reads of one reply become one event.
    const auto now = Clock::now();
    if (!Events.empty() && Events.back().What == Kind::Received) {
        Events.back().Count += static_cast<size_t>(count);
    } else {
        Events.push_back({Kind::Received, now, Bytes.size(), static_cast<size_t>(count), 0, false, {}});
    }
    Bytes.insert(Bytes.end(), p, p + count);
}

void WireTrace::Discarded(size_t count) { Events.push_back({Kind::Discarded, Clock::now(), 0, count, 0, false, {}}); }

void WireTrace::ReplyTimeout(unsigned transmission, int64_t waitedMs, bool givingUp) {
    Events.push_back({Kind::ReplyTimeout, Clock::now(), 0, static_cast<size_t>(waitedMs), transmission, givingUp, {}});
}

void WireTrace::Note(const std::string& text) { Events.push_back({Kind::Note, Clock::now(), 0, 0, 0, false, text}); }

void WireTrace::Mark(const std::string& text) { Events.push_back({Kind::StepEnds, Clock::now(), 0, 0, 0, false, text}); }

void WireTrace::ByteTimeout() { Events.push_back({Kind::ByteTimeout, Clock::now(), 0, 0, 0, false, {}}); }

void WireTrace::StepBegins(const std::string& name, uint32_t blocks) {
    Events.push_back({Kind::StepBegins, Clock::now(), 0, 0, blocks, false, name});
}

void WireTrace::StepEnds(const std::string& message) {
    Events.push_back({Kind::StepEnds, Clock::now(), 0, 0, 0, false, message});
}

std::string WireTrace::Stamp(Clock::time_point at) const {
    const double seconds = std::chrono::duration<double>(at - Zero).count();
    char text[32];
    std::snprintf(text, sizeof text, "%9.3f ", seconds);
    return text;
}

void WireTrace::Noise(std::string& out, Clock::time_point at) {
    if (NoiseBytes == 0) return;
    out += Stamp(at) + "< " + std::to_string(NoiseBytes) + (NoiseBytes == 1 ? " byte" : " bytes") +
           " outside a reply, skipped\n" + HexLines(NoiseSeen.data(), NoiseBytes, NoiseShown);
    NoiseBytes = 0;
    NoiseSeen.clear();
}

void WireTrace::Frame(std::string& out, const Event& e, const uint8_t* frame, bool afterPreamble) {
    const bool again = HaveLast && std::memcmp(Last.data(), frame, TxFrameSize) == 0;
    if (again) {
        ++Transmissions;
    } else {
        Transmissions = 1;
        ++Block;
        std::memcpy(Last.data(), frame, TxFrameSize);
        HaveLast = true;
    }
    const uint8_t command = frame[2];
    const uint32_t address = uint32_t{frame[3]} << 16 | uint32_t{frame[4]} << 8 | frame[5];
    const uint16_t crc = static_cast<uint16_t>(frame[TxFrameSize - 2] << 8 | frame[TxFrameSize - 1]);
    const char* name = CommandText(command);
    std::string line = Stamp(e.At) + "> " + (name ? name : "command " + std::to_string(command));
    line.resize(std::max<size_t>(line.size(), 10 + 2 + 12), ' ');
    line += Hex(address, 5) + "  CRC " + Hex(crc, 4);
    if (frame[0] != TxSync || frame[1] != TxLength) line += "  (not a command frame: " + Hex(frame[0], 2) + " " + Hex(frame[1], 2) + ")";
    const bool blocks = command == CmdProgram || command == CmdVerify;
    if (!again && blocks && Blocks > 0) line += "  block " + std::to_string(Block) + " of " + std::to_string(Blocks);
    if (again) {
        line += "  again, transmission " + std::to_string(Transmissions) + " of " +
                std::to_string(unsigned(TransmissionsPerFrame));
        switch (Resend) {
            case Why::BadCrc: line += ", after a reply with a bad CRC"; break;
            case Why::Asked: line += ", the target asked for it"; break;
            case Why::Timeout: line += ", after the time-out"; break;
            case Why::None: break;
        }
    }
    if (afterPreamble) line += "  (after the preamble)";
    out += line + "\n" + HexLines(frame, TxFrameSize, TxFrameSize);
    Resend = Why::None;
}

void WireTrace::Reply(std::string& out, Clock::time_point at) {
    const auto& f = Shadow.RxFrame;
    const size_t length = f[0];
    std::string line = Stamp(at) + "< reply " + std::to_string(f[1]) + " (" + ReplyText(f[1]) + ")";
    if (length >= 7 && Shadow.RxCount >= 5) line += "  " + Hex(Shadow.ReportedAddress(), 5);
    const bool good = Shadow.CheckReplyCrc();
    if (length >= ReplyMinLength && length <= Shadow.RxCount) {
        const uint16_t got = static_cast<uint16_t>(f[length - 2] << 8 | f[length - 1]);
        line += "  CRC " + Hex(got, 4);
        if (good) line += " good";
        else line += " bad (should be " + Hex(LinkCrc(f.data(), length - 2), 4) + ")";
    } else {
        line += "  CRC bad (length byte " + std::to_string(length) + ")";
    }
    out += line + "\n";
    std::vector<uint8_t> bytes{ReplySync};
    bytes.insert(bytes.end(), f.begin(), f.begin() + std::min<size_t>(Shadow.RxCount, f.size()));
    out += HexLines(bytes.data(), bytes.size(), bytes.size());
    Resend = !good ? Why::BadCrc : f[1] == ReplySendAgain ? Why::Asked : Why::None;
}

void WireTrace::Flush() {
    if (Events.empty()) return;
    std::string out;
    auto lonePreamble = [&] {
        if (!PreamblePending) return;
        out += Stamp(PreambleAt) + "> preamble 55 FF FF\n";
        PreamblePending = false;
    };
    for (const Event& e : Events) {
        const uint8_t* bytes = Bytes.data() + e.Offset;
        switch (e.What) {
            case Kind::Sent:
                if (e.Count == LinkPreamble.size() && std::equal(bytes, bytes + e.Count, LinkPreamble.begin())) {
                    lonePreamble();
                    PreamblePending = true;
                    PreambleAt = e.At;
                } else if (e.Count == TxFrameSize) {
                    const bool after = PreamblePending;
                    PreamblePending = false;
                    Frame(out, e, bytes, after);
                } else {
                    lonePreamble();
                    std::string line = Stamp(e.At) + "> " + std::to_string(e.Count) + " bytes:";
                    for (size_t i = 0; i < std::min<size_t>(e.Count, 16); ++i) line += " " + Hex(bytes[i], 2);
                    out += line + (e.Count > 16 ? " ...\n" : "\n");
                }
                break;
            case Kind::Received:
                lonePreamble();
                for (size_t i = 0; i < e.Count; ++i) {
                    const uint8_t b = bytes[i];
                    if (Shadow.RxState == ReplyReceiver::Idle && b != ReplySync) {
                        ++NoiseBytes;
                        if (NoiseSeen.size() < NoiseShown) NoiseSeen.push_back(b);
                    }
                    if (Shadow.TakeByte(b)) {
                        Noise(out, e.At);
                        Reply(out, e.At);
                    }
                }
                Noise(out, e.At);
                break;
            case Kind::Discarded:
                lonePreamble();
                out += Stamp(e.At) + "< " + std::to_string(e.Count) + " stale bytes dropped before the step\n";
                break;
            case Kind::ReplyTimeout:
                lonePreamble();
                out += Stamp(e.At) + "! no reply in " + Seconds(e.Count) + " s to transmission " +
                       std::to_string(e.Value) + " of " + std::to_string(unsigned(TransmissionsPerFrame)) +
                       (e.Flag ? "; giving up\n" : "\n");
                Resend = Why::Timeout;
                break;
            case Kind::ByteTimeout:
                lonePreamble();
                out += Stamp(e.At) + "! reply dropped after " + std::to_string(Shadow.RxCount + 1) +
                       " bytes: the next byte did not come in time\n";
                Shadow.Abandon();
                break;
            case Kind::Note:
                lonePreamble();
                out += Stamp(e.At) + "! " + e.Text + "\n";
                break;
            case Kind::StepBegins:
                lonePreamble();
                HaveLast = false;
                Block = 0;
                Blocks = e.Value;
                out += Stamp(e.At) + "-- " + e.Text +
                       (e.Value > 0 ? ": " + std::to_string(e.Value) + (e.Value == 1 ? " block" : " blocks") : "") + "\n";
                break;
            case Kind::StepEnds:
                lonePreamble();
                out += Stamp(e.At) + "-- " + e.Text + "\n";
                break;
        }
    }
    // A preamble alone in its event starts an operation; its frame follows
    // after the start delay, in a later event.
    lonePreamble();
    Events.clear();
    Bytes.clear();
    Out(out);
}

}  // namespace pelk

#pragma once
// The wire trace of --trace: every frame sent and every reply received, with
// a millisecond timestamp, decoded (command, address, reply code, CRC good or
// bad) and in hexadecimal, with the resends, time-outs and bytes outside
// replies, the port's line settings and each reset-line step.
//
// It sits at the Port seam (TracedPort) and leaves the frames alone. Its cost
// stays off the wire path: while the engine exchanges frames, the trace only
// notes the bytes and the time; the decoding and writing happen in Flush,
// which the session calls once an event has been handled, when the next
// frame has already gone to the port.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/port.h"
#include "protocol/rs232.h"

namespace pelk {

class WireTrace {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(const std::string& lines)>;
    explicit WireTrace(Sink sink, Clock::time_point zero = Clock::now());

    // Noted as they happen (cheap).
    void Sent(const void* data, int count);
    void Received(const void* data, int count);
    void Discarded(size_t count);
    // The reply timer ran out after `waitedMs` on transmission
    // `transmission` of the frame; `givingUp`: it was the last one allowed.
    void ReplyTimeout(unsigned transmission, int64_t waitedMs, bool givingUp);
    // The inter-byte timer abandoned a half-received reply.
    void ByteTimeout();
    // A line of the engine's own (waiting for a quiet line, a duplicate reply dropped).
    void Note(const std::string& text);
    // A line of the session's own: the port's line settings, a reset-line step.
    void Mark(const std::string& text);
    void StepBegins(const std::string& name, uint32_t blocks);
    void StepEnds(const std::string& message);

    // Decodes what was noted and hands the lines to the sink.
    void Flush();

private:
    enum class Kind : uint8_t { Sent, Received, Discarded, ReplyTimeout, ByteTimeout, Note, StepBegins, StepEnds };
    struct Event {
        Kind What;
        Clock::time_point At;
        size_t Offset = 0, Count = 0;  // bytes in Bytes, or a count
        uint32_t Value = 0;
        bool Flag = false;
        std::string Text;
    };
    std::string Stamp(Clock::time_point at) const;
    void Frame(std::string& out, const Event& e, const uint8_t* frame, bool afterPreamble);
    void Reply(std::string& out, Clock::time_point at);
    void Noise(std::string& out, Clock::time_point at);

    Sink Out;
    Clock::time_point Zero;
    std::vector<Event> Events;
    std::vector<uint8_t> Bytes;

    // Decoding state, kept from one Flush to the next.
    ReplyReceiver Shadow;
    size_t NoiseBytes = 0;
    std::vector<uint8_t> NoiseSeen;  // the first of them, to show
    TxFrameBytes Last{};
    bool HaveLast = false;
    unsigned Transmissions = 0;
    uint32_t Block = 0, Blocks = 0;
    enum class Why { None, BadCrc, Asked, Timeout } Resend = Why::None;
    bool PreamblePending = false;
    Clock::time_point PreambleAt;
};

// The engine's port with the trace beside it; without a trace (null) it only
// passes the calls on.
class TracedPort final : public Port {
public:
    TracedPort(Port& inner, WireTrace* trace) : Inner(inner), Trace(trace) {}
    void SetTrace(WireTrace* trace) { Trace = trace; }
    int ReadBufUsed() override { return Inner.ReadBufUsed(); }
    int ReadBuf(void* data, int count) override {
        const int n = Inner.ReadBuf(data, count);
        if (Trace && n > 0) Trace->Received(data, n);
        return n;
    }
    std::string ReadText() override {
        std::string s = Inner.ReadText();
        if (Trace && !s.empty()) Trace->Discarded(s.size());
        return s;
    }
    int WriteBuf(const void* data, int count) override {
        const int n = Inner.WriteBuf(data, count);  // the bytes go first
        if (Trace) Trace->Sent(data, count);
        return n;
    }

private:
    Port& Inner;
    WireTrace* Trace;
};

}  // namespace pelk

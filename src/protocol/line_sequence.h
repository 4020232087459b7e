#pragma once
// Reset-line sequences: how the tool gets a board into its loader (and back
// out of it) without a person pressing a button. DTR and RTS of the port are
// wired to the target's reset and loader-select pins; a sequence sets and
// clears them with waits in between, e.g. "dtr,rts,50ms,-dtr,200ms": assert
// reset and loader select, hold reset 50 ms, release it, and give the loader
// 200 ms to come up before the first frame.
//
// Written form. A comma list of steps: "dtr" and "rts" set a line, "-dtr" and
// "-rts" clear it, "NNms" waits NN milliseconds (1 to LongestLineWaitMs).
// Letter case does not matter, and blanks around a step and between the
// number and "ms" are ignored. At most MostLineSteps steps. An empty text or
// an empty step is an error, as is anything else; the error names the step.
//
// Running. LineSequenceRunner carries a sequence out without blocking: the
// host (the window's event loop, the command line's loop) calls Start and
// then Advance whenever the deadline it was given has come, from a one-shot
// timer of its own. Several runners, one per port, can therefore run on one
// thread at once. A wait counts from the moment the step before it was
// carried out, so a late timer makes a pulse longer, never shorter.
//
// The lines are set through ModemLines, which the serial component's own
// SetDTR and SetRTS implement (ModemLinesOf); tests use a recording stand-in.
// Plain C++: no Qt and no serial layer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelk {

enum class LineAction : uint8_t { SetDtr, ClearDtr, SetRts, ClearRts, Wait };

struct LineStep {
    LineAction Action = LineAction::Wait;
    uint32_t Ms = 0;  // Wait only
    bool operator==(const LineStep&) const = default;
};

inline constexpr uint32_t LongestLineWaitMs = 10000;
inline constexpr size_t MostLineSteps = 64;

struct LineSequence {
    std::vector<LineStep> Steps;
    // True when a step sets or clears a line (not only waits).
    bool UsesLines() const;
    // The written form, e.g. "dtr,rts,50ms,-dtr,200ms".
    std::string Text() const;
};

struct ParsedLineSequence {
    LineSequence Sequence;
    // Empty for a valid text; otherwise why not, naming the bad step
    // ("step 2 \"dtx\" is not dtr, -dtr, rts, -rts or a wait such as 50ms").
    std::string Error;
    bool Ok() const { return Error.empty(); }
};

ParsedLineSequence ParseLineSequence(std::string_view Text);

// The modem control lines of a port. Each call raises (a std::exception whose
// what() says why) when the line cannot be set, e.g. on a port without modem
// lines.
class ModemLines {
public:
    virtual ~ModemLines() = default;
    // Raises when the port cannot drive its lines at all; nothing otherwise.
    // Lets a caller refuse a sequence before anything has been done.
    virtual void CheckModemLines() = 0;
    virtual void SetDTR(bool State) = 0;
    virtual void SetRTS(bool State) = 0;
};

// The serial component (or anything with the same three operations) as
// ModemLines.
template <class Comm>
class ModemLinesOf final : public ModemLines {
public:
    explicit ModemLinesOf(Comm& comm) : C(comm) {}
    void CheckModemLines() override { C.CheckModemLines(); }
    void SetDTR(bool State) override { C.SetDTR(State); }
    void SetRTS(bool State) override { C.SetRTS(State); }

private:
    Comm& C;
};

class LineSequenceRunner {
public:
    // Milliseconds of a monotonic clock, from any origin (fake time in tests).
    using Millis = int64_t;

    // Begins Sequence on Lines at time Now (Lines must outlive the run) and
    // carries out the steps up to the first wait; a running sequence is
    // dropped first. Returns when Advance is to be called next, or nothing
    // when the sequence is over: Done() or Failed().
    std::optional<Millis> Start(const LineSequence& Sequence, ModemLines& Lines, Millis Now);
    // Goes on at time Now: if the deadline has come, carries out the steps
    // up to the next wait. Called early (a timer that fired before its time)
    // it does nothing and returns the same deadline. Nothing when not running.
    std::optional<Millis> Advance(Millis Now);
    // Drops the running sequence where it stands; the lines keep their state.
    void Cancel();

    bool Running() const { return FLines != nullptr; }
    // The last sequence ran to its end.
    bool Done() const { return FDone; }
    // The last sequence stopped at a step that raised; Error() says why.
    bool Failed() const { return !FDone && !FError.empty(); }
    const std::string& Error() const { return FError; }
    // When the running sequence's current wait ends.
    Millis Deadline() const { return FDeadline; }

private:
    std::optional<Millis> Run(Millis Now);

    LineSequence FSequence;
    ModemLines* FLines = nullptr;  // set while running
    size_t FNext = 0;
    Millis FDeadline = 0;
    bool FDone = false;
    std::string FError;
};

}  // namespace pelk

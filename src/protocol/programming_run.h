#pragma once
// One programming run, as the window and pelkisp both carry it out: the
// "before" reset-line sequence, then the device steps one after the other
// (Erase, Program, Verify, Blank check; the window gives one, pelkisp up to
// three), then the "after" sequence, which follows whatever the result
// (success, a failed step, Stop) unless the port has gone.
//
// The run owns the operation engine and drives it: the 10 ms tick, the
// received bytes, the end of each step. While a sequence runs the engine is
// idle and whatever the target sends is dropped: it answers no frame, and
// nothing goes out because of it. A hang-up ends everything at once.
//
// The host (the main window, a board of pelkisp, a test) gives the run its
// timers and clock and shows what the run reports; it calls Tick every
// 10 ms while the run asks for ticks, Wake when the time it was given has
// come, and Received on the port's received-bytes event. Plain C++, one
// thread: the host's.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/memory_image.h"
#include "protocol/engine_view.h"
#include "protocol/line_sequence.h"
#include "protocol/operation_engine.h"
#include "protocol/port.h"

namespace pelk {

// One device step of a run.
struct RunStep {
    void (OperationEngine::*Start)();
    const char* Success;  // the engine's message when the step succeeds
};

// How a run ended.
enum class RunOutcome {
    Succeeded,    // every step ended with its success message
    StepFailed,   // a step ended with another message (RunHost::LastMessage)
    Stopped,      // Stop came
    LinesFailed,  // a line of a sequence could not be set
    PortGone,     // the port hung up or went away
};

class ProgrammingRunHost : public EngineView, public EngineEvents {
public:
    using Millis = int64_t;
    // Monotonic milliseconds (tests: fake time).
    virtual Millis Now() = 0;
    // The 10 ms tick is needed (or no longer).
    virtual void TicksNeeded(bool needed) = 0;
    // Call Wake at `when` (a later call replaces the time; CancelWake drops it).
    virtual void WakeAt(Millis when) = 0;
    virtual void CancelWake() = 0;

    // What happens, for the host to show or note; all may be left alone.
    virtual void StepBegins(size_t /*index*/) {}
    virtual void StepEnded(size_t /*index*/, const std::string& /*message*/, bool /*succeeded*/) {}
    // A sequence begins ("before" or "after"), and each of its line steps.
    virtual void SequenceBegins(const char* /*name*/, const LineSequence& /*sequence*/) {}
    virtual void LineStepDone(const char* /*name*/, LineAction /*action*/) {}
    // A line could not be set: `error` says why. The run then ends.
    virtual void SequenceFailed(const char* /*name*/, const std::string& /*error*/) {}
    // The steps are over ("after" may still run).
    virtual void StepsEnded(RunOutcome /*outcome*/) {}
    // Everything is over.
    virtual void RunEnded(RunOutcome /*outcome*/) {}

    // EngineEvents, for a wire trace; nothing by default.
    void ReplyTimedOut(unsigned, int64_t, bool) override {}
    void ReplyAbandoned() override {}
    void WaitingForQuiet(unsigned, unsigned) override {}
    void DuplicateDropped() override {}
};

class ProgrammingRun final : private EngineView, private TickSource, private EngineEvents {
public:
    static constexpr const char* BeforeName = "before";
    static constexpr const char* AfterName = "after";

    ProgrammingRun(const MemoryImage& image, Port& port, ModemLines& lines, ProgrammingRunHost& host);
    ProgrammingRun(const ProgrammingRun&) = delete;
    ProgrammingRun& operator=(const ProgrammingRun&) = delete;

    // The engine, for its settings (line rate, skip blank blocks) and state.
    OperationEngine& Engine() { return Eng; }
    const OperationEngine& Engine() const { return Eng; }

    // The sequences of the runs to come; nothing: none.
    void SetSequences(std::optional<LineSequence> before, std::optional<LineSequence> after);
    // Empty when the port can drive what the sequences set; otherwise why
    // not ("/dev/pts/3: this port has no modem lines"), found before anything
    // is done.
    std::string LinesProblem();

    // Begins a run. A run that is going is dropped where it stands (the
    // newest command wins, and its "after" does not run): its operation
    // ends without a message of its own, as on any start.
    void Begin(std::vector<RunStep> steps);
    // Stop: the running step ends with "Stopped." ("before": no step began);
    // then "after". While "after" runs, nothing (it puts the board in the
    // state it is to run in).
    void Stop();
    // Drops a running "after" where it stands.
    void CutShort();
    // The port failed (a write found no room): the running step ends
    // without a message of its own, as failed; "after" follows.
    void Fail();
    // The port hung up or went away: everything ends at once, nothing more
    // is sent and no "after" follows.
    void PortGone();

    // The host's calls: the 10 ms tick, the one-shot it was asked for, and
    // the port's received-bytes event.
    void Tick();
    void Wake();
    void Received();

    enum class Phase { Idle, Before, Steps, After };
    Phase CurrentPhase() const { return Stage; }
    bool Busy() const { return Stage != Phase::Idle; }
    // The step running or last run (an index into the steps given).
    size_t StepIndex() const { return Current; }
    // The engine's last message.
    const std::string& LastMessage() const { return Last; }

private:
    // EngineView, TickSource, EngineEvents: from the engine, on to the host.
    void ShowMessage(const std::string& text) override;
    void SetProgress(int position) override;
    void TicksNeeded(bool needed) override { Host.TicksNeeded(needed); }
    void ReplyTimedOut(unsigned transmission, int64_t timeoutMs, bool givingUp) override {
        Host.ReplyTimedOut(transmission, timeoutMs, givingUp);
    }
    void ReplyAbandoned() override { Host.ReplyAbandoned(); }
    void WaitingForQuiet(unsigned copies, unsigned replies) override { Host.WaitingForQuiet(copies, replies); }
    void DuplicateDropped() override { Host.DuplicateDropped(); }

    // The lines as a sequence sets them, each step told to the host.
    class ReportedLines final : public ModemLines {
    public:
        explicit ReportedLines(ProgrammingRun& run) : Run(run) {}
        void CheckModemLines() override { Run.Lines.CheckModemLines(); }
        void SetDTR(bool State) override;
        void SetRTS(bool State) override;

    private:
        ProgrammingRun& Run;
    };

    void RunSequence(const char* name, const LineSequence& sequence);
    void Schedule(std::optional<LineSequenceRunner::Millis> next);
    void SequenceEnded();
    void StartStep();
    void CheckStep();
    void EndSteps(RunOutcome outcome);
    void Finish();

    Port& Link;
    ModemLines& Lines;
    ProgrammingRunHost& Host;
    OperationEngine Eng;
    ReportedLines Reported{*this};
    LineSequenceRunner Runner;
    std::optional<LineSequence> Before, After;
    std::vector<RunStep> Steps;
    size_t Current = 0;
    Phase Stage = Phase::Idle;
    const char* SequenceName = "";
    bool StepRunning = false;
    RunOutcome Outcome = RunOutcome::Succeeded;
    std::string Last;
};

}  // namespace pelk

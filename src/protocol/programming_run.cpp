#include "protocol/programming_run.h"

namespace pelk {

ProgrammingRun::ProgrammingRun(const MemoryImage& image, Port& port, ModemLines& lines, ProgrammingRunHost& host)
    : Link(port), Lines(lines), Host(host), Eng(image, port, *this) {
    Eng.SetTickSource(this);
    Eng.SetEvents(this);
    Eng.SetClock([this] { return Host.Now(); });
}

void ProgrammingRun::SetSequences(std::optional<LineSequence> before, std::optional<LineSequence> after) {
    Before = std::move(before);
    After = std::move(after);
}

std::string ProgrammingRun::LinesProblem() {
    const bool lines = (Before && Before->UsesLines()) || (After && After->UsesLines());
    if (!lines) return {};
    try {
        Lines.CheckModemLines();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

void ProgrammingRun::ShowMessage(const std::string& text) {
    Last = text;
    Host.ShowMessage(text);
}

void ProgrammingRun::SetProgress(int position) { Host.SetProgress(position); }

void ProgrammingRun::ReportedLines::SetDTR(bool State) {
    Run.Lines.SetDTR(State);
    Run.Host.LineStepDone(Run.SequenceName, State ? LineAction::SetDtr : LineAction::ClearDtr);
}

void ProgrammingRun::ReportedLines::SetRTS(bool State) {
    Run.Lines.SetRTS(State);
    Run.Host.LineStepDone(Run.SequenceName, State ? LineAction::SetRts : LineAction::ClearRts);
}

void ProgrammingRun::Begin(std::vector<RunStep> steps) {
    // The newest command wins: a sequence that runs is dropped where it
    // stands, and its "after" does not follow.
    Runner.Cancel();
    Host.CancelWake();
    StepRunning = false;
    Steps = std::move(steps);
    Current = 0;
    Outcome = RunOutcome::Succeeded;
    Last.clear();
    if (Before) {
        // The operation that runs ends without a message, as on any start,
        // and nothing more goes out while the target is reset.
        if (Eng.Pending()) Eng.Reset();
        Stage = Phase::Before;
        RunSequence(BeforeName, *Before);
    } else {
        Stage = Phase::Steps;
        StartStep();
    }
}

void ProgrammingRun::RunSequence(const char* name, const LineSequence& sequence) {
    SequenceName = name;
    Host.SequenceBegins(name, sequence);
    Schedule(Runner.Start(sequence, Reported, Host.Now()));
}

void ProgrammingRun::Schedule(std::optional<LineSequenceRunner::Millis> next) {
    if (next) return Host.WakeAt(*next);
    Host.CancelWake();
    SequenceEnded();
}

void ProgrammingRun::Wake() {
    if (Runner.Running()) Schedule(Runner.Advance(Host.Now()));
}

void ProgrammingRun::SequenceEnded() {
    if (Runner.Failed()) {
        // A line that cannot be set (the adapter went away mid-sequence):
        // after a failed "before" no step runs and no "after" follows.
        Host.SequenceFailed(SequenceName, Runner.Error());
        if (Stage == Phase::Before || Outcome == RunOutcome::Succeeded) Outcome = RunOutcome::LinesFailed;
        if (Stage == Phase::Before) Host.StepsEnded(Outcome);
        return Finish();
    }
    if (Stage == Phase::Before) {
        Stage = Phase::Steps;
        return StartStep();
    }
    Finish();
}

void ProgrammingRun::StartStep() {
    Last.clear();
    StepRunning = true;
    Host.StepBegins(Current);
    (Eng.*Steps[Current].Start)();
    CheckStep();  // a walk with nothing to send ends at once
}

void ProgrammingRun::CheckStep() {
    if (!StepRunning || Eng.Operation() != OpNone || Eng.StartDelay() != 0) return;
    StepRunning = false;
    const bool ok = Last == Steps[Current].Success;
    Host.StepEnded(Current, Last, ok);
    if (!ok) return EndSteps(RunOutcome::StepFailed);
    if (++Current == Steps.size()) return EndSteps(RunOutcome::Succeeded);
    StartStep();
}

void ProgrammingRun::EndSteps(RunOutcome outcome) {
    Outcome = outcome;
    Host.StepsEnded(outcome);
    if (!After) return Finish();
    Stage = Phase::After;
    RunSequence(AfterName, *After);
}

void ProgrammingRun::Finish() {
    Stage = Phase::Idle;
    Host.RunEnded(Outcome);
}

void ProgrammingRun::Stop() {
    switch (Stage) {
        case Phase::Idle:
            Eng.Stop();  // cancels a first transmission still pending; silent otherwise
            return;
        case Phase::Before:
            // No step began: the command ends here as a running one would.
            Runner.Cancel();
            Host.CancelWake();
            ShowMessage(msg::Stopped);
            Host.SetProgress(0);
            return EndSteps(RunOutcome::Stopped);
        case Phase::Steps:
            Eng.Stop();  // "Stopped."
            StepRunning = false;
            Host.StepEnded(Current, Last, false);
            return EndSteps(RunOutcome::Stopped);
        case Phase::After:
            return;  // it puts the board in the state it is to run in
    }
}

void ProgrammingRun::CutShort() {
    if (Stage != Phase::After) return;
    Runner.Cancel();
    Host.CancelWake();
    Finish();
}

void ProgrammingRun::Fail() {
    Runner.Cancel();
    Host.CancelWake();
    Eng.Reset();
    StepRunning = false;
    if (Stage == Phase::Before || Stage == Phase::Steps) return EndSteps(RunOutcome::StepFailed);
    if (Stage == Phase::After) Finish();
}

void ProgrammingRun::PortGone() {
    Runner.Cancel();
    Host.CancelWake();
    Eng.Reset();  // a reply cut off by the hang-up is dropped too
    StepRunning = false;
    if (Stage == Phase::Idle) return;
    const bool stepsOver = Stage == Phase::After;
    Outcome = RunOutcome::PortGone;
    if (!stepsOver) Host.StepsEnded(Outcome);
    Finish();
}

void ProgrammingRun::Tick() {
    Eng.TimerTimer();
    if (Stage == Phase::Steps) CheckStep();
}

void ProgrammingRun::Received() {
    if (Stage == Phase::Before || Stage == Phase::After) {
        // The target is being reset: what it sends now answers no frame,
        // and nothing goes out because of it.
        (void)Link.ReadText();
        return;
    }
    Eng.ReceiveReplyBytes();
    if (Stage == Phase::Steps) CheckStep();
}

}  // namespace pelk

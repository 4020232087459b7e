#include "cli/board_session.h"

#include <algorithm>
#include <cstdio>

#include "cli/cli_platform.h"
#include "image/device_table.h"
#include "protocol/block_plan.h"
#include "serial/port_list.h"
#include "serial/vaconst.h"

namespace pelk {

namespace {

std::string Hex(uint64_t value, int digits = 5) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

TVaBaudrate BaudrateOf(uint32_t rate) {
    for (size_t i = 0; i < CliBaudRates.size(); ++i)
        if (CliBaudRates[i] == rate) return static_cast<TVaBaudrate>(i + 1);
    return br9600;
}

std::string DeviceName(const MemoryImage& image) { return FindDevice(image.DeviceIndex)->RadioCaption; }

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

}  // namespace

BoardSession::BoardSession(const CliOptions& options, std::string port, const MemoryImage& image,
                           const std::vector<CliStep>& steps, CliConsole& console, MainLoop& loop,
                           WireTrace::Sink traceSink)
    : Options(options), Port(std::move(port)), Image(image), Steps(steps), Console(console), Loop(loop) {
    CommPort.SetDeviceName("COM%d");
    CommPort.Buffers().SetReadSize(1000);
    CommPort.Buffers().SetWriteSize(1000);
    CommPort.OnRxChar = [this](TVaCustomComm*, int) { Guarded(&ProgrammingRun::Received); };
    CommPort.OnHangUp = [this](TVaCustomComm*, const std::string& message) { PortHungUp(message); };
    Run.Engine().SetSkipBlankBlocks(!Options.AllBlocks);
    Run.Engine().SetLineRate(Options.Baud);
    Run.SetSequences(Options.Before, Options.After);
    if (traceSink) {
        Trace = std::make_unique<WireTrace>(std::move(traceSink));
        Traced.SetTrace(Trace.get());
    }
    Result.Began = Result.Ended = std::chrono::steady_clock::now();
}

BoardSession::~BoardSession() {
    Loop.StopTimer(TickTimer);
    Loop.StopTimer(WakeTimer);
    CommPort.OnRxChar = nullptr;
    CommPort.OnHangUp = nullptr;
    if (CommPort.Active()) CommPort.Close();
    FlushTrace();
    Traced.SetTrace(nullptr);
}

int BoardSession::Open() {
    Result.Began = std::chrono::steady_clock::now();
    auto fail = [this](int status) {
        Result.Status = status;
        Result.Ended = std::chrono::steady_clock::now();
        Over = true;
        return status;
    };
    std::string device = Port;
    if (Port == "sim") {
        SimulatedTargetOptions sim;
        sim.LastAddress = Image.LastAddress;
        sim.FlashFile = Options.SimFlash;
        Simulator = std::make_unique<SimulatedTarget>(sim);
        try {
            Simulator->Start();
        } catch (const SimulatedTargetFileError& e) {
            // The flash file is a file of the run, like the firmware.
            Console.Error(e.what());
            Result.Result = e.what();
            return fail(ExitUsage);
        } catch (const std::exception& e) {
            Console.Error(e.what());
            Result.Result = e.what();
            return fail(ExitPort);
        }
        device = Simulator->PortPath();
    }
    CommPort.SetBaudrate(BaudrateOf(Options.Baud));
    CommPort.SetDeviceName(device);
    try {
        CommPort.Open();
    } catch (const std::exception& e) {
        PortFailed(e.what());
        Result.Result = e.what();
        Result.Device = PortDevicePath(device);
        return fail(ExitPort);
    }
    Result.Device = CommPort.DevicePath();
    VerboseDevice();
    if (Trace) Trace->Mark("port " + Result.Device + " open: " + CommPort.AppliedLineSettings());
    // A sequence that sets a line needs a port that has them; this is found
    // out before anything is sent, so a pseudo-terminal refuses at once.
    if (const std::string problem = Run.LinesProblem(); !problem.empty()) {
        Console.Error(problem);
        Result.Result = problem;
        CommPort.Close();
        return fail(ExitPort);
    }
    return ExitOk;
}

void BoardSession::VerboseDevice() {
    if (!Console.IsVerbose()) return;
    const std::string path = CommPort.DevicePath();
    if (Simulator) {
        Console.Verbose("port sim: a simulated " + DeviceName(Image) + " behind " + path);
    } else {
        Console.Verbose(PortNameNote(Port, path));
    }
    Console.Verbose("line: " + CommPort.AppliedLineSettings());
    Console.Verbose("device: " + DeviceName(Image) + ", last address " + Hex(Image.LastAddress));
}

void BoardSession::Begin(std::function<void()> onFinished) {
    OnFinished = std::move(onFinished);
    if (Over) return Conclude();
    std::vector<RunStep> steps;
    for (const CliStep& step : Steps) steps.push_back({step.Start, step.Success});
    try {
        Run.Begin(std::move(steps));
    } catch (const std::exception& e) {
        PortFailed(e.what());
        Result.Result = e.what();
        Run.Fail();
    }
    FlushTrace();
}

BoardSession::Millis BoardSession::Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(MainLoop::Clock::now().time_since_epoch()).count();
}

void BoardSession::TicksNeeded(bool needed) {
    if (needed == (TickTimer != 0)) return;  // a running tick keeps its phase
    if (!needed) {
        Loop.StopTimer(TickTimer);
        TickTimer = 0;
        return;
    }
    // The engine's 10 ms tick, on a drift-free grid.
    TickTimer = Loop.StartTimer(std::chrono::milliseconds(TickMs), [this] { Tick(); }, true);
}

void BoardSession::WakeAt(Millis when) {
    Loop.StopTimer(WakeTimer);
    WakeTimer = Loop.StartTimer(std::chrono::milliseconds(std::max<Millis>(when - Now(), 0)), [this] {
        WakeTimer = 0;
        Guarded(&ProgrammingRun::Wake);
    }, false);
}

void BoardSession::CancelWake() {
    Loop.StopTimer(WakeTimer);
    WakeTimer = 0;
}

void BoardSession::Guarded(void (ProgrammingRun::*action)()) {
    if (Over) return;
    try {
        (Run.*action)();
    } catch (const std::exception& e) {
        // A failure of the port (a write that found no room) ends the steps.
        PortFailed(e.what());
        Result.Result = e.what();
        Run.Fail();
    }
    FlushTrace();
}

void BoardSession::Tick() {
    Guarded(&ProgrammingRun::Tick);
    if (Over || Run.CurrentPhase() != ProgrammingRun::Phase::Steps) return;
    // A board that waits shows why, instead of a bar that stands still.
    const OperationEngine& engine = Run.Engine();
    std::string note;
    if (engine.WaitingForQuietLine()) note = "waiting for the line to go quiet";
    else if (engine.Transmissions() > 1 || engine.ReplyWait() >= 1000)
        note = "no reply, transmission " + std::to_string(engine.Transmissions()) + " of " +
               std::to_string(unsigned{TransmissionsPerFrame});
    Console.ProgressNote(note);
    Console.ProgressTick();
}

void BoardSession::FlushTrace() {
    if (Trace) Trace->Flush();
}

void BoardSession::PortFailed(const std::string& message) {
    // The component names the port as it was given ("COM1"); the device
    // that name led to is named too, so the user sees what was opened.
    Console.Error(message);
    const std::string name = CommPort.GetDeviceName();
    const std::string device = CommPort.Active() ? CommPort.DevicePath() : PortDevicePath(name);
    if (device.empty()) Console.Error(name + " names no serial port of this machine");
    else if (device != name && message.find(device) == std::string::npos) Console.Error(name + " is " + device);
    // The line settings were refused: of them only the rate is the user's.
    if (message.rfind(std::string(sVa::WriteDcbError).substr(0, 17), 0) == 0)
        Console.Error(name + " does not take " + std::to_string(Options.Baud) + " bit/s");
}

void BoardSession::PortHungUp(const std::string& message) {
    // The adapter was pulled or the line's other side went away: the
    // operation ends at once, with this one message and nothing more sent.
    if (Over) return;
    if (Run.CurrentPhase() == ProgrammingRun::Phase::Steps) Console.ProgressEnd(false);
    FlushTrace();
    if (Run.CurrentPhase() != ProgrammingRun::Phase::After) {
        Console.Error(message);
        Result.Result = message;
    }
    Run.PortGone();
}

bool BoardSession::Walks(const CliStep& s) const {
    return s.Start == &OperationEngine::StartProgram || s.Start == &OperationEngine::StartVerify;
}

void BoardSession::StepBegins(size_t index) {
    StepBegun = true;
    StepStarted = std::chrono::steady_clock::now();
    const CliStep& step = Steps[index];
    ++Result.StepsRun;
    Result.Steps += (Result.Steps.empty() ? "" : "+") + std::string(step.Word);
    uint32_t blocks = 0;
    if (Walks(step)) {
        blocks = Options.AllBlocks ? (Image.LastAddress + 1) / BlockSize
                                   : static_cast<uint32_t>(BlockPlan::DataBlocks(Image).Blocks.size());
        Console.Verbose(std::string(step.Name) + ": " + Plural(blocks, "block", "blocks") + " of " +
                        std::to_string((Image.LastAddress + 1) / BlockSize) +
                        (Options.AllBlocks ? "" : " (the blocks that hold data)"));
    }
    if (Trace) Trace->StepBegins(step.Name, blocks);
    Console.ProgressBegin(step.Progress, uint64_t{blocks} * BlockSize);
}

void BoardSession::StepEnded(size_t index, const std::string& message, bool succeeded) {
    const CliStep& step = Steps[index];
    Console.ProgressEnd(succeeded);
    if (Trace) Trace->StepEnds(message);
    FlushTrace();
    Console.Result(message);
    // The window's message names no block; the command line says which one
    // failed, so the user can look at it.
    if (message == msg::VerificationError) {
        const uint32_t at = Run.Engine().CurrentAddress();
        Console.Error("the block at " + Hex(at) + "-" + Hex(at + BlockSize - 1) + " differs on the chip");
    }
    Result.Result = message;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - StepStarted).count();
    if (Walks(step) && succeeded) {
        const uint64_t bytes = uint64_t{Run.Engine().PlanBlocks()} * BlockSize;
        Console.Verbose(std::string(step.Name) + ": " + Plural(bytes, "byte", "bytes") + " in " + Seconds(seconds) +
                        (seconds > 0 ? ", " + std::to_string(static_cast<uint64_t>(double(bytes) / seconds)) + " bytes/s" : ""));
    } else {
        Console.Verbose(std::string(step.Name) + ": " + Seconds(seconds));
    }
}

void BoardSession::SequenceBegins(const char* name, const LineSequence& sequence) {
    Console.Verbose(std::string(name) + ": " + sequence.Text());
    if (Trace) Trace->Mark(std::string(name) + " " + sequence.Text());
}

void BoardSession::LineStepDone(const char* name, LineAction action) {
    if (!Trace) return;
    const char* step = action == LineAction::SetDtr     ? "dtr"
                       : action == LineAction::ClearDtr ? "-dtr"
                       : action == LineAction::SetRts   ? "rts"
                                                        : "-rts";
    Trace->Mark(std::string(name) + ": " + step);
}

void BoardSession::SequenceFailed(const char*, const std::string& error) {
    // A line that cannot be set (the adapter went away mid-sequence).
    Console.Error(error);
    if (Run.CurrentPhase() == ProgrammingRun::Phase::Before) Result.Result = error;
}

void BoardSession::StepsEnded(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::Succeeded: Result.Status = ExitOk; break;
        case RunOutcome::Stopped:
            Result.Status = ExitSignalBase + Signal;
            if (!StepBegun) {
                // Stopped while "before" ran: no step had begun.
                Console.Result(Run.LastMessage());
                Result.Result = Run.LastMessage();
            }
            break;
        default: Result.Status = ExitStepFailed; break;
    }
}

void BoardSession::RunEnded(RunOutcome outcome) {
    // A line that failed in "after" makes a success a failure.
    if (outcome == RunOutcome::LinesFailed && Result.Status == ExitOk) Result.Status = ExitStepFailed;
    Conclude();
}

void BoardSession::ReplyTimedOut(unsigned transmission, int64_t timeoutMs, bool givingUp) {
    if (Trace) Trace->ReplyTimeout(transmission, timeoutMs, givingUp);
}

void BoardSession::ReplyAbandoned() {
    if (Trace) Trace->ByteTimeout();
}

void BoardSession::WaitingForQuiet(unsigned copies, unsigned replies) {
    if (Trace)
        Trace->Note("the frame went out " + std::to_string(copies) + " times and " + Plural(replies, "reply", "replies") +
                    " came: waiting for the line to go quiet before going on");
}

void BoardSession::DuplicateDropped() {
    if (Trace) Trace->Note("reply to another copy of the frame, dropped");
}

void BoardSession::Interrupt(int signal) {
    if (Over) return;
    if (Run.CurrentPhase() == ProgrammingRun::Phase::After) {
        // The steps are over and "after" runs: a first stop lets it end (it
        // puts the board in the state it is to run in); a second one drops
        // it where it stands.
        if (Signal != 0) return Run.CutShort();
        Signal = signal;
        return;
    }
    Signal = signal;
    Run.Stop();
    FlushTrace();
}

void BoardSession::Conclude() {
    if (Over && !OnFinished) return;
    Over = true;
    Loop.StopTimer(TickTimer);
    Loop.StopTimer(WakeTimer);
    TickTimer = WakeTimer = 0;
    Result.Ended = std::chrono::steady_clock::now();
    if (CommPort.Active()) CommPort.Close();
    if (Simulator) {
        try {
            Simulator->Stop();
        } catch (const std::exception& e) {
            Console.Error(e.what());
            if (Result.Status == ExitOk) Result.Status = ExitUsage;
        }
        Simulator.reset();
    }
    FlushTrace();
    if (std::function<void()> done = std::move(OnFinished)) {
        OnFinished = nullptr;
        done();
    }
}

void BoardSession::ShowMessage(const std::string&) {}

void BoardSession::SetProgress(int position) {
    if (Run.CurrentPhase() == ProgrammingRun::Phase::Steps && position > 0)
        Console.ProgressUpdate(uint64_t{Run.Engine().PlanIndex()} * BlockSize);
}

}  // namespace pelk

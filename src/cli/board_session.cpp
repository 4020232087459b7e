#include "cli/board_session.h"

#include <cstdio>

#include "cli/cli_platform.h"
#include "image/device_table.h"
#include "protocol/block_plan.h"
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
    CommPort.OnRxChar = [this](TVaCustomComm*, int) { Guarded(&BoardSession::Received); };
    CommPort.OnHangUp = [this](TVaCustomComm*, const std::string& message) { PortHungUp(message); };
    Engine.SkipBlankBlocks = !Options.AllBlocks;
    Engine.SetLineRate(Options.Baud);
    if (traceSink) {
        Trace = std::make_unique<WireTrace>(std::move(traceSink));
        Traced.SetTrace(Trace.get());
        Engine.Events = this;
    }
    if (Options.Before) Before = *Options.Before;
    if (Options.After) After = *Options.After;
    Result.Began = Result.Ended = std::chrono::steady_clock::now();
}

BoardSession::~BoardSession() {
    Loop.StopTimer(TickTimer);
    Loop.StopTimer(SequenceTimer);
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
        StepsOver = Over = true;
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
        Result.Device = PortDevice(device);
        return fail(ExitPort);
    }
    Result.Device = CommPort.DevicePath();
    VerboseDevice();
    if (Trace) Trace->Mark("port " + Result.Device + " open: " + CommPort.AppliedLineSettings());
    if (!CheckLines()) {
        CommPort.Close();
        return fail(ExitPort);
    }
    return ExitOk;
}

// A sequence that sets a line needs a port that has them; this is found out
// before anything is sent, so a pseudo-terminal refuses at once.
bool BoardSession::CheckLines() {
    for (const std::optional<LineSequence>* s : {&Before, &After}) {
        if (!*s || !(*s)->UsesLines()) continue;
        try {
            Lines.CheckModemLines();
        } catch (const std::exception& e) {
            Console.Error(e.what());
            Result.Result = e.what();
            return false;
        }
        break;
    }
    return true;
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
    // The engine's 10 ms tick, on a drift-free grid.
    TickTimer = Loop.StartTimer(std::chrono::milliseconds(10), [this] { Guarded(&BoardSession::Tick); }, true);
    if (Before) StartSequence("before", *Before, &BoardSession::BeforeDone);
    else StartStep();
}

LineSequenceRunner::Millis BoardSession::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(MainLoop::Clock::now().time_since_epoch()).count();
}

void BoardSession::TracedLines::SetDTR(bool State) {
    Board.Lines.SetDTR(State);
    if (Board.Trace) Board.Trace->Mark(std::string(Board.SequenceName) + ": " + (State ? "dtr" : "-dtr"));
}

void BoardSession::TracedLines::SetRTS(bool State) {
    Board.Lines.SetRTS(State);
    if (Board.Trace) Board.Trace->Mark(std::string(Board.SequenceName) + ": " + (State ? "rts" : "-rts"));
}

void BoardSession::StartSequence(const char* name, const LineSequence& sequence, void (BoardSession::*then)()) {
    AfterSequence = then;
    SequenceName = name;
    Console.Verbose(std::string(name) + ": " + sequence.Text());
    if (Trace) Trace->Mark(std::string(name) + " " + sequence.Text());
    const std::optional<LineSequenceRunner::Millis> next = Runner.Start(sequence, SequenceLines, NowMs());
    if (!next) return SequenceEnded();
    SequenceTimer = Loop.StartTimer(std::chrono::milliseconds(*next - NowMs()), [this] { AdvanceSequence(); }, false);
}

void BoardSession::AdvanceSequence() {
    SequenceTimer = 0;
    const std::optional<LineSequenceRunner::Millis> next = Runner.Advance(NowMs());
    if (!next) return SequenceEnded();
    SequenceTimer = Loop.StartTimer(std::chrono::milliseconds(*next - NowMs()), [this] { AdvanceSequence(); }, false);
}

void BoardSession::SequenceEnded() {
    void (BoardSession::*then)() = AfterSequence;
    AfterSequence = nullptr;
    if (Runner.Failed()) {
        // A line that cannot be set (the adapter went away mid-sequence).
        Console.Error(Runner.Error());
        if (!StepsOver) {
            Result.Result = Runner.Error();
            Gone = true;  // no "after" on lines that fail
            return EndSteps(ExitStepFailed);
        }
        if (Result.Status == ExitOk) Result.Status = ExitStepFailed;
        return Conclude();
    }
    (this->*then)();
}

void BoardSession::BeforeDone() { StartStep(); }

void BoardSession::Guarded(void (BoardSession::*action)()) {
    if (StepsOver) return;
    try {
        (this->*action)();
    } catch (const std::exception& e) {
        // A failure of the port (a write that found no room) ends the run.
        PortFailed(e.what());
        Result.Result = e.what();
        if (Running) {
            Engine.Stop();
            Running = false;
            Console.ProgressEnd(false);
        }
        EndSteps(ExitStepFailed);
    }
    FlushTrace();
}

void BoardSession::FlushTrace() {
    if (Trace) Trace->Flush();
}

void BoardSession::PortFailed(const std::string& message) {
    // The component names the port as it was given ("COM1"); the device
    // that name led to is named too, so the user sees what was opened.
    Console.Error(message);
    const std::string name = CommPort.GetDeviceName();
    const std::string device = CommPort.Active() ? CommPort.DevicePath() : PortDevice(name);
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
    Gone = true;
    Runner.Cancel();
    Loop.StopTimer(SequenceTimer);
    if (StepsOver) return Conclude();
    if (Running) {
        Engine.Stop();
        Running = false;
        Console.ProgressEnd(false);
    }
    FlushTrace();
    Console.Error(message);
    Result.Result = message;
    EndSteps(ExitStepFailed);
}

bool BoardSession::Walks(const CliStep& s) const {
    return s.Start == &OperationEngine::StartProgram || s.Start == &OperationEngine::StartVerify;
}

void BoardSession::StartStep() {
    LastMessage.clear();
    StepStarted = std::chrono::steady_clock::now();
    Running = true;
    const CliStep& step = Steps[Current];
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
    (Engine.*step.Start)();
    CheckStep();  // a walk with no block to send ends at once
}

void BoardSession::ReplyTimedOut(unsigned transmission, int64_t waitedMs, bool givingUp) {
    Trace->ReplyTimeout(transmission, waitedMs, givingUp);
}

void BoardSession::ReplyAbandoned() { Trace->ByteTimeout(); }

void BoardSession::WaitingForQuiet(unsigned copies, unsigned replies) {
    Trace->Note("the frame went out " + std::to_string(copies) + " times and " + Plural(replies, "reply", "replies") +
                " came: waiting for the line to go quiet before going on");
}

void BoardSession::DuplicateDropped() { Trace->Note("reply to another copy of the frame, dropped"); }

void BoardSession::Tick() {
    if (!Running) return;
    Engine.TimerTimer();
    CheckStep();
    if (!Running) return;
    // A board that waits shows why, instead of a bar that stands still.
    std::string note;
    if (Engine.WaitingForQuietLine()) note = "waiting for the line to go quiet";
    else if (Engine.Transmissions() > 1 || Engine.ReplyWait() >= 1000)
        note = "no reply, transmission " + std::to_string(Engine.Transmissions()) + " of " +
               std::to_string(unsigned{TransmissionsPerFrame});
    Console.ProgressNote(note);
    Console.ProgressTick();
}

void BoardSession::Received() {
    Engine.ReceiveReplyBytes();
    CheckStep();
}

void BoardSession::CheckStep() {
    if (!Running || Engine.Operation != OpNone || Engine.StartDelay != 0) return;
    Running = false;
    const CliStep& step = Steps[Current];
    const bool ok = LastMessage == step.Success;
    Console.ProgressEnd(ok);
    if (Trace) Trace->StepEnds(LastMessage);
    FlushTrace();
    Console.Result(LastMessage);
    // The window's message names no block; the command line says which one
    // failed, so the user can look at it.
    if (LastMessage == msg::VerificationError)
        Console.Error("the block at " + Hex(Engine.CurrentAddress) + "-" + Hex(Engine.CurrentAddress + BlockSize - 1) +
                      " differs on the chip");
    Result.Result = LastMessage;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - StepStarted).count();
    if (Walks(step) && ok) {
        const uint64_t bytes = uint64_t{Engine.PlanBlocks()} * BlockSize;
        Console.Verbose(std::string(step.Name) + ": " + Plural(bytes, "byte", "bytes") + " in " + Seconds(seconds) +
                        (seconds > 0 ? ", " + std::to_string(static_cast<uint64_t>(double(bytes) / seconds)) + " bytes/s" : ""));
    } else {
        Console.Verbose(std::string(step.Name) + ": " + Seconds(seconds));
    }
    if (!ok) return EndSteps(ExitStepFailed);
    if (++Current == Steps.size()) return EndSteps(ExitOk);
    StartStep();
}

void BoardSession::Interrupt(int Signal) {
    if (Over) return;
    const bool again = StopAsked;
    StopAsked = true;
    if (StepsOver) {
        // The steps are over and "after" runs: a first stop lets it end (it
        // puts the board in the state it is to run in); a second one drops
        // it where it stands.
        if (!again) return;
        Runner.Cancel();
        Loop.StopTimer(SequenceTimer);
        return Conclude();
    }
    if (Running) {
        Engine.Stop();  // shows "Stopped."
        Running = false;
        Console.ProgressEnd(false);
        if (Trace) Trace->StepEnds(LastMessage);
        FlushTrace();
    } else {
        // Stopped while "before" ran: no step had begun.
        Runner.Cancel();
        Loop.StopTimer(SequenceTimer);
        LastMessage = msg::Stopped;
    }
    Console.Result(LastMessage);
    Result.Result = LastMessage;
    EndSteps(ExitSignalBase + Signal);
}

void BoardSession::EndSteps(int status) {
    if (StepsOver) return;
    StepsOver = true;
    Result.Status = status;
    Loop.StopTimer(TickTimer);
    TickTimer = 0;
    if (After && !Gone && CommPort.Active()) return StartSequence("after", *After, &BoardSession::Conclude);
    Conclude();
}

void BoardSession::Conclude() {
    if (Over && !OnFinished) return;
    Over = true;
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

void BoardSession::ShowMessage(const std::string& text) { LastMessage = text; }

void BoardSession::SetProgress(int position) {
    if (Running && position > 0) Console.ProgressUpdate(uint64_t{Engine.PlanIndex} * BlockSize);
}

}  // namespace pelk

#pragma once
// One board of a pelkisp run: its port (a serial port, or a simulated target
// behind a pseudo-terminal), serial component, engine, reply receiver, 10 ms
// tick and reset-line sequences, all on the run's main loop. Several boards
// share the one loop and the one loaded image; none waits for another, so a
// board that fails or stays silent never holds the others up.
//
// A board's life: Open (the port, and the check that it can drive its lines
// when a sequence is asked for), Begin ("before" sequence, then the steps one
// after the other), and at the end the "after" sequence, which runs whatever
// the result (success, a failed step, Stop), except when the port has gone.
// When it is over, the board tells the run through OnFinished.
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_console.h"
#include "cli/cli_options.h"
#include "cli/wire_trace.h"
#include "framework/main_loop.h"
#include "image/memory_image.h"
#include "protocol/engine_view.h"
#include "protocol/line_sequence.h"
#include "protocol/operation_engine.h"
#include "protocol/port.h"
#include "protocol/programming_run.h"
#include "serial/vacomm.h"
#include "sim/simulated_target.h"

namespace pelk {

// Exit statuses of pelkisp.
enum CliExit : int {
    ExitOk = 0,
    ExitStepFailed = 1,  // also a port that hung up or went away mid-run
    ExitUsage = 2,       // also a file not fit to program, or standard output that could not be written
    ExitPort = 3,        // also a port that cannot drive the lines a sequence sets
    ExitSignalBase = 128,  // stopped by a signal: 128 + its number (Ctrl-C: 130)
};

// One device step of the run: Erase, Program, Verify or Blank check.
struct CliStep {
    void (OperationEngine::*Start)();
    const char* Success;
    const char* Name;      // "Program", for the trace, -v and the log
    const char* Progress;  // "Programming", for the bar
    const char* Word;      // "program", for the results log
};

// What a board's run came to.
struct BoardOutcome {
    int Status = ExitOk;
    // The line that tells the result: the last step's message (its success
    // or its failure), "Stopped.", or the port's message.
    std::string Result;
    std::string Device;     // the device the port's name led to ("/dev/ttyUSB0")
    unsigned StepsRun = 0;  // steps begun ("Erase", "Program" ... in order)
    std::string Steps;      // their words, "erase+program+verify"
    std::chrono::steady_clock::time_point Began, Ended;
    double Seconds() const { return std::chrono::duration<double>(Ended - Began).count(); }
};

class BoardSession final : private ProgrammingRunHost {
public:
    // `port` as the user gave it (COM1, a path, sim); `console` says this
    // board's lines (with its prefix when there are several); `traceSink`
    // receives the wire trace's lines (none: no trace). The image and the
    // steps outlive the board.
    BoardSession(const CliOptions& options, std::string port, const MemoryImage& image,
                 const std::vector<CliStep>& steps, CliConsole& console, MainLoop& loop,
                 WireTrace::Sink traceSink);
    ~BoardSession() override;
    BoardSession(const BoardSession&) = delete;
    BoardSession& operator=(const BoardSession&) = delete;

    // Opens the port (and starts the simulated target for "sim"). ExitOk, or
    // the board is already over with ExitPort (the port does not open, or it
    // has no modem lines and a sequence needs them) or ExitUsage (the
    // simulated flash file); the console has said why.
    int Open();
    // Starts the "before" sequence and the steps. The board calls
    // onFinished once, on the loop, when it is over.
    void Begin(std::function<void()> onFinished);
    // Ctrl-C and the like: stop as the Stop command does ("Stopped."), run
    // the "after" sequence, and end with 128 + signal. A board whose steps
    // are over lets its "after" end; a second call drops it.
    void Interrupt(int signal);

    bool Finished() const { return Over; }
    const BoardOutcome& Outcome() const { return Result; }
    const std::string& PortName() const { return Port; }

private:
    // ProgrammingRunHost: the loop's timers and clock, the console and the trace.
    Millis Now() override;
    void TicksNeeded(bool needed) override;
    void WakeAt(Millis when) override;
    void CancelWake() override;
    void ShowMessage(const std::string& text) override;
    void SetProgress(int position) override;
    void StepBegins(size_t index) override;
    void StepEnded(size_t index, const std::string& message, bool succeeded) override;
    void SequenceBegins(const char* name, const LineSequence& sequence) override;
    void LineStepDone(const char* name, LineAction action) override;
    void SequenceFailed(const char* name, const std::string& error) override;
    void StepsEnded(RunOutcome outcome) override;
    void RunEnded(RunOutcome outcome) override;
    void ReplyTimedOut(unsigned transmission, int64_t timeoutMs, bool givingUp) override;
    void ReplyAbandoned() override;
    void WaitingForQuiet(unsigned copies, unsigned replies) override;
    void DuplicateDropped() override;

    void VerboseDevice();
    void Conclude();
    void Guarded(void (ProgrammingRun::*action)());
    void Tick();
    void PortHungUp(const std::string& message);
    void PortFailed(const std::string& message);
    void FlushTrace();
    bool Walks(const CliStep& s) const;

    const CliOptions& Options;
    const std::string Port;
    const MemoryImage& Image;
    const std::vector<CliStep>& Steps;
    CliConsole& Console;
    MainLoop& Loop;
    std::unique_ptr<SimulatedTarget> Simulator;
    TVaComm CommPort;
    PortOf<TVaComm> Link{CommPort};
    ModemLinesOf<TVaComm> Lines{CommPort};
    std::unique_ptr<WireTrace> Trace;
    TracedPort Traced{Link, nullptr};
    ProgrammingRun Run{Image, Traced, Lines, *this};
    MainLoop::TimerId TickTimer = 0;
    MainLoop::TimerId WakeTimer = 0;
    std::function<void()> OnFinished;
    int Signal = 0;          // the signal that stopped the board; 0: none
    bool StepBegun = false;  // a step has begun (Stop in "before" ends none)
    bool Over = false;       // everything has ended
    BoardOutcome Result;
    std::chrono::steady_clock::time_point StepStarted;
};

}  // namespace pelk

#pragma once
// One run of pelkisp: loads the file into an image under the load rules and
// checks that it is what the user meant, then either prints or converts it,
// or opens the port and runs the device steps one after the other through
// the same engine, reply receiver and serial component as the window, on the
// framework's main loop. Everything it shows goes through its CliConsole.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_console.h"
#include "cli/cli_options.h"
#include "cli/wire_trace.h"
#include "framework/main_loop.h"
#include "image/memory_image.h"
#include "protocol/engine_view.h"
#include "protocol/operation_engine.h"
#include "protocol/port.h"
#include "serial/vacomm.h"
#include "sim/simulated_target.h"

namespace pelk {

// Exit statuses of pelkisp.
enum CliExit : int {
    ExitOk = 0,
    ExitStepFailed = 1,  // also a port that hung up or went away mid-run
    ExitUsage = 2,       // also a file not fit to program, or standard output that could not be written
    ExitPort = 3,
    ExitSignalBase = 128,  // stopped by a signal: 128 + its number (Ctrl-C: 130)
};

// Loads FILE into the image as File > Load does with the given options, and
// tells on the console what was loaded ("FILE: 16 bytes in 00000-0000F, CRC
// 1A2B") and what is wrong with it: a HEX file with checksum errors or
// without an end record, nothing loaded, data that does not fit the device,
// and for program and verify (`forDevice`) an image with no data block.
// For program and verify these are errors (ExitUsage) unless options.Force;
// otherwise they are reported and the load stands. Returns ExitOk or
// ExitUsage.
int LoadImageForCli(const CliOptions& options, const std::string& fileName, MemoryImage& image, CliConsole& console,
                    bool forDevice);

class CliSession : public EngineView {
public:
    // The device steps run on `loop`, which the session quits with the exit
    // status when they are done.
    CliSession(CliOptions options, std::FILE* out, std::FILE* err, MainLoop& loop);
    ~CliSession() override;

    // Does the work that needs no event loop (ports, checksum, convert,
    // loading, and opening the port). Returns the exit status if the run is
    // already over, or -1 when the device steps are to run in the event loop.
    int Prepare();
    // Starts the device steps; the session quits the event loop with the
    // exit status when they are done.
    void Begin();
    // Ctrl-C, a termination request or a hang-up of the terminal (Signal):
    // stop as the Stop command does; the exit status is 128 + Signal.
    void Interrupt(int Signal);
    int ExitStatus() const { return Status; }
    // The error of the first result line that could not be written to
    // standard output (a closed pipe, a full disk), 0 if none.
    int OutputError() const { return Console.OutputError(); }
    CliConsole& Output() { return Console; }

    void ShowMessage(const std::string& text) override;
    void SetProgress(int position) override;

private:
    struct Step {
        void (OperationEngine::*Start)();
        const char* Success;
        const char* Name;      // "Program", for the trace and -v
        const char* Progress;  // "Programming", for the bar
    };
    int OpenTrace();
    void VerboseDevice(const std::string& simDevice);
    void StartStep();
    void CheckStep();
    void Finish(int status);
    void Guarded(void (CliSession::*action)());
    void Tick();
    void Received();
    void PortHungUp(const std::string& message);
    void PortFailed(const std::string& message);
    void FlushTrace();
    bool Walks(const Step& s) const;

    CliOptions Options;
    CliConsole Console;
    MemoryImage Image;
    std::unique_ptr<SimulatedTarget> Simulator;
    TVaComm CommPort;
    PortOf<TVaComm> Link{CommPort};
    std::unique_ptr<WireTrace> Trace;
    std::FILE* TraceFile = nullptr;
    TracedPort Traced{Link, nullptr};
    OperationEngine Engine{Image, Traced, *this};
    MainLoop& Loop;
    MainLoop::TimerId TickTimer = 0;
    std::vector<Step> Steps;
    size_t Current = 0;
    bool Running = false;
    bool Done = false;
    int Status = ExitOk;
    std::string LastMessage;
    std::chrono::steady_clock::time_point StepStarted;
};

}  // namespace pelk

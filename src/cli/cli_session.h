#pragma once
// One run of pelkisp: loads the file into an image under the load rules,
// then either prints or converts it, or opens the port and runs the device
// steps one after the other through the same engine, reply receiver and
// serial component as the window, on a QtCore event loop.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_options.h"
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
    ExitUsage = 2,       // also a standard output that could not be written
    ExitPort = 3,
    ExitSignalBase = 128,  // stopped by a signal: 128 + its number (Ctrl-C: 130)
};

// Loads FILE into the image as File > Load does with the given options.
// Messages go to `err`. Returns ExitOk or ExitUsage.
int LoadImageForCli(const CliOptions& options, const std::string& fileName, MemoryImage& image, std::FILE* err);

class CliSession : public QObject, public EngineView {
    Q_OBJECT
public:
    CliSession(CliOptions options, std::FILE* out, std::FILE* err);
    ~CliSession() override;

    // Does the work that needs no event loop (checksum, convert, loading, and
    // opening the port). Returns the exit status if the run is already over,
    // or -1 when the device steps are to run in the event loop.
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
    int OutputError() const { return OutError; }

    void ShowMessage(const std::string& text) override;
    void SetProgress(int position) override;

private:
    struct Step {
        void (OperationEngine::*Start)();
        const char* Success;
    };
    void StartStep();
    void CheckStep();
    void Finish(int status);
    void Guarded(void (CliSession::*action)());
    void Tick();
    void Received();
    void PortHungUp(const std::string& message);
    void PortFailed(const std::string& message);
    void PrintResult(const std::string& line);
    void DrawProgress(int position, bool final);

    CliOptions Options;
    std::FILE* Out;
    std::FILE* Err;
    MemoryImage Image;
    std::unique_ptr<SimulatedTarget> Simulator;
    TVaComm CommPort;
    PortOf<TVaComm> Link{CommPort};
    OperationEngine Engine{Image, Link, *this};
    QTimer Timer;
    std::vector<Step> Steps;
    size_t Current = 0;
    bool Running = false;
    bool Done = false;
    int Status = ExitOk;
    std::string LastMessage;
    int OutError = 0;
    bool Live = false;  // stderr is a terminal: draw the progress bar
    bool BarShown = false;
    int ShownPercent = -1;
    std::chrono::steady_clock::time_point StepStarted;
};

}  // namespace pelk

#pragma once
// One run of pelkisp: loads the file into an image under the load rules and
// checks that it is what the user meant, then either prints or converts it,
// or opens the ports and runs the device steps on every board at once, each
// board (BoardSession) one after the other through the same engine, reply
// receiver and serial component as the window, all on the framework's main
// loop. With several ports every line a board shows carries its port
// ("COM2: Device programmed."), and a summary line per board ends the run.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/board_session.h"
#include "cli/cli_console.h"
#include "cli/cli_options.h"
#include "cli/results_log.h"
#include "framework/main_loop.h"
#include "image/memory_image.h"

namespace pelk {

// Loads FILE into the image as File > Load does with the given options, and
// tells on the console what was loaded ("FILE: 16 bytes in 00000-0000F, CRC
// 1A2B") and what is wrong with it: a HEX file with checksum errors or
// without an end record, nothing loaded, data that does not fit the device,
// and for program and verify (`forDevice`) an image with no data block.
// For program and verify these are errors (ExitUsage) unless options.Force;
// otherwise they are reported and the load stands. Returns ExitOk or
// ExitUsage.
// `bytesLoaded`, when given, receives the number of bytes the load copied.
int LoadImageForCli(const CliOptions& options, const std::string& fileName, MemoryImage& image, CliConsole& console,
                    bool forDevice, uint64_t* bytesLoaded = nullptr);

class CliSession {
public:
    // The device steps run on `loop`, which the session quits with the exit
    // status when they are done.
    CliSession(CliOptions options, std::FILE* out, std::FILE* err, MainLoop& loop);
    ~CliSession();

    // Does the work that needs no event loop (ports, checksum, convert,
    // loading, and opening the ports). Returns the exit status if the run is
    // already over, or -1 when the device steps are to run in the loop.
    int Prepare();
    // Starts the device steps on every board that opened; the session quits
    // the loop with the exit status when every board is done.
    void Begin();
    // Ctrl-C, a termination request or a hang-up of the terminal (Signal):
    // every board stops as the Stop command does; the exit status is
    // 128 + Signal.
    void Interrupt(int signal);
    int ExitStatus() const { return Status; }
    // The error of the first result line that could not be written to
    // standard output (a closed pipe, a full disk), 0 if none.
    int OutputError() const;
    CliConsole& Output() { return Console; }

private:
    struct BoardEntry {
        std::unique_ptr<CliConsole> Console;
        std::unique_ptr<BoardSession> Session;
    };
    int CheckFileRoles();
    int OpenTrace();
    int OpenLog();
    void WriteTrace(const std::string& text);
    void LogBoard(const BoardSession& board);
    void BoardFinished(const BoardSession& board);
    int CombinedStatus() const;
    void Summary();

    CliOptions Options;
    CliConsole Console;
    MemoryImage Image;
    std::vector<CliStep> Steps;
    std::FILE* TraceFile = nullptr;
    ResultsLog Log;
    int LogError = 0;    // a line of the log could not be written
    int TraceError = 0;  // the error of the first trace lines that could not be written
    uint64_t BytesLoaded = 0;
    std::unique_ptr<ProgressLines> Bars;
    std::vector<std::unique_ptr<BoardEntry>> BoardList;
    MainLoop& Loop;
    size_t Unfinished = 0;
    int Signal = 0;
    int Status = ExitOk;
};

}  // namespace pelk

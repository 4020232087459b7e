// pelkisp: programs, verifies, erases and blank-checks the target from the
// command line, and prints or converts image files. It runs on the
// framework's own main loop: no toolkit.
#include <cstdio>
#include <cstring>
#include <system_error>

#include "cli/cli_options.h"
#include "cli/cli_platform.h"
#include "cli/cli_session.h"
#include "framework/exception.h"
#include "framework/main_loop.h"
#include "pelk_version.h"
#ifdef _WIN32
#include "framework/win32/text.h"
#endif

namespace {

// Whether everything written to standard output got there. The C library
// may report a failed write only in the stream's error flag (wine's does
// for a full device, where fputs and fflush succeed), so that is asked too.
bool StandardOutputWritten() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

// The exit status of --help and --version, which print and end.
int Printed() {
    if (StandardOutputWritten()) return pelk::ExitOk;
    std::fputs("pelkisp: can't write to standard output\n", stderr);
    return pelk::ExitUsage;
}

// The run, for the command line's arguments (UTF-8 on Windows).
int Run(const std::vector<std::string>& args) {
    // A closed standard output (pelkisp ... | head -1) must not end a run
    // midway: writes to it fail instead, and the exit status tells.
    pelk::IgnoreBrokenPipe();
    const pelk::CliParse parsed = pelk::ParseCommandLine(args);
    if (!parsed.Error.empty()) {
        pelk::WriteText(stderr, "pelkisp: " + parsed.Error + "\nTry 'pelkisp --help'.\n");
        return pelk::ExitUsage;
    }
    if (parsed.Options.Command == pelk::CliCommand::Help) {
        std::fputs(pelk::UsageText().c_str(), stdout);
        return Printed();
    }
    if (parsed.Options.Command == pelk::CliCommand::Version) {
        std::printf("pelkisp %s\n", PELK_VERSION);
        return Printed();
    }

    // The main thread's loop carries the engine's tick, the serial
    // component's hand-over from its worker threads, and the stop signals.
    pelk::MainLoop loop;
    pelk::SetMainThreadDispatcher(loop.Dispatcher());
    pelk::SetExceptionReport([](const std::exception& e) { pelk::WriteText(stderr, std::string(e.what()) + "\n"); });

    int status;
    {
        pelk::CliSession session(parsed.Options, stdout, stderr, loop);
        status = session.Prepare();
        if (status < 0) {
            // Ctrl-C, a termination request, or the terminal or ssh session
            // going away stop the running operation as the Stop command
            // does; the simulated flash file is still written back.
            try {
                loop.HandleStopSignals([&session](int signal) { session.Interrupt(signal); });
            } catch (const std::system_error&) {
                // Without them the run still works; only a signal ends it the hard way.
            }
            session.Begin();
            loop.Run();
            // The handlers stay until the end: a signal from now on only
            // gets noted, so it cannot cut the writing of files short.
            status = session.ExitStatus();
        }
        if (const int error = session.OutputError()) {
            std::fprintf(stderr, "pelkisp: can't write to standard output: %s\n", std::strerror(error));
            if (status == pelk::ExitOk) status = pelk::ExitUsage;
        }
    }
    if (!StandardOutputWritten() && status == pelk::ExitOk) status = pelk::ExitUsage;
    // Workers still on their way out find the hand-over gone and end.
    loop.Shutdown();
    pelk::SetMainThreadDispatcher(nullptr);
    return status;
}

}  // namespace

#ifdef _WIN32
// The command line as the system keeps it, in UTF-16: main's arguments
// would come in the ANSI code page, where a name such as "Ωmega.hex"
// turns into another file's ("Omega.hex") and "日本.hex" into none.
extern "C" int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(pelk::win32::Utf8FromWide(argv[i]));
    return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif

// pelkisp: programs, verifies, erases and blank-checks the target from the
// command line, and prints or converts image files.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "app/qt_dispatcher.h"
#include "cli/cli_options.h"
#include "cli/cli_session.h"
#include "framework/exception.h"

namespace {
int SignalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char c = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = write(SignalPipe[1], &c, 1);
}
}  // namespace

int main(int argc, char** argv) {
    // A closed standard output (pelkisp ... | head -1) must not end a run
    // midway: writes to it fail instead, and the exit status tells.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    const pelk::CliParse parsed = pelk::ParseCommandLine(args);
    if (!parsed.Error.empty()) {
        std::fprintf(stderr, "pelkisp: %s\nTry 'pelkisp --help'.\n", parsed.Error.c_str());
        return pelk::ExitUsage;
    }
    if (parsed.Options.Command == pelk::CliCommand::Help) {
        std::fputs(pelk::UsageText().c_str(), stdout);
        return pelk::ExitOk;
    }
    if (parsed.Options.Command == pelk::CliCommand::Version) {
        std::printf("pelkisp %s\n", PELK_VERSION);
        return pelk::ExitOk;
    }

    QCoreApplication app(argc, argv);
    pelk::InstallQtMainThreadDispatcher();
    pelk::SetExceptionReport([](const std::exception& e) { std::fprintf(stderr, "%s\n", e.what()); });

    int status;
    {
        pelk::CliSession session(parsed.Options, stdout, stderr);
        status = session.Prepare();
        if (status < 0) {
            // Ctrl-C, a termination request, or the terminal or ssh session
            // going away stop the running operation as the Stop command
            // does; the simulated flash file is still written back.
            if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
                struct sigaction sa {};
                sa.sa_handler = OnSignal;
                sigemptyset(&sa.sa_mask);
                for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
            }
            QSocketNotifier notifier(SignalPipe[0], QSocketNotifier::Read);
            QObject::connect(&notifier, &QSocketNotifier::activated, &session, [&session] {
                char buf[16];
                int first = 0;
                ssize_t n;
                while ((n = read(SignalPipe[0], buf, sizeof buf)) > 0)
                    if (first == 0) first = static_cast<unsigned char>(buf[0]);
                if (first != 0) session.Interrupt(first);
            });
            session.Begin();
            QCoreApplication::exec();
            status = session.ExitStatus();
        }
        if (const int error = session.OutputError()) {
            std::fprintf(stderr, "pelkisp: can't write to standard output: %s\n", std::strerror(error));
            if (status == pelk::ExitOk) status = pelk::ExitUsage;
        }
    }
    if (std::fflush(stdout) != 0 && status == pelk::ExitOk) status = pelk::ExitUsage;
    pelk::UninstallQtMainThreadDispatcher();
    return status;
}

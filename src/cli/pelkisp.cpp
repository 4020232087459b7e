// pelkisp: programs, verifies, erases and blank-checks the target from the
// command line, and prints or converts image files.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "app/qt_dispatcher.h"
#include "cli/cli_options.h"
#include "cli/cli_session.h"
#include "framework/exception.h"

namespace {
int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(SignalPipe[1], &c, 1);
}
}  // namespace

int main(int argc, char** argv) {
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
            // Ctrl-C stops the running operation as the Stop command does.
            if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
                struct sigaction sa {};
                sa.sa_handler = OnSignal;
                sigemptyset(&sa.sa_mask);
                sigaction(SIGINT, &sa, nullptr);
                sigaction(SIGTERM, &sa, nullptr);
            }
            QSocketNotifier notifier(SignalPipe[0], QSocketNotifier::Read);
            QObject::connect(&notifier, &QSocketNotifier::activated, &session, [&session] {
                char buf[16];
                while (read(SignalPipe[0], buf, sizeof buf) > 0) {
                }
                session.Interrupt();
            });
            session.Begin();
            QCoreApplication::exec();
            status = session.ExitStatus();
        }
    }
    pelk::UninstallQtMainThreadDispatcher();
    return status;
}

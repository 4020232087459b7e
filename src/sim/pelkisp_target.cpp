// pelkisp-target: the simulated target as a program of its own, for the window
// (through --link COMn), for scripts and for end-to-end tests.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/device_table.h"
#include "sim/simulated_target.h"
#include "sim/target_options.h"

namespace {

constexpr const char* Program = "pelkisp-target";

// Makes `name` in the working directory a symbolic link to `path`, replacing
// an older link of that name in one step; anything else of that name is left
// alone.
bool PublishLink(const std::string& name, const std::string& path, std::string& error) {
    struct stat st {};
    if (lstat(name.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = name + " exists in the working directory and is not a link; it is left as it is";
            return false;
        }
        std::fprintf(stderr, "%s: replacing the older link %s\n", Program, name.c_str());
    }
    const std::string temp = name + ".tmp" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(path.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), name.c_str()) != 0) {
        error = "can't create the link " + name + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

// Removes the link unless another program has put its own in its place.
void RemoveLink(const std::string& name, const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(name.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, size_t(n)) == path) unlink(name.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const std::optional<pelk::TargetCommandLine> line = pelk::ParseTargetCommandLine(args, error);
    if (!line) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", Program, error.c_str(), Program);
        return 2;
    }
    if (line->Help) {
        std::fputs(pelk::TargetUsage().c_str(), stdout);
        return 0;
    }

    // The serving thread inherits this mask, so only sigwait below sees the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, s);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    pelk::SimulatedTarget target(line->Options);
    try {
        target.Start();
    } catch (const pelk::SimulatedTargetError& e) {
        std::fprintf(stderr, "%s: %s\n", Program, e.what());
        return 1;
    }
    const std::string& path = target.PortPath();
    if (!line->Link.empty() && !PublishLink(line->Link, path, error)) {
        std::fprintf(stderr, "%s: %s\n", Program, error.c_str());
        return 1;
    }

    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    const pelk::DeviceInfo* device = pelk::FindDevice(line->DeviceIndex);
    std::fprintf(stderr, "%s: %s with %u KiB of flash on %s%s%s; Ctrl-C stops it\n", Program,
                 device->RadioCaption, unsigned((device->LastAddress + 1) / 1024), path.c_str(),
                 line->Link.empty() ? "" : ", linked as ", line->Link.c_str());

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }

    if (!line->Link.empty()) RemoveLink(line->Link, path);
    int status = 0;
    try {
        target.Stop();
    } catch (const pelk::SimulatedTargetError& e) {
        std::fprintf(stderr, "%s: %s\n", Program, e.what());
        status = 1;
    }
    const pelk::SimulatedTargetStatus s = target.Status();
    std::fprintf(stderr,
                 "%s: stopped after %llu frames (program %u, verify %u, erase %u, blank check %u, "
                 "bad checksum %u)\n",
                 Program, static_cast<unsigned long long>(s.FramesServed), s.Loader.Program, s.Loader.Verify,
                 s.Loader.Erase, s.Loader.BlankCheck, s.Loader.BadChecksum);
    return status;
}

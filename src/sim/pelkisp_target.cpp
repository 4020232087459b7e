// pelkisp-target: the simulated target as a program of its own, for the window
// (through --link COMn), for scripts and for end-to-end tests.
#include <fcntl.h>
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
#include "pelk_version.h"

namespace {

constexpr const char* Program = "pelkisp-target";

// Whether the device a link leads to is still in use as a line: a
// pseudo-terminal whose other side is gone (or a device that is not there)
// is not. A device that opens, or is held exclusively by a program (EBUSY),
// is; so is one that cannot be tried (no permission).
bool LeadsToALiveDevice(const std::string& name) {
    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    return errno != ENOENT && errno != EIO && errno != ENXIO && errno != ENODEV;
}

// Makes `name` in the working directory a symbolic link to `path`. An older
// link of that name is replaced in one step only when it is stale (the
// target that published it has gone); a link that leads to a live device
// (another running target, an adapter a user pinned) and anything that is
// not a link are left alone.
bool PublishLink(const std::string& name, const std::string& path, std::string& error) {
    struct stat st {};
    if (lstat(name.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = name + " exists in the working directory and is not a link; it is left as it is";
            return false;
        }
        if (LeadsToALiveDevice(name)) {
            char target[4096];
            const ssize_t n = readlink(name.c_str(), target, sizeof target - 1);
            error = name + " already leads to " + (n > 0 ? std::string(target, size_t(n)) : std::string("a device")) +
                    ", which is in use (another target?); it is left as it is";
            return false;
        }
        std::fprintf(stderr, "%s: replacing the stale link %s\n", Program, name.c_str());
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
    if (line->Version) {
        std::printf("%s %s\n", Program, PELK_VERSION);
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
    } catch (const pelk::SimulatedTargetFileError& e) {
        std::fprintf(stderr, "%s: %s\n", Program, e.what());
        return 2;
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

#pragma once
// A private X display with a real window manager, for tests of what depends
// on focus and activation: Xvfb on a display it picks itself (-displayfd),
// and openbox on it with its stock configuration. Both are children of the
// test process (they end with it, also when it crashes) and are stopped
// when the session ends, so that tests can run beside other X sessions.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace pelk::test {

class XSession {
public:
    XSession() = default;
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;
    ~XSession() { Stop(); }

    // Starts both (only Xvfb when WithWindowManager is false, for measures
    // that must not share the display with a window manager); on failure
    // returns false with Error set and leaves nothing running.
    bool Start(bool WithWindowManager = true) {
        char pattern[] = "/tmp/pelk-x-XXXXXX";
        if (!mkdtemp(pattern)) return Fail("cannot make a temporary folder");
        Dir = pattern;

        int displayPipe[2];
        if (pipe2(displayPipe, O_CLOEXEC) != 0) return Fail("cannot make a pipe");
        Xvfb = Spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {},
                     Dir / "xvfb.log", displayPipe[1]);
        close(displayPipe[1]);
        const std::string number = ReadLine(displayPipe[0], 20000);
        close(displayPipe[0]);
        if (Xvfb < 0 || number.empty()) return Fail("Xvfb did not start (see " + (Dir / "xvfb.log").string() + ")");
        Display = ":" + number;
        if (!WithWindowManager) return true;

        // openbox runs its start-up command once it manages the screen.
        const std::string ready = (Dir / "wm-ready").string();
        if (mkfifo(ready.c_str(), 0600) != 0) return Fail("cannot make a fifo");
        const int readyFd = open(ready.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        std::vector<std::string> wm{"openbox", "--sm-disable", "--startup", "sh -c 'echo ok > " + ready + "'"};
        if (access("/etc/xdg/openbox/rc.xml", R_OK) == 0) {
            // The stock configuration, whatever the user's own says.
            wm.insert(wm.begin() + 1, {"--config-file", "/etc/xdg/openbox/rc.xml"});
        }
        WindowManager = Spawn(wm, {"DISPLAY=" + Display}, Dir / "openbox.log", -1);
        pollfd p{readyFd, POLLIN, 0};
        const bool started = WindowManager > 0 && poll(&p, 1, 20000) == 1;
        close(readyFd);
        if (!started) return Fail("openbox did not start (see " + (Dir / "openbox.log").string() + ")");
        return true;
    }

    void Stop() {
        for (pid_t* pid : {&WindowManager, &Xvfb}) {
            if (*pid <= 0) continue;
            kill(*pid, SIGTERM);
            waitpid(*pid, nullptr, 0);
            *pid = -1;
        }
        if (!Dir.empty() && !KeepLogs) {
            std::error_code ec;
            std::filesystem::remove_all(Dir, ec);
        }
    }

    std::string Display;  // ":N"
    std::string Error;

private:
    bool Fail(const std::string& why) {
        Error = why;
        KeepLogs = true;
        Stop();
        return false;
    }

    // Runs argv[0] from PATH with extra environment entries; its output goes
    // to `log`, and `passFd`, if any, becomes its descriptor 3.
    static pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::filesystem::path& log, int passFd) {
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid != 0) return pid;
        // The child ends with the test process, also when that one crashes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        if (passFd >= 0) dup2(passFd, 3);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }

    static std::string ReadLine(int fd, int timeoutMs) {
        std::string line;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1) return {};
            char c;
            if (read(fd, &c, 1) != 1) return {};
            if (c == '\n') return line;
            line += c;
        }
    }

    std::filesystem::path Dir;
    pid_t Xvfb = -1;
    pid_t WindowManager = -1;
    bool KeepLogs = false;
};

}  // namespace pelk::test

#pragma once
// A program run as a child process in a working directory, with its standard
// output and standard error collected.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace pelk::test {

namespace fs = std::filesystem;

class ChildProcess {
public:
    // StdOutFd, StdErrFd: descriptors to give the program as its standard
    // output or error instead of the collecting pipes (StdOut, StdErr then
    // stay empty). Env: "NAME=value" entries that replace or add to this
    // process's environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const fs::path& workDir,
                 int StdOutFd = -1, int StdErrFd = -1, const std::vector<std::string>& Env = {}) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
        posix_spawn_file_actions_adddup2(&actions, StdOutFd >= 0 ? StdOutFd : out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, StdErrFd >= 0 ? StdErrFd : err[1], 2);
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            bool replaced = false;
            for (const std::string& o : Env) replaced = replaced || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
            if (!replaced) env.push_back(entry);
        }
        env.insert(env.end(), Env.begin(), Env.end());
        std::vector<char*> cenv;
        for (std::string& e : env) cenv.push_back(e.data());
        cenv.push_back(nullptr);
        if (posix_spawn(&Pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        Out = out[0];
        Err = err[0];
    }
    ~ChildProcess() {
        if (Pid > 0 && !Exited) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Out >= 0) close(Out);
        if (Err >= 0) close(Err);
    }

    bool Running() const { return Pid > 0; }
    pid_t ProcessId() const { return Pid; }

    // The first line of standard output, without its line end.
    std::optional<std::string> ReadLine() {
        std::string line;
        for (;;) {
            pollfd p{Out, POLLIN, 0};
            if (poll(&p, 1, int(LineWait.count())) <= 0) return std::nullopt;
            char c = 0;
            if (read(Out, &c, 1) != 1) return std::nullopt;
            if (c == '\n') return line;
            line += c;
        }
    }

    void Signal(int s) { kill(Pid, s); }

    // Waits until the program has a handler of its own for signal s (its
    // start-up has got that far), as /proc tells; false after `limit`.
    bool WaitUntilCatching(int s, std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        const std::string status = "/proc/" + std::to_string(Pid) + "/status";
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream f(status);
            std::string line;
            while (std::getline(f, line))
                if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (s - 1)) & 1) return true;
            if (!f.is_open() && !f.eof()) return false;  // the program has gone
            usleep(10000);
        }
        return false;
    }

    // Waits for the exit and collects what is left on both outputs.
    int Wait() {
        int status = 0;
        waitpid(Pid, &status, 0);
        Exited = true;
        StdOut += Drain(Out);
        StdErr += Drain(Err);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // As Wait, for at most Limit: a program still running then is killed
    // (KilledAtLimit tells).
    int WaitAtMost(std::chrono::milliseconds Limit) {
        const auto deadline = std::chrono::steady_clock::now() + Limit;
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(Pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) usleep(20000);
        if (done == 0) {
            KilledAtLimit = true;
            kill(Pid, SIGKILL);
            waitpid(Pid, &status, 0);
        }
        Exited = true;
        StdOut += Drain(Out);
        StdErr += Drain(Err);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool KilledAtLimit = false;

    std::string StdOut, StdErr;
    // How long ReadLine waits for the next byte.
    std::chrono::milliseconds LineWait{10000};

private:
    static std::string Drain(int fd) {
        std::string s;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
        return s;
    }

    pid_t Pid = -1;
    int Out = -1, Err = -1;
    bool Exited = false;
};

}  // namespace pelk::test

#pragma once
// Runs pelkisp and pelkisp-target as child processes in a temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace pelk::test {

namespace fs = std::filesystem;

struct CliRun {
    int Status;
    std::string Out, Err;
};

class CliTest : public ::testing::Test {
protected:
    TempDir Folder;
    const fs::path Dir = Folder.Path();
    std::vector<std::unique_ptr<ChildProcess>> Targets;  // ended before the folder goes

    void TearDown() override { Targets.clear(); }

    // The children's per-user folders are in the test's folder, so no run
    // reads or writes the real user's files.
    std::vector<std::string> Env(std::vector<std::string> more = {}) const {
        more.push_back("HOME=" + Dir.string());
        more.push_back("XDG_CONFIG_HOME=" + (Dir / ".config").string());
        return more;
    }

    CliRun Pelkisp(const std::vector<std::string>& args) {
        ChildProcess p(PELKISP_PATH, args, Dir, -1, -1, Env());
        const int status = p.Wait();
        return {status, p.StdOut, p.StdErr};
    }

    // Starts pelkisp-target and returns the path of its pseudo-terminal.
    std::string StartTarget(std::vector<std::string> args) {
        Targets.push_back(std::make_unique<ChildProcess>(PELKISP_TARGET_PATH, args, Dir, -1, -1, Env()));
        const auto path = Targets.back()->ReadLine();
        EXPECT_TRUE(path.has_value()) << Targets.back()->StdErr;
        return path.value_or("");
    }
    // Stops the last target (it writes its flash file back) and returns its status.
    int StopTarget() {
        Targets.back()->Signal(SIGTERM);
        return Targets.back()->Wait();
    }

    // Waits until the process catches the signal, that is until pelkisp has
    // opened its port and begun the run (it sets its handlers just then).
    static bool WaitUntilCatching(pid_t pid, int signal) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            std::string key;
            while (status >> key) {
                std::string state;
                if (key == "State:" && status >> state && state == "Z") return false;  // it has ended
                if (key != "SigCgt:") continue;
                unsigned long long mask = 0;
                status >> std::hex >> mask;
                if ((mask >> (signal - 1)) & 1) return true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // The lines of a run with several ports, each board's own with its
    // "PORT: " taken off, in the order they came; `stray` gets the lines
    // that carry no port's prefix.
    static std::map<std::string, std::string> LinesByPort(const std::string& text, const std::vector<std::string>& ports,
                                                          std::string& stray) {
        std::map<std::string, std::string> lines;
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = std::min(text.find('\n', start), text.size());
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            const auto port = std::find_if(ports.begin(), ports.end(),
                                           [&](const std::string& p) { return line.starts_with(p + ": "); });
            if (port == ports.end()) stray += line + "\n";
            else lines[*port] += line.substr(port->size() + 2) + "\n";
        }
        return lines;
    }

    std::string RandomImageFile(const std::string& name, size_t size, uint32_t seed) {
        std::mt19937 rng(seed);
        std::ofstream f(Dir / name, std::ios::binary);
        for (size_t i = 0; i < size; ++i) f.put(char(rng() & 0xFF));
        return name;
    }
    std::vector<uint8_t> ReadFile(const std::string& name) {
        std::ifstream f(Dir / name, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
    }
};

}  // namespace pelk::test

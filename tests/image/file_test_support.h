#pragma once
// Helpers for tests that work on real files: the temporary folder
// (support/temp_dir.h), whole-file reads and writes, a reporter that keeps
// the messages, and running the installed file converters.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "image/file_reporter.h"
#include "support/temp_dir.h"

namespace pelk::test {

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    const std::string text = ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

struct CollectingReporter : FileReporter {
    std::vector<std::string> Messages;
    std::vector<std::string> Reasons;  // of the messages that came with one
    void Message(const std::string& text) override { Messages.push_back(text); }
    void MessageWithReason(const std::string& text, const std::string& reason) override {
        Messages.push_back(text);
        Reasons.push_back(reason);
    }
};

// Runs Call while no file of the process may grow past Limit bytes, as on
// a disk that runs full: a write past it fails (EFBIG) instead of raising
// SIGXFSZ. Gives what Call gives.
template <class F>
auto WithFileSizeLimit(rlim_t Limit, F&& Call) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = Limit;
    setrlimit(RLIMIT_FSIZE, &small);
    auto result = Call();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_DFL);
    return result;
}

// Runs a shell command line; true when it exits with status 0.
inline bool RunCommand(const std::string& command) { return std::system(command.c_str()) == 0; }

inline std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

}  // namespace pelk::test

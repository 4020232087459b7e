#pragma once
// Runs pelkisp and pelkisp-target as child processes in a temporary folder.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>

#include "support/child_process.h"

namespace pelk::test {

namespace fs = std::filesystem;

struct CliRun {
    int Status;
    std::string Out, Err;
};

class CliTest : public ::testing::Test {
protected:
    fs::path Dir;
    std::vector<std::unique_ptr<ChildProcess>> Targets;

    void SetUp() override {
        char pattern[] = "/tmp/pelk-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
    }
    void TearDown() override {
        Targets.clear();
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }

    CliRun Pelkisp(const std::vector<std::string>& args) {
        ChildProcess p(PELKISP_PATH, args, Dir);
        const int status = p.Wait();
        return {status, p.StdOut, p.StdErr};
    }

    // Starts pelkisp-target and returns the path of its pseudo-terminal.
    std::string StartTarget(std::vector<std::string> args) {
        Targets.push_back(std::make_unique<ChildProcess>(PELKISP_TARGET_PATH, args, Dir));
        const auto path = Targets.back()->ReadLine();
        EXPECT_TRUE(path.has_value()) << Targets.back()->StdErr;
        return path.value_or("");
    }
    // Stops the last target (it writes its flash file back) and returns its status.
    int StopTarget() {
        Targets.back()->Signal(SIGTERM);
        return Targets.back()->Wait();
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

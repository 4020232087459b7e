// The slow end-to-end cases: a target that never answers is given up
// after ten transmissions of 200 ticks each, about 20 seconds; the wire
// trace shows each time-out. And while one board is silent and another's
// replies are all corrupted, a third is programmed in the same run.
#include <fstream>
#include <sstream>
#include <string>

#include "cli_fixture.h"

namespace pelk {
namespace {

using test::CliRun;
using test::CliTest;

TEST_F(CliTest, SilentTargetIsNotResponding) {
    const std::string port = StartTarget({"--silent"});
    const CliRun r = Pelkisp({"--port", port, "--trace=trace.txt", "erase"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "Microcontroller is not responding.\n");
    std::stringstream trace;
    trace << std::ifstream(Dir / "trace.txt").rdbuf();
    const std::string t = trace.str();
    for (int k = 1; k <= 10; ++k) {
        const std::string timeout = "! no reply in 2.00 s to transmission " + std::to_string(k) + " of 10";
        EXPECT_NE(t.find(k < 10 ? timeout + "\n" : timeout + "; giving up\n"), std::string::npos) << timeout << "\n" << t;
        if (k > 1) {
            EXPECT_NE(t.find("again, transmission " + std::to_string(k) + " of 10, after the time-out"), std::string::npos)
                << k;
        }
    }
    EXPECT_NE(t.find("-- Microcontroller is not responding."), std::string::npos) << t;
}

TEST_F(CliTest, ASilentAndACorruptingBoardDoNotKeepTheThirdFromSucceeding) {
    const std::string image = RandomImageFile("image.bin", 0x10000, 22);
    const std::string silent = StartTarget({"--silent"});
    const std::string corrupting = StartTarget({"--corrupt-every", "1"});
    const std::string good = StartTarget({"--flash", "good.bin"});
    const CliRun r = Pelkisp({"-p", silent, "-p", corrupting, "-p", good, "-b", "115200", "program", image});
    EXPECT_EQ(r.Status, 1) << r.Err;
    std::string stray;
    auto out = LinesByPort(r.Out, {silent, corrupting, good}, stray);
    EXPECT_EQ(stray, "") << "a line without its port";
    EXPECT_EQ(out[silent], "Microcontroller is not responding.\n");
    EXPECT_EQ(out[corrupting], "Microcontroller is not responding.\n");
    EXPECT_EQ(out[good], "Device erased.\nDevice programmed.\nVerification OK.\n");
    EXPECT_NE(r.Err.find(silent + ": failed in "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(corrupting + ": failed in "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(good + ": succeeded in "), std::string::npos) << r.Err;
    EXPECT_EQ(StopTarget(), 0);
    EXPECT_EQ(ReadFile("good.bin"), ReadFile(image));
}

}  // namespace
}  // namespace pelk

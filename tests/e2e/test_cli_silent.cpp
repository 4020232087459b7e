// The slow end-to-end cases: a target that never answers is given up
// after ten transmissions of 200 ticks each, about 20 seconds; the wire
// trace shows each time-out. And while one board is silent and another's
// replies are all corrupted, a third is programmed in the same run.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
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
    EXPECT_EQ(out[corrupting],
              "Microcontroller is not responding. Replies from the microcontroller are corrupt (bad checksum).\n");
    EXPECT_EQ(out[good], "Device erased.\nDevice programmed.\nVerification OK.\n");
    EXPECT_NE(r.Err.find(silent + ": failed in "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(corrupting + ": failed in "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(good + ": succeeded in "), std::string::npos) << r.Err;

    // -q: nothing on standard output, and one line for each board that
    // failed, none for the one that succeeded.
    const CliRun quiet = Pelkisp({"-q", "-p", corrupting, "-p", good, "-b", "115200", "verify", image});
    EXPECT_EQ(quiet.Status, 1) << quiet.Err;
    EXPECT_EQ(quiet.Out, "");
    EXPECT_TRUE(quiet.Err.starts_with(corrupting + ": failed in ")) << quiet.Err;
    EXPECT_TRUE(quiet.Err.ends_with(" s: Microcontroller is not responding. Replies from the microcontroller are "
                                    "corrupt (bad checksum).\n"))
        << quiet.Err;
    EXPECT_EQ(std::count(quiet.Err.begin(), quiet.Err.end(), '\n'), 1) << quiet.Err;

    EXPECT_EQ(StopTarget(), 0);
    EXPECT_EQ(ReadFile("good.bin"), ReadFile(image));
}

// A reply to an earlier copy of a frame never confirms the next block. A
// chip whose last block differs fails to verify: at 600 bit/s (a frame
// takes 2.3 s on that line), with the target held up once past the
// time-out, and with noise delaying every reply past it. A good chip
// still verifies at 600 bit/s, slowly.
TEST_F(CliTest, LateRepliesNeverConfirmTheNextBlock) {
    const std::string firmware = RandomImageFile("fw.bin", 256, 19);  // two blocks of data
    struct {
        std::vector<std::string> target;
        const char* baud;
        bool lastBlockDiffers;
    } cases[] = {
        {{"--pace", "600"}, "600", true},
        {{"--stall", "1:2500"}, "115200", true},
        {{"--pace", "19200", "--noise", "4096"}, "19200", true},
        {{"--pace", "600"}, "600", false},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> chip = ReadFile(firmware);
        if (c.lastBlockDiffers) chip[200] ^= 0x01;
        std::ofstream(Dir / "chip.bin", std::ios::binary).write(reinterpret_cast<const char*>(chip.data()), 256);
        std::vector<std::string> args{"--flash", "chip.bin"};
        args.insert(args.end(), c.target.begin(), c.target.end());
        SCOPED_TRACE(args.back() + " at " + c.baud);
        const std::string port = StartTarget(args);
        const CliRun r = Pelkisp({"-p", port, "-b", c.baud, "verify", firmware});
        EXPECT_EQ(r.Status, c.lastBlockDiffers ? 1 : 0) << r.Err;
        EXPECT_EQ(r.Out, c.lastBlockDiffers ? "Verification error.\n" : "Verification OK.\n");
        EXPECT_EQ(StopTarget(), 0);
    }
}

// Every copy of a frame counts: a target whose every reply is corrupt, or
// that answers with random bytes, gets the frame ten times at most, and the run
// ends at once saying why, long before the twenty seconds of time-outs.
TEST_F(CliTest, CorruptOrRandomRepliesGetTenFramesAndNoMore) {
    for (const std::vector<std::string>& fault : {std::vector<std::string>{"--corrupt-every", "1"},
                                                  std::vector<std::string>{"--garble", "4096"}}) {
        SCOPED_TRACE(fault[0]);
        const std::string port = StartTarget(fault);
        const auto began = std::chrono::steady_clock::now();
        const CliRun r = Pelkisp({"-p", port, "-b", "115200", "erase"});
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(25));
        EXPECT_EQ(r.Status, 1) << r.Err;
        EXPECT_EQ(r.Out, "Microcontroller is not responding. Replies from the microcontroller are corrupt (bad checksum).\n");
        EXPECT_EQ(StopTarget(), 0);
        // Copies still in the line when the port closes may never reach it.
        std::smatch erase;
        const std::string said = Targets.back()->StdErr;
        ASSERT_TRUE(std::regex_search(said, erase, std::regex("erase ([0-9]+),"))) << said;
        EXPECT_LE(std::stoi(erase[1]), 10) << said;
        if (fault[0] == "--corrupt-every") {
            EXPECT_EQ(std::stoi(erase[1]), 10) << said;
        }
    }
}

}  // namespace
}  // namespace pelk

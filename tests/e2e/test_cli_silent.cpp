// The one slow end-to-end case: a target that never answers is given up
// after ten transmissions of 200 ticks each, about 20 seconds; the wire
// trace shows each time-out.
#include <fstream>
#include <sstream>

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

}  // namespace
}  // namespace pelk

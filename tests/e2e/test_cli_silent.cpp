// The one slow end-to-end case: a target that never answers is given up
// after ten transmissions of 200 ticks each, about 20 seconds.
#include "cli_fixture.h"

namespace pelk {
namespace {

using test::CliRun;
using test::CliTest;

TEST_F(CliTest, SilentTargetIsNotResponding) {
    const std::string port = StartTarget({"--silent"});
    const CliRun r = Pelkisp({"--port", port, "erase"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "Microcontroller is not responding.\n");
}

}  // namespace
}  // namespace pelk

#include <gtest/gtest.h>

#include "sim/target_options.h"

namespace pelk {
namespace {

using Args = std::vector<std::string>;

TEST(TargetCommandLine, DefaultsAreAQuietW78E516B) {
    std::string error;
    const auto line = ParseTargetCommandLine({}, error);
    ASSERT_TRUE(line) << error;
    EXPECT_EQ(line->DeviceIndex, 1);
    EXPECT_EQ(line->Options.LastAddress, 0xFFFFu);
    EXPECT_TRUE(line->Options.FlashFile.empty());
    EXPECT_TRUE(line->Link.empty());
    EXPECT_FALSE(line->Help);
    const SimulatedTargetFaults& f = line->Options.Faults;
    EXPECT_FALSE(f.Silent);
    EXPECT_FALSE(f.SplitReplies);
    EXPECT_EQ(f.CorruptEvery + f.NoiseBytes + f.PaceBaud + f.DamageAfterPrograms, 0u);
}

TEST(TargetCommandLine, DevicesByNameInAnyCaseOrByNumber) {
    const struct {
        const char* name;
        uint8_t index;
        uint32_t last;
    } cases[] = {
        {"W78E516B", 1, 0xFFFF}, {"w78le516", 2, 0xFFFF}, {"W78e58b", 3, 0x7FFF}, {"w78le58", 4, 0x7FFF},
        {"W78E858", 5, 0x7FFF},  {"w77e532", 6, 0x1FFFF}, {"3", 3, 0x7FFF},       {"6", 6, 0x1FFFF},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto line = ParseTargetCommandLine({"--device", c.name}, error);
        ASSERT_TRUE(line) << c.name << ": " << error;
        EXPECT_EQ(line->DeviceIndex, c.index) << c.name;
        EXPECT_EQ(line->Options.LastAddress, c.last) << c.name;
    }
}

TEST(TargetCommandLine, EveryOptionReachesItsField) {
    std::string error;
    const auto line = ParseTargetCommandLine({"--device=w77e532", "--flash", "chip.bin", "--link", "com2", "--silent",
                                              "--corrupt-every", "5", "--noise=12", "--split", "7", "--pace", "9600",
                                              "--damage-after", "3"},
                                             error);
    ASSERT_TRUE(line) << error;
    EXPECT_EQ(line->Options.LastAddress, 0x1FFFFu);
    EXPECT_EQ(line->Options.FlashFile, "chip.bin");
    EXPECT_EQ(line->Link, "COM2");
    const SimulatedTargetFaults& f = line->Options.Faults;
    EXPECT_TRUE(f.Silent);
    EXPECT_EQ(f.CorruptEvery, 5u);
    EXPECT_EQ(f.NoiseBytes, 12u);
    EXPECT_TRUE(f.SplitReplies);
    EXPECT_EQ(f.SplitPause, std::chrono::milliseconds(7));
    EXPECT_EQ(f.PaceBaud, 9600u);
    EXPECT_EQ(f.DamageAfterPrograms, 3u);
}

TEST(TargetCommandLine, SplitWithoutPauseStillSplits) {
    std::string error;
    const auto line = ParseTargetCommandLine({"--split", "0"}, error);
    ASSERT_TRUE(line) << error;
    EXPECT_TRUE(line->Options.Faults.SplitReplies);
    EXPECT_EQ(line->Options.Faults.SplitPause.count(), 0);
}

TEST(TargetCommandLine, HelpInEitherSpelling) {
    for (const char* h : {"--help", "-h"}) {
        std::string error;
        const auto line = ParseTargetCommandLine({"--silent", h}, error);
        ASSERT_TRUE(line) << h;
        EXPECT_TRUE(line->Help);
    }
    const std::string usage = TargetUsage();
    for (const char* option : {"--device", "--flash", "--link", "--silent", "--corrupt-every", "--noise", "--split",
                               "--pace", "--damage-after", "Exit status"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

TEST(TargetCommandLine, UsageErrorsAreExplained) {
    const struct {
        Args args;
        const char* message;  // part of the explanation
    } cases[] = {
        {{"--device", "W78E999"}, "unknown device \"W78E999\""},
        {{"--device", "0"}, "unknown device"},
        {{"--device", "7"}, "unknown device"},
        {{"--device"}, "option --device needs a value"},
        {{"--flash"}, "needs a value"},
        {{"--flash="}, "needs a file name"},
        {{"--link", "COM5"}, "COM1, COM2, COM3 or COM4"},
        {{"--link", "COM"}, "COM1, COM2, COM3 or COM4"},
        {{"--link", "/dev/ttyS0"}, "COM1, COM2, COM3 or COM4"},
        {{"--link", "CPM1"}, "COM1, COM2, COM3 or COM4"},
        {{"--corrupt-every", "0"}, "from 1 to"},
        {{"--corrupt-every", "2x"}, "not \"2x\""},
        {{"--noise", "-1"}, "from 1 to 4096"},
        {{"--noise", "5000"}, "from 1 to 4096"},
        {{"--split", "10001"}, "from 0 to 10000"},
        {{"--split"}, "needs a value"},
        {{"--pace", "49"}, "from 50 to 4000000"},
        {{"--pace", ""}, "not \"\""},
        {{"--damage-after", "0"}, "from 1"},
        {{"--silent=yes"}, "option --silent takes no value"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"program"}, "unexpected argument program"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseTargetCommandLine(c.args, error)) << c.message;
        EXPECT_NE(error.find(c.message), std::string::npos) << "got: " << error;
    }
}

}  // namespace
}  // namespace pelk

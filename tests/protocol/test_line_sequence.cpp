// Reset-line sequences: the written form and the runner, on a recording
// stand-in of the lines and a fake clock.
#include <gtest/gtest.h>

#include "protocol/line_sequence.h"
#include "support/recording_lines.h"

namespace pelk {
namespace {

using test::RecordingLines;
using Change = RecordingLines::Change;

struct ParseCase {
    const char* Text;
    const char* Written;  // the sequence's written form when valid
    const char* Error;    // the error when not
};

const ParseCase ParseCases[] = {
    {"dtr,rts,50ms,-dtr,200ms", "dtr,rts,50ms,-dtr,200ms", ""},
    {" DTR , -Rts ,\t50 MS,-rTs,10000ms ", "dtr,-rts,50ms,-rts,10000ms", ""},
    {"1ms", "1ms", ""},
    {"050ms", "50ms", ""},
    {"", "", "no steps; write a comma list such as dtr,rts,50ms,-dtr,200ms"},
    {"  ", "", "no steps; write a comma list such as dtr,rts,50ms,-dtr,200ms"},
    {"dtr,,rts", "", "step 2 is empty"},
    {"dtr,", "", "step 2 is empty"},
    {"dtx", "", "step 1 \"dtx\" is not dtr, -dtr, rts, -rts or a wait such as 50ms"},
    {"dtr, +rts", "", "step 2 \"+rts\" is not dtr, -dtr, rts, -rts or a wait such as 50ms"},
    {"d tr", "", "step 1 \"d tr\" is not dtr, -dtr, rts, -rts or a wait such as 50ms"},
    {"50", "", "step 1 \"50\" is not dtr, -dtr, rts, -rts or a wait such as 50ms"},
    {"rts,2s", "", "step 2 \"2s\" is not dtr, -dtr, rts, -rts or a wait such as 50ms"},
    {"ms", "", "step 1 \"ms\" is not dtr, -dtr, rts, -rts or a wait such as 50ms"},
    {"dtr,0ms", "", "step 2 \"0ms\": a wait is 1 to 10000 ms"},
    {"10001ms", "", "step 1 \"10001ms\": a wait is 1 to 10000 ms"},
    {"99999999999999999999999ms", "", "step 1 \"99999999999999999999999m...\": a wait is 1 to 10000 ms"},
};

TEST(LineSequenceParse, Table) {
    for (const ParseCase& c : ParseCases) {
        const ParsedLineSequence p = ParseLineSequence(c.Text);
        EXPECT_EQ(p.Error, c.Error) << '"' << c.Text << '"';
        EXPECT_EQ(p.Sequence.Text(), c.Written) << '"' << c.Text << '"';
    }
}

TEST(LineSequenceParse, StepsAndTheirCount) {
    const ParsedLineSequence p = ParseLineSequence("dtr,-dtr,rts,-rts,7ms");
    ASSERT_TRUE(p.Ok());
    EXPECT_EQ(p.Sequence.Steps, (std::vector<LineStep>{{LineAction::SetDtr},
                                                      {LineAction::ClearDtr},
                                                      {LineAction::SetRts},
                                                      {LineAction::ClearRts},
                                                      {LineAction::Wait, 7}}));
    EXPECT_TRUE(p.Sequence.UsesLines());
    EXPECT_FALSE(ParseLineSequence("5ms,5ms").Sequence.UsesLines());

    std::string text = "dtr";
    for (size_t i = 1; i < MostLineSteps; ++i) text += ",1ms";
    EXPECT_TRUE(ParseLineSequence(text).Ok());
    EXPECT_EQ(ParseLineSequence(text + ",-dtr").Error, "more than 64 steps");
}

class LineRunnerTest : public ::testing::Test {
protected:
    int64_t Now = 1000;
    RecordingLines Lines;
    LineSequenceRunner Runner;

    LineRunnerTest() { Lines.Clock = [this] { return Now; }; }
    std::optional<int64_t> Start(const char* text) {
        const ParsedLineSequence p = ParseLineSequence(text);
        EXPECT_TRUE(p.Ok()) << p.Error;
        return Runner.Start(p.Sequence, Lines, Now);
    }
    std::optional<int64_t> At(int64_t t) {
        Now = t;
        return Runner.Advance(Now);
    }
};

TEST_F(LineRunnerTest, StepsGoOutInOrderAndEachWaitHoldsItsTime) {
    EXPECT_EQ(Start("dtr,rts,50ms,-dtr,200ms"), 1050);
    EXPECT_EQ(Lines.Changes, (std::vector<Change>{{"dtr", 1000}, {"rts", 1000}}));
    EXPECT_TRUE(Runner.Running());
    EXPECT_EQ(At(1049), 1050) << "a timer that fires early changes nothing";
    EXPECT_EQ(Lines.Changes.size(), 2u);
    EXPECT_EQ(At(1050), 1250);
    EXPECT_EQ(Lines.Changes.back(), (Change{"-dtr", 1050}));
    EXPECT_EQ(At(1250), std::nullopt);
    EXPECT_TRUE(Runner.Done());
    EXPECT_FALSE(Runner.Failed());
    EXPECT_FALSE(Runner.Running());
    EXPECT_EQ(At(2000), std::nullopt);
    EXPECT_EQ(Lines.Changes.size(), 3u);
}

TEST_F(LineRunnerTest, ALateTimerMakesTheNextWaitCountFromTheLateStep) {
    EXPECT_EQ(Start("dtr,50ms,-dtr,100ms,rts"), 1050);
    EXPECT_EQ(At(1080), 1180) << "the reset is released late: the loader still gets its 100 ms";
    EXPECT_EQ(At(1180), std::nullopt);
    EXPECT_EQ(Lines.Changes, (std::vector<Change>{{"dtr", 1000}, {"-dtr", 1080}, {"rts", 1180}}));
    // Two waits in a row add up.
    EXPECT_EQ(Start("5ms,7ms"), 1185);
    EXPECT_EQ(At(1185), 1192);
    EXPECT_EQ(At(1192), std::nullopt);
    EXPECT_TRUE(Runner.Done());
}

TEST_F(LineRunnerTest, WithoutWaitsTheSequenceEndsInStart) {
    EXPECT_EQ(Start("dtr,-dtr"), std::nullopt);
    EXPECT_TRUE(Runner.Done());
    EXPECT_EQ(Lines.Changes, (std::vector<Change>{{"dtr", 1000}, {"-dtr", 1000}}));
}

TEST_F(LineRunnerTest, AStepThatRaisesEndsTheSequenceWithItsText) {
    Lines.FailAt = 2;
    EXPECT_EQ(Start("dtr,rts,50ms,-dtr"), std::nullopt);
    EXPECT_TRUE(Runner.Failed());
    EXPECT_FALSE(Runner.Done());
    EXPECT_EQ(Runner.Error(), "line rts failed");
    EXPECT_EQ(At(1100), std::nullopt);
    EXPECT_EQ(Lines.Changes, (std::vector<Change>{{"dtr", 1000}}));
    // The next start begins clean.
    Lines.FailAt = 0;
    EXPECT_EQ(Start("rts"), std::nullopt);
    EXPECT_TRUE(Runner.Done());
    EXPECT_EQ(Runner.Error(), "");
}

TEST_F(LineRunnerTest, CancelAndRestartDropTheRunningSequence) {
    EXPECT_EQ(Start("dtr,50ms,-dtr"), 1050);
    Runner.Cancel();
    EXPECT_EQ(At(1050), std::nullopt);
    EXPECT_FALSE(Runner.Done());
    EXPECT_FALSE(Runner.Failed());
    EXPECT_EQ(Start("rts,30ms,-rts"), 1080);
    EXPECT_EQ(Start("dtr,10ms,-dtr"), 1060) << "a new start replaces a waiting one";
    EXPECT_EQ(At(1080), std::nullopt);
    EXPECT_EQ(Lines.Changes, (std::vector<Change>{{"dtr", 1000}, {"rts", 1050}, {"dtr", 1050}, {"-dtr", 1080}}));
}

TEST_F(LineRunnerTest, RunnersOfSeveralPortsShareOneThreadAndClock) {
    RecordingLines other;
    other.Clock = Lines.Clock;
    LineSequenceRunner second;
    EXPECT_EQ(Start("dtr,30ms,-dtr"), 1030);
    EXPECT_EQ(second.Start(ParseLineSequence("rts,10ms,-rts,10ms,rts").Sequence, other, Now), 1010);
    // The host's loop: whichever deadline comes first.
    EXPECT_EQ(second.Advance(Now = 1010), 1020);
    EXPECT_EQ(second.Advance(Now = 1020), std::nullopt);
    EXPECT_EQ(At(1030), std::nullopt);
    EXPECT_EQ(other.Changes, (std::vector<Change>{{"rts", 1000}, {"-rts", 1010}, {"rts", 1020}}));
    EXPECT_EQ(Lines.Changes, (std::vector<Change>{{"dtr", 1000}, {"-dtr", 1030}}));
}

}  // namespace
}  // namespace pelk

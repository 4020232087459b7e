// The one programming run of the window and pelkisp, against a recording
// port, recording lines and a host with fake time.
#include <gtest/gtest.h>

#include "support/recording_lines.h"
#include "support/recording_port.h"
#include "protocol/programming_run.h"

namespace pelk {
namespace {

class FakeHost final : public ProgrammingRunHost {
public:
    Millis Time = 0;
    bool Ticking = false;
    std::optional<Millis> Wake;
    std::vector<std::string> Said;  // messages and what the run reported
    std::optional<RunOutcome> Ended;

    Millis Now() override { return Time; }
    void TicksNeeded(bool needed) override { Ticking = needed; }
    void WakeAt(Millis when) override { Wake = when; }
    void CancelWake() override { Wake.reset(); }
    void ShowMessage(const std::string& text) override { Said.push_back(text); }
    void SetProgress(int) override {}
    void RunEnded(RunOutcome outcome) override { Ended = outcome; }
};

// While "before" or "after" runs, the target may answer anything (a reply
// asking for the frame again, one with a bad checksum): nothing goes out,
// and the step starts only when "before" has ended.
TEST(ProgrammingRunTest, NothingIsSentWhileASequenceRunsWhateverTheTargetSends) {
    MemoryImage image;
    test::RecordingPort port;
    test::RecordingLines lines;
    FakeHost host;
    lines.Clock = [&] { return host.Time; };
    ProgrammingRun run(image, port, lines, host);
    run.SetSequences(ParseLineSequence("dtr,50ms,-dtr,100ms").Sequence, ParseLineSequence("rts,30ms,-rts").Sequence);
    auto answer = [&] {
        port.Feed(MakeReplyFrame(ReplySendAgain));
        port.Feed({0x55, 0x04, 0x01, 0xA8, 0x0E});  // a bad checksum
        run.Received();
    };
    // Runs the host's timers up to `until`, the target answering on every tick.
    auto runUntil = [&](ProgrammingRunHost::Millis until) {
        while (host.Time < until) {
            host.Time += TickMs;
            if (host.Wake && host.Time >= *host.Wake) run.Wake();
            answer();
            if (host.Ticking) run.Tick();
        }
    };

    run.Begin({{&OperationEngine::StartErase, msg::DeviceErased}});
    EXPECT_EQ(run.CurrentPhase(), ProgrammingRun::Phase::Before);
    answer();
    runUntil(140);
    EXPECT_TRUE(port.Writes.empty()) << "something went out while \"before\" ran";
    runUntil(160);
    ASSERT_EQ(run.CurrentPhase(), ProgrammingRun::Phase::Steps);
    ASSERT_FALSE(port.Writes.empty());
    EXPECT_EQ(port.Writes.front().Bytes, std::vector<uint8_t>(LinkPreamble.begin(), LinkPreamble.end()));

    // The target answers Erase with "done": "after" runs, and what the
    // target sends then is dropped as well.
    port.Writes.clear();
    port.Input.clear();
    host.Time += StartDelayTicks * TickMs;
    for (int i = 0; i < StartDelayTicks; ++i) run.Tick();
    port.Feed(MakeReplyFrame(ReplyDone));
    run.Received();
    ASSERT_EQ(run.CurrentPhase(), ProgrammingRun::Phase::After);
    const size_t sent = port.Writes.size();
    runUntil(host.Time + 100);
    EXPECT_EQ(port.Writes.size(), sent) << "something went out while \"after\" ran";
    EXPECT_EQ(host.Ended, RunOutcome::Succeeded);
    EXPECT_EQ(lines.Changes, (std::vector<test::RecordingLines::Change>{
                                 {"dtr", 0}, {"-dtr", 50}, {"rts", lines.Changes[2].At}, {"-rts", lines.Changes[2].At + 30}}));
}

}  // namespace
}  // namespace pelk

// The simulated target over a real pseudo-terminal: a client opens the slave
// side by its path and talks the link protocol to it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>

#include <memory>
#include <numeric>
#include <set>
#include <thread>

#include "pty_client.h"
#include "sim/simulated_target.h"

namespace pelk {
namespace {

using namespace pelk::test;
using Clock = std::chrono::steady_clock;

class SimulatedTargetTest : public ::testing::Test {
protected:
    std::unique_ptr<SimulatedTarget> Target;
    std::unique_ptr<PtyClient> Client;

    void StartTarget(SimulatedTargetOptions options = {}) {
        Target = std::make_unique<SimulatedTarget>(std::move(options));
        Target->Start();
        Client = std::make_unique<PtyClient>(Target->PortPath());
        ASSERT_TRUE(Client->IsOpen()) << Target->PortPath();
    }
    static SimulatedTargetOptions WithFaults(SimulatedTargetFaults faults) {
        SimulatedTargetOptions o;
        o.Faults = faults;
        return o;
    }
    static Bytes Counting() {
        Bytes b(BlockSize);
        std::iota(b.begin(), b.end(), uint8_t(0));
        return b;
    }
};

// ---- Serving ---------------------------------------------------------------

TEST_F(SimulatedTargetTest, AnswersFramesSentThroughTheSlaveSide) {
    StartTarget();
    EXPECT_EQ(Target->PortPath().rfind("/dev/pts/", 0), 0u) << Target->PortPath();
    const Bytes data = Counting();
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdBlankCheck, 0)), ReplyBlank);
    EXPECT_EQ(Client->Exchange(BlockFrame(CmdProgram, 0x100, data.data())), ReplyDone);
    EXPECT_EQ(Client->Exchange(BlockFrame(CmdVerify, 0x100, data.data()), false), ReplyDone);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdBlankCheck, 0)), ReplyNotBlank);
    const Bytes flash = Target->Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x100));
    EXPECT_EQ(Target->Status().Loader.Frames, 4u);
}

TEST_F(SimulatedTargetTest, AnswersEveryByteValueUntranslated) {
    // The target puts the slave side in raw mode itself: carriage returns, line
    // feeds, XON/XOFF and the erase and interrupt characters all reach the
    // loader as they were sent, also from a client that sets nothing.
    Target = std::make_unique<SimulatedTarget>(SimulatedTargetOptions{});
    Target->Start();
    Client = std::make_unique<PtyClient>(Target->PortPath(), true);
    ASSERT_TRUE(Client->IsOpen());
    termios t{};
    ASSERT_EQ(tcgetattr(Client->Descriptor(), &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    Bytes data(BlockSize);
    for (size_t i = 0; i < BlockSize; ++i) data[i] = uint8_t(i * 2);  // 0x00, 0x02, ... 0xFE
    const uint8_t controls[] = {0x03, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x7F};
    std::copy(std::begin(controls), std::end(controls), data.begin());
    EXPECT_EQ(Client->Exchange(BlockFrame(CmdProgram, 0, data.data())), ReplyDone);
    const Bytes flash = Target->Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    // Replies holding such bytes come back untranslated too.
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdErase, 0)), ReplyDone);
    Target->WriteFlash(0x0D0A, Bytes{0x00});
    ASSERT_TRUE(Client->Write(WithPreamble(CommandFrame(CmdBlankCheck, 0))));
    EXPECT_EQ(Client->Read(8), MakeReplyFrame(ReplyNotBlank, 0x0D0A));
}

TEST_F(SimulatedTargetTest, FramesWrittenTogetherAreAnsweredInOrder) {
    StartTarget();
    Bytes burst = WithPreamble(CommandFrame(CmdErase, 0));
    for (const Bytes& f : {CommandFrame(CmdProgram, 0, uint8_t(0x00)), CommandFrame(CmdVerify, 0, 0x01),
                           CommandFrame(CmdBlankCheck, 0)})
        burst.insert(burst.end(), f.begin(), f.end());
    ASSERT_TRUE(Client->Write(burst));
    for (uint8_t code : {ReplyDone, ReplyDone, ReplyVerifyError, ReplyNotBlank}) {
        const auto r = Client->ReadReply();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->Code(), code);
        EXPECT_TRUE(r->ChecksumOk());
    }
}

TEST_F(SimulatedTargetTest, EachDeviceSizeEndsAtItsLastBlock) {
    for (uint32_t last : {0x7FFFu, 0xFFFFu, 0x1FFFFu}) {
        SimulatedTargetOptions o;
        o.LastAddress = last;
        StartTarget(o);
        EXPECT_EQ(Target->Flash().size(), size_t(last) + 1);
        EXPECT_EQ(Client->Exchange(CommandFrame(CmdProgram, last - 127, 0x5A)), ReplyDone) << last;
        EXPECT_EQ(Client->Exchange(CommandFrame(CmdProgram, last + 1, 0x5A)), ReplyAddressOutOfRange) << last;
    }
}

TEST_F(SimulatedTargetTest, WriteFlashIsSeenByTheLoader) {
    StartTarget();
    const uint8_t bytes[] = {0x12, 0x34};
    Target->WriteFlash(0x4321, bytes);
    const auto r = Client->Ask(CommandFrame(CmdBlankCheck, 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Code(), ReplyNotBlank);
    EXPECT_EQ(r->Receiver.ReportedAddress(), 0x4321u);
    EXPECT_THROW(Target->WriteFlash(0xFFFF, bytes), SimulatedTargetError);
}

// ---- Framing after a pause -------------------------------------------------

TEST_F(SimulatedTargetTest, HalfFrameIsForgottenAfterAPause) {
    SimulatedTargetOptions o;
    o.FrameGap = 20ms;
    StartTarget(o);
    const Bytes frame = CommandFrame(CmdErase, 0);
    ASSERT_TRUE(Client->Write(Bytes(frame.begin(), frame.begin() + 70)));
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(Client->Exchange(frame), ReplyDone);
    ASSERT_TRUE(Target->WaitForFramesServed(1, ReplyWait));
    EXPECT_EQ(Target->Status().FramingResets, 1u);
    EXPECT_EQ(Target->Status().Loader.Frames, 1u) << "the half frame never became a frame";
    EXPECT_FALSE(Client->HasInput());
}

TEST_F(SimulatedTargetTest, FrameWithAShortPauseIsKept) {
    SimulatedTargetOptions o;
    o.FrameGap = 5s;
    StartTarget(o);
    const Bytes frame = WithPreamble(CommandFrame(CmdErase, 0));
    ASSERT_TRUE(Client->Write(Bytes(frame.begin(), frame.begin() + 70)));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(Client->Write(Bytes(frame.begin() + 70, frame.end())));
    const auto r = Client->ReadReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Code(), ReplyDone);
    EXPECT_EQ(Target->Status().FramingResets, 0u);
}

// ---- Faults ----------------------------------------------------------------

TEST_F(SimulatedTargetTest, SilentTargetHandlesFramesButNeverAnswers) {
    StartTarget(WithFaults({.Silent = true}));
    Target->WriteFlash(0, Bytes(16, 0x00));
    ASSERT_TRUE(Client->Write(WithPreamble(CommandFrame(CmdErase, 0))));
    ASSERT_TRUE(Target->WaitForFramesServed(1, ReplyWait));
    EXPECT_FALSE(Client->HasInput());
    EXPECT_EQ(Target->Flash()[0], 0xFF) << "the erase was carried out";
    const SimulatedTargetStatus s = Target->Status();
    EXPECT_EQ(s.RepliesWithheld, 1u);
    EXPECT_EQ(s.RepliesSent, 0u);
}

TEST_F(SimulatedTargetTest, EveryNthReplyHasAWrongChecksum) {
    StartTarget(WithFaults({.CorruptEvery = 3}));
    for (int k = 1; k <= 7; ++k) {
        const auto r = Client->Ask(CommandFrame(CmdErase, 0));
        ASSERT_TRUE(r) << k;
        EXPECT_EQ(r->Code(), ReplyDone) << k;
        EXPECT_EQ(r->ChecksumOk(), k % 3 != 0) << "reply " << k;
    }
    EXPECT_EQ(Target->Status().RepliesCorrupted, 2u);
}

TEST_F(SimulatedTargetTest, NoiseComesAheadOfEveryReply) {
    StartTarget(WithFaults({.NoiseBytes = 40}));
    const Bytes expected = MakeReplyFrame(ReplyDone);
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(Client->Write(WithPreamble(CommandFrame(CmdErase, 0))));
        const Bytes got = Client->Read(40 + expected.size());
        ASSERT_EQ(got.size(), 40 + expected.size());
        EXPECT_EQ(std::count(got.begin(), got.begin() + 40, ReplySync), 0);
        EXPECT_GT(std::set<uint8_t>(got.begin(), got.begin() + 40).size(), 10u) << "noise, not one repeated byte";
        EXPECT_EQ(Bytes(got.begin() + 40, got.end()), expected);
    }
}

TEST_F(SimulatedTargetTest, SplitRepliesComeOneByteAtATimeWithPauses) {
    const auto pause = 15ms;
    StartTarget(WithFaults({.SplitReplies = true, .SplitPause = pause}));
    const Bytes expected = MakeReplyFrame(ReplyNotBlank, 0x123);
    Target->WriteFlash(0x123, Bytes{0x00});
    const auto start = Clock::now();
    ASSERT_TRUE(Client->Write(WithPreamble(CommandFrame(CmdBlankCheck, 0))));
    Bytes got;
    std::vector<Clock::duration> arrivals;
    while (got.size() < expected.size()) {
        const auto b = Client->ReadByte();
        ASSERT_TRUE(b);
        got.push_back(*b);
        arrivals.push_back(Clock::now() - start);
    }
    EXPECT_EQ(got, expected);
    // The pauses are a lower bound: a byte can come later, never sooner.
    for (size_t k = 1; k < arrivals.size(); ++k) EXPECT_GE(arrivals[k], pause * k) << "byte " << k;
}

TEST_F(SimulatedTargetTest, PacingTakesAtLeastTheLineTime) {
    const uint32_t baud = 38400;
    StartTarget(WithFaults({.PaceBaud = baud}));
    const Bytes sent = WithPreamble(CommandFrame(CmdErase, 0));
    const auto start = Clock::now();
    ASSERT_EQ(Client->Exchange(CommandFrame(CmdErase, 0)), ReplyDone);
    const auto elapsed = Clock::now() - start;
    const size_t bytes = sent.size() + MakeReplyFrame(ReplyDone).size();
    const auto lineTime = std::chrono::microseconds(bytes * 10 * 1'000'000 / baud);
    EXPECT_GE(elapsed, lineTime) << bytes << " bytes at " << baud << " bit/s";
}

TEST_F(SimulatedTargetTest, FlashByteChangesAfterTheNthProgramFrame) {
    StartTarget(WithFaults({.DamageAfterPrograms = 2}));
    for (uint32_t a : {0x000u, 0x080u, 0x100u})
        ASSERT_EQ(Client->Exchange(CommandFrame(CmdProgram, a, 0x3C), a == 0), ReplyDone) << a;
    const Bytes flash = Target->Flash();
    EXPECT_EQ(flash[0x080], 0xC3) << "first byte of the second block inverted";
    EXPECT_EQ(flash[0x081], 0x3C);
    EXPECT_EQ(flash[0x000], 0x3C);
    EXPECT_EQ(flash[0x100], 0x3C);
    EXPECT_TRUE(Target->Status().FlashDamaged);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdVerify, 0x000, 0x3C)), ReplyDone);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdVerify, 0x080, 0x3C)), ReplyVerifyError);
}

TEST_F(SimulatedTargetTest, FaultsCombine) {
    StartTarget(WithFaults({.CorruptEvery = 2, .NoiseBytes = 3, .SplitReplies = true, .SplitPause = 1ms,
                            .PaceBaud = 115200}));
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdErase, 0)), ReplyDone);
    const Bytes frame = WithPreamble(CommandFrame(CmdErase, 0));
    ASSERT_TRUE(Client->Write(frame));
    const auto r = Client->ReadReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Skipped, 3u);
    EXPECT_FALSE(r->ChecksumOk());
}

// ---- Life cycle ------------------------------------------------------------

TEST_F(SimulatedTargetTest, ClientMayCloseAndReopenTheSlave) {
    StartTarget();
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdProgram, 0, 0x11)), ReplyDone);
    Client->Close();
    for (int round = 0; round < 3; ++round) {
        PtyClient again(Target->PortPath());
        ASSERT_TRUE(again.IsOpen()) << round;
        EXPECT_EQ(again.Exchange(CommandFrame(CmdVerify, 0, 0x11)), ReplyDone) << round;
    }
    EXPECT_TRUE(Target->Status().Serving);
}

TEST_F(SimulatedTargetTest, IdleTargetDoesNotWakeUp) {
    // Neither a connected client, nor one that has gone away, nor a half frame
    // that has been forgotten keeps the serving thread busy.
    StartTarget();
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdErase, 0)), ReplyDone);
    const Bytes frame = CommandFrame(CmdErase, 0);
    ASSERT_TRUE(Client->Write(Bytes(frame.begin(), frame.begin() + 10)));
    Client->Close();
    for (int k = 0; k < 100 && Target->Status().FramingResets == 0; ++k) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(Target->Status().FramingResets, 1u);
    const uint64_t before = Target->Status().Wakeups;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Target->Status().Wakeups, before);
}

TEST_F(SimulatedTargetTest, RepliesToAClosedClientWaitForTheNextOne) {
    // A client that leaves before the reply: the target neither stalls nor
    // fails, and the next client finds the old reply waiting (the tool
    // discards waiting bytes when it starts an operation).
    StartTarget(WithFaults({.SplitReplies = true, .SplitPause = 5ms}));
    ASSERT_TRUE(Client->Write(WithPreamble(CommandFrame(CmdErase, 0))));
    Client->Close();
    ASSERT_TRUE(Target->WaitForFramesServed(1, ReplyWait));
    PtyClient again(Target->PortPath());
    ASSERT_TRUE(again.IsOpen());
    tcflush(again.Descriptor(), TCIFLUSH);
    EXPECT_EQ(again.Exchange(CommandFrame(CmdBlankCheck, 0)), ReplyBlank);
}

TEST_F(SimulatedTargetTest, StopHangsUpAConnectedClient) {
    StartTarget();
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdErase, 0)), ReplyDone);
    Target->Stop();
    EXPECT_FALSE(Target->Status().Serving);
    pollfd p{Client->Descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, int(ReplyWait.count())), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    uint8_t b = 0;
    EXPECT_LE(read(Client->Descriptor(), &b, 1), 0);
    Target->Stop();  // a second Stop does nothing
}

TEST_F(SimulatedTargetTest, StopInterruptsAReplyInProgress) {
    StartTarget(WithFaults({.SplitReplies = true, .SplitPause = 60s}));
    ASSERT_TRUE(Client->Write(WithPreamble(CommandFrame(CmdErase, 0))));
    ASSERT_EQ(Client->ReadByte(), ReplySync);  // the reply has begun; its next byte is a minute away
    const auto start = Clock::now();
    Target->Stop();
    EXPECT_LT(Clock::now() - start, 30s) << "Stop waited for the reply's pause";
    EXPECT_FALSE(Target->Status().Serving);
}

TEST_F(SimulatedTargetTest, StopInterruptsPacingAndIgnoresAHalfFrame) {
    StartTarget(WithFaults({.PaceBaud = 50}));  // 200 ms per byte: a frame takes half a minute
    ASSERT_TRUE(Client->Write(WithPreamble(CommandFrame(CmdErase, 0))));
    std::this_thread::sleep_for(10ms);
    const auto start = Clock::now();
    Target->Stop();
    EXPECT_LT(Clock::now() - start, 20s);
    EXPECT_EQ(Target->Status().Loader.Frames, 0u);
}

TEST(SimulatedTargetLife, StartsOnlyOnce) {
    SimulatedTarget t({});
    t.Start();
    EXPECT_THROW(t.Start(), SimulatedTargetError);
}

TEST(SimulatedTargetLife, NeverStartedTargetStopsQuietly) {
    SimulatedTarget t({});
    EXPECT_NO_THROW(t.Stop());
    EXPECT_TRUE(t.PortPath().empty());
    EXPECT_FALSE(t.Status().Serving);
}

// ---- Flash file ------------------------------------------------------------

class SimulatedTargetFlashFile : public SimulatedTargetTest {
protected:
    TempDir Dir;
    std::filesystem::path File = Dir / "flash.bin";

    void StartWithFile(uint32_t lastAddress) {
        SimulatedTargetOptions o;
        o.LastAddress = lastAddress;
        o.FlashFile = File.string();
        StartTarget(o);
    }
};

TEST_F(SimulatedTargetFlashFile, MissingFileStartsErasedAndIsWrittenAtStop) {
    StartWithFile(0x7FFF);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdBlankCheck, 0)), ReplyBlank);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdProgram, 0x7F80, 0xA5)), ReplyDone);
    EXPECT_EQ(std::filesystem::file_size(File), 0u) << "held empty and locked until Stop writes it";
    // A second target on the same file is refused while this one runs.
    SimulatedTargetOptions second;
    second.FlashFile = File.string();
    SimulatedTarget other(second);
    try {
        other.Start();
        FAIL() << "two targets started on one flash file";
    } catch (const SimulatedTargetFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Can't use flash file " + File.string() + ": another simulated target is using it");
    }
    Target->Stop();
    const Bytes file = ReadFileBytes(File);
    ASSERT_EQ(file.size(), 0x8000u);
    EXPECT_EQ(file[0x7F7F], 0xFF);
    EXPECT_EQ(file[0x7F80], 0xA5);
    EXPECT_EQ(file[0x7FFF], 0xA5);
}

TEST_F(SimulatedTargetFlashFile, ExistingFileIsLoadedAndShortFileIsPadded) {
    Bytes content(0x300, 0xFF);
    content[0x2FF] = 0x00;
    WriteFileBytes(File, content);
    StartWithFile(0xFFFF);
    const auto r = Client->Ask(CommandFrame(CmdBlankCheck, 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Code(), ReplyNotBlank);
    EXPECT_EQ(r->Receiver.ReportedAddress(), 0x2FFu);
    Target->Stop();
    const Bytes file = ReadFileBytes(File);
    ASSERT_EQ(file.size(), 0x10000u);
    EXPECT_EQ(file[0x2FF], 0x00);
    EXPECT_EQ(std::count(file.begin(), file.end(), 0xFF), 0xFFFF);
}

TEST_F(SimulatedTargetFlashFile, BytesBeyondTheDeviceAreKept) {
    Bytes content(0x20000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = uint8_t(i >> 8);
    WriteFileBytes(File, content);
    StartWithFile(0x7FFF);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdErase, 0)), ReplyDone);
    Target->Stop();
    const Bytes file = ReadFileBytes(File);
    ASSERT_EQ(file.size(), 0x20000u);
    EXPECT_EQ(std::count(file.begin(), file.begin() + 0x8000, 0xFF), 0x8000);
    EXPECT_TRUE(std::equal(file.begin() + 0x8000, file.end(), content.begin() + 0x8000));
}

TEST_F(SimulatedTargetFlashFile, HugeFileIsReadOnlyUpToTheDeviceAndKeptWhole) {
    // 64 GiB, sparse: data at the start and at the very end.
    WriteFileBytes(File, Bytes(16, 0x00));
    const off_t size = off_t(64) << 30;
    ASSERT_EQ(truncate(File.c_str(), size), 0);
    {
        std::fstream f(File, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(size - 4);
        f.write("tail", 4);
    }
    StartWithFile(0x7FFF);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdErase, 0)), ReplyDone);
    Target->Stop();
    EXPECT_EQ(std::filesystem::file_size(File), uint64_t(size));
    std::ifstream f(File, std::ios::binary);
    char head[2];
    f.read(head, 2);
    EXPECT_EQ(uint8_t(head[0]), 0xFF) << "the erased device";
    char tail[4];
    f.seekg(size - 4);
    f.read(tail, 4);
    EXPECT_EQ(std::string(tail, 4), "tail");
    struct stat st {};
    ASSERT_EQ(stat(File.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 16 << 20) << "the holes were filled in";
}

TEST_F(SimulatedTargetFlashFile, FlashFileThatIsNotARegularFileIsRefusedAtStart) {
    // Never read (a device node may never end), never replaced by a file.
    const auto null = Dir / "null";
    ASSERT_EQ(mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << "run as root to make device nodes";
    const auto fifo = Dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& path : {null, fifo}) {
        SimulatedTargetOptions o;
        o.FlashFile = path.string();
        SimulatedTarget t(o);
        try {
            t.Start();
            ADD_FAILURE() << "Start accepted " << path;
        } catch (const SimulatedTargetFileError& e) {
            EXPECT_EQ(std::string(e.what()), "Can't use flash file " + path.string() + ": not a regular file");
        }
        t.Stop();
    }
    EXPECT_TRUE(std::filesystem::is_character_file(null));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST_F(SimulatedTargetFlashFile, WriteProtectedFileStopsTheStart) {
    WriteFileBytes(File, Bytes(0x8000, 0x00));
    ASSERT_EQ(chmod(File.c_str(), 0444), 0);
    SimulatedTargetOptions o;
    o.FlashFile = File.string();
    SimulatedTarget t(o);
    EXPECT_THROW(t.Start(), SimulatedTargetError);
    t.Stop();
    EXPECT_EQ(ReadFileBytes(File), Bytes(0x8000, 0x00));
}

TEST_F(SimulatedTargetFlashFile, FileIsWrittenWhenTheTargetIsDestroyed) {
    StartWithFile(0x7FFF);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdProgram, 0, uint8_t(0x00))), ReplyDone);
    Client.reset();
    Target.reset();
    const Bytes file = ReadFileBytes(File);
    ASSERT_EQ(file.size(), 0x8000u);
    EXPECT_EQ(file[0], 0x00);
}

TEST_F(SimulatedTargetFlashFile, WriteThroughALinkReplacesTheLinkedFile) {
    const auto real = Dir / "real.bin";
    WriteFileBytes(real, Bytes(0x8000, 0x00));
    std::filesystem::create_symlink(real, File);
    StartWithFile(0x7FFF);
    EXPECT_EQ(Client->Exchange(CommandFrame(CmdErase, 0)), ReplyDone);
    Target->Stop();
    EXPECT_TRUE(std::filesystem::is_symlink(File));
    const Bytes file = ReadFileBytes(real);
    EXPECT_EQ(std::count(file.begin(), file.end(), 0xFF), 0x8000);
}

TEST_F(SimulatedTargetFlashFile, UnreadableFileStopsTheStart) {
    std::filesystem::create_directory(File);  // a directory cannot be read as a file
    SimulatedTargetOptions o;
    o.FlashFile = File.string();
    SimulatedTarget t(o);
    try {
        t.Start();
        FAIL() << "Start accepted a directory as the flash file";
    } catch (const SimulatedTargetError& e) {
        EXPECT_NE(std::string(e.what()).find(File.string()), std::string::npos) << e.what();
    }
    EXPECT_TRUE(t.PortPath().empty());
    t.Stop();
    EXPECT_TRUE(std::filesystem::is_directory(File));
}

TEST_F(SimulatedTargetFlashFile, FileInAMissingFolderStopsTheStart) {
    SimulatedTargetOptions o;
    o.FlashFile = (Dir / "missing" / "flash.bin").string();
    SimulatedTarget t(o);
    try {
        t.Start();
        FAIL() << "Start accepted a flash file that could never be written";
    } catch (const SimulatedTargetFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Can't use flash file " + o.FlashFile + ": the folder " + (Dir / "missing").string() + " does not exist");
    }
}

TEST_F(SimulatedTargetFlashFile, RelativePathIsTakenFromTheFolderAtStart) {
    const auto home = std::filesystem::current_path();
    std::filesystem::current_path(Dir.Path());
    SimulatedTargetOptions o;
    o.FlashFile = "relative.bin";
    Target = std::make_unique<SimulatedTarget>(o);
    Target->Start();
    std::filesystem::current_path(home);
    Target->Stop();
    EXPECT_EQ(ReadFileBytes(Dir / "relative.bin").size(), 0x10000u);
}

TEST_F(SimulatedTargetFlashFile, UnwritableFileIsReportedByStop) {
    const auto sub = Dir / "gone";
    std::filesystem::create_directory(sub);
    File = sub / "flash.bin";
    StartWithFile(0x7FFF);
    std::filesystem::remove_all(sub);
    EXPECT_THROW(Target->Stop(), SimulatedTargetFileError);
}

}  // namespace
}  // namespace pelk

// The pelkisp-target program, run as a child process in a temporary working
// directory and reached through its pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "pty_client.h"
#include "support/child_process.h"

namespace pelk {
namespace {

using namespace pelk::test;
namespace fs = std::filesystem;

// pelkisp-target started with the given arguments in a working directory.
struct TargetProcess : ChildProcess {
    TargetProcess(const std::vector<std::string>& args, const fs::path& workDir)
        : ChildProcess(PELKISP_TARGET_PATH, args, workDir) {}
};

class PelkispTargetProgram : public ::testing::Test {
protected:
    TempDir Dir;
};

TEST_F(PelkispTargetProgram, UsageErrorsExitWithStatus2) {
    const std::vector<std::vector<std::string>> cases = {
        {"--device", "W78E999"}, {"--link", "COM9"}, {"--pace", "fast"}, {"--bogus"}, {"erase"},
    };
    for (const auto& args : cases) {
        TargetProcess p(args, Dir.Path());
        ASSERT_TRUE(p.Running());
        EXPECT_EQ(p.Wait(), 2) << args[0];
        EXPECT_EQ(p.StdOut, "") << args[0];
        EXPECT_NE(p.StdErr.find("Try 'pelkisp-target --help'"), std::string::npos) << p.StdErr;
    }
}

TEST_F(PelkispTargetProgram, HelpExplainsAndExitsWith0) {
    TargetProcess p({"--help"}, Dir.Path());
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_EQ(p.StdOut.rfind("Usage: pelkisp-target", 0), 0u) << p.StdOut;
    EXPECT_EQ(p.StdErr, "");
    for (const char* v : {"--version", "-V"}) {
        TargetProcess version({v}, Dir.Path());
        EXPECT_EQ(version.Wait(), 0) << v;
        EXPECT_EQ(version.StdOut, std::string("pelkisp-target ") + PELK_VERSION + "\n") << v;
    }
}

TEST_F(PelkispTargetProgram, ServesThroughItsLinkUntilSignalledAndKeepsTheFlash) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        const fs::path flash = Dir / "chip.bin";
        fs::remove(flash);
        TargetProcess p({"--device", "w78e58b", "--flash", "chip.bin", "--link", "COM3"}, Dir.Path());
        const std::optional<std::string> path = p.ReadLine();
        ASSERT_TRUE(path) << sig;
        EXPECT_EQ(path->rfind("/dev/pts/", 0), 0u) << *path;
        ASSERT_TRUE(fs::is_symlink(Dir / "COM3"));
        EXPECT_EQ(fs::read_symlink(Dir / "COM3"), *path);

        {
            PtyClient client((Dir / "COM3").string());
            ASSERT_TRUE(client.IsOpen());
            EXPECT_EQ(client.Exchange(CommandFrame(CmdProgram, 0x7F80, 0x42)), ReplyDone);
            EXPECT_EQ(client.Exchange(CommandFrame(CmdProgram, 0x8000, 0x42)), ReplyAddressOutOfRange)
                << "a 32 KiB device";
        }
        p.Signal(sig);
        EXPECT_EQ(p.Wait(), 0) << p.StdErr;
        EXPECT_EQ(p.StdOut, "") << "nothing after the path line";
        EXPECT_NE(p.StdErr.find("W78E58B"), std::string::npos) << p.StdErr;
        EXPECT_FALSE(fs::exists(fs::symlink_status(Dir / "COM3"))) << "link removed at exit";
        const Bytes file = ReadFileBytes(flash);
        ASSERT_EQ(file.size(), 0x8000u) << sig;
        EXPECT_EQ(file[0x7F80], 0x42);
        EXPECT_EQ(file[0x7F7F], 0xFF);
    }
}

TEST_F(PelkispTargetProgram, FlashFileIsReadAtStart) {
    Bytes content(0x10000, 0xFF);
    content[0x1234] = 0x00;
    WriteFileBytes(Dir / "chip.bin", content);
    TargetProcess p({"--flash", "chip.bin"}, Dir.Path());
    const auto path = p.ReadLine();
    ASSERT_TRUE(path);
    PtyClient client(*path);
    const auto reply = client.Ask(CommandFrame(CmdBlankCheck, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Code(), ReplyNotBlank);
    EXPECT_EQ(reply->Receiver.ReportedAddress(), 0x1234u);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
}

TEST_F(PelkispTargetProgram, OlderLinkIsReplacedButAFileIsNot) {
    fs::create_symlink("/dev/pts/nothing-here", Dir / "COM2");
    {
        TargetProcess p({"--link", "COM2"}, Dir.Path());
        const auto path = p.ReadLine();
        ASSERT_TRUE(path);
        EXPECT_EQ(fs::read_symlink(Dir / "COM2"), *path);
        p.Signal(SIGTERM);
        EXPECT_EQ(p.Wait(), 0);
        EXPECT_NE(p.StdErr.find("replacing the stale link COM2"), std::string::npos) << p.StdErr;
    }
    WriteFileBytes(Dir / "COM1", Bytes{'k', 'e', 'e', 'p'});
    TargetProcess p({"--link", "COM1"}, Dir.Path());
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_EQ(p.StdOut, "");
    EXPECT_NE(p.StdErr.find("COM1 exists"), std::string::npos) << p.StdErr;
    EXPECT_EQ(ReadFileBytes(Dir / "COM1"), (Bytes{'k', 'e', 'e', 'p'}));
}

TEST_F(PelkispTargetProgram, LinkOfALiveTargetIsNotTakenOver) {
    TargetProcess first({"--link", "COM4"}, Dir.Path());
    const auto firstPath = first.ReadLine();
    ASSERT_TRUE(firstPath);
    TargetProcess second({"--link", "COM4"}, Dir.Path());
    const auto secondPath = second.ReadLine();
    EXPECT_FALSE(secondPath) << "the second target took the link over";
    if (secondPath) second.Signal(SIGTERM);
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_EQ(second.StdOut, "");
    EXPECT_NE(second.StdErr.find("COM4 already leads to " + *firstPath + ", which is in use"), std::string::npos)
        << second.StdErr;
    EXPECT_EQ(fs::read_symlink(Dir / "COM4"), *firstPath);
    {
        PtyClient client((Dir / "COM4").string());
        EXPECT_EQ(client.Exchange(CommandFrame(CmdErase, 0)), ReplyDone) << "the first target still serves";
    }
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Dir / "COM4")));
}

TEST_F(PelkispTargetProgram, FaultOptionsReachTheTarget) {
    TargetProcess p({"--noise", "4", "--corrupt-every", "1"}, Dir.Path());
    const auto path = p.ReadLine();
    ASSERT_TRUE(path);
    PtyClient client(*path);
    const auto reply = client.Ask(CommandFrame(CmdErase, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Skipped, 4u);
    EXPECT_FALSE(reply->ChecksumOk());
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 0);
}

TEST_F(PelkispTargetProgram, FlashFileThatCannotBeHandledExitsWith1) {
    fs::create_directory(Dir / "sub");
    {
        // Not a regular file: refused as a usage error.
        TargetProcess p({"--flash", "sub"}, Dir.Path());
        EXPECT_EQ(p.Wait(), 2);
        EXPECT_EQ(p.StdOut, "");
        EXPECT_NE(p.StdErr.find("Can't use flash file sub: it is a folder"), std::string::npos) << p.StdErr;
    }
    TargetProcess p({"--flash", "sub/chip.bin"}, Dir.Path());
    ASSERT_TRUE(p.ReadLine());
    fs::remove_all(Dir / "sub");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_NE(p.StdErr.find("Can't write flash file sub/chip.bin"), std::string::npos) << p.StdErr;
}

}  // namespace
}  // namespace pelk

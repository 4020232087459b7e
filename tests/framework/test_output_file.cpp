// The one rule for output files, on real files, links, device nodes and
// FIFOs in a temporary folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "framework/output_file.h"
#include "image/file_test_support.h"

namespace pelk {
namespace {

namespace fs = std::filesystem;

class OutputFile : public ::testing::Test {
protected:
    test::TempDir Dir;

    size_t Entries(const fs::path& Folder) const { return size_t(std::distance(fs::directory_iterator(Folder), {})); }
    static struct stat Stat(const fs::path& Path) {
        struct stat st {};
        EXPECT_EQ(lstat(Path.c_str(), &st), 0) << Path;
        return st;
    }
    static mode_t Umask() {
        const mode_t m = umask(0);
        umask(m);
        return m;
    }
};

TEST_F(OutputFile, RegularFileIsReplacedWholeKeepingItsPermissions) {
    const fs::path file = Dir / "out.bin";
    test::WriteFile(file, std::string(5000, 'o'));
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    const ino_t before = Stat(file).st_ino;
    ASSERT_TRUE(WriteOutputFile(file, "new"));
    EXPECT_EQ(test::ReadFile(file), "new");
    EXPECT_EQ(Stat(file).st_mode & 07777, 0640u);
    EXPECT_NE(Stat(file).st_ino, before) << "replaced by a new file, not rewritten in place";
    EXPECT_EQ(Entries(Dir.Path()), 1u) << "a temporary file was left behind";

    const fs::path fresh = Dir / "new.bin";
    ASSERT_TRUE(WriteOutputFile(fresh, "x"));
    EXPECT_EQ(Stat(fresh).st_mode & 07777, 0666u & ~Umask());
}

TEST_F(OutputFile, LinkIsWrittenThroughAndStaysALink) {
    fs::create_directory(Dir / "a");
    fs::create_directory(Dir / "b");
    test::WriteFile(Dir / "b" / "real", "old");
    fs::create_symlink("../b/real", Dir / "a" / "link");
    fs::create_symlink("a/link", Dir / "chain");  // a link to a link
    ASSERT_TRUE(WriteOutputFile(Dir / "chain", "new"));
    EXPECT_TRUE(fs::is_symlink(Dir / "chain"));
    EXPECT_TRUE(fs::is_symlink(Dir / "a" / "link"));
    EXPECT_EQ(test::ReadFile(Dir / "b" / "real"), "new");
    EXPECT_EQ(Entries(Dir / "a"), 1u);
    EXPECT_EQ(Entries(Dir / "b"), 1u);
    // A link to a file that is not there yet creates it.
    fs::create_symlink("b/made", Dir / "dangling");
    ASSERT_TRUE(WriteOutputFile(Dir / "dangling", "made"));
    EXPECT_TRUE(fs::is_symlink(Dir / "dangling"));
    EXPECT_EQ(test::ReadFile(Dir / "b" / "made"), "made");
}

TEST_F(OutputFile, WriteProtectedFileIsNotOverwrittenEvenByRoot) {
    const fs::path file = Dir / "keep.cfg";
    test::WriteFile(file, "old");
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    const OutputFileStatus s = WriteOutputFile(file, "new");
    EXPECT_EQ(s.Failure, OutputFailure::Open);
    EXPECT_EQ(s.Reason, file.string() + ": the file is write-protected");
    EXPECT_EQ(test::ReadFile(file), "old");
    EXPECT_EQ(Stat(file).st_mode & 07777, 0444u);
    EXPECT_EQ(PlanOutputFile(file).Kind, OutputKind::Refused);
}

TEST_F(OutputFile, FailedWriteLeavesTheOldFileByteForByte) {
    const fs::path file = Dir / "out.hex";
    const std::string old(3000, 'o');
    test::WriteFile(file, old);
    const OutputFileStatus s = test::WithFileSizeLimit(1000, [&] { return WriteOutputFile(file, std::string(2000, 'n')); });
    EXPECT_EQ(s.Failure, OutputFailure::Write);
    EXPECT_EQ(s.Reason, file.string() + ": File too large");
    EXPECT_EQ(test::ReadFile(file), old);
    EXPECT_EQ(Entries(Dir.Path()), 1u);
}

TEST_F(OutputFile, DeviceNodesAndFifosAreWrittenIntoNeverReplaced) {
    const fs::path null = Dir / "null";
    ASSERT_EQ(mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << "run as root to make device nodes";
    EXPECT_EQ(PlanOutputFile(null).Kind, OutputKind::Stream);
    EXPECT_TRUE(WriteOutputFile(null, std::string(70000, 'x')));
    EXPECT_TRUE(S_ISCHR(Stat(null).st_mode));

    const fs::path full = Dir / "full";
    ASSERT_EQ(mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
    const OutputFileStatus s = WriteOutputFile(full, "x");
    EXPECT_EQ(s.Failure, OutputFailure::Write);
    EXPECT_EQ(s.Reason, full.string() + ": No space left on device");
    EXPECT_TRUE(S_ISCHR(Stat(full).st_mode));

    const fs::path fifo = Dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const OutputFileStatus unread = WriteOutputFile(fifo, "nobody");
    EXPECT_EQ(unread.Failure, OutputFailure::Open);
    EXPECT_EQ(unread.Reason, fifo.string() + ": no program reads from this FIFO");
    std::string got;
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(WriteOutputFile(fifo, "streamed"));
    char buf[64];
    const ssize_t n = read(reader, buf, sizeof buf);
    close(reader);
    EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))), "streamed");
    EXPECT_TRUE(S_ISFIFO(Stat(fifo).st_mode));

    EXPECT_EQ(WriteOutputFile(Dir.Path(), "x").Failure, OutputFailure::Open) << "a folder";
    EXPECT_EQ(Entries(Dir.Path()), 3u);
}

TEST_F(OutputFile, OwnDescriptorsAreWrittenInto) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_TRUE(WriteOutputFile("/proc/self/fd/" + std::to_string(p[1]), "one "));
    EXPECT_TRUE(WriteOutputFile("/dev/fd/" + std::to_string(p[1]), "two"));
    close(p[1]);
    char buf[64];
    const ssize_t n = read(p[0], buf, sizeof buf);
    close(p[0]);
    EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))), "one two");
}

TEST_F(OutputFile, BytesBeyondTheNewContentCanBeKept) {
    const fs::path file = Dir / "flash.bin";
    test::WriteFile(file, "0123456789");
    ASSERT_TRUE(WriteOutputFile(file, "abc", {.KeepBeyond = true}));
    EXPECT_EQ(test::ReadFile(file), "abc3456789");
    ASSERT_TRUE(WriteOutputFile(file, "ABCDEFGHIJKL", {.KeepBeyond = true}));
    EXPECT_EQ(test::ReadFile(file), "ABCDEFGHIJKL");
    // A large tail with a hole stays sparse.
    const off_t size = off_t(1) << 32;
    ASSERT_EQ(truncate(file.c_str(), size), 0);
    ASSERT_TRUE(WriteOutputFile(file, "xyz", {.KeepBeyond = true}));
    EXPECT_EQ(Stat(file).st_size, size);
    EXPECT_LT(Stat(file).st_blocks * 512, 1 << 20);
    std::ifstream in(file, std::ios::binary);
    std::string head(13, '?');
    in.read(head.data(), 13);
    EXPECT_EQ(head, std::string("xyzDEFGHIJKL\0", 13));
    EXPECT_EQ(Entries(Dir.Path()), 1u);
}

// A folder that takes no new file, while the file in it may be written: as
// root, only another user meets that, so the write runs in a child process
// as "nobody".
TEST_F(OutputFile, FolderWithoutRoomForATemporaryFileIsWrittenInPlace) {
    const fs::path folder = Dir / "locked";
    fs::create_directory(folder);
    const fs::path file = folder / "PelkISP.cfg";
    test::WriteFile(file, "old content that is longer");
    const fs::path tail = folder / "tail.bin";
    test::WriteFile(tail, "0123456789");
    const bool root = geteuid() == 0;
    const uid_t nobody = 65534;
    ASSERT_EQ(chmod(Dir.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    if (root) {
        ASSERT_EQ(chown(file.c_str(), nobody, nobody), 0);
        ASSERT_EQ(chown(tail.c_str(), nobody, nobody), 0);
    }
    auto writeBoth = [&] {
        const bool planned = PlanOutputFile(file).Kind == OutputKind::InPlace;
        const bool a = static_cast<bool>(WriteOutputFile(file, "new"));
        const bool b = static_cast<bool>(WriteOutputFile(tail, "ab", {.KeepBeyond = true}));
        return planned && a && b;
    };
    if (root) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(setgid(nobody) == 0 && setuid(nobody) == 0 && writeBoth() ? 0 : 1);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    } else {
        EXPECT_TRUE(writeBoth());
    }
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(test::ReadFile(file), "new");
    EXPECT_EQ(test::ReadFile(tail), "ab23456789");
    EXPECT_EQ(Entries(folder), 2u);
}

// A sticky folder (as /tmp) where the file is another user's: the file may
// be written, but no rename may replace it. The write falls back to writing
// in place, in a child process as a user who owns neither.
TEST_F(OutputFile, StickyFolderWithAnotherUsersFileIsWrittenInPlace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand the file and the folder to other users";
    const fs::path folder = Dir / "shared";
    fs::create_directory(folder);
    ASSERT_EQ(chmod(Dir.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
    const fs::path file = folder / "results.bin";
    test::WriteFile(file, "old content that is longer");
    const uid_t owner = 65533, writer = 65534;
    ASSERT_EQ(chown(file.c_str(), owner, owner), 0);
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool planned = setgid(writer) == 0 && setuid(writer) == 0 && PlanOutputFile(file).Kind == OutputKind::InPlace;
        _exit(planned && WriteOutputFile(file, "new") ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(test::ReadFile(file), "new");
    EXPECT_EQ(Stat(file).st_uid, owner) << "the same file, written in place";
    EXPECT_EQ(Entries(folder), 1u);
}

// The longest name a folder takes: the temporary file's name is cut short,
// and the file is still replaced whole by a rename (a new inode), not
// written in place.
TEST_F(OutputFile, LongestNameIsReplacedByARename) {
    const fs::path file = Dir / std::string(246, 'n');
    test::WriteFile(file, "old");
    const ino_t before = Stat(file).st_ino;
    ASSERT_TRUE(WriteOutputFile(file, "new content"));
    EXPECT_EQ(test::ReadFile(file), "new content");
    EXPECT_NE(Stat(file).st_ino, before);
    const fs::path longest = Dir / std::string(255, 'm');
    ASSERT_TRUE(WriteOutputFile(longest, "x"));
    EXPECT_EQ(test::ReadFile(longest), "x");
    EXPECT_EQ(Entries(Dir.Path()), 2u);
}

}  // namespace
}  // namespace pelk

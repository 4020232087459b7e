// The one rule for output files on Windows, on real files in a temporary
// folder: replaced whole through a temporary file, a read-only file left
// alone and reported, a device written into and never replaced, and a
// descriptor written in binary mode; and the system's error texts that the
// reasons carry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <windows.h>

#include "framework/output_file.h"
#include "framework/win32/error_text.h"
#include "support/temp_dir.h"

namespace pelk {
namespace {

namespace fs = std::filesystem;

class Win32OutputFile : public ::testing::Test {
protected:
    static void Write(const fs::path& Path, const std::string& Content) {
        std::ofstream out(Path, std::ios::binary | std::ios::trunc);
        out.write(Content.data(), static_cast<std::streamsize>(Content.size()));
        ASSERT_TRUE(out.good()) << Path;
    }
    static std::string Read(const fs::path& Path) {
        std::ifstream in(Path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    size_t Entries() const { return size_t(std::distance(fs::directory_iterator(Dir.Path()), {})); }

    test::TempDir Dir;
};

TEST_F(Win32OutputFile, FileIsReplacedWholeThroughATemporaryFile) {
    const fs::path file = Dir / "out.bin";
    // New, then over a longer file, then keeping what lies beyond.
    ASSERT_TRUE(WriteOutputFile(file, std::string("\n\r\n\x1a\0z", 6)));
    EXPECT_EQ(Read(file), std::string("\n\r\n\x1a\0z", 6));
    Write(file, std::string(5000, 'o'));
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(PlanOutputFile(file).Kind, OutputKind::Replace);
    ASSERT_TRUE(WriteOutputFile(file, "new"));
    EXPECT_EQ(Read(file), "new");
    EXPECT_EQ(Entries(), 1u) << "a temporary file was left behind";
    EXPECT_TRUE(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    Write(file, "0123456789");
    OutputFileOptions keep;
    keep.KeepBeyond = true;
    ASSERT_TRUE(WriteOutputFile(file, "abc", keep));
    EXPECT_EQ(Read(file), "abc3456789");
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(Win32OutputFile, ReadOnlyFileAndFolderAreRefusedAndLeftAlone) {
    const fs::path file = Dir / "keep.hex";
    Write(file, "old");
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(PlanOutputFile(file).Kind, OutputKind::Refused);
    const OutputFileStatus status = WriteOutputFile(file, "new");
    EXPECT_EQ(status.Failure, OutputFailure::Open);
    EXPECT_EQ(status.Reason, file.string() + ": the file is write-protected");
    EXPECT_EQ(Read(file), "old");

    const OutputFileStatus folder = WriteOutputFile(Dir.Path(), "new");
    EXPECT_EQ(folder.Failure, OutputFailure::Open);
    EXPECT_EQ(folder.Reason, Dir.Path().string() + ": it is a folder");

    const fs::path missing = Dir / "no such folder" / "out.bin";
    const OutputFileStatus nowhere = WriteOutputFile(missing, "new");
    EXPECT_EQ(nowhere.Failure, OutputFailure::Open);
    EXPECT_EQ(nowhere.Reason.rfind(missing.string() + ": ", 0), 0u) << nowhere.Reason;
    EXPECT_GT(nowhere.Reason.size(), missing.string().size() + 2);
    EXPECT_EQ(Entries(), 1u);
}

TEST_F(Win32OutputFile, FileHeldOpenByAnotherProgramIsLeftAsItWas) {
    const fs::path file = Dir / "held.bin";
    Write(file, "old");
    // Held as an editor may hold it: no one else may write or delete it.
    const HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const OutputFileStatus status = WriteOutputFile(file, "new");
    CloseHandle(held);
    if (status) GTEST_SKIP() << "this system lets a held file be replaced";
    EXPECT_EQ(status.Reason.rfind(file.string() + ": ", 0), 0u) << status.Reason;
    EXPECT_EQ(Read(file), "old");
    EXPECT_EQ(Entries(), 1u) << "a temporary file was left behind";
}

TEST_F(Win32OutputFile, DeviceIsWrittenIntoNotReplaced) {
    for (const char* device : {"NUL", "nul"}) {
        const OutputPlan plan = PlanOutputFile(device);
        EXPECT_EQ(plan.Kind, OutputKind::Stream) << device;
        EXPECT_TRUE(WriteOutputFile(device, std::string(70000, 'x'))) << device;
    }
    // Nothing was made in the working folder or beside it.
    const fs::path old = fs::current_path();
    fs::current_path(Dir.Path());
    EXPECT_TRUE(WriteOutputFile("NUL", "x"));
    fs::current_path(old);
    EXPECT_EQ(Entries(), 0u);
}

TEST_F(Win32OutputFile, DescriptorIsWrittenInBinaryModeAndKeepsItsMode) {
    const fs::path file = Dir / "stream.bin";
    const int fd = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    const std::string bytes("\x0a\x0d\x0a\x1a\x00\xff\x0a", 7);
    EXPECT_TRUE(WriteOutputStream(fd, bytes, "standard output"));
    // The descriptor is back in text mode for whatever comes after.
    ASSERT_EQ(_write(fd, "\n", 1), 1);
    _close(fd);
    EXPECT_EQ(Read(file), bytes + "\r\n");
}

// The system's text goes into a sentence of ours, as strerror's does: no
// line break or full stop at its end, and one wording for a code the
// system has no text for.
TEST(Win32ErrorText, ReadsAsPartOfASentence) {
    const std::string denied = win32::SystemErrorText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(denied.empty());
    EXPECT_NE(denied.back(), '.') << denied;
    EXPECT_NE(denied.back(), '\n') << denied;
    EXPECT_EQ(win32::SystemErrorText(0x2000ABCD), "Unknown error 536914893");
}

}  // namespace
}  // namespace pelk

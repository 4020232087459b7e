// The console facts the command line asks for on Windows: a console is a
// terminal, NUL and files are not (though the C library calls NUL a
// character device), and its width.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <filesystem>

#include <windows.h>

#include "framework/win32/console.h"
#include "framework/output_file.h"

namespace pelk::win32 {
namespace {

TEST(Win32Console, NulAndFilesAreNoConsole) {
    const int nul = _open("NUL", _O_WRONLY);
    ASSERT_GE(nul, 0);
    EXPECT_TRUE(_isatty(nul)) << "the C library's view, which the progress bar must not follow";
    EXPECT_FALSE(IsConsole(nul));
    EXPECT_EQ(ConsoleColumns(nul), 0);
    EXPECT_FALSE(RewriteConsoleRow(nul, "x"));
    _close(nul);
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "pelk-terminal-test.txt";
    const int fd = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(IsConsole(fd));
    EXPECT_EQ(ConsoleColumns(fd), 0);
    _close(fd);
    std::filesystem::remove(file);
}

TEST(Win32Console, ConsoleHasItsWindowsWidth) {
    // The process's console, made for it when it has none.
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE && AllocConsole())
        out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    // Under wine without a terminal there is none (and what AllocConsole
    // makes then has no screen buffer); run on a terminal, it is tested.
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && !GetConsoleMode(out, &mode)) {
        CloseHandle(out);
        out = INVALID_HANDLE_VALUE;
    }
    if (out == INVALID_HANDLE_VALUE) {
        // ./dev runs this test once more on a terminal, where it must not skip.
        if (std::getenv("PELK_NEED_CONSOLE")) FAIL() << "no console, though one is needed";
        GTEST_SKIP() << "no console to be had here";
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(out), _O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(IsConsole(fd));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(GetConsoleScreenBufferInfo(out, &info));
    EXPECT_EQ(ConsoleColumns(fd), info.srWindow.Right - info.srWindow.Left + 1);
    EXPECT_GT(ConsoleColumns(fd), 0);
    // CON, the console, is a device: written into, never replaced.
    EXPECT_EQ(PlanOutputFile("CON").Kind, OutputKind::Stream);
    const OutputFileStatus status = WriteOutputFile("CON", "\r\n");
    EXPECT_TRUE(status) << status.Reason;
    _close(fd);
}

}  // namespace
}  // namespace pelk::win32

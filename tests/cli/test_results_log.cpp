// The results log on real files in a temporary folder: its columns and
// quoting, local time with its offset, two programs appending to one new
// log at once, and what goes wrong (a folder, a missing folder, a FIFO
// without a reader or whose reader left, a full disk).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <future>
#include <thread>

#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#endif

#include "cli/results_log.h"
#include "support/temp_dir.h"

namespace pelk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

void SetZone(const std::optional<std::string>& Zone) {
#ifdef _WIN32
    _putenv_s("TZ", Zone ? Zone->c_str() : "");
    _tzset();
#else
    if (Zone) setenv("TZ", Zone->c_str(), 1);
    else unsetenv("TZ");
    tzset();
#endif
}

std::string ReadAll(const fs::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = Text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(Text.substr(start, nl - start));
    if (start < Text.size()) lines.push_back(Text.substr(start));  // a last line without its line break
    return lines;
}

ResultsLogRecord GoodBoard() {
    return {.When = sys_days{2026y / 12 / 8} + 21h + 59min + 1s + 123ms, .Port = "COM2", .Device = "/dev/ttyUSB0",
            .Chip = "W78E58B", .File = "fw.hex", .Crc = 0x1A2B, .Checksum = 0x00FF, .Bytes = 16384,
            .Steps = "erase+program+verify", .Result = "Device programmed.", .DurationMs = 5230, .ExitStatus = 0};
}

ResultsLogRecord FailedBoard() {
    return {.When = sys_days{2026y / 12 / 9} + 7ms, .Port = "/dev/ttyUSB7", .Device = "/dev/ttyUSB7",
            .Chip = "W77E532", .File = "my \"best\", fw.hex", .Crc = 0, .Checksum = 0xBEEF, .Bytes = 131072,
            .Steps = "program", .Result = "Verify error at adress 0x0100, \"block 2\"", .DurationMs = 200000,
            .ExitStatus = 1};
}

// One board of one of the programs sharing a log: long lines, so that a
// line written in pieces would be found torn.
ResultsLogRecord BoardOf(int Program, int Index) {
    ResultsLogRecord r = FailedBoard();
    r.Port = "COM" + std::to_string(Program + 1);
    r.Bytes = static_cast<uint64_t>(Index);
    r.Result = std::string(300 + Index, static_cast<char>('a' + Program)) + ", #" + std::to_string(Index);
    return r;
}

class ResultsLogFile : public ::testing::Test {
protected:
    test::TempDir Dir;
    std::optional<std::string> OldZone;

    void SetUp() override {
        if (const char* zone = std::getenv("TZ")) OldZone = zone;
        SetZone("UTC-2");  // two hours east of UTC, no summer time
    }
    void TearDown() override { SetZone(OldZone); }

    // Each of Programs appends Count boards to one new log, all starting
    // at the same moment; false when one of them failed.
    bool AppendTogether(const fs::path& Log, int Programs, int Count);
};

TEST_F(ResultsLogFile, ColumnsOfAGoodAndAFailedBoard) {
    const std::string header = "time,port,device,chip,file,crc,checksum,bytes,steps,result,duration_ms,exit_status";
    const std::string good =
        "2026-12-08T23:59:01.123+02:00,COM2,/dev/ttyUSB0,W78E58B,fw.hex,1A2B,00FF,16384,erase+program+verify,"
        "Device programmed.,5230,0";
    const std::string failed =
        "2026-12-09T02:00:00.007+02:00,/dev/ttyUSB7,/dev/ttyUSB7,W77E532,\"my \"\"best\"\", fw.hex\",0000,BEEF,"
        "131072,program,\"Verify error at adress 0x0100, \"\"block 2\"\"\",200000,1";
    EXPECT_EQ(ResultsLogHeader(), header);
    EXPECT_EQ(FormatResultsLogLine(GoodBoard()), good);
    EXPECT_EQ(FormatResultsLogLine(FailedBoard()), failed);

    // A new log gets the header; opened again, it gets none more.
    const fs::path log = Dir / "results.csv";
    {
        ResultsLog first;
        ASSERT_EQ(first.Open(log.string()), "");
        EXPECT_EQ(first.Append(GoodBoard()), "");
    }
    ResultsLog second;
    ASSERT_EQ(second.Open(log.string()), "");
    EXPECT_EQ(second.Append(FailedBoard()), "");
    EXPECT_EQ(ReadAll(log), header + "\n" + good + "\n" + failed + "\n");
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
#endif
}

TEST_F(ResultsLogFile, LocalTimeWithItsOffset) {
    const struct {
        const char* Zone;
        sys_time<milliseconds> When;
        const char* Text;
    } cases[] = {
        {"UTC0", sys_days{2026y / 12 / 8} + 23h + 59min + 1s + 123ms, "2026-12-08T23:59:01.123+00:00"},
        {"UTC-2", sys_days{2026y / 12 / 31} + 22h + 30min, "2027-01-01T00:30:00.000+02:00"},
        {"XYZ+5:30", sys_days{2026y / 3 / 1} + 2h + 5ms, "2026-02-28T20:30:00.005-05:30"},
        // Before 1970: the milliseconds still count forwards within the second.
        {"UTC0", sys_days{1970y / 1 / 1} - 1ms, "1969-12-31T23:59:59.999+00:00"},
#ifndef _WIN32
        // The offset of the moment itself, summer time or not.
        {"CET-1CEST,M3.5.0,M10.5.0/3", sys_days{2026y / 7 / 1} + 10h, "2026-07-01T12:00:00.000+02:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", sys_days{2026y / 12 / 1} + 10h, "2026-12-01T11:00:00.000+01:00"},
#endif
    };
    for (const auto& c : cases) {
        SetZone(std::string(c.Zone));
        EXPECT_EQ(Iso8601WithOffset(c.When), c.Text) << c.Zone;
    }
}

#ifdef _WIN32
bool ResultsLogFile::AppendTogether(const fs::path& Log, int Programs, int Count) {
    // Each its own handle, as two programs have: threads stand in for them.
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<std::future<bool>> done;
    for (int p = 0; p < Programs; ++p) {
        done.push_back(std::async(std::launch::async, [&, p] {
            start.wait();
            ResultsLog log;
            if (!log.Open(Log.string()).empty()) return false;
            for (int i = 0; i < Count; ++i)
                if (!log.Append(BoardOf(p, i)).empty()) return false;
            return true;
        }));
    }
    go.set_value();
    bool ok = true;
    for (auto& d : done) ok = d.get() && ok;
    return ok;
}
#else
bool ResultsLogFile::AppendTogether(const fs::path& Log, int Programs, int Count) {
    // The children wait on a pipe that the parent then closes: all of them
    // open the log at the same moment.
    int go[2];
    if (pipe(go) != 0) return false;
    std::vector<pid_t> children;
    for (int p = 0; p < Programs; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char c;
            while (read(go[0], &c, 1) < 0) {
            }
            ResultsLog log;
            if (!log.Open(Log.string()).empty()) _exit(2);
            for (int i = 0; i < Count; ++i)
                if (!log.Append(BoardOf(p, i)).empty()) _exit(3);
            log.Close();
            _exit(0);
        }
        if (pid > 0) children.push_back(pid);
    }
    close(go[0]);
    close(go[1]);
    bool ok = static_cast<int>(children.size()) == Programs;
    for (pid_t pid : children) {
        int status = 0;
        ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    return ok;
}
#endif

TEST_F(ResultsLogFile, TwoProgramsAppendToOneNewLog) {
    constexpr int Count = 200;
    const fs::path log = Dir / "shared.csv";
    ASSERT_TRUE(AppendTogether(log, 2, Count));
    const std::string text = ReadAll(log);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), size_t(2 * Count + 1));
    EXPECT_EQ(lines[0], ResultsLogHeader());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ResultsLogHeader()), 1);
    // Every line whole, each program's lines in its own order.
    int next[2] = {0, 0};
    for (size_t n = 1; n < lines.size(); ++n) {
        const int p = lines[n].find(",COM1,") != std::string::npos ? 0 : 1;
        ASSERT_LT(next[p], Count) << "line " << n;
        ASSERT_EQ(lines[n], FormatResultsLogLine(BoardOf(p, next[p]))) << "line " << n;
        ++next[p];
    }
    EXPECT_EQ(next[0], Count);
    EXPECT_EQ(next[1], Count);

    // The header is decided at the moment both create the log: more rounds
    // of just that moment.
    for (int round = 0; round < 60; ++round) {
        const fs::path small = Dir / ("created" + std::to_string(round) + ".csv");
        ASSERT_TRUE(AppendTogether(small, 2, 1));
        const std::vector<std::string> two = Lines(ReadAll(small));
        ASSERT_EQ(two.size(), 3u) << "round " << round;
        EXPECT_EQ(std::count(two.begin(), two.end(), ResultsLogHeader()), 1) << "round " << round;
    }
}

TEST_F(ResultsLogFile, OpenErrorsNameTheReason) {
    ResultsLog log;
    EXPECT_EQ(log.Open(Dir.Path().string()), "it is a folder");
    EXPECT_FALSE(log.IsOpen());
    const fs::path missing = Dir / "missing";
    EXPECT_EQ(log.Open((missing / "log.csv").string()), "the folder " + missing.string() + " does not exist");
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(log.Append(GoodBoard()), "the results log is not open");
    // Never CSV lines at the end of firmware: a file that is there and
    // does not start with the header is no log. One that does is taken.
    const fs::path firmware = Dir / "fw.hex";
    std::ofstream(firmware, std::ios::binary) << ":00000001FF\r\n";
    EXPECT_EQ(log.Open(firmware.string()), "it is not a results log: its first line is not the log's header");
    EXPECT_EQ(ReadAll(firmware), ":00000001FF\r\n");
    const fs::path earlier = Dir / "earlier.csv";
    std::ofstream(earlier, std::ios::binary) << ResultsLogHeader() << "\n";
    EXPECT_EQ(log.Open(earlier.string()), "");
    log.Close();
#ifndef _WIN32
    // Write-protected is refused also for root, who could write it.
    const fs::path locked = Dir / "locked.csv";
    std::ofstream(locked) << ResultsLogHeader() << "\n";
    ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
    EXPECT_EQ(log.Open(locked.string()), "the file is write-protected");
    EXPECT_EQ(ReadAll(locked), ResultsLogHeader() + "\n");
    // A terminal (a serial port is one too) would get the lines on its line.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    EXPECT_EQ(log.Open(ptsname(master)), "it is a terminal or a serial port, not a file");
    close(master);
#endif
}

#ifndef _WIN32
TEST_F(ResultsLogFile, StreamsGetTheLinesWithoutHeader) {
    const fs::path fifo = Dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ResultsLog log;
    // Nobody reading: refused at once rather than waiting for a reader.
    EXPECT_EQ(log.Open(fifo.string()), "no program reads from this FIFO");

    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(log.Open(fifo.string()), "");
    EXPECT_EQ(log.Append(GoodBoard()), "") << "a FIFO cannot be pushed to a disk, and that is no failure";
    std::string got(4096, '\0');
    const ssize_t n = read(reader, got.data(), got.size());
    ASSERT_GT(n, 0);
    got.resize(size_t(n));
    EXPECT_EQ(got, FormatResultsLogLine(GoodBoard()) + "\n");
    // The reader leaves: an error to report, not the end of the program.
    close(reader);
    EXPECT_EQ(log.Append(GoodBoard()), "no program is reading from it any more");
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE left waiting";

    // The program's own descriptors, as a pipe behind standard output is.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(log.Open("/dev/fd/" + std::to_string(pipeEnds[1])), "");
    EXPECT_EQ(log.Append(FailedBoard()), "");
    log.Close();
    close(pipeEnds[1]);
    got.assign(4096, '\0');
    const ssize_t m = read(pipeEnds[0], got.data(), got.size());
    ASSERT_GT(m, 0);
    got.resize(size_t(m));
    EXPECT_EQ(got, FormatResultsLogLine(FailedBoard()) + "\n");
    close(pipeEnds[0]);
}

TEST_F(ResultsLogFile, AFullDiskIsReported) {
    const fs::path path = Dir / "results.csv";
    ResultsLog log;
    ASSERT_EQ(log.Open(path.string()), "");
    const std::string line = FormatResultsLogLine(GoodBoard()) + "\n";
    const auto header = static_cast<rlim_t>(ResultsLogHeader().size() + 1);
    // Room for ten more bytes, as on a disk that runs full: the line goes
    // out in part, and that is said with the reason.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = header + 10;
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string failure = log.Append(GoodBoard());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(failure, "the line was written only in part (10 of " + std::to_string(line.size()) +
                           " bytes): File too large");
    // The part was cut off again: the next line follows the header whole.
    EXPECT_EQ(ReadAll(path), ResultsLogHeader() + "\n");
    ASSERT_EQ(log.Append(FailedBoard()), "");
    EXPECT_EQ(ReadAll(path), ResultsLogHeader() + "\n" + FormatResultsLogLine(FailedBoard()) + "\n");
}
#else
// A full disk under wine: ./dev test, as root, mounts a file system of one
// 4 KiB page and names a folder on it (PELK_WINE_FULL_DIR). A log that
// fills the page but 10 bytes takes only 10 bytes of the next line, which
// are cut off again.
TEST_F(ResultsLogFile, AFullDiskIsReported) {
    const char* dir = std::getenv("PELK_WINE_FULL_DIR");
    if (!dir || !*dir) GTEST_SKIP() << "needs a folder on a full file system, which ./dev test makes as root";
    const fs::path path = fs::path(dir) / "results.csv";
    {
        std::ofstream f(path, std::ios::binary);
        f << ResultsLogHeader() << "\n" << std::string(4096 - 10 - ResultsLogHeader().size() - 2, 'x') << "\n";
    }
    const std::string before = ReadAll(path);
    ASSERT_EQ(before.size(), 4086u);
    ResultsLog log;
    ASSERT_EQ(log.Open(path.string()), "");
    const std::string failure = log.Append(GoodBoard());
    EXPECT_NE(failure, "");
    EXPECT_EQ(failure.find("left in the file"), std::string::npos) << failure;
    const std::string after = ReadAll(path);
    EXPECT_EQ(after.size(), before.size()) << failure << "; the end: " << after.substr(before.size() - 8);
    EXPECT_TRUE(after == before);
    log.Close();
    fs::remove(path);
}
#endif

}  // namespace
}  // namespace pelk

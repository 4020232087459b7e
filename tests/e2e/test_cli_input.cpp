// End to end: pelkisp refuses to program or verify a file that is not what
// the user meant (and goes on with --force), shows the wire trace, and draws
// its progress bar on a terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <sstream>

#include "cli_fixture.h"

namespace pelk {
namespace {

using test::ChildProcess;
using test::CliRun;
using test::CliTest;
namespace fs = std::filesystem;

class CliInput : public CliTest {
protected:
    void File(const std::string& name, const std::string& bytes) {
        std::ofstream(Dir / name, std::ios::binary) << bytes;
    }
    // Resize: after this many bytes have come, the terminal is made this
    // many columns wide (0: never); ResizedAt gets where in the text it was.
    struct Resize {
        size_t AfterBytes = 0;
        unsigned short Columns = 0;
        size_t ResizedAt = 0;
    };
    std::string OnTerminal(const std::vector<std::string>& args, unsigned short columns,
                           const std::vector<std::string>& env, unsigned short rows = 24, Resize* resize = nullptr);
};

TEST_F(CliInput, DoubtfulFilesAreNotProgrammedUnlessForced) {
    File("empty.bin", "");
    File("nodata.hex", ":020000040000FA\n");
    File("cut.hex", ":0400000011223344" "52\r\n");
    File("bad.hex", ":0400000011223344" "53\r\n:00000001FF\r\n");
    File("high.hex", ":0400000011223344" "52\r\n:0180000055" "2A\r\n:00000001FF\r\n");
    File("ff.bin", std::string(256, '\xFF'));
    RandomImageFile("big.bin", 0x10000, 1);
    RandomImageFile("full.bin", 0x8000, 2);
    const struct {
        std::vector<std::string> args;
        int status;          // without --force
        std::string err;     // a line of standard error without --force
        std::string forced;  // a line of standard error with --force
        bool nothing = false;  // no block holds data: with --force the step says so and fails
    } cases[] = {
        {{"program", "empty.bin"}, 2, "pelkisp: empty.bin: nothing loaded: the file is empty\n",
         "pelkisp: empty.bin: no block holds data, so program and verify send nothing: only the erase reaches the chip\n", true},
        {{"program", "/dev/null"}, 2, "pelkisp: /dev/null: nothing loaded: the file is empty\n",
         "pelkisp: /dev/null: nothing loaded: the file is empty (going on: --force)\n", true},
        {{"program", "nodata.hex"}, 2, "pelkisp: nodata.hex: nothing loaded: no data record\n",
         "pelkisp: nodata.hex: no end record (:00000001FF): the file may be cut short (going on: --force)\n", true},
        {{"verify", "nodata.hex"}, 2, "pelkisp: nodata.hex: not verified; --force goes on all the same\n",
         "pelkisp: nodata.hex: no block holds data, so verify sends nothing: nothing reaches the chip and nothing is "
         "checked\n", true},
        {{"program", "cut.hex"}, 2, "pelkisp: cut.hex: no end record (:00000001FF): the file may be cut short\n",
         "pelkisp: cut.hex: 4 bytes in 00000-00003, CRC "},
        {{"program", "bad.hex"}, 2, "pelkisp: bad.hex: line 1: checksum 53, but the record's bytes give 52\n",
         "pelkisp: bad.hex: line 1: checksum 53, but the record's bytes give 52 (going on: --force)\n"},
        {{"-d", "W78E58B", "program", "big.bin"}, 2,
         "pelkisp: big.bin: 65536 bytes (up to 0FFFF) do not fit the W78E58B (last address 07FFF)\n",
         "pelkisp: big.bin: 65536 bytes (up to 0FFFF) do not fit the W78E58B (last address 07FFF) (going on: --force)\n"},
        {{"-d", "W78E58B", "program", "high.hex"}, 2,
         "pelkisp: high.hex: data up to 08000 does not fit the W78E58B (last address 07FFF): 1 byte left out\n",
         "(going on: --force)"},
        {{"-d", "W78E58B", "program", "full.bin", "--offset", "10"}, 2,
         "pelkisp: full.bin: --offset 00010: data up to 0800F does not fit the W78E58B (last address 07FFF)\n",
         "pelkisp: full.bin: 32752 bytes in 00010-07FFF, CRC "},
        {{"program", "ff.bin"}, 2, "pelkisp: ff.bin: nothing to program: every byte loaded is FF\n",
         "only the erase reaches the chip\n", true},
        // A range the user chose that fits is taken as it is.
        {{"-d", "W78E58B", "program", "high.hex", "--stop", "3"}, 0, "pelkisp: high.hex: 4 bytes in 00000-00003, CRC ",
         "pelkisp: high.hex: 4 bytes in 00000-00003, CRC "},
        {{"-d", "W78E58B", "program", "big.bin", "--stop", "7FFF"}, 0,
         "pelkisp: big.bin: 32768 bytes in 00000-07FFF, CRC ", "pelkisp: big.bin: 32768 bytes in 00000-07FFF, CRC "},
    };
    for (const auto& c : cases) {
        for (const bool force : {false, true}) {
            std::vector<std::string> args{"--port", "sim", "--sim-flash", "chip.bin"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            if (force) args.push_back("--force");
            fs::remove(Dir / "chip.bin");
            const CliRun r = Pelkisp(args);
            std::string line;
            for (const std::string& a : args) line += a + " ";
            SCOPED_TRACE(line + "\n" + r.Err);
            if (c.status == 2 && !force) {
                EXPECT_EQ(r.Status, 2);
                EXPECT_EQ(r.Out, "");
                EXPECT_NE(r.Err.find(c.err), std::string::npos);
                EXPECT_FALSE(fs::exists(Dir / "chip.bin")) << "the target was started";
            } else if (c.nothing) {
                EXPECT_EQ(r.Status, 1);
                EXPECT_TRUE(r.Out.ends_with(c.args[0] == "verify" ? "Nothing to verify: every byte of the device is FF.\n"
                                                                  : "Nothing to program: every byte of the device is FF.\n"))
                    << r.Out;
                EXPECT_NE(r.Err.find(c.forced), std::string::npos);
            } else {
                EXPECT_EQ(r.Status, 0);
                EXPECT_TRUE(r.Out.ends_with(c.args[0] == "verify" ? "Verification OK.\n" : "Device programmed.\nVerification OK.\n"))
                    << r.Out;
                EXPECT_NE(r.Err.find(force ? c.forced : c.err), std::string::npos);
            }
        }
    }
}

TEST_F(CliInput, TraceShowsEveryFrameAndReplyAndTheResendAfterACorruptedReply) {
    // The third reply (Verify's) goes out with a bad CRC: the frame is sent again.
    const std::string port = StartTarget({"--corrupt-every", "3"});
    const CliRun r = Pelkisp({"-p", port, "-b", "115200", "--before", "20ms", "--trace=trace.txt", "program",
                              std::string(PELK_EXAMPLES_DIR) + "/blinky.hex"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "Device erased.\nDevice programmed.\nVerification OK.\n");
    std::ifstream in(Dir / "trace.txt");
    std::vector<std::string> lines;  // the decoded lines, each with its time
    std::vector<std::string> bytes;  // the bytes under them, in hexadecimal
    const std::regex stamp(R"(^ *\d+\.\d{3} (.*)$)");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (line.rfind(std::string(12, ' '), 0) == 0) {
            bytes.push_back(line.substr(12));
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, m, stamp)) << "no millisecond timestamp: " << line;
        lines.push_back(m[1]);
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "-- port " + fs::canonical(port).string() +
                            " open: 115200 bit/s, 8 data bits, no parity, 1 stop bit, no flow control, raw");
    const std::vector<std::string> expected{
        "-- before 20ms",
        "-- Erase",
        "> preamble 55 FF FF",
        "> Erase       00000  CRC 5D64  (after the preamble)",
        "< reply 1 (done)  CRC A80D good",
        "-- Device erased.",
        "-- Program: 1 block",
        "> preamble 55 FF FF",
        "> Program     00000  CRC 0ACF  block 1 of 1  (after the preamble)",
        "< reply 1 (done)  CRC A80D good",
        "-- Device programmed.",
        "-- Verify: 1 block",
        "> preamble 55 FF FF",
        "> Verify      00000  CRC 42C5  block 1 of 1  (after the preamble)",
        "< reply 1 (done)  CRC A8F2 bad (should be A80D)",
        "> Verify      00000  CRC 42C5  again, transmission 2 of 10, after a reply with a bad CRC  (after the preamble)",
        "< reply 1 (done)  CRC A80D good",
        "-- Verification OK.",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected);
    // Every frame's 136 bytes (five lines of up to 32) and every reply's.
    ASSERT_EQ(bytes.size(), 4u * 5u + 4u);
    EXPECT_EQ(bytes[0].substr(0, 17), "99 87 06 00 00 00");
    EXPECT_EQ(bytes[5], "55 04 01 A8 0D");
    EXPECT_EQ(bytes[17], "55 04 01 A8 F2");
    EXPECT_EQ(bytes[4], "00 00 00 00 00 00 5D 64") << "the Erase frame ends with its CRC";
}

// Runs pelkisp with standard error on a pseudo-terminal of the given size
// and returns all it wrote there.
std::string CliInput::OnTerminal(const std::vector<std::string>& args, unsigned short columns,
                                 const std::vector<std::string>& env, unsigned short rows, Resize* resize) {
    int master = -1, slave = -1;
    winsize ws{rows, columns, 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) return "openpty failed";
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    ChildProcess p(PELKISP_PATH, args, Dir, -1, slave, env);
    close(slave);
    std::string screen;
    char buf[4096];
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 60000) <= 0) break;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the program has ended and closed it
        screen.append(buf, size_t(n));
        if (resize && resize->Columns != 0 && resize->ResizedAt == 0 && screen.size() >= resize->AfterBytes) {
            const winsize narrower{rows, resize->Columns, 0, 0};
            ioctl(master, TIOCSWINSZ, &narrower);
            resize->ResizedAt = screen.size();
        }
    }
    close(master);
    p.Wait();
    return screen;
}

TEST_F(CliInput, ProgressBarFitsTheTerminalAndKeepsToPlainTextOnADumbOne) {
    RandomImageFile("full.bin", 0x20000, 3);
    const std::vector<std::string> run{"-p", "sim", "-d", "W77E532", "program", "full.bin"};
    const struct {
        unsigned short columns;
        std::vector<std::string> env;
        size_t width;
        bool escapes;
    } cases[] = {
        {50, {"TERM=xterm"}, 50, true},
        {0, {"TERM=dumb", "COLUMNS=40"}, 40, false},  // no size on the terminal: COLUMNS
        {120, {"TERM=dumb"}, 120, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> env = Env(c.env);
        const std::string screen = OnTerminal(run, c.columns, env);
        SCOPED_TRACE(screen);
        EXPECT_EQ(screen.find('\033') != std::string::npos, c.escapes);
        // Every state the bar was drawn in fits the width; the last of each
        // line is the step's end, at 100%.
        std::istringstream lines(screen);
        std::vector<std::string> finals;
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::string last;
            std::istringstream draws(line);
            for (std::string d; std::getline(draws, d, '\r');) {
                const std::string text = d.substr(0, d.find("\033[K"));
                if (text.find('%') != std::string::npos) {
                    EXPECT_LT(text.size(), c.width) << text;
                }
                if (!text.empty()) last = text;
            }
            if (last.find('%') != std::string::npos) finals.push_back(last);
        }
        ASSERT_EQ(finals.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(finals[i].rfind(std::vector<std::string>{"Erasing", "Programming", "Verifying"}[i], 0), 0u);
            EXPECT_NE(finals[i].find("100%"), std::string::npos);
        }
        EXPECT_NE(finals[1].find("B/s"), std::string::npos) << "bytes per second";
        EXPECT_NE(screen.find(" left"), std::string::npos) << "the time left";
    }
    // -q: nothing at all on the terminal, and nothing on standard output.
    EXPECT_EQ(OnTerminal({"-q", "-p", "sim", "-d", "W77E532", "program", "full.bin"}, 80, Env({"TERM=xterm"})), "");
    const CliRun quiet = Pelkisp({"-q", "-p", "sim", "erase"});
    EXPECT_EQ(quiet.Status, 0);
    EXPECT_EQ(quiet.Out + quiet.Err, "");
}

// What a terminal shows after `text`, scrollback included: the controls
// pelkisp uses (CR, LF, erase to the end of the line, cursor up, erase to
// the end of the screen), lines wrapped at the width, a height beyond which
// rows scroll away where the cursor cannot reach them, and, at `resizedAt`,
// a new width to which every line is wrapped again (as most terminals do
// when made narrower). Returns the lines; `widest` gets the longest row
// ever drawn.
std::vector<std::string> Screen(const std::string& text, size_t& widest, size_t width = 1000, size_t height = 1000,
                                size_t resizedAt = 0, size_t newWidth = 0) {
    std::vector<std::string> lines(1);  // logical lines; a wrapped one takes several rows
    size_t line = 0, col = 0;
    widest = 0;
    auto rowsOf = [&](const std::string& l) { return l.empty() ? size_t{1} : (l.size() + width - 1) / width; };
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == resizedAt && newWidth != 0) width = newWidth;
        const char c = text[i];
        if (c == '\r') {
            col = col / width * width;  // to the start of its row
        } else if (c == '\n') {
            if (++line == lines.size()) lines.emplace_back();
            col = 0;
        } else if (c == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t j = i + 2, n = 0;
            while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) n = n * 10 + size_t(text[j++] - '0');
            if (j >= text.size()) break;
            if (text[j] == 'K') {
                lines[line].resize(std::min(lines[line].size(), col));
            } else if (text[j] == 'A') {
                // Up n rows, never above the first row still on the screen.
                size_t total = 0, at = 0;
                for (size_t k = 0; k < lines.size(); ++k) {
                    if (k == line) at = total + col / width;
                    total += rowsOf(lines[k]);
                }
                const size_t top = total > height ? total - height : 0;
                size_t target = at >= (n == 0 ? 1 : n) ? at - (n == 0 ? 1 : n) : 0;
                if (target < top) target = top;
                size_t start = 0;
                for (line = 0; line + 1 < lines.size() && start + rowsOf(lines[line]) <= target; ++line)
                    start += rowsOf(lines[line]);
                col = (target - start) * width;
            } else if (text[j] == 'J') {
                lines[line].resize(std::min(lines[line].size(), col));
                lines.resize(line + 1);
            }
            i = j;
        } else {
            if (lines[line].size() <= col) lines[line].resize(col + 1, ' ');
            lines[line][col++] = c;
            widest = std::max(widest, std::min(lines[line].size(), width));
        }
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// Several boards on a terminal: a line per board, redrawn in place; what
// stays on the screen is each step's final line, each with its port, and
// the summary. On a dumb terminal (no cursor movement) there are no bars.
TEST_F(CliInput, SeveralBoardsShareTheTerminalALinePerBoard) {
    RandomImageFile("image.bin", 0x2000, 9);
    const std::string a = StartTarget({"--pace", "115200"});
    const std::string b = StartTarget({});
    const std::vector<std::string> run{"-p", a, "-p", b, "-b", "115200", "program", "image.bin"};
    const std::string screen = OnTerminal(run, 70, Env({"TERM=xterm"}));
    size_t widest = 0;
    const std::vector<std::string> rows = Screen(screen, widest);
    EXPECT_LT(widest, 70u) << screen;
    std::vector<std::string> bars[2], summary[2];
    for (const std::string& row : rows) {
        for (int i = 0; i < 2; ++i) {
            const std::string& port = i == 0 ? a : b;
            if (!row.starts_with(port + ": ")) continue;
            (row.find('%') != std::string::npos ? bars : summary)[i].push_back(row.substr(port.size() + 2));
        }
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? a : b);
        ASSERT_EQ(bars[i].size(), 3u) << screen;
        for (size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(bars[i][k].rfind(std::vector<std::string>{"Erasing", "Programming", "Verifying"}[k], 0), 0u);
            EXPECT_NE(bars[i][k].find("100%"), std::string::npos) << bars[i][k];
        }
        ASSERT_EQ(summary[i].size(), 1u) << screen;
        EXPECT_EQ(summary[i][0].rfind("succeeded in ", 0), 0u) << summary[i][0];
    }
    // Lines of other kinds: the load's summary alone.
    EXPECT_EQ(rows.size(), 2 * 4 + 1u) << screen;

    // A board that waits for a reply says so in its bar.
    const std::string held = StartTarget({"--stall", "1:2500"});
    const std::string waiting = OnTerminal({"-p", held, "-p", b, "-b", "115200", "erase"}, 70, Env({"TERM=xterm"}));
    EXPECT_NE(waiting.find(held + ": Erasing       0%  no reply, transmission 1 of 10"), std::string::npos) << waiting;

    const std::string dumb = OnTerminal(run, 70, Env({"TERM=dumb"}));
    EXPECT_EQ(dumb.find('%'), std::string::npos) << dumb;
    EXPECT_NE(dumb.find(a + ": succeeded in "), std::string::npos) << dumb;
}

// No bar line is left behind in the scrollback: with more boards than the
// terminal has rows, with a port's name wider than the terminal, and when
// the terminal is made narrower in the middle of the run. What stays is
// each step's final line (100%) and the summaries.
TEST_F(CliInput, ProgressLeavesNoStaleLines) {
    RandomImageFile("image.bin", 0x4000, 9);
    std::vector<std::string> fiveBoards;
    for (int i = 0; i < 5; ++i) fiveBoards.insert(fiveBoards.end(), {"-p", "sim"});
    fiveBoards.insert(fiveBoards.end(), {"program", "image.bin"});
    const std::string paced = StartTarget({"--pace", "115200"});
    const std::string other = StartTarget({"--pace", "115200"});
    const struct {
        const char* name;
        std::vector<std::string> args;
        unsigned short columns, rows, narrower;
    } cases[] = {
        {"five boards, four rows", fiveBoards, 80, 4, 0},
        {"a port wider than the terminal", {"-p", paced, "-p", other, "-b", "115200", "program", "image.bin"}, 8, 24, 0},
        {"narrower in the middle", {"-p", paced, "-p", other, "-b", "115200", "program", "image.bin"}, 120, 24, 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Resize resize{600, c.narrower, 0};
        const std::string text = OnTerminal(c.args, c.columns, Env({"TERM=xterm"}), c.rows, &resize);
        size_t widest = 0;
        const std::vector<std::string> lines =
            Screen(text, widest, c.columns, c.rows, resize.ResizedAt, c.narrower);
        for (const std::string& line : lines) {
            const bool bar = line.find('%') != std::string::npos;
            EXPECT_TRUE(!bar || line.find("100%") != std::string::npos) << "left behind: " << line << "\n" << text;
            EXPECT_EQ(line.find("more boards"), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace pelk

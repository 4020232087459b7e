#pragma once
// Everything one pelkisp session shows goes through here: result lines on
// standard output, and on standard error the summaries, verbose notes,
// errors, the wire trace (when it goes there) and the progress bar. So the
// rules live in one place: -q keeps only errors, -v adds notes, a line
// written while the bar is shown first clears the bar, and every line can
// carry a prefix (for several sessions at once, one per port).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pelk {

// One line of the progress bar, `width` columns at most (one less, so that
// the terminal does not wrap): the step's name, a bar (left out when there is
// no room), the percentage, bytes per second and the time left, or at the end
// the time taken. `total` 0: a step without blocks (Erase, Blank check),
// shown by its time alone. A `note` (a board waiting for a reply) takes the
// place of the rate and the time.
std::string FormatProgress(const std::string& step, uint64_t done, uint64_t total, double seconds, int width,
                           bool finished, const std::string& note = "");

// Columns of the terminal on `stream`, else COLUMNS, else 80.
int TerminalWidth(std::FILE* stream);
// Rows of the terminal on `stream`, else LINES, else 24.
int TerminalHeight(std::FILE* stream);
// Screen rows that a line of `length` columns takes on a terminal `width`
// columns wide: a terminal made narrower after the line was drawn wraps it.
size_t RowsOf(size_t length, int width);

class CliConsole;

// The progress bars of several boards at once on one terminal: one line per
// board, in a block below the other output, redrawn in place (with cursor
// movement, so not on a TERM=dumb terminal). A line of output first erases
// the block and draws it again below itself. The block never leaves a line
// behind in the scrollback: it is at most one row less than the terminal is
// high (boards beyond that are counted in its last line), each line is cut
// to the terminal's width, and lines that a narrower terminal now wraps are
// erased row by row.
class ProgressLines {
public:
    explicit ProgressLines(std::FILE* err) : Err(err) {}
    // A place in the block, in the order of the calls (one per board).
    size_t Slot();
    // Shows `line` in `slot` (empty: none) and redraws the block.
    void Set(size_t slot, std::string line);
    // Erases the block; the cursor is where it began.
    void Clear();
    // Draws the block.
    void Draw();

private:
    std::FILE* Err;
    std::vector<std::string> Lines;
    std::vector<size_t> DrawnLengths;  // of the lines on the screen, in order
};

class CliConsole {
public:
    enum class Level { Quiet, Normal, Verbose };
    CliConsole(std::FILE* out, std::FILE* err, Level level);

    // Put before every line (empty: none).
    std::string Prefix;

    // A result line, exactly the engine's message, on standard output
    // (not with -q). A failed write is noted (OutputError), not fatal.
    void Result(const std::string& line);
    // "pelkisp: " + text on standard error, always (with a prefix, the
    // prefix instead of "pelkisp: ").
    void Error(const std::string& text);
    // A line on standard error as it is (a board's summary).
    void Plain(const std::string& text);
    // A summary line on standard error (not with -q).
    void Note(const std::string& text);
    // A detail on standard error with -v only.
    void Verbose(const std::string& text);
    bool IsVerbose() const { return Lvl == Level::Verbose; }
    // Lines of the wire trace, when it goes to standard error.
    void TraceText(const std::string& lines);

    // The progress bar: drawn only when standard error is a terminal and not
    // with -q; with TERM=dumb without escape codes. Begin names the step
    // ("Programming") and its size in bytes (0: none); Update moves it;
    // Tick redraws the time now and then; End draws the final state (100%
    // when completed) and ends the line.
    void SetProgressShown(bool shown) { Live = shown; }
    // Draws the bar in a line of `lines` rather than on its own (several
    // boards on one terminal); nothing on a TERM=dumb terminal.
    void ShareProgress(ProgressLines* lines);
    bool ProgressShown() const { return Live; }
    void ProgressBegin(const std::string& step, uint64_t total);
    void ProgressUpdate(uint64_t done);
    void ProgressTick();
    void ProgressEnd(bool completed);
    // Shown in the bar in place of the rate while it is not empty ("no
    // reply, transmission 3 of 10"); redrawn at once when it changes.
    void ProgressNote(const std::string& note);

    // The error of the first result line that could not be written, 0 if none.
    int OutputError() const { return OutError; }

private:
    std::string Named(const std::string& text) const;
    void ToErr(const std::string& text);
    void Redraw();
    void ClearBar();
    void DrawBar(bool finished);

    std::FILE* Out;
    std::FILE* Err;
    Level Lvl;
    ProgressLines* Shared = nullptr;
    size_t SharedSlot = 0;
    int OutError = 0;
    bool Live = false;   // draw the bar
    bool Plain_ = false; // TERM=dumb: no escape codes
    bool BarOn = false;  // a step's bar is running
    bool BarDrawn = false;
    size_t DrawnLength = 0;
    std::string Step, Drawn, BarNote;
    int DrawnWidth = 0;  // the terminal's width when the bar was drawn
    uint64_t Total = 0, Done = 0;
    std::chrono::steady_clock::time_point Began, LastDraw;
};

}  // namespace pelk

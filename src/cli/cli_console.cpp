#include "cli/cli_console.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/cli_platform.h"

namespace pelk {

namespace {

std::string Printf(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Rate(double bytesPerSecond) {
    return bytesPerSecond < 1000 ? Printf("%.0f B/s", bytesPerSecond) : Printf("%.1f kB/s", bytesPerSecond / 1000);
}

std::string Clock(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

constexpr auto RedrawEvery = std::chrono::milliseconds(100);

}  // namespace

std::string FormatProgress(const std::string& step, uint64_t done, uint64_t total, double seconds, int width,
                           bool finished, const std::string& note) {
    const int percent = finished ? 100 : total == 0 ? 0 : static_cast<int>(std::min<uint64_t>(done * 100 / total, 100));
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string head = step;
    if (head.size() < 12) head.resize(12, ' ');
    // The tail, from the fullest form to the shortest.
    const std::string pct = Printf("%3.0f%%", percent);
    std::vector<std::string> tails;
    if (!note.empty() && !finished) {
        tails.push_back(pct + "  " + note);
    } else if (finished) {
        if (total > 0) tails.push_back(pct + "  " + Rate(rate) + "  " + Printf("%.2f s", seconds));
        tails.push_back(pct + "  " + Printf("%.2f s", seconds));
    } else if (total > 0) {
        const std::string left = rate > 0 ? Clock(static_cast<double>(total - std::min(done, total)) / rate) : "-:--";
        tails.push_back(pct + "  " + Rate(rate) + "  " + left + " left");
        tails.push_back(pct + "  " + left + " left");
    } else {
        tails.push_back(pct + "  " + Printf("%.1f s", seconds));
    }
    tails.push_back(pct);
    const size_t room = width > 1 ? static_cast<size_t>(width - 1) : 0;
    for (const std::string& tail : tails) {
        // With a bar of at least 10 columns (at most 40), else without.
        const size_t fixed = head.size() + 3 + tail.size();
        if (fixed + 10 <= room) {
            const size_t bar = std::min<size_t>(room - fixed, 40);
            const size_t filled = bar * static_cast<size_t>(percent) / 100;
            return head + "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " + tail;
        }
        if (head.size() + tail.size() <= room) return head + tail;
    }
    // Too narrow even for that: the name is cut, the percentage stays.
    const size_t name = room > pct.size() + 1 ? room - pct.size() - 1 : 0;
    std::string line = step.substr(0, name) + " " + pct;
    if (line.size() > room) line.erase(0, line.size() - room);
    return line;
}

int TerminalWidth(std::FILE* stream) {
    if (const int columns = TerminalColumns(stream); columns > 0) return columns;
    if (const char* columns = std::getenv("COLUMNS")) {
        const long n = std::strtol(columns, nullptr, 10);
        if (n > 0 && n < 10000) return static_cast<int>(n);
    }
    return 80;
}

int TerminalHeight(std::FILE* stream) {
    if (const int rows = TerminalRows(stream); rows > 0) return rows;
    if (const char* rows = std::getenv("LINES")) {
        const long n = std::strtol(rows, nullptr, 10);
        if (n > 0 && n < 10000) return static_cast<int>(n);
    }
    return 24;
}

size_t RowsOf(size_t length, int width) {
    const size_t w = width > 0 ? static_cast<size_t>(width) : 1;
    return length == 0 ? 1 : (length + w - 1) / w;
}

size_t ProgressLines::Slot() {
    Lines.emplace_back();
    return Lines.size() - 1;
}

void ProgressLines::Set(size_t slot, std::string line) {
    if (slot >= Lines.size() || Lines[slot] == line) return;
    Clear();
    Lines[slot] = std::move(line);
    Draw();
}

void ProgressLines::Clear() {
    if (DrawnLengths.empty()) return;
    const int width = TerminalWidth(Err);
    size_t rows = 0;
    for (const size_t length : DrawnLengths) rows += RowsOf(length, width);
    EraseTerminalLines(Err, rows);
    std::fflush(Err);
    DrawnLengths.clear();
}

void ProgressLines::Draw() {
    if (!DrawnLengths.empty()) return;
    const size_t width = static_cast<size_t>(std::max(TerminalWidth(Err), 2) - 1);
    const size_t room = static_cast<size_t>(std::max(TerminalHeight(Err), 2) - 1);
    std::vector<std::string> shown;
    for (const std::string& line : Lines)
        if (!line.empty()) shown.push_back(line);
    if (shown.size() > room) {
        // More boards than rows: the block would push its first lines into
        // the scrollback, where nothing can erase them.
        const size_t more = shown.size() - (room - 1);
        shown.resize(room - 1);
        shown.push_back("(" + std::to_string(more) + " more boards)");
    }
    for (std::string& line : shown) {
        if (line.size() > width) line.resize(width);
        RewriteTerminalLine(Err, line);
        std::fputs("\n", Err);
        DrawnLengths.push_back(line.size());
    }
    std::fflush(Err);
}

CliConsole::CliConsole(std::FILE* out, std::FILE* err, Level level) : Out(out), Err(err), Lvl(level) {
    Live = level != Level::Quiet && IsTerminal(err);
    Plain_ = !TerminalRedrawsInPlace(err);
}

void CliConsole::ShareProgress(ProgressLines* lines) {
    Shared = Live && !Plain_ ? lines : nullptr;
    if (Shared) SharedSlot = Shared->Slot();
    else if (lines) Live = false;
}

void CliConsole::Result(const std::string& line) {
    if (Lvl == Level::Quiet) return;
    ClearBar();
    // A failed write is noted, not fatal: the run goes on to its end (a
    // half-programmed chip helps nobody) and the exit status tells. Some C
    // libraries report it only in the stream's error flag (wine's, for a
    // full device: fputs and fflush succeed).
    errno = 0;
    const bool ok = WriteText(Out, Prefix + line + "\n") && std::fflush(Out) == 0 && !std::ferror(Out);
    if (!ok && OutError == 0) OutError = errno != 0 ? errno : EIO;
    Redraw();
}

void CliConsole::ToErr(const std::string& text) {
    ClearBar();
    WriteText(Err, Prefix + text + "\n");
    std::fflush(Err);
    Redraw();
}

void CliConsole::Redraw() {
    if (Shared) Shared->Draw();
}

// With several boards a line starts with its port instead of the program's
// name: "COM2: ...", never "COM2: pelkisp: ...".
std::string CliConsole::Named(const std::string& text) const { return Prefix.empty() ? "pelkisp: " + text : text; }

void CliConsole::Error(const std::string& text) { ToErr(Named(text)); }
void CliConsole::Plain(const std::string& text) { ToErr(text); }

void CliConsole::Note(const std::string& text) {
    if (Lvl != Level::Quiet) ToErr(Named(text));
}

void CliConsole::Verbose(const std::string& text) {
    if (Lvl == Level::Verbose) ToErr(Named(text));
}

void CliConsole::TraceText(const std::string& lines) {
    ClearBar();
    struct RedrawAtEnd {
        CliConsole* C;
        ~RedrawAtEnd() { C->Redraw(); }
    } redraw{this};
    size_t start = 0;
    while (start < lines.size()) {
        const size_t end = lines.find('\n', start);
        const std::string line = lines.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::fprintf(Err, "%s%s\n", Prefix.c_str(), line.c_str());
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::fflush(Err);
}

void CliConsole::ProgressBegin(const std::string& step, uint64_t total) {
    if (!Live) return;
    Step = step;
    Total = total;
    Done = 0;
    BarNote.clear();
    BarOn = true;
    Began = std::chrono::steady_clock::now();
    DrawBar(false);
}

void CliConsole::ProgressUpdate(uint64_t done) {
    if (!BarOn) return;
    Done = done;
    if (std::chrono::steady_clock::now() - LastDraw >= RedrawEvery) DrawBar(false);
}

void CliConsole::ProgressTick() {
    if (BarOn && std::chrono::steady_clock::now() - LastDraw >= RedrawEvery) DrawBar(false);
}

void CliConsole::ProgressNote(const std::string& note) {
    if (!BarOn || note == BarNote) return;
    BarNote = note;
    DrawBar(false);
}

void CliConsole::ProgressEnd(bool completed) {
    if (!BarOn) return;
    if (completed) Done = Total;
    BarNote.clear();
    if (Shared) {
        // The step's last state stays as a line of its own above the block.
        BarOn = false;
        DrawBar(completed);
        Shared->Set(SharedSlot, "");
        Shared->Clear();
        std::fputs((Drawn + "\n").c_str(), Err);
        std::fflush(Err);
        Shared->Draw();
        return;
    }
    DrawBar(completed);
    std::fputs("\n", Err);
    std::fflush(Err);
    BarOn = BarDrawn = false;
    DrawnLength = 0;
}

void CliConsole::DrawBar(bool finished) {
    LastDraw = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(LastDraw - Began).count();
    const int columns = TerminalWidth(Err);
    const int width = columns - static_cast<int>(Prefix.size());
    std::string line = Prefix + FormatProgress(Step, Done, Total, seconds, width, finished, BarNote);
    // A prefix wider than the terminal would make the line wrap.
    if (columns > 1 && line.size() >= static_cast<size_t>(columns)) line.resize(static_cast<size_t>(columns - 1));
    if (Shared) {
        Drawn = line;
        if (!finished) Shared->Set(SharedSlot, line);
        return;
    }
    if (BarDrawn && line == Drawn && !finished && columns == DrawnWidth) return;
    if (Plain_) {
        // Plain terminals: spaces cover what is left of a longer line drawn
        // before.
        const size_t left = DrawnLength > line.size() ? DrawnLength - line.size() : 0;
        std::fputs(("\r" + line + std::string(left, ' ')).c_str(), Err);
    } else {
        // The line drawn before, now wrapped by a narrower terminal, is
        // erased from its first row.
        const size_t up = BarDrawn ? RowsOf(DrawnLength, columns) - 1 : 0;
        if (up > 0) EraseTerminalLines(Err, up);
        RewriteTerminalLine(Err, line);
    }
    std::fflush(Err);
    Drawn = line;
    DrawnLength = line.size();
    DrawnWidth = columns;
    BarDrawn = true;
}

void CliConsole::ClearBar() {
    if (Shared) return Shared->Clear();
    if (!BarDrawn) return;
    if (Plain_) {
        std::fprintf(Err, "\r%s\r", std::string(DrawnLength, ' ').c_str());
    } else {
        const size_t up = RowsOf(DrawnLength, TerminalWidth(Err)) - 1;
        if (up > 0) EraseTerminalLines(Err, up);
        else RewriteTerminalLine(Err, "");
    }
    BarDrawn = false;
    DrawnLength = 0;
}

}  // namespace pelk

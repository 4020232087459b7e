#pragma once
// What pelkisp needs from the operating system beyond standard C++, each in
// one small function, so that a port to another system adds one file of
// its own (as posix/platform.cpp and win32/platform.cpp are) and changes
// nothing else.
#include <cstdio>
#include <string>
#include <vector>

namespace pelk {

// A write to a closed pipe fails (EPIPE) instead of ending the process.
void IgnoreBrokenPipe();
// Writes `text` (UTF-8) to `stream`, as fputs does, except onto a Windows
// console, which gets it in UTF-16 so that every name shows as it is.
// False when it could not be written.
bool WriteText(std::FILE* stream, const std::string& text);
// True when the stream is a terminal.
bool IsTerminal(std::FILE* stream);
// Columns of the terminal on the stream, 0 when it is not one or does not say.
int TerminalColumns(std::FILE* stream);
// Rows of the terminal on the stream, 0 when it is not one or does not say.
int TerminalRows(std::FILE* stream);
// True when the progress bar may redraw in place on this terminal with the
// two calls below; false: it covers the old line with blanks (TERM=dumb).
bool TerminalRedrawsInPlace(std::FILE* stream);
// Writes `line` over the cursor's line from its first column and erases
// the rest of that line; the cursor stays after it.
void RewriteTerminalLine(std::FILE* stream, const std::string& line);
// Erases the `count` lines above the cursor's and everything below them; the
// cursor goes to the first column of the topmost.
void EraseTerminalLines(std::FILE* stream, size_t count);
// True when both names lead to the same existing file.
bool SameFile(const std::string& one, const std::string& other);
// True when both names name one file: the same existing file, or, where
// one does not exist yet, the same place.
bool NameOneFile(const std::string& one, const std::string& other);
// Opens a text file to be written as the run goes (created or emptied) by
// the rules of every file the programs write, not inherited by child
// processes; "-" is standard output. nullptr with the reason (the name
// first) in `why`.
std::FILE* OpenOutputText(const std::string& path, std::string& why);

// For -v: what the port name `port` stands for, the device `path` being open.
std::string PortNameNote(const std::string& port, const std::string& path);
// The parts of --help that differ from one system to another.
struct PlatformHelpText {
    std::string PortsCommand;  // the `ports` command's lines
    std::string PortOptions;   // the lines of -p and of the options that go with it
    std::string Terminal;      // where the progress bar is drawn: "terminal", "console"
    std::string StopStatuses;  // the exit statuses of a stopped run, after status 3's
};
PlatformHelpText PlatformHelp();

}  // namespace pelk

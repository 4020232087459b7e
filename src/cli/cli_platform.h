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
// Writes Text (UTF-8) to Stream, as fputs does, except onto a Windows
// console, which gets it in UTF-16 so that every name shows as it is.
// False when it could not be written.
bool WriteText(std::FILE* Stream, const std::string& Text);
// True when the stream is a terminal.
bool IsTerminal(std::FILE* Stream);
// Columns of the terminal on the stream, 0 when it is not one or does not say.
int TerminalColumns(std::FILE* Stream);
// Rows of the terminal on the stream, 0 when it is not one or does not say.
int TerminalRows(std::FILE* Stream);
// True when the progress bar may redraw in place on this terminal with the
// two calls below; false: it covers the old line with blanks (TERM=dumb).
bool TerminalRedrawsInPlace(std::FILE* Stream);
// Writes Line over the cursor's line from its first column and erases the
// rest of that line; the cursor stays after Line.
void RewriteTerminalLine(std::FILE* Stream, const std::string& Line);
// Erases the Count lines above the cursor's and everything below them; the
// cursor goes to the first column of the topmost.
void EraseTerminalLines(std::FILE* Stream, size_t Count);
// True when both names lead to the same existing file.
bool SameFile(const std::string& A, const std::string& B);
// True when both names name one file: the same existing file, or, where
// one does not exist yet, the same place.
bool NameOneFile(const std::string& A, const std::string& B);
// Opens a text file to be written as the run goes (created or emptied) by
// the rules of every file the programs write, not inherited by child
// processes; "-" is standard output. nullptr with the reason (the name
// first) in Why.
std::FILE* OpenOutputText(const std::string& Path, std::string& Why);

// For -v: what the port name Port stands for, the device Path being open.
std::string PortNameNote(const std::string& Port, const std::string& Path);
// The parts of --help that differ from one system to another.
struct PlatformHelpText {
    std::string PortsCommand;  // the `ports` command's lines
    std::string PortOptions;   // the lines of -p and of the options that go with it
    std::string Terminal;      // where the progress bar is drawn: "terminal", "console"
    std::string StopStatuses;  // the exit statuses of a stopped run, after status 3's
};
PlatformHelpText PlatformHelp();

}  // namespace pelk

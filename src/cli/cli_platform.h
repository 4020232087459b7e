#pragma once
// What pelkisp needs from the operating system beyond standard C++, each in
// one small function, so that a port to another system replaces this one
// file's implementation (cli_platform_posix.cpp) and nothing else.
#include <cstdio>
#include <string>

namespace pelk {

// A write to a closed pipe fails (EPIPE) instead of ending the process.
void IgnoreBrokenPipe();
// True when the stream is a terminal.
bool IsTerminal(std::FILE* Stream);
// Columns of the terminal on the stream, 0 when it is not one or does not say.
int TerminalColumns(std::FILE* Stream);
// True when both names lead to the same existing file.
bool SameFile(const std::string& A, const std::string& B);
// Opens a text file for writing (created or emptied), not inherited by
// child processes; nullptr with errno set when it cannot be opened.
std::FILE* OpenOutputText(const std::string& Path);

}  // namespace pelk

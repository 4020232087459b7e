#pragma once
// The console facts a command-line program needs on Windows, for one C
// runtime descriptor (0, 1, 2 or one of its own): whether it is a console,
// how wide the console's window is, how text in UTF-8 goes onto it, and the
// two ways the progress bar redraws in place there.
#include <string_view>

namespace pelk::win32 {

// A console (GetConsoleMode succeeds on its handle). NUL, which the C
// library's isatty also calls a character device, is none; nor is a file
// or a pipe (a terminal emulator that talks through pipes included).
bool IsConsole(int Fd);

// The columns of the console's window (not of its buffer, which may be far
// wider); 0 when Fd is no console.
int ConsoleColumns(int Fd);

// Writes Text (UTF-8) at the console's cursor, in UTF-16, so that every
// character shows as it is. The C library cannot: it converts what it
// writes to a console from the ANSI code page, so a UTF-8 name such as
// "Ωmega.hex" would show as "Î©mega.hex". Line breaks may be plain LF.
// False when Fd is no console or the console refuses the text.
bool WriteConsoleText(int Fd, std::string_view Text);

// Redrawing in place with the console's own calls (cursor position, fill),
// which every Windows console honours: escape codes are obeyed only by
// consoles that have virtual terminal processing (Windows 10 on), and
// wine's console, which claims it, shows them as text.
//
// Writes Text (UTF-8) over the cursor's row from its first column and
// blanks the rest of the row; the cursor ends after Text. False when Fd
// is no console (nothing is written then).
bool RewriteConsoleRow(int Fd, std::string_view Text);
// Blanks the Count rows above the cursor's, its own and those below it to
// the window's bottom; the cursor goes to the first column of the topmost
// of them. False when Fd is no console.
bool EraseConsoleRows(int Fd, int Count);

}  // namespace pelk::win32

#pragma once
// The console facts a command-line program needs on Windows, for one C
// runtime descriptor (0, 1, 2 or one of its own): whether it is a console,
// how wide the console's window is, and whether it takes the escape codes
// that redraw a line in place.
namespace pelk::win32 {

// A console (GetConsoleMode succeeds on its handle). NUL, which the C
// library's isatty also calls a character device, is none; nor is a file
// or a pipe (a terminal emulator that talks through pipes included).
bool IsConsole(int Fd);

// The columns of the console's window (not of its buffer, which may be far
// wider); 0 when Fd is no console.
int ConsoleColumns(int Fd);

// Switches virtual terminal processing on for the console on Fd, so that
// escape codes (erase to the end of the line) are obeyed rather than shown;
// true when the console has it on now. Consoles before Windows 10 refuse
// it, and a program then draws without escape codes, as for TERM=dumb.
// TERM=dumb in the environment is obeyed here too. The console's former
// mode is put back when the program exits.
bool EnableEscapeCodes(int Fd);

}  // namespace pelk::win32

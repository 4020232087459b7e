#pragma once
// What the command line needs to know of the terminal it writes to, behind
// the platform: whether a descriptor is a terminal (a console on Windows),
// how wide it is, and whether it takes the escape codes that redraw a line
// in place.
namespace pelk {

// A terminal: isatty on Linux; on Windows a console (GetConsoleMode), so
// that NUL, which the C library also calls a character device, is not one.
bool IsTerminal(int Fd);

// Its columns; 0 when the descriptor is no terminal or does not tell.
int TerminalColumns(int Fd);

// Whether the in-place redraw may use escape codes (erase to the end of the
// line) on this terminal. Linux: TERM is set and not "dumb". Windows: TERM
// is not "dumb" and the console takes virtual terminal processing, which is
// switched on here; a console that refuses it gets none.
bool TerminalTakesEscapeCodes(int Fd);

}  // namespace pelk

#pragma once
// The system's own text for an error code on Windows (GetLastError's), the
// one place the programs get it from: the writer of output files, the
// results log and the serial device layer.
#include <string>

namespace pelk::win32 {

// FormatMessage's text for Code in UTF-8, without the line break and the
// full stop that end it, since it always goes into a sentence of ours
// ("out.bin: Access is denied", "... (5), Access is denied"), as strerror's
// text does on Linux. A code the system has no text for gives
// "Unknown error N", as strerror says it.
std::string SystemErrorText(unsigned long Code);

}  // namespace pelk::win32

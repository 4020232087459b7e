#pragma once
// Where the file functions send their messages. The window shows each one in
// a modal message box; the command-line tool prints it to stderr; tests
// collect them.
#include <string>

namespace pelk {

namespace msg {
inline constexpr const char* CantOpenFile = "Can't open file";
inline constexpr const char* HexChecksumError = "Checksum Error in HEX File !";
inline constexpr const char* CantWriteFile = "Can't write file";
}  // namespace msg

class FileReporter {
public:
    virtual ~FileReporter() = default;
    virtual void Message(const std::string& text) = 0;
    // The message with the reason behind it ("out.hex: No space left on
    // device"). The window shows the fixed message alone; the command line
    // prints the reason too.
    virtual void MessageWithReason(const std::string& text, const std::string& /*reason*/) { Message(text); }
};

}  // namespace pelk

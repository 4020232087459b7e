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
};

}  // namespace pelk

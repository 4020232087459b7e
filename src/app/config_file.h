#pragma once
// The settings file "PelkISP.cfg": six text lines, read once at start and
// written once at exit.
//
//   1  header "PELKORD ISP Configuration File" (any text is accepted)
//   2  serial port number          (not an integer: 0)
//   3  device index                (not an integer: 1)
//   4  directory of the last opened file, verbatim
//   5  baud rate index, signed     (not an integer: 6)
//   6  automatic baud flag         (not an integer: 1)
//
// A valid integer is an optional '-' and one or more decimal digits within
// 32 bits; ports, devices and the flag keep its low 8 bits. No ranges are
// checked here: start-up applies its own fall-backs.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace pelk {

inline constexpr const char* ConfigFileName = "PelkISP.cfg";
inline constexpr const char* ConfigHeader = "PELKORD ISP Configuration File";
// The longest line the reader takes; a longer one breaks the rest of the file.
constexpr size_t ConfigLineLimit = 99;

// What the start-up sequence takes from the file.
struct ConfigSettings {
    bool Found = false;         // the file could be opened
    uint8_t PortNumber = 0;     // P: 1..4 for COM1..COM4, anything else no port
    uint8_t DeviceIndex = 0;    // 0 when there was no file
    std::string Directory;      // the open dialog's starting directory; empty when unset
    int32_t BaudIndex = 0;      // 0 when there was no file (AutoBaud then forces 6)
    uint8_t AutoBaud = 1;       // on only when exactly 1
};

// What the shut-down sequence writes.
struct ConfigValues {
    int PortNum = 0;                // the serial component's port number, 0 for none
    uint8_t DeviceIndex = 1;
    std::string LastOpenedFile;     // the open dialog's current file name; empty if none chosen
    int32_t BaudIndex = 6;
    uint8_t AutoBaud = 1;           // written as a signed 8-bit number
};

// Reads the settings. A file that cannot be opened, or is not a regular
// file, gives the defaults above with Found false; a broken or short file gives each line's default for the
// lines it lacks.
ConfigSettings ReadConfigFile(const std::filesystem::path& fileName = ConfigFileName);

// The same rules over the file's content; `content` is the whole file or at
// least its first 6 * (ConfigLineLimit + 2) bytes.
ConfigSettings ParseConfigText(std::string_view content);

// The directory line for a file name: everything up to and including the
// last path separator ('/'; on Windows '\\' as well), or empty when there is
// none. A directory too long for the reader to take back whole is written as
// an empty line, so it cannot cost the settings after it.
std::string DirectoryLine(std::string_view lastOpenedFile);

// The six lines of the file as written, each ended by CR LF.
std::string FormatConfigText(const ConfigValues& values);

// Writes the settings by the one rule for output files (framework/
// output_file.h): a new file in the same directory renamed over the old one,
// so an interrupted write never leaves a truncated file; through a link; in
// place when the directory takes no new file; never over a write-protected
// file. Gives false, with the old file untouched, when the file cannot be
// written; Reason (when given) then gets the file's name and why.
bool WriteConfigFile(const ConfigValues& values, const std::filesystem::path& fileName = ConfigFileName,
                     std::string* Reason = nullptr);

}  // namespace pelk

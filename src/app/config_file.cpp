#include "app/config_file.h"

#include <charconv>
#include <fstream>
#include <system_error>

#include "framework/output_file.h"

namespace pelk {
namespace {

constexpr int32_t DefaultPortNumber = 0;
constexpr int32_t DefaultDeviceIndex = 1;
constexpr int32_t DefaultBaudIndex = 6;
constexpr int32_t DefaultAutoBaud = 1;
constexpr size_t ConfigLineCount = 6;
// Enough of the file for six lines of the longest length with their CR LF.
constexpr size_t ConfigReadLimit = ConfigLineCount * (ConfigLineLimit + 2);

// Hands out the file's lines the way the reader takes them: a line end is
// LF or CR LF (a CR at the very end counts as one too); a line holds at most
// ConfigLineLimit characters, and a line that goes on past that ends the
// useful part of the file: every later line reads as empty, as do lines
// missing after the end.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : Text(text) {}

    std::string_view Next() {
        if (Broken || Pos >= Text.size()) return {};
        const size_t start = Pos;
        while (Pos < Text.size()) {
            if (const size_t end = LineEndLength(); end > 0) {
                const std::string_view line = Text.substr(start, Pos - start);
                Pos += end;
                return line;
            }
            if (Pos - start == ConfigLineLimit) {
                Broken = true;
                return Text.substr(start, ConfigLineLimit);
            }
            ++Pos;
        }
        return Text.substr(start);
    }

private:
    size_t LineEndLength() const {
        if (Text[Pos] == '\n') return 1;
        if (Text[Pos] == '\r') {
            if (Pos + 1 == Text.size()) return 1;
            if (Text[Pos + 1] == '\n') return 2;
        }
        return 0;
    }

    std::string_view Text;
    size_t Pos = 0;
    bool Broken = false;
};

// A whole line of an optional '-' and decimal digits within 32 bits;
// otherwise the fall-back.
int32_t IntegerOr(std::string_view line, int32_t fallback) {
    if (line.empty() || line[0] == '+') return fallback;
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value, 10);
    if (ec != std::errc{} || end != line.data() + line.size()) return fallback;
    return value;
}

uint8_t LowByte(int32_t value) { return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFF); }

bool IsSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

}  // namespace

ConfigSettings ParseConfigText(std::string_view content) {
    LineCursor lines(content);
    ConfigSettings s;
    s.Found = true;
    lines.Next();  // the header: any text
    s.PortNumber = LowByte(IntegerOr(lines.Next(), DefaultPortNumber));
    s.DeviceIndex = LowByte(IntegerOr(lines.Next(), DefaultDeviceIndex));
    s.Directory = std::string(lines.Next());
    s.BaudIndex = IntegerOr(lines.Next(), DefaultBaudIndex);
    s.AutoBaud = LowByte(IntegerOr(lines.Next(), DefaultAutoBaud));
    return s;
}

ConfigSettings ReadConfigFile(const std::filesystem::path& fileName) {
    // Only a regular file is read: a FIFO of that name would block the
    // start until someone writes to it, a device could give anything.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(fileName, ec)) return {};
    std::ifstream in(fileName, std::ios::in | std::ios::binary);
    if (!in.is_open()) return {};
    std::string content(ConfigReadLimit, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (in.bad()) return {};
    content.resize(static_cast<size_t>(in.gcount()));
    return ParseConfigText(content);
}

std::string DirectoryLine(std::string_view lastOpenedFile) {
    size_t cut = lastOpenedFile.size();
    while (cut > 0 && !IsSeparator(lastOpenedFile[cut - 1])) --cut;
    const std::string_view directory = lastOpenedFile.substr(0, cut);
    // A line end inside the name would shift the lines after it.
    if (directory.size() > ConfigLineLimit || directory.find_first_of("\r\n") != std::string_view::npos)
        return {};
    return std::string(directory);
}

std::string FormatConfigText(const ConfigValues& values) {
    std::string text;
    for (const std::string& line : {
             std::string(ConfigHeader),
             std::to_string(values.PortNum),
             std::to_string(int{values.DeviceIndex}),
             DirectoryLine(values.LastOpenedFile),
             std::to_string(values.BaudIndex),
             std::to_string(int{static_cast<int8_t>(values.AutoBaud)}),
         }) {
        text += line;
        text += "\r\n";
    }
    return text;
}

bool WriteConfigFile(const ConfigValues& values, const std::filesystem::path& fileName, std::string* Reason) {
    const OutputFileStatus status = WriteOutputFile(fileName, FormatConfigText(values));
    if (!status && Reason) *Reason = status.Reason;
    return static_cast<bool>(status);
}

}  // namespace pelk

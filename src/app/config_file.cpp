#include "app/config_file.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

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

// Removes the temporary file unless it was renamed into place.
struct TemporaryFile {
    std::filesystem::path Path;
    bool Kept = false;
    ~TemporaryFile() {
        if (!Path.empty() && !Kept) {
            std::error_code ec;
            std::filesystem::remove(Path, ec);
        }
    }
};

// Creates a file that did not exist yet, next to `fileName`.
std::FILE* CreateTemporary(const std::filesystem::path& fileName, TemporaryFile& temporary) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate = fileName;
        candidate += "." + std::to_string(random() % 1000000) + ".tmp";
        // "x": fail rather than take over a file that already exists.
        if (std::FILE* f = std::fopen(candidate.string().c_str(), "wbx")) {
            temporary.Path = candidate;
            return f;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

// Writes all of `text`, pushes it to the disk and closes the file; false if
// any step failed.
bool WriteAndClose(std::FILE* f, const std::string& text) {
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
#if defined(__unix__) || defined(__APPLE__)
    ok = ok && ::fsync(fileno(f)) == 0;
#endif
    ok = std::fclose(f) == 0 && ok;
    return ok;
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
    std::error_code ec;
    if (std::filesystem::is_directory(fileName, ec)) return {};
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

bool WriteConfigFile(const ConfigValues& values, const std::filesystem::path& fileName) {
    TemporaryFile temporary;
    std::FILE* f = CreateTemporary(fileName, temporary);
    if (!f) return false;
    if (!WriteAndClose(f, FormatConfigText(values))) return false;
    std::error_code ec;
    std::filesystem::rename(temporary.Path, fileName, ec);
    if (ec) return false;
    temporary.Kept = true;
    return true;
}

}  // namespace pelk

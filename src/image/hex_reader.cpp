#include "image/hex_reader.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace pelk {
namespace {

constexpr uint8_t NotHex = 0xFF;

constexpr std::array<uint8_t, 256> MakeDigitTable() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = NotHex;
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
    return t;
}
constexpr std::array<uint8_t, 256> DigitValue = MakeDigitTable();

// The hexadecimal number of at most `width` digits at `pos`, read up to the
// first character that is not a digit or the end of the line.
uint32_t HexField(std::string_view line, size_t pos, size_t width) {
    uint32_t value = 0;
    for (size_t k = pos; k < pos + width && k < line.size(); ++k) {
        const uint8_t d = DigitValue[static_cast<uint8_t>(line[k])];
        if (d == NotHex) break;
        value = value << 4 | d;
    }
    return value;
}

constexpr uint32_t TypeSegment = 0x02;
constexpr uint32_t TypeSegmentStart = 0x03;
constexpr uint32_t TypeLinear = 0x04;
constexpr uint32_t TypeLinearStart = 0x05;
constexpr uint32_t TypeEnd = 0x01;

constexpr size_t DataPos = 9;

}  // namespace

HexRecordReader::HexRecordReader(StagingBuffer& staging, uint32_t lastAddress)
    : Staging(staging), LastAddress(lastAddress < ImageSize ? lastAddress : ImageSize - 1) {}

void HexRecordReader::HandleLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > HexLineLimit || line.empty() || line[0] != ':') return;

    const uint32_t type = HexField(line, 7, 2);
    if (line.size() > 8 && line[8] == '1') {
        if (type == TypeEnd) {
            UpperAddress = 0;
            EndRecord = true;
        }
        return;
    }
    if (type == TypeSegmentStart || type == TypeLinearStart) return;

    const uint32_t count = HexField(line, 1, 2);
    const uint32_t address = HexField(line, 3, 4);
    // A line too short for its byte count holds no checksum to trust and
    // bytes that are not there: it counts as a checksum error and is not used.
    const bool complete = line.size() >= DataPos + 2 * count + 2;
    // The record's own bytes as the checksum covers them: count, the two
    // address bytes and the type, each from its own digit pair.
    uint32_t sum = count + HexField(line, 3, 2) + HexField(line, 5, 2) + type;

    if (type == TypeSegment || type == TypeLinear) {
        if (count != 2) return;  // not a valid address record
        if (!complete) {
            BadChecksum = true;
            return;
        }
        const uint32_t value = HexField(line, DataPos, 4);
        sum += HexField(line, DataPos, 2) + HexField(line, DataPos + 2, 2);
        UpperAddress = type == TypeSegment ? value << 4 : value << 16;
    } else {
        const uint64_t start = uint64_t{UpperAddress} + address;
        const uint64_t end = start + count;
        if (count > 0) {
            ++Records;
            if (end > End) End = end;
        }
        if (end > uint64_t{LastAddress} + 1) return;
        if (!complete) {
            BadChecksum = true;
            return;
        }
        if (end > Extent) Extent = static_cast<uint32_t>(end);
        for (uint32_t i = 0; i < count; ++i) {
            const auto b = static_cast<uint8_t>(HexField(line, DataPos + 2 * i, 2));
            Staging[start + i] = b;
            sum += b;
        }
    }
    const uint32_t checksum = HexField(line, DataPos + 2 * count, 2);
    if (((0x100 - (sum & 0xFF)) & 0xFF) != checksum) BadChecksum = true;
}

namespace {

// Hands the stream's lines to the record reader. Lines are handled in place
// in the read buffer; only a line that crosses the buffer's end is gathered
// in `pending`, which never grows past the longest useful line (a longer one
// is only marked and skipped).
//
// A regular file ends, so it is read whole. Any other input (a pipe, a
// device node such as /dev/zero or /dev/urandom) may never end: it is given
// up, with the reason, once a line runs past HexStreamLineLimit characters
// or the input past HexStreamLimit bytes, bounds that no HEX file reaches.
std::string FeedLines(std::istream& in, bool regular, HexRecordReader& reader) {
    std::vector<char> chunk(1 << 16);
    std::string pending;
    bool anyPending = false;
    bool pendingTooLong = false;
    size_t lineLength = 0;  // of the line being read, so far
    uint64_t total = 0;
    const size_t pendingLimit = HexLineLimit + 1;  // room for a CR
    auto gather = [&](const char* p, size_t n) {
        anyPending = true;
        if (pendingTooLong || pending.size() + n > pendingLimit) {
            pendingTooLong = true;
            pending.clear();
        } else {
            pending.append(p, n);
        }
    };
    auto finishPending = [&] {
        if (!pendingTooLong) reader.HandleLine(pending);
        pending.clear();
        anyPending = pendingTooLong = false;
    };

    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const char* p = chunk.data();
        const char* const end = p + in.gcount();
        total += static_cast<uint64_t>(end - p);
        while (p < end) {
            const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!lf) {
                gather(p, static_cast<size_t>(end - p));
                lineLength += static_cast<size_t>(end - p);
                break;
            }
            if (anyPending) {
                gather(p, static_cast<size_t>(lf - p));
                finishPending();
            } else {
                reader.HandleLine(std::string_view(p, static_cast<size_t>(lf - p)));
            }
            lineLength = 0;
            p = lf + 1;
        }
        if (!regular && lineLength > HexStreamLineLimit)
            return "no line end in " + std::to_string(HexStreamLineLimit) + " characters; not an Intel HEX file";
        if (!regular && total > HexStreamLimit)
            return "more than " + std::to_string(HexStreamLimit) + " bytes; not an Intel HEX file";
    }
    if (anyPending) finishPending();  // a last line without a line end
    return {};
}

}  // namespace

bool ReadHexFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                 FileReporter& reporter, HexFileFacts* facts) {
    HexRecordReader reader(staging, image.LastAddress);
    const bool read = ReadIntoStaging(fileName, image, staging, reporter, [&](StagingInput& input) {
        input.Reason = FeedLines(input.In, input.Regular, reader);
        return reader.LoadedExtent();
    });
    if (read && reader.ChecksumError()) reporter.Message(msg::HexChecksumError);
    if (facts)
        *facts = {reader.EndRecordSeen(), reader.ChecksumError(), reader.DataRecords(), reader.DataEnd()};
    return read;
}

}  // namespace pelk

#include "image/hex_reader.h"

#include <array>
#include <cstdio>
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

constexpr uint8_t TypeData = 0x00;
constexpr uint8_t TypeEnd = 0x01;
constexpr uint8_t TypeSegment = 0x02;
constexpr uint8_t TypeSegmentStart = 0x03;
constexpr uint8_t TypeLinear = 0x04;
constexpr uint8_t TypeLinearStart = 0x05;

// Count, two address bytes, type and checksum: the bytes of an empty record.
constexpr size_t RecordOverhead = 5;

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string Hex5(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%05llX", static_cast<unsigned long long>(value));
    return text;
}

// A character as an error message shows it: itself when printable.
std::string Shown(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) return std::string("'") + c + "'";
    return "byte " + Hex2(u);
}

std::string TooLong() { return "longer than " + std::to_string(HexLineLimit) + " characters"; }

bool Trailing(char c) { return c == '\r' || c == ' ' || c == '\t' || c == '\x1A'; }

}  // namespace

HexRecordReader::HexRecordReader(StagingBuffer& staging, uint32_t lastAddress)
    : Staging(staging),
      LastAddress(lastAddress < ImageSize ? lastAddress : ImageSize - 1),
      Written(std::make_shared<StagingMask>()) {
    Found.Supplied = Written;
}

void HexRecordReader::Fault(std::string reason) {
    if (Found.FirstErrors.size() < ErrorsKept) Found.FirstErrors.push_back({LineNumber, std::move(reason)});
    ++Found.RecordErrors;
}

void HexRecordReader::LineTooLong() {
    ++LineNumber;
    Fault(TooLong());
}

void HexRecordReader::Store(uint64_t address, uint8_t value) {
    if (address > LastAddress) {
        ++Found.BytesLeftOut;
        return;
    }
    const auto a = static_cast<uint32_t>(address);
    if ((*Written)[a]) {
        if (Staging[a] != value && !ConflictSeen) {
            ConflictSeen = true;
            Fault("address " + Hex5(a) + " is given twice, as " + Hex2(Staging[a]) + " and " + Hex2(value));
        }
        return;  // the first record's byte stands
    }
    Written->set(a);
    Staging[a] = value;
    if (a + 1 > Extent) Extent = a + 1;
}

void HexRecordReader::HandleLine(std::string_view line) {
    ++LineNumber;
    if (line.size() > HexRawLineLimit) return Fault(TooLong());
    while (!line.empty() && Trailing(line.back())) line.remove_suffix(1);
    if (line.empty()) return;
    if (line.size() > HexLineLimit) return Fault(TooLong());
    if (line[0] != ':') return Fault("not a record: it does not start with ':'");

    // Every character after the mark is a hexadecimal digit, two to a byte.
    std::array<uint8_t, HexLineLimit / 2> bytes;
    const size_t digits = line.size() - 1;
    for (size_t k = 1; k < line.size(); ++k) {
        if (DigitValue[static_cast<uint8_t>(line[k])] == NotHex)
            return Fault(Shown(line[k]) + " at column " + std::to_string(k + 1) + " is not a hexadecimal digit");
    }
    if (digits % 2 != 0) return Fault("an odd number of hexadecimal digits");
    const size_t n = digits / 2;
    if (n < RecordOverhead) return Fault("too short for a record");
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(DigitValue[static_cast<uint8_t>(line[1 + 2 * i])] << 4 |
                                        DigitValue[static_cast<uint8_t>(line[2 + 2 * i])]);
        sum += bytes[i];
    }
    const uint8_t count = bytes[0];
    if (n != count + RecordOverhead)
        return Fault(std::string("the record is ") + (n < count + RecordOverhead ? "shorter" : "longer") +
                     " than its byte count " + Hex2(count) + " says");
    const uint8_t type = bytes[3];
    const uint8_t* data = bytes.data() + 4;
    const bool checksumGood = (sum & 0xFF) == 0;
    auto checksum = [&] {
        if (checksumGood) return;
        Found.ChecksumError = true;
        const uint8_t given = bytes[n - 1];
        const auto wanted = static_cast<uint8_t>(0x100 - ((sum - given) & 0xFF));
        Fault("checksum " + Hex2(given) + ", but the record's bytes give " + Hex2(wanted));
    };
    auto sized = [&](uint8_t wanted) {
        if (count == wanted) return true;
        Fault("a type " + Hex2(type) + " record holds " + std::to_string(wanted) + " bytes, this one " +
              std::to_string(count));
        return false;
    };

    switch (type) {
        case TypeData: {
            checksum();
            if (count == 0) return;
            ++Found.DataRecords;
            const uint64_t start = uint64_t{UpperAddress} + (uint32_t{bytes[1]} << 8 | bytes[2]);
            if (start + count > Found.DataEnd) Found.DataEnd = start + count;
            ConflictSeen = false;
            for (uint32_t i = 0; i < count; ++i) Store(start + i, data[i]);
            return;
        }
        case TypeEnd:
            if (!sized(0)) return;
            checksum();
            if (!checksumGood) return;
            Found.EndRecord = true;
            UpperAddress = 0;  // a file joined after this one starts from address 0
            return;
        case TypeSegment:
        case TypeLinear: {
            if (!sized(2)) return;
            checksum();
            const uint32_t value = uint32_t{data[0]} << 8 | data[1];
            UpperAddress = type == TypeSegment ? value << 4 : value << 16;
            return;
        }
        case TypeSegmentStart:
        case TypeLinearStart:
            if (sized(4)) checksum();
            return;
        default: return Fault("record type " + Hex2(type) + " is not one of 00 to 05");
    }
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
    const size_t pendingLimit = HexRawLineLimit;
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
        if (pendingTooLong) reader.LineTooLong();
        else reader.HandleLine(pending);
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

uint32_t FillFromHex(StagingInput& input, const MemoryImage& image, StagingBuffer& staging, HexFileFacts& facts) {
    HexRecordReader reader(staging, image.LastAddress);
    input.Reason = FeedLines(input.In, input.Regular, reader);
    facts = reader.Facts();
    return reader.LoadedExtent();
}

bool ReadHexFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                 FileReporter& reporter, HexFileFacts* facts) {
    HexFileFacts found;
    const bool read = ReadIntoStaging(fileName, image, staging, reporter,
                                      [&](StagingInput& input) { return FillFromHex(input, image, staging, found); });
    // Every record error is reported as the window has always reported a
    // wrong checksum; the command line gives the lines and reasons.
    if (read && found.RecordErrors > 0) reporter.Message(msg::HexChecksumError);
    if (facts) *facts = std::move(found);
    return read;
}

}  // namespace pelk

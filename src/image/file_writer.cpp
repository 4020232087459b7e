#include "image/file_writer.h"

#include <array>
#include <fstream>
#include <numeric>
#include <string_view>

namespace pelk {
namespace {

constexpr uint32_t BlockSize = 16;
constexpr uint32_t BlankBlockSum = BlockSize * ErasedByte;  // 4080
constexpr std::string_view UpperBankRecord = ":020000040001F9\r\n";
constexpr std::string_view EndRecord = ":00000001FF";
constexpr char Digits[] = "0123456789ABCDEF";
// Blocks from here on need the extended linear address record: the address
// field of a data record holds 16 bits only.
constexpr uint32_t UpperAddressStart = 0x10000;

// ':' + count + address + type + 16 bytes + checksum, then CR LF.
constexpr size_t RecordLength = 1 + 2 + 4 + 2 + 2 * BlockSize + 2 + 2;

char* PutByte(char* p, uint8_t b) {
    *p++ = Digits[b >> 4];
    *p++ = Digits[b & 0xF];
    return p;
}

// The data record of the block at `address` (only its low 16 bits are written).
std::array<char, RecordLength> DataRecord(const uint8_t* bytes, uint32_t address) {
    std::array<char, RecordLength> line{};
    const auto high = static_cast<uint8_t>(address >> 8);
    const auto low = static_cast<uint8_t>(address);
    uint32_t sum = BlockSize + high + low;
    char* p = line.data();
    *p++ = ':';
    p = PutByte(p, BlockSize);
    p = PutByte(p, high);
    p = PutByte(p, low);
    p = PutByte(p, 0x00);
    for (uint32_t i = 0; i < BlockSize; ++i) {
        p = PutByte(p, bytes[i]);
        sum += bytes[i];
    }
    p = PutByte(p, static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    *p++ = '\r';
    *p = '\n';
    return line;
}

bool Put(std::ofstream& out, std::string_view text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    return static_cast<bool>(out);
}

// Opens for writing, replacing an existing file; reports the failure.
bool OpenOutput(const std::filesystem::path& fileName, std::ofstream& out, FileReporter& reporter) {
    out.open(fileName, std::ios::out | std::ios::binary | std::ios::trunc);
    if (out.is_open()) return true;
    reporter.Message(msg::CantOpenFile);
    return false;
}

// Closes the file and reports a failure of any write before or of the close.
bool CloseOutput(std::ofstream& out, bool written, FileReporter& reporter) {
    out.close();
    if (written && !out.fail()) return true;
    reporter.Message(msg::CantWriteFile);
    return false;
}

}  // namespace

bool WriteHexFile(const std::filesystem::path& fileName, const MemoryImage& image, FileReporter& reporter) {
    std::ofstream out;
    if (!OpenOutput(fileName, out, reporter)) return false;
    bool ok = true;
    bool upperBankAnnounced = false;
    for (uint32_t a = 0; a < ImageSize && ok; a += BlockSize) {
        const uint8_t* block = image.ImageBuffer.data() + a;
        if (std::accumulate(block, block + BlockSize, 0u) == BlankBlockSum) continue;
        if (a >= UpperAddressStart && !upperBankAnnounced) {
            ok = Put(out, UpperBankRecord);
            upperBankAnnounced = true;
        }
        const auto record = DataRecord(block, a);
        ok = ok && Put(out, std::string_view(record.data(), record.size()));
    }
    ok = ok && Put(out, EndRecord);
    return CloseOutput(out, ok, reporter);
}

bool WriteBinaryFile(const std::filesystem::path& fileName, const MemoryImage& image, FileReporter& reporter) {
    std::ofstream out;
    if (!OpenOutput(fileName, out, reporter)) return false;
    const bool ok = Put(out, std::string_view(reinterpret_cast<const char*>(image.ImageBuffer.data()),
                                              image.ImageBuffer.size()));
    return CloseOutput(out, ok, reporter);
}

}  // namespace pelk

#include "image/file_writer.h"

#include <array>
#include <numeric>
#include <string_view>

#include "framework/output_file.h"

namespace pelk {
namespace {

constexpr uint32_t BlockSize = 16;
constexpr uint32_t BlankBlockSum = BlockSize * ErasedByte;  // 4080
constexpr std::string_view UpperBankRecord = ":020000040001F9\r\n";
constexpr std::string_view EndRecord = ":00000001FF\r\n";  // ended like every line, so files join
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

// Reports a failure of the file rule as the window and the command line
// show it: the fixed message, and the reason where it can be shown.
bool Report(const OutputFileStatus& status, FileReporter& reporter) {
    if (status) return true;
    const char* text = status.Failure == OutputFailure::Open ? msg::CantOpenFile : msg::CantWriteFile;
    reporter.MessageWithReason(text, status.Reason);
    return false;
}

}  // namespace

std::string HexFileText(const MemoryImage& image) {
    std::string text;
    bool upperBankAnnounced = false;
    for (uint32_t a = 0; a < ImageSize; a += BlockSize) {
        const uint8_t* block = image.ImageBuffer.data() + a;
        if (std::accumulate(block, block + BlockSize, 0u) == BlankBlockSum) continue;
        if (a >= UpperAddressStart && !upperBankAnnounced) {
            text += UpperBankRecord;
            upperBankAnnounced = true;
        }
        const auto record = DataRecord(block, a);
        text.append(record.data(), record.size());
    }
    text += EndRecord;
    return text;
}

bool WriteHexFile(const std::filesystem::path& fileName, const MemoryImage& image, FileReporter& reporter) {
    return Report(WriteOutputFile(fileName, HexFileText(image)), reporter);
}

bool WriteBinaryFile(const std::filesystem::path& fileName, const MemoryImage& image, FileReporter& reporter) {
    return Report(WriteOutputFile(fileName, BinaryFileBytes(image)), reporter);
}

bool WriteImageStream(int fd, const std::string& name, std::string_view content, FileReporter& reporter) {
    return Report(WriteOutputStream(fd, content, name), reporter);
}

}  // namespace pelk

#include "image/checksum_summary.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "crc/link_crc.h"

namespace pelk {
namespace {

std::string Format(const char* format, uint32_t value) {
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<unsigned short>(value));
    return text;
}

}  // namespace

std::string ChecksumSummary::ChecksumText() const { return Format("Checksum: %04hX", Sum); }

std::string ChecksumSummary::CrcText() const { return Format("CRC: %04hX", Crc); }

ChecksumSummary ComputeChecksumSummary(const MemoryImage& image) {
    const size_t count = std::min<uint32_t>(image.LastAddress, ImageSize - 1) + 1;
    const uint8_t* bytes = image.ImageBuffer.data();
    ChecksumSummary summary;
    summary.Sum = std::accumulate(bytes, bytes + count, uint32_t{0});
    LinkCrcRegister crc;
    crc.Update(bytes, count);
    summary.Crc = crc.Finish();
    return summary;
}

}  // namespace pelk

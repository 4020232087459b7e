#pragma once
// The two figures of the status bar over the selected device's part of the
// image (bytes 0..LastAddress): the additive checksum and the link CRC. They
// are recomputed after every change of the image or of the device.
#include <cstdint>
#include <string>

#include "image/memory_image.h"

namespace pelk {

struct ChecksumSummary {
    uint32_t Sum = 0;  // sum of the bytes; only its low 16 bits are shown
    uint16_t Crc = 0;  // link CRC of the bytes in rising address order

    std::string ChecksumText() const;  // "Checksum: %04hX", status bar panel 1
    std::string CrcText() const;       // "CRC: %04hX", status bar panel 2
};

ChecksumSummary ComputeChecksumSummary(const MemoryImage& image);

}  // namespace pelk

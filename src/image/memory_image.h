#pragma once
// The tool's copy of the target's flash: 128 KiB, byte a holding flash
// address a, with the selected device's extent.
#include <array>
#include <cstdint>

namespace pelk {

constexpr uint32_t ImageSize = 0x20000;     // 131072 bytes, whatever the device
constexpr uint8_t ErasedByte = 0xFF;        // erased flash reads as 0xFF

struct MemoryImage {
    std::array<uint8_t, ImageSize> ImageBuffer;
    uint8_t DeviceIndex = 0;        // 1..6 once a device has been applied
    uint32_t LastAddress = 0xFFFF;  // highest address of the selected device
    uint32_t LoadedExtent = 0;      // one past the highest address the last file read supplied

    MemoryImage() { Clear(); }

    // Sets all 131072 bytes to 0xFF; the device selection is kept.
    void Clear() { ImageBuffer.fill(ErasedByte); }

    // Number of bytes that belong to the selected device.
    uint32_t DeviceSize() const { return LastAddress + 1; }
};

}  // namespace pelk

#pragma once
// The six supported microcontrollers, indexed 1..6 as stored in DeviceIndex.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image/memory_image.h"

namespace pelk {

struct DeviceInfo {
    uint8_t Index;
    const char* RadioCaption;   // caption of the device dialog's radio button
    const char* StatusText;     // status bar panel 0
    uint32_t LastAddress;
};

constexpr uint8_t DeviceCount = 6;
constexpr uint8_t DefaultDeviceIndex = 1;

// Row of the table for index 1..6, nullptr for any other value.
const DeviceInfo* FindDevice(uint8_t index);

// Index of a device named by its radio caption (any letter case) or by its
// number "1".."6"; nothing when the name matches no device.
std::optional<uint8_t> DeviceIndexByName(std::string_view name);

// Applies a device index to the image: 1..6 sets LastAddress from the table;
// any other value falls back to device 1 (DeviceIndex becomes 1).
// Returns the status bar text of the device now selected.
std::string ApplyDeviceIndex(MemoryImage& image, uint8_t index);

}  // namespace pelk

#include "image/device_table.h"

#include <array>
#include <cctype>

namespace pelk {
namespace {

constexpr std::array<DeviceInfo, DeviceCount> Devices{{
    {1, "W78E516B", "Device: W78E516B", 0xFFFF},
    {2, "W78LE516", "Device: W78LE516B", 0xFFFF},
    {3, "W78E58B", "Device: W78E58B", 0x7FFF},
    {4, "W78LE58", "Device: W78LE58", 0x7FFF},
    {5, "W78E858", "Device: W78E858", 0x7FFF},
    {6, "W77E532", "Device: W77E532", 0x1FFFF},
}};

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

const DeviceInfo* FindDevice(uint8_t index) {
    if (index < 1 || index > DeviceCount) return nullptr;
    return &Devices[index - 1];
}

std::optional<uint8_t> DeviceIndexByName(std::string_view name) {
    if (name.size() == 1 && name[0] >= '1' && name[0] <= '0' + DeviceCount)
        return static_cast<uint8_t>(name[0] - '0');
    for (const DeviceInfo& d : Devices) {
        if (EqualNoCase(name, d.RadioCaption)) return d.Index;
    }
    return std::nullopt;
}

std::string ApplyDeviceIndex(MemoryImage& image, uint8_t index) {
    const DeviceInfo* d = FindDevice(index);
    if (!d) {
        d = FindDevice(DefaultDeviceIndex);
    }
    image.DeviceIndex = d->Index;
    image.LastAddress = d->LastAddress;
    return d->StatusText;
}

}  // namespace pelk

#pragma once
// Builds Intel HEX record lines for test files.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pelk::test {

inline std::string HexRecord(uint16_t address, uint8_t type, const std::vector<uint8_t>& data, int checksumDelta = 0) {
    char text[16];
    std::string line = ":";
    uint32_t sum = static_cast<uint32_t>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(text, sizeof text, "%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    line += text;
    for (uint8_t b : data) {
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
        sum += b;
    }
    std::snprintf(text, sizeof text, "%02X", (0x100 - (sum & 0xFF) + checksumDelta) & 0xFF);
    line += text;
    return line;
}

inline std::vector<uint8_t> Bytes(uint8_t first, size_t count) {
    std::vector<uint8_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

}  // namespace pelk::test

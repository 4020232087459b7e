#pragma once
// The link CRC: CRC-16 of polynomial 0x8005, most significant bit first, no
// final XOR, its register preset as if 0xAA 0xAA 0xAA had been fed first.
// It is computed in the augmented, table-driven form: a start step with 0xAA,
// one step per covered byte, two finishing steps with 0x00.
#include <array>
#include <cstddef>
#include <cstdint>

namespace pelk {

namespace detail {
constexpr uint16_t CrcTableEntry(uint8_t i) {
    uint16_t r = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
        r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x8005 : (r << 1));
    return r;
}
constexpr std::array<uint8_t, 256> MakeCrcHalf(bool high) {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        const uint16_t e = CrcTableEntry(static_cast<uint8_t>(i));
        t[i] = static_cast<uint8_t>(high ? e >> 8 : e & 0xFF);
    }
    return t;
}
}  // namespace detail

// The remainder table of i * x^16 modulo 0x8005, kept as two byte tables.
inline constexpr std::array<uint8_t, 256> CrcTableHigh = detail::MakeCrcHalf(true);
inline constexpr std::array<uint8_t, 256> CrcTableLow = detail::MakeCrcHalf(false);

// The two-byte CRC register. Start() leaves it ready for the covered bytes;
// Finish() applies the two zero steps and returns the checksum (high byte is
// the one sent first).
class LinkCrcRegister {
public:
    LinkCrcRegister() { Start(); }
    void Start() {
        H = 0xAA;
        L = 0xAA;
        Step(0xAA);
    }
    void Step(uint8_t b) {
        const uint8_t i = H;
        H = static_cast<uint8_t>(L ^ CrcTableHigh[i]);
        L = static_cast<uint8_t>(b ^ CrcTableLow[i]);
    }
    void Update(const uint8_t* data, size_t count) {
        for (size_t k = 0; k < count; ++k) Step(data[k]);
    }
    uint16_t Finish() {
        Step(0);
        Step(0);
        return Value();
    }
    uint16_t Value() const { return static_cast<uint16_t>(H << 8 | L); }
    uint8_t High() const { return H; }
    uint8_t Low() const { return L; }

private:
    uint8_t H = 0, L = 0;
};

// Link CRC of a byte sequence (possibly empty).
uint16_t LinkCrc(const uint8_t* data, size_t count);

}  // namespace pelk

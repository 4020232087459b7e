#pragma once
// A simulated loader on the target: a flash model of the selected size that
// takes command frames byte by byte and answers them as the real loader does.
//
//   Erase        sets the flash to 0xFF, answers 1
//   Program      answers 1, or 7 with the address of the first byte that
//                cannot be programmed (flash bits only go from 1 to 0)
//   Verify       answers 1, or 12 on the first difference
//   Blank check  answers 9, or 10 with the first non-blank address
//   a block beyond the device answers 2, a frame with a bad checksum 3;
//   an unknown command gets no answer.
//
// Bytes outside a frame (the link preamble, noise) are skipped while the
// loader hunts for the frame's sync byte.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/rs232.h"

namespace pelk {

class TargetLoader {
public:
    explicit TargetLoader(uint32_t lastAddress);

    // Feeds received bytes; the bytes of every reply go to the end of `replies`.
    void Receive(const uint8_t* data, size_t count, std::vector<uint8_t>& replies);

    // Drops a half-received frame (what a real loader's inter-byte timeout does).
    void ResetFraming() { Got = 0; }
    // True while a frame has begun (its sync byte came) but is not complete.
    bool InFrame() const { return Got != 0; }
    // The frame most recently completed; valid until the next byte is received.
    const TxFrameBytes& LastFrame() const { return Frame; }

    uint32_t LastAddress() const { return Last; }
    std::vector<uint8_t>& Flash() { return Memory; }
    const std::vector<uint8_t>& Flash() const { return Memory; }

    // Frames handled, by outcome; for tests and the target program's log.
    struct Counters {
        uint32_t Frames = 0;
        uint32_t BadChecksum = 0;
        uint32_t Program = 0, Verify = 0, Erase = 0, BlankCheck = 0, Unknown = 0;
    };
    const Counters& Stats() const { return Count; }

private:
    void HandleFrame(std::vector<uint8_t>& replies);
    bool BlockInDevice(uint32_t address) const { return address <= Last && Last - address >= BlockSize - 1; }

    uint32_t Last;
    std::vector<uint8_t> Memory;
    TxFrameBytes Frame{};
    size_t Got = 0;  // bytes of the current frame received; 0 while hunting
    Counters Count;
};

}  // namespace pelk

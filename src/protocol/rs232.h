#pragma once
// The link between the tool and the loader on the target: the command frame
// and reply frame layouts, their checksum routines and the reply receiver's
// byte rule.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crc/link_crc.h"

namespace pelk {

// Command frame (tool to target): sync, length 0x87, command, 24-bit
// big-endian address, 128 data bytes, link CRC over offsets 1..133.
constexpr size_t TxFrameSize = 136;
constexpr size_t BlockSize = 128;
constexpr size_t TxAddressOffset = 3;
constexpr size_t TxDataOffset = 6;
constexpr uint8_t TxSync = 0x99;
constexpr uint8_t TxLength = 0x87;

// Reply frame (target to tool): sync 0x55, length L (4..133), code, address
// bits 16-23, 8-15, 0-7, ..., link CRC over the L-2 bytes from L on.
constexpr uint8_t ReplySync = 0x55;
constexpr size_t RxFrameSize = 133;     // the reply from its length byte on
constexpr size_t ReplyMinLength = 4;

// Sent on its own when an operation starts, and ahead of every first,
// repeated or resent frame.
inline constexpr std::array<uint8_t, 3> LinkPreamble{0x55, 0xFF, 0xFF};

enum CommandCode : uint8_t {
    CmdProgram = 1,
    CmdVerify = 2,
    CmdErase = 6,
    CmdBlankCheck = 9,
};

enum ReplyCode : uint8_t {
    ReplyDone = 1,
    ReplyAddressOutOfRange = 2,
    ReplySendAgain = 3,
    ReplyProgramError = 7,
    ReplyNotErased = 8,
    ReplyBlank = 9,
    ReplyNotBlank = 10,
    ReplyVerifyError = 12,
};

using TxFrameBytes = std::array<uint8_t, TxFrameSize>;

// Computes the link CRC over offsets 1..L-2 of a frame whose byte 1 is its
// length byte L, and stores it high byte first at offsets L-1 and L.
// L must be at least 2 and the frame at least L+1 bytes long.
void AppendFrameCrc(uint8_t* frame);

// Stores a 24-bit block address big-endian at offsets 3..5 of a command
// frame; bits above 23 are dropped.
void PutFrameAddress(uint8_t* frame, uint32_t address);

// Builds a command frame in place: sync, length, command, the address (bits
// above 23 dropped), the 128 bytes of `block` (null: the data the frame
// already holds, as Erase and Blank check send the previous frame's), and
// the link CRC over all of it.
void BuildCommandFrame(TxFrameBytes& frame, uint8_t command, uint32_t address, const uint8_t* block);
// A new command frame; without a block every data byte is `fill`.
TxFrameBytes MakeCommandFrame(uint8_t command, uint32_t address, const uint8_t* block = nullptr, uint8_t fill = 0);

// A complete reply frame as the target sends it, sync byte included: code
// only (L = 4), or code and 24-bit address (L = 7).
std::vector<uint8_t> MakeReplyFrame(uint8_t code);
std::vector<uint8_t> MakeReplyFrame(uint8_t code, uint32_t address);

// The reply receiver: hunts for the sync byte, stores what follows it and
// reports a reply complete once the stored count reaches its length byte.
class ReplyReceiver {
public:
    static constexpr uint8_t Idle = 255;
    static constexpr uint8_t Receiving = ReplySync;

    uint8_t RxState = Idle;
    uint16_t RxCount = 0;
    std::array<uint8_t, RxFrameSize> RxFrame{};

    // Runs one received byte through the byte rule (the caller restarts the
    // inter-byte timer). True when the byte completed a reply: the receiver
    // is idle again and RxFrame holds the reply, ready to be dispatched.
    bool TakeByte(uint8_t b) {
        if (RxState == Idle) {
            if (b == ReplySync) {
                RxState = Receiving;
                RxCount = 0;
            }
            return false;
        }
        StoreReplyByte(b);
        if (RxCount > 3 && RxCount >= RxFrame[0]) {
            RxState = Idle;
            return true;
        }
        return false;
    }

    // Appends one byte; a reply that grows past 133 stored bytes is dropped.
    void StoreReplyByte(uint8_t b) {
        if (RxCount <= RxFrameSize - 1) {
            RxFrame[RxCount++] = b;
        } else {
            RxCount = 0;
            RxState = Idle;
        }
    }

    // The inter-byte timeout: a half-received reply is abandoned.
    void Abandon() { RxState = Idle; }

    // True when the stored reply's checksum matches. A length byte below 4
    // leaves no room for a checksum and fails; nothing beyond the stored
    // bytes is ever read.
    bool CheckReplyCrc() const;

    uint8_t Code() const { return RxFrame[1]; }
    // Address reported in RxFrame bytes 2..4, whatever the length byte says.
    uint32_t ReportedAddress() const {
        return static_cast<uint32_t>(RxFrame[2]) << 16 | static_cast<uint32_t>(RxFrame[3]) << 8 |
               RxFrame[4];
    }
};

}  // namespace pelk

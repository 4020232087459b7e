#include "protocol/rs232.h"

#include <cstring>

namespace pelk {

void AppendFrameCrc(uint8_t* frame) {
    const size_t L = frame[1];
    const uint16_t crc = LinkCrc(frame + 1, L - 2);
    frame[L - 1] = static_cast<uint8_t>(crc >> 8);
    frame[L] = static_cast<uint8_t>(crc & 0xFF);
}

void PutFrameAddress(uint8_t* frame, uint32_t address) {
    frame[TxAddressOffset] = static_cast<uint8_t>(address >> 16);
    frame[TxAddressOffset + 1] = static_cast<uint8_t>(address >> 8);
    frame[TxAddressOffset + 2] = static_cast<uint8_t>(address);
}

void BuildCommandFrame(TxFrameBytes& frame, uint8_t command, uint32_t address, const uint8_t* block) {
    frame[0] = TxSync;
    frame[1] = TxLength;
    frame[2] = command;
    PutFrameAddress(frame.data(), address);
    if (block) std::memcpy(frame.data() + TxDataOffset, block, BlockSize);
    AppendFrameCrc(frame.data());
}

TxFrameBytes MakeCommandFrame(uint8_t command, uint32_t address, const uint8_t* block, uint8_t fill) {
    TxFrameBytes frame;
    frame.fill(fill);
    BuildCommandFrame(frame, command, address, block);
    return frame;
}

std::vector<uint8_t> MakeReplyFrame(uint8_t code) {
    std::vector<uint8_t> frame{ReplySync, 4, code, 0, 0};
    AppendFrameCrc(frame.data());
    return frame;
}

std::vector<uint8_t> MakeReplyFrame(uint8_t code, uint32_t address) {
    std::vector<uint8_t> frame{ReplySync, 7, code, 0, 0, 0, 0, 0};
    PutFrameAddress(frame.data(), address);
    AppendFrameCrc(frame.data());
    return frame;
}

bool ReplyReceiver::CheckReplyCrc() const {
    const size_t L = RxFrame[0];
    if (L < ReplyMinLength || L > RxCount) return false;
    const uint16_t crc = LinkCrc(RxFrame.data(), L - 2);
    return RxFrame[L - 2] == (crc >> 8) && RxFrame[L - 1] == (crc & 0xFF);
}

}  // namespace pelk

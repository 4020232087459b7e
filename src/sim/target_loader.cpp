#include "sim/target_loader.h"

#include <algorithm>

namespace pelk {

namespace {
void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& frame) {
    out.insert(out.end(), frame.begin(), frame.end());
}
}  // namespace

TargetLoader::TargetLoader(uint32_t lastAddress) : Last(lastAddress), Memory(size_t(lastAddress) + 1, 0xFF) {}

void TargetLoader::Receive(const uint8_t* data, size_t count, std::vector<uint8_t>& replies) {
    for (size_t k = 0; k < count; ++k) {
        const uint8_t b = data[k];
        if (Got == 0) {
            if (b == TxSync) Frame[Got++] = b;
            continue;
        }
        if (Got == 1 && b != TxLength) {
            // The sync byte was noise; this byte may itself start a frame.
            Got = 0;
            if (b == TxSync) Frame[Got++] = b;
            continue;
        }
        Frame[Got++] = b;
        if (Got == TxFrameSize) {
            Got = 0;
            HandleFrame(replies);
        }
    }
}

void TargetLoader::HandleFrame(std::vector<uint8_t>& replies) {
    ++Count.Frames;
    const uint16_t crc = LinkCrc(Frame.data() + 1, TxFrameSize - 3);
    if (Frame[TxFrameSize - 2] != (crc >> 8) || Frame[TxFrameSize - 1] != (crc & 0xFF)) {
        ++Count.BadChecksum;
        Append(replies, MakeReplyFrame(ReplySendAgain));
        return;
    }
    const uint8_t command = Frame[2];
    const uint32_t address = uint32_t(Frame[3]) << 16 | uint32_t(Frame[4]) << 8 | Frame[5];
    const uint8_t* data = Frame.data() + TxDataOffset;

    switch (command) {
        case CmdProgram: {
            ++Count.Program;
            if (!BlockInDevice(address)) {
                Append(replies, MakeReplyFrame(ReplyAddressOutOfRange));
                return;
            }
            for (size_t i = 0; i < BlockSize; ++i) {
                uint8_t& cell = Memory[address + i];
                cell &= data[i];  // programming only clears bits
                if (cell != data[i]) {
                    Append(replies, MakeReplyFrame(ReplyProgramError, address + uint32_t(i)));
                    return;
                }
            }
            Append(replies, MakeReplyFrame(ReplyDone));
            return;
        }
        case CmdVerify: {
            ++Count.Verify;
            if (!BlockInDevice(address)) {
                Append(replies, MakeReplyFrame(ReplyAddressOutOfRange));
                return;
            }
            const bool same = std::equal(data, data + BlockSize, Memory.begin() + address);
            Append(replies, MakeReplyFrame(same ? ReplyDone : ReplyVerifyError));
            return;
        }
        case CmdErase:
            ++Count.Erase;
            std::fill(Memory.begin(), Memory.end(), 0xFF);
            Append(replies, MakeReplyFrame(ReplyDone));
            return;
        case CmdBlankCheck: {
            ++Count.BlankCheck;
            auto it = std::find_if(Memory.begin(), Memory.end(), [](uint8_t v) { return v != 0xFF; });
            if (it == Memory.end())
                Append(replies, MakeReplyFrame(ReplyBlank));
            else
                Append(replies, MakeReplyFrame(ReplyNotBlank, uint32_t(it - Memory.begin())));
            return;
        }
        default:
            ++Count.Unknown;
            return;
    }
}

}  // namespace pelk

#include "protocol/operation_engine.h"

#include <cstdio>
#include <cstring>

namespace pelk {

std::string FormatAddressMessage(const char* format, uint32_t address) {
    char text[80];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long>(address));
    return text;
}

OperationEngine::OperationEngine(const MemoryImage& image, Port& port, EngineView& view)
    : Image(image), Link(port), View(view) {}

void OperationEngine::Reset() {
    const TickGuard ticks(*this);
    Operation = OpNone;
    RetryCount = 0;
    ReplyTimer = 0;
    ByteTimer = 0;
    StartDelay = 0;
}

uint32_t OperationEngine::PlanBlocks() const {
    return Plan.WholeDevice ? (Image.LastAddress + 1) / BlockSize : static_cast<uint32_t>(Plan.Blocks.size());
}

void OperationEngine::StartOperation(uint8_t command, uint8_t operation, const char* message) {
    const TickGuard ticks(*this);
    (void)Link.ReadText();  // stale bytes from an earlier exchange are dropped
    const bool blocks = operation == OpProgram || operation == OpVerify;
    if (blocks) {
        Plan = SkipBlankBlocks ? BlockPlan::DataBlocks(Image) : BlockPlan::Whole();
        PlanIndex = 0;
        if (!Plan.WholeDevice && Plan.Blocks.empty()) {
            // Nothing to walk: the operation ends at once with its success
            // message, and nothing goes to the target. A running operation
            // is replaced as by any start, its timers included.
            Operation = OpNone;
            CurrentAddress = 0;
            StartDelay = 0;
            ReplyTimer = 0;
            View.SetProgress(0);
            View.ShowMessage(message);
            View.ShowMessage(operation == OpProgram ? msg::DeviceProgrammed : msg::VerificationOk);
            return;
        }
    }
    TxFrame[0] = TxSync;
    TxFrame[1] = TxLength;
    TxFrame[2] = command;
    PutFrameAddress(TxFrame.data(), 0);
    Operation = operation;
    if (blocks) {
        CurrentAddress = Plan.WholeDevice ? 0 : Plan.Blocks.front();
        std::memcpy(TxFrame.data() + TxDataOffset, Image.ImageBuffer.data() + CurrentAddress, BlockSize);
        PutFrameAddress(TxFrame.data(), CurrentAddress);
    }
    // Erase and Blank check send whatever data block the previous frame
    // carried; the checksum covers it, so it is recomputed all the same.
    AppendFrameCrc(TxFrame.data());
    if (blocks) View.SetProgress(0);
    if (operation == OpErase) RetryCount = 0;
    View.ShowMessage(message);
    Link.WriteBuf(LinkPreamble.data(), static_cast<int>(LinkPreamble.size()));
    StartDelay = StartDelayTicks;
}

void OperationEngine::StartProgram() { StartOperation(CmdProgram, OpProgram, msg::Programming); }
void OperationEngine::StartVerify() { StartOperation(CmdVerify, OpVerify, msg::Verifying); }
void OperationEngine::StartErase() { StartOperation(CmdErase, OpErase, msg::Erasing); }
void OperationEngine::StartBlankCheck() { StartOperation(CmdBlankCheck, OpBlankCheck, msg::BlankChecking); }

void OperationEngine::Stop() {
    const TickGuard ticks(*this);
    // Cancelling the pending first transmission keeps Stop's promise that
    // nothing more goes to the target.
    StartDelay = 0;
    if (Operation == OpNone) return;
    Operation = OpNone;
    View.SetProgress(0);
    View.ShowMessage(msg::Stopped);
    ReplyTimer = 0;
}

void OperationEngine::TimerTimer() {
    const TickGuard ticks(*this);
    if (ReplyTimer != 0 && --ReplyTimer == 0) {
        --RetryCount;
        if (RetryCount == 0) {
            View.ShowMessage(msg::NotResponding);
            Operation = OpNone;
            View.SetProgress(0);
        } else {
            ReplyTimer = ReplyTimeoutTicks;
            SendFrame();
        }
    }
    if (ByteTimer != 0 && --ByteTimer == 0) Receiver.Abandon();
    if (StartDelay != 0 && --StartDelay == 0) {
        ReplyTimer = ReplyTimeoutTicks;
        RetryCount = TransmissionsPerFrame;
        SendFrame();
    }
}

void OperationEngine::ReceiveReplyBytes() {
    const TickGuard ticks(*this);
    const int waiting = Link.ReadBufUsed();
    for (int i = 0; i < waiting; ++i) {
        uint8_t b;
        if (Link.ReadBuf(&b, 1) != 1) break;
        ByteTimer = ByteTimeoutTicks;
        if (Receiver.TakeByte(b)) {
            ByteTimer = 0;
            DispatchReply();
        }
    }
}

void OperationEngine::SendFrame() {
    Link.WriteBuf(LinkPreamble.data(), static_cast<int>(LinkPreamble.size()));
    Link.WriteBuf(TxFrame.data(), static_cast<int>(TxFrame.size()));
}

void OperationEngine::DispatchReply() {
    if (!Receiver.CheckReplyCrc()) {
        SendFrame();
        return;
    }
    switch (Receiver.Code()) {
        case ReplyAddressOutOfRange: AddressOutOfRange(); return;
        case ReplySendAgain: SendFrame(); return;
        default: break;
    }
    switch (Operation) {
        case OpProgram: ProgramReply(); break;
        case OpErase: EraseReply(); break;
        case OpBlankCheck: BlankCheckReply(); break;
        case OpVerify: VerifyReply(); break;
        default: break;
    }
}

void OperationEngine::EndOperation(const std::string& message, bool resetProgress) {
    View.ShowMessage(message);
    Operation = OpNone;
    ReplyTimer = 0;
    if (resetProgress) View.SetProgress(0);
}

void OperationEngine::BlockStep(const char* endMessage) {
    // The whole-device walk ends after the block that reaches LastAddress;
    // a data-block walk after the last block of its plan.
    const bool last = Plan.WholeDevice ? Image.LastAddress - BlockSize < CurrentAddress
                                       : PlanIndex + 1 >= Plan.Blocks.size();
    if (last) {
        Operation = OpNone;
        View.SetProgress(0);
        View.ShowMessage(endMessage);
        ReplyTimer = 0;
        return;
    }
    ++PlanIndex;
    CurrentAddress = Plan.WholeDevice ? CurrentAddress + BlockSize : Plan.Blocks[PlanIndex];
    std::memcpy(TxFrame.data() + TxDataOffset, Image.ImageBuffer.data() + CurrentAddress, BlockSize);
    PutFrameAddress(TxFrame.data(), CurrentAddress);
    AppendFrameCrc(TxFrame.data());
    // Progress counts the blocks of the plan; for the whole device this is
    // CurrentAddress over LastAddress.
    if (Plan.WholeDevice) View.SetProgress(BlockProgress(CurrentAddress, Image.LastAddress));
    else View.SetProgress(BlockProgress(PlanIndex * BlockSize, PlanBlocks() * BlockSize - 1));
    RetryCount = TransmissionsPerFrame;
    Link.WriteBuf(TxFrame.data(), static_cast<int>(TxFrame.size()));
    ReplyTimer = ReplyTimeoutTicks;
}

void OperationEngine::ProgramReply() {
    switch (Receiver.Code()) {
        case ReplyProgramError:
            EndOperation(FormatAddressMessage(msg::ProgrammingError, Receiver.ReportedAddress()), true);
            break;
        case ReplyDone: BlockStep(msg::DeviceProgrammed); break;
        default: break;
    }
}

void OperationEngine::VerifyReply() {
    switch (Receiver.Code()) {
        case ReplyVerifyError: EndOperation(msg::VerificationError, true); break;
        case ReplyDone: BlockStep(msg::VerificationOk); break;
        default: break;
    }
}

void OperationEngine::EraseReply() {
    switch (Receiver.Code()) {
        case ReplyDone: EndOperation(msg::DeviceErased, false); break;
        case ReplyNotErased:
            EndOperation(FormatAddressMessage(msg::NotErased, Receiver.ReportedAddress()), false);
            break;
        default: break;
    }
}

void OperationEngine::BlankCheckReply() {
    switch (Receiver.Code()) {
        case ReplyBlank: EndOperation(msg::DeviceBlank, false); break;
        case ReplyNotBlank:
            EndOperation(FormatAddressMessage(msg::NotBlank, Receiver.ReportedAddress()), false);
            break;
        default: break;
    }
}

void OperationEngine::AddressOutOfRange() {
    EndOperation(FormatAddressMessage(msg::OutOfDeviceSpace, CurrentAddress), true);
}

}  // namespace pelk

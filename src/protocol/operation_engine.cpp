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
    Operation = OpNone;
    RetryCount = 0;
    ReplyTimer = 0;
    ByteTimer = 0;
    StartDelay = 0;
}

void OperationEngine::StartOperation(uint8_t command, uint8_t operation, const char* message) {
    (void)Link.ReadText();  // stale bytes from an earlier exchange are dropped
    TxFrame[0] = TxSync;
    TxFrame[1] = TxLength;
    TxFrame[2] = command;
    PutFrameAddress(TxFrame.data(), 0);
    Operation = operation;
    const bool blocks = operation == OpProgram || operation == OpVerify;
    if (blocks) {
        CurrentAddress = 0;
        std::memcpy(TxFrame.data() + TxDataOffset, Image.ImageBuffer.data(), BlockSize);
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
    if (Image.LastAddress - BlockSize < CurrentAddress) {
        Operation = OpNone;
        View.SetProgress(0);
        View.ShowMessage(endMessage);
        ReplyTimer = 0;
        return;
    }
    CurrentAddress += BlockSize;
    std::memcpy(TxFrame.data() + TxDataOffset, Image.ImageBuffer.data() + CurrentAddress, BlockSize);
    PutFrameAddress(TxFrame.data(), CurrentAddress);
    AppendFrameCrc(TxFrame.data());
    double p = static_cast<double>(CurrentAddress) / Image.LastAddress * ProgressMax;
    if (p < 1.0) p = 1.0;
    View.SetProgress(static_cast<int>(p));
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

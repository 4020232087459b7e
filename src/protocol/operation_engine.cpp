#include "protocol/operation_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace pelk {

std::string FormatAddressMessage(const char* format, uint32_t address) {
    char text[80];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long>(address));
    return text;
}

namespace {

constexpr int64_t RoundUpToTicks(int64_t ms) { return (ms + TickMs - 1) / TickMs * TickMs; }

// Milliseconds that `bytes` take on the line at `bitsPerSecond`, 10 bits a
// byte (start bit, 8 data bits, stop bit), rounded up.
constexpr int64_t LineMs(uint32_t bytes, uint32_t bitsPerSecond) {
    const int64_t rate = bitsPerSecond == 0 ? 1 : bitsPerSecond;
    return (int64_t{bytes} * 10 * 1000 + rate - 1) / rate;
}

constexpr int64_t OneSecond = 1000;

}  // namespace

int64_t ReplyTimeoutMsFor(uint32_t bitsPerSecond) {
    return std::max<int64_t>(int64_t{ReplyTimeoutTicks} * TickMs,
                             RoundUpToTicks(LineMs(LongestExchangeBytes, bitsPerSecond) + OneSecond));
}

int64_t QuietMsFor(uint32_t bitsPerSecond) {
    return RoundUpToTicks(LineMs(LongestReplyBytes, bitsPerSecond) + int64_t{ByteTimeoutTicks} * TickMs);
}

OperationEngine::OperationEngine(const MemoryImage& image, Port& port, EngineView& view)
    : Clock([] {
          return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
      }),
      Image(image),
      Link(port),
      View(view) {
    SetLineRate(9600);
}

void OperationEngine::SetLineRate(uint32_t bitsPerSecond) {
    ReplyTimeout = ReplyTimeoutMsFor(bitsPerSecond);
    Quiet = QuietMsFor(bitsPerSecond);
}

OperationEngine::Millis OperationEngine::Now() const { return Clock(); }

void OperationEngine::Reset() {
    const TickGuard ticks(*this);
    Operation = OpNone;
    ByteTimer = 0;
    StartDelay = 0;
    Awaiting = Settling = false;
    Copies = 0;
    Receiver = ReplyReceiver{};
}

uint32_t OperationEngine::PlanBlocks() const {
    return Plan.WholeDevice ? (Image.LastAddress + 1) / BlockSize : static_cast<uint32_t>(Plan.Blocks.size());
}

void OperationEngine::StartOperation(uint8_t command, uint8_t operation, const char* message) {
    const TickGuard ticks(*this);
    (void)Link.ReadText();  // stale bytes from an earlier exchange are dropped
    // Whatever the replaced operation still waited for is over: a reply to
    // its frames answers nothing of this one.
    Awaiting = Settling = false;
    Copies = 0;
    const bool blocks = operation == OpProgram || operation == OpVerify;
    if (blocks) {
        Plan = SkipBlankBlocks ? BlockPlan::DataBlocks(Image) : BlockPlan::Whole();
        PlanIndex = 0;
        if (!Plan.WholeDevice && Plan.Blocks.empty()) {
            // Nothing to walk: nothing goes to the target, and an operation
            // that checked nothing must not read as a success. A running
            // operation is replaced as by any start.
            Operation = OpNone;
            CurrentAddress = 0;
            StartDelay = 0;
            View.SetProgress(0);
            View.ShowMessage(operation == OpProgram ? msg::NothingToProgram : msg::NothingToVerify);
            return;
        }
    }
    Operation = operation;
    if (blocks) CurrentAddress = Plan.WholeDevice ? 0 : Plan.Blocks.front();
    // Erase and Blank check send whatever data block the previous frame
    // carried, at address 0; the checksum covers it all the same.
    BuildCommandFrame(TxFrame, command, blocks ? CurrentAddress : 0,
                      blocks ? Image.ImageBuffer.data() + CurrentAddress : nullptr);
    if (blocks) View.SetProgress(0);
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
    Awaiting = Settling = false;
}

void OperationEngine::TimerTimer() {
    const TickGuard ticks(*this);
    if (Awaiting || Settling) {
        Millis now = Now();
        if (Awaiting && now >= ReplyDeadline && Link.ReadBufUsed() > 0) {
            // A reply that has come in but whose event has not been handled
            // yet is taken before the time-out is declared.
            ReceiveReplyBytes();
            now = Now();
        }
        if (Awaiting && now >= ReplyDeadline) {
            const bool last = Copies >= TransmissionsPerFrame;
            if (Events) Events->ReplyTimedOut(Copies, ReplyTimeout, last);
            if (last) GiveUp();
            else SendAgain();
        }
        if (Settling) CheckQuiet(now);
    }
    if (ByteTimer != 0 && --ByteTimer == 0) {
        if (Events && Receiver.RxState == ReplyReceiver::Receiving) Events->ReplyAbandoned();
        Receiver.Abandon();
    }
    if (StartDelay != 0 && --StartDelay == 0) FirstTransmission(true);
}

void OperationEngine::ReceiveReplyBytes() {
    const TickGuard ticks(*this);
    const int waiting = Link.ReadBufUsed();
    if (waiting > 0 && (Awaiting || Settling)) LastReceived = Now();
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

void OperationEngine::FirstTransmission(bool preamble) {
    Copies = 1;
    Answers = CorruptAnswers = AskedAgain = 0;
    Latency = 0;
    Settling = false;
    Awaiting = true;
    LastSent = SentAt[0] = Now();
    ReplyDeadline = LastSent + ReplyTimeout;
    if (preamble) SendFrame();
    else Link.WriteBuf(TxFrame.data(), static_cast<int>(TxFrame.size()));
}

void OperationEngine::SendAgain() {
    // Every copy counts, whatever made it go: a time-out, a reply with a bad
    // checksum or a request to send again. Each may be a write or erase
    // cycle of the chip's flash.
    if (Copies >= TransmissionsPerFrame) return GiveUp();
    Awaiting = true;
    LastSent = SentAt[Copies++] = Now();
    ReplyDeadline = LastSent + ReplyTimeout;
    SendFrame();
}

void OperationEngine::GiveUp() {
    std::string text = msg::NotResponding;
    if (CorruptAnswers > 0) text += std::string(" ") + msg::RepliesCorrupt;
    else if (AskedAgain > 0) text += std::string(" ") + msg::KeptAskingAgain;
    Awaiting = Settling = false;
    View.ShowMessage(text);
    Operation = OpNone;
    View.SetProgress(0);
}

void OperationEngine::DispatchReply() {
    if (!Awaiting && !Settling) return;
    if (++Answers <= Copies) Latency = std::max(Latency, LastReceived - SentAt[Answers - 1]);
    const bool good = Receiver.CheckReplyCrc();
    if (Settling) return SettleReply(good, good ? Receiver.Code() : 0);
    if (!good) {
        ++CorruptAnswers;
        return SendAgain();
    }
    switch (Receiver.Code()) {
        case ReplyAddressOutOfRange: AddressOutOfRange(); return;
        case ReplySendAgain:
            ++AskedAgain;
            SendAgain();
            return;
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

void OperationEngine::Accept(uint8_t code) {
    if (Copies > 1 && Answers < Copies) {
        // The frame went out more than once and not every copy has been
        // answered: the answers to the others may still come, and taken for
        // the next frame's they would confirm a block the target never
        // checked. They are awaited, or the line's silence, first.
        Awaiting = false;
        Settling = true;
        SettledCode = code;
        SettleStarted = Now();
        if (Events) Events->WaitingForQuiet(Copies, Answers);
        return;
    }
    Proceed();
}

void OperationEngine::Proceed() {
    Settling = Awaiting = false;
    switch (Operation) {
        case OpProgram: BlockStep(msg::DeviceProgrammed); break;
        case OpVerify: BlockStep(msg::VerificationOk); break;
        case OpErase: EndOperation(msg::DeviceErased, false); break;
        case OpBlankCheck: EndOperation(msg::DeviceBlank, false); break;
        default: break;
    }
}

void OperationEngine::SettleReply(bool crcGood, uint8_t code) {
    const bool failure = crcGood && (code == ReplyAddressOutOfRange || (Operation == OpProgram && code == ReplyProgramError) ||
                                     (Operation == OpVerify && code == ReplyVerifyError) ||
                                     (Operation == OpErase && code == ReplyNotErased) ||
                                     (Operation == OpBlankCheck && code == ReplyNotBlank));
    if (failure) {
        // Another copy was answered with a failure: the failure stands.
        Settling = false;
        if (code == ReplyAddressOutOfRange) return AddressOutOfRange();
        switch (Operation) {
            case OpProgram: return ProgramReply();
            case OpVerify: return VerifyReply();
            case OpErase: return EraseReply();
            default: return BlankCheckReply();
        }
    }
    if (!crcGood) ++CorruptAnswers;
    else if (code == SettledCode && Events) Events->DuplicateDropped();
    if (Answers >= Copies) Proceed();
}

void OperationEngine::CheckQuiet(Millis now) {
    // The answer to the last copy, if it comes at all, comes no later than
    // the slowest answer so far took, and the line has been quiet for
    // longer than any reply takes.
    if (now >= LastSent + Latency + Quiet && now >= LastReceived + Quiet) return Proceed();
    if (now >= SettleStarted + TransmissionsPerFrame * ReplyTimeout)
        EndOperation(msg::RepliesUnclear, Operation == OpProgram || Operation == OpVerify);
}

void OperationEngine::EndOperation(const std::string& message, bool resetProgress) {
    View.ShowMessage(message);
    Operation = OpNone;
    Awaiting = Settling = false;
    if (resetProgress) View.SetProgress(0);
}

std::string OperationEngine::AddressMessage(const char* withAddress, const char* without) const {
    // Only a reply of length 7 or more carries an address; a shorter one
    // holds its checksum where the address would be.
    if (Receiver.RxFrame[0] < 7) return without;
    return FormatAddressMessage(withAddress, Receiver.ReportedAddress());
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
        Awaiting = Settling = false;
        return;
    }
    ++PlanIndex;
    CurrentAddress = Plan.WholeDevice ? CurrentAddress + BlockSize : Plan.Blocks[PlanIndex];
    BuildCommandFrame(TxFrame, TxFrame[2], CurrentAddress, Image.ImageBuffer.data() + CurrentAddress);
    // Progress counts the blocks of the plan; for the whole device this is
    // CurrentAddress over LastAddress.
    if (Plan.WholeDevice) View.SetProgress(BlockProgress(CurrentAddress, Image.LastAddress));
    else View.SetProgress(BlockProgress(PlanIndex * BlockSize, PlanBlocks() * BlockSize - 1));
    FirstTransmission(false);
}

void OperationEngine::ProgramReply() {
    switch (Receiver.Code()) {
        case ReplyProgramError:
            EndOperation(AddressMessage(msg::ProgrammingError, msg::ProgrammingErrorNoAddress), true);
            break;
        case ReplyDone: Accept(ReplyDone); break;
        default: break;
    }
}

void OperationEngine::VerifyReply() {
    switch (Receiver.Code()) {
        case ReplyVerifyError: EndOperation(msg::VerificationError, true); break;
        case ReplyDone: Accept(ReplyDone); break;
        default: break;
    }
}

void OperationEngine::EraseReply() {
    switch (Receiver.Code()) {
        case ReplyDone: Accept(ReplyDone); break;
        case ReplyNotErased: EndOperation(AddressMessage(msg::NotErased, msg::NotErasedNoAddress), false); break;
        default: break;
    }
}

void OperationEngine::BlankCheckReply() {
    switch (Receiver.Code()) {
        case ReplyBlank: Accept(ReplyBlank); break;
        case ReplyNotBlank: EndOperation(AddressMessage(msg::NotBlank, msg::NotBlankNoAddress), false); break;
        default: break;
    }
}

void OperationEngine::AddressOutOfRange() {
    EndOperation(FormatAddressMessage(msg::OutOfDeviceSpace, CurrentAddress), true);
}

}  // namespace pelk

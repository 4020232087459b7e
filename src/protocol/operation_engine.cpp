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
    : Image(image), Link(port), View(view), ClockSource([] {
          return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
      }) {
    SetLineRate(9600);
}

void OperationEngine::SetLineRate(uint32_t bitsPerSecond) {
    ReplyTimeout = ReplyTimeoutMsFor(bitsPerSecond);
    Quiet = QuietMsFor(bitsPerSecond);
}

OperationEngine::Millis OperationEngine::Now() const { return ClockSource(); }

void OperationEngine::Reset() {
    const TickGuard ticks(*this);
    Running = OpNone;
    ByteTicks = 0;
    DelayTicks = 0;
    Awaiting = Settling = false;
    Copies = 0;
    Replies = ReplyReceiver{};
}

uint32_t OperationEngine::PlanBlocks() const {
    return Walk.WholeDevice ? (Image.LastAddress + 1) / BlockSize : static_cast<uint32_t>(Walk.Blocks.size());
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
        Walk = SkipBlank ? BlockPlan::DataBlocks(Image) : BlockPlan::Whole();
        WalkIndex = 0;
        if (!Walk.WholeDevice && Walk.Blocks.empty()) {
            // Nothing to walk: nothing goes to the target, and an operation
            // that checked nothing must not read as a success. A running
            // operation is replaced as by any start.
            Running = OpNone;
            Address = 0;
            DelayTicks = 0;
            View.SetProgress(0);
            View.ShowMessage(operation == OpProgram ? msg::NothingToProgram : msg::NothingToVerify);
            return;
        }
    }
    Running = operation;
    if (blocks) Address = Walk.WholeDevice ? 0 : Walk.Blocks.front();
    // Erase and Blank check send whatever data block the previous frame
    // carried, at address 0; the checksum covers it all the same.
    BuildCommandFrame(Frame, command, blocks ? Address : 0,
                      blocks ? Image.ImageBuffer.data() + Address : nullptr);
    if (blocks) View.SetProgress(0);
    View.ShowMessage(message);
    Link.WriteBuf(LinkPreamble.data(), static_cast<int>(LinkPreamble.size()));
    DelayTicks = StartDelayTicks;
}

void OperationEngine::StartProgram() { StartOperation(CmdProgram, OpProgram, msg::Programming); }
void OperationEngine::StartVerify() { StartOperation(CmdVerify, OpVerify, msg::Verifying); }
void OperationEngine::StartErase() { StartOperation(CmdErase, OpErase, msg::Erasing); }
void OperationEngine::StartBlankCheck() { StartOperation(CmdBlankCheck, OpBlankCheck, msg::BlankChecking); }

void OperationEngine::Stop() {
    const TickGuard ticks(*this);
    // Cancelling the pending first transmission keeps Stop's promise that
    // nothing more goes to the target.
    DelayTicks = 0;
    if (Running == OpNone) return;
    Running = OpNone;
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
        ReplyDeadlineCheck(now);
        if (Settling) CheckQuiet(now);
    }
    ByteTimeoutCheck();
    StartDelayCheck();
}

void OperationEngine::ReplyDeadlineCheck(Millis now) {
    if (!Awaiting || now < ReplyDeadline) return;
    const bool last = Copies >= TransmissionsPerFrame;
    if (EventListener) EventListener->ReplyTimedOut(Copies, ReplyTimeout, last);
    if (last) GiveUp();
    else SendAgain();
}

void OperationEngine::ByteTimeoutCheck() {
    if (ByteTicks == 0 || --ByteTicks != 0) return;
    if (EventListener && Replies.RxState == ReplyReceiver::Receiving) EventListener->ReplyAbandoned();
    Replies.Abandon();
}

void OperationEngine::StartDelayCheck() {
    if (DelayTicks != 0 && --DelayTicks == 0) FirstTransmission(true);
}

void OperationEngine::ReceiveReplyBytes() {
    const TickGuard ticks(*this);
    const int waiting = Link.ReadBufUsed();
    if (waiting > 0 && (Awaiting || Settling)) LastReceived = Now();
    for (int i = 0; i < waiting; ++i) {
        uint8_t b;
        if (Link.ReadBuf(&b, 1) != 1) break;
        ByteTicks = ByteTimeoutTicks;
        if (Replies.TakeByte(b)) {
            ByteTicks = 0;
            DispatchReply();
        }
    }
}

void OperationEngine::SendFrame() {
    Link.WriteBuf(LinkPreamble.data(), static_cast<int>(LinkPreamble.size()));
    Link.WriteBuf(Frame.data(), static_cast<int>(Frame.size()));
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
    else Link.WriteBuf(Frame.data(), static_cast<int>(Frame.size()));
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
    Running = OpNone;
    View.SetProgress(0);
}

void OperationEngine::DispatchReply() {
    if (!Awaiting && !Settling) return;
    if (++Answers <= Copies) Latency = std::max(Latency, LastReceived - SentAt[Answers - 1]);
    const bool good = Replies.CheckReplyCrc();
    if (Settling) return SettleReply(good, good ? Replies.Code() : 0);
    if (!good) {
        ++CorruptAnswers;
        return SendAgain();
    }
    switch (Replies.Code()) {
        case ReplyAddressOutOfRange: AddressOutOfRange(); return;
        case ReplySendAgain:
            ++AskedAgain;
            SendAgain();
            return;
        default: break;
    }
    switch (Running) {
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
        if (EventListener) EventListener->WaitingForQuiet(Copies, Answers);
        return;
    }
    Proceed();
}

void OperationEngine::Proceed() {
    Settling = Awaiting = false;
    switch (Running) {
        case OpProgram: BlockStep(msg::DeviceProgrammed); break;
        case OpVerify: BlockStep(msg::VerificationOk); break;
        case OpErase: EndOperation(msg::DeviceErased, false); break;
        case OpBlankCheck: EndOperation(msg::DeviceBlank, false); break;
        default: break;
    }
}

void OperationEngine::SettleReply(bool crcGood, uint8_t code) {
    const bool failure = crcGood && (code == ReplyAddressOutOfRange || (Running == OpProgram && code == ReplyProgramError) ||
                                     (Running == OpVerify && code == ReplyVerifyError) ||
                                     (Running == OpErase && code == ReplyNotErased) ||
                                     (Running == OpBlankCheck && code == ReplyNotBlank));
    if (failure) {
        // Another copy was answered with a failure: the failure stands.
        Settling = false;
        if (code == ReplyAddressOutOfRange) return AddressOutOfRange();
        switch (Running) {
            case OpProgram: return ProgramReply();
            case OpVerify: return VerifyReply();
            case OpErase: return EraseReply();
            default: return BlankCheckReply();
        }
    }
    if (!crcGood) ++CorruptAnswers;
    else if (code == SettledCode && EventListener) EventListener->DuplicateDropped();
    if (Answers >= Copies) Proceed();
}

void OperationEngine::CheckQuiet(Millis now) {
    // The answer to the last copy, if it comes at all, comes no later than
    // the slowest answer so far took, and the line has been quiet for
    // longer than any reply takes.
    if (now >= LastSent + Latency + Quiet && now >= LastReceived + Quiet) return Proceed();
    if (now >= SettleStarted + TransmissionsPerFrame * ReplyTimeout)
        EndOperation(msg::RepliesUnclear, Running == OpProgram || Running == OpVerify);
}

void OperationEngine::EndOperation(const std::string& message, bool resetProgress) {
    View.ShowMessage(message);
    Running = OpNone;
    Awaiting = Settling = false;
    if (resetProgress) View.SetProgress(0);
}

std::string OperationEngine::AddressMessage(const char* withAddress, const char* without) const {
    // Only a reply of length 7 or more carries an address; a shorter one
    // holds its checksum where the address would be.
    if (Replies.RxFrame[0] < 7) return without;
    return FormatAddressMessage(withAddress, Replies.ReportedAddress());
}

void OperationEngine::BlockStep(const char* endMessage) {
    // The whole-device walk ends after the block that reaches LastAddress;
    // a data-block walk after the last block of its plan.
    const bool last = Walk.WholeDevice ? Image.LastAddress - BlockSize < Address
                                       : WalkIndex + 1 >= Walk.Blocks.size();
    if (last) {
        Running = OpNone;
        View.SetProgress(0);
        View.ShowMessage(endMessage);
        Awaiting = Settling = false;
        return;
    }
    ++WalkIndex;
    Address = Walk.WholeDevice ? Address + BlockSize : Walk.Blocks[WalkIndex];
    BuildCommandFrame(Frame, Frame[2], Address, Image.ImageBuffer.data() + Address);
    // Progress counts the blocks of the plan; for the whole device this is
    // Address over LastAddress.
    if (Walk.WholeDevice) View.SetProgress(BlockProgress(Address, Image.LastAddress));
    else View.SetProgress(BlockProgress(WalkIndex * BlockSize, PlanBlocks() * BlockSize - 1));
    FirstTransmission(false);
}

void OperationEngine::ProgramReply() {
    switch (Replies.Code()) {
        case ReplyProgramError:
            EndOperation(AddressMessage(msg::ProgrammingError, msg::ProgrammingErrorNoAddress), true);
            break;
        case ReplyDone: Accept(ReplyDone); break;
        default: break;
    }
}

void OperationEngine::VerifyReply() {
    switch (Replies.Code()) {
        case ReplyVerifyError: EndOperation(msg::VerificationError, true); break;
        case ReplyDone: Accept(ReplyDone); break;
        default: break;
    }
}

void OperationEngine::EraseReply() {
    switch (Replies.Code()) {
        case ReplyDone: Accept(ReplyDone); break;
        case ReplyNotErased: EndOperation(AddressMessage(msg::NotErased, msg::NotErasedNoAddress), false); break;
        default: break;
    }
}

void OperationEngine::BlankCheckReply() {
    switch (Replies.Code()) {
        case ReplyBlank: Accept(ReplyBlank); break;
        case ReplyNotBlank: EndOperation(AddressMessage(msg::NotBlank, msg::NotBlankNoAddress), false); break;
        default: break;
    }
}

void OperationEngine::AddressOutOfRange() {
    EndOperation(FormatAddressMessage(msg::OutOfDeviceSpace, Address), true);
}

}  // namespace pelk

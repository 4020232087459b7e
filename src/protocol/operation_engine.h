#pragma once
// The device operations: Program, Verify, Erase, Blank check and Stop.
// A starting command builds the first command frame, announces itself with
// the link preamble and sends the frame after a start delay; the 10 ms tick
// repeats an unanswered frame and gives up after ten transmissions; replies,
// assembled by the reply receiver, move Program and Verify block by block
// through their plan (every block of the device, or only the blocks that
// hold data) or end the operation with a message.
//
// Everything here runs on one thread (the window's or the command line's
// event loop): the commands, TimerTimer and ReceiveReplyBytes.
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "image/memory_image.h"
#include "protocol/block_plan.h"
#include "protocol/engine_view.h"
#include "protocol/port.h"
#include "protocol/rs232.h"

namespace pelk {

enum OperationKind : uint8_t {
    OpNone = 0,
    OpProgram = 1,
    OpErase = 2,
    OpBlankCheck = 3,
    OpVerify = 4,
};

// Timing. The engine is driven by a 10 ms tick; the reply time-out and the
// wait for a quiet line after a re-send are measured on a monotonic clock,
// so a loaded machine that delivers ticks late does not stretch them.
constexpr int64_t TickMs = 10;
constexpr uint8_t StartDelayTicks = 5;            // 50 ms from the lone preamble to the first frame
constexpr uint32_t ReplyTimeoutTicks = 200;       // 2 s: the reply time-out at 4800 bit/s and above
constexpr uint8_t TransmissionsPerFrame = 10;     // copies of one frame, re-sends included
constexpr uint32_t ByteTimeoutTicks = 10;         // 100 ms: a reply whose next byte is this late is dropped
constexpr int ProgressMax = 1000;

// Bytes on the line for one exchange at its longest: the preamble and a
// command frame out, the longest reply (sync byte and 133 more) back.
constexpr uint32_t LongestReplyBytes = 1 + 133;
constexpr uint32_t LongestExchangeBytes = 3 + 136 + LongestReplyBytes;

// How long a frame waits for its reply at a line rate (bit/s; 10 bits a
// byte): never less than the exchange takes on the line plus one second,
// and never less than 2 s. Whole ticks.
int64_t ReplyTimeoutMsFor(uint32_t bitsPerSecond);
// How long the line must stay quiet before a frame that was sent more than
// once counts as answered: the longest reply's time on the line plus the
// inter-byte time-out. Whole ticks.
int64_t QuietMsFor(uint32_t bitsPerSecond);

namespace msg {
inline constexpr const char* Programming = "Programming...";
inline constexpr const char* Verifying = "Verifying...";
inline constexpr const char* Erasing = "Erasing...";
inline constexpr const char* BlankChecking = "Blank checking...";
inline constexpr const char* DeviceProgrammed = "Device programmed.";
inline constexpr const char* VerificationOk = "Verification OK.";
inline constexpr const char* DeviceErased = "Device erased.";
inline constexpr const char* DeviceBlank = "Device is blank.";
inline constexpr const char* ProgrammingError = "Programming error at adress: %05lX";
inline constexpr const char* NotErased = "Device not erased at adress: %05lX";
inline constexpr const char* NotBlank = "Device not blank at adress: %05lX";
// The same three for a reply too short to carry an address.
inline constexpr const char* ProgrammingErrorNoAddress = "Programming error.";
inline constexpr const char* NotErasedNoAddress = "Device not erased.";
inline constexpr const char* NotBlankNoAddress = "Device not blank.";
// Program and Verify with nothing to walk: the data-block plan is empty.
inline constexpr const char* NothingToProgram = "Nothing to program: every byte of the device is FF.";
inline constexpr const char* NothingToVerify = "Nothing to verify: every byte of the device is FF.";
inline constexpr const char* VerificationError = "Verification error.";
inline constexpr const char* OutOfDeviceSpace = "Adress: %05lX out of device memory space.";
inline constexpr const char* NotResponding = "Microcontroller is not responding.";
// Said after NotResponding when replies did come, but none could be used.
inline constexpr const char* RepliesCorrupt = "Replies from the microcontroller are corrupt (bad checksum).";
inline constexpr const char* KeptAskingAgain = "The microcontroller asked for every copy of the frame again.";
// A frame sent more than once got answers that cannot be told apart.
inline constexpr const char* RepliesUnclear = "Replies from the microcontroller cannot be matched to the frame (it was sent again and the line never went quiet).";
inline constexpr const char* Stopped = "Stopped.";
}  // namespace msg

// Formats one of the address messages above ("%05lX": at least five
// upper-case hexadecimal digits).
std::string FormatAddressMessage(const char* format, uint32_t address);

// What calls TimerTimer (the window's 10 ms timer). The engine asks for ticks
// while it has anything pending and lets them go when all is idle, so an idle
// program does not wake up every 10 ms.
class TickSource {
public:
    virtual ~TickSource() = default;
    virtual void TicksNeeded(bool needed) = 0;
};

// What the engine tells a wire trace besides the bytes (which the trace sees
// at the port): the time-outs and how a frame sent more than once was settled.
class EngineEvents {
public:
    virtual ~EngineEvents() = default;
    // The reply time-out (`timeoutMs`) of `transmission` (1..10) ran out;
    // `givingUp`: no copy is left.
    virtual void ReplyTimedOut(unsigned transmission, int64_t timeoutMs, bool givingUp) = 0;
    // The inter-byte time-out dropped a half-received reply.
    virtual void ReplyAbandoned() = 0;
    // A reply came for a frame sent `copies` times, with fewer replies than
    // copies so far: the engine waits for the line to go quiet before it
    // goes on, dropping the answers to the other copies.
    virtual void WaitingForQuiet(unsigned copies, unsigned replies) = 0;
    // A reply that answers another copy of a frame already answered.
    virtual void DuplicateDropped() = 0;
};

class OperationEngine {
public:
    using Millis = int64_t;

    OperationEngine(const MemoryImage& image, Port& port, EngineView& view);

    // Program and Verify walk only the blocks that hold data (true) or every
    // block up to LastAddress (false, the default). Read when they start.
    void SetSkipBlankBlocks(bool on) { SkipBlank = on; }
    bool SkipBlankBlocks() const { return SkipBlank; }
    // Told after every command, tick and received-bytes event whether ticks
    // are still needed; none: nobody is told.
    void SetTickSource(TickSource* ticks) { TickListener = ticks; }
    // Told of time-outs and settled re-sends; none: nobody is told.
    void SetEvents(EngineEvents* events) { EventListener = events; }
    // Milliseconds of a monotonic clock (tests: fake time). By default the
    // system's steady clock.
    void SetClock(std::function<Millis()> clock) { ClockSource = std::move(clock); }

    // State; all zero at creation.
    // The operation that runs (OpNone when none).
    uint8_t Operation() const { return Running; }
    // Ticks left before the first frame of a starting operation; 0 when none.
    uint8_t StartDelay() const { return DelayTicks; }
    // The block being sent or the address a reply was about.
    uint32_t CurrentAddress() const { return Address; }
    // The frame being sent (or sent last).
    const TxFrameBytes& TxFrame() const { return Frame; }
    // The receiver of reply frames.
    const ReplyReceiver& Receiver() const { return Replies; }
    // The plan of the running or last walk, and the index of CurrentAddress in it.
    const BlockPlan& Plan() const { return Walk; }
    uint32_t PlanIndex() const { return WalkIndex; }

    // The line rate in bit/s, for the reply time-out (9600 until told).
    void SetLineRate(uint32_t bitsPerSecond);
    Millis ReplyTimeoutMs() const { return ReplyTimeout; }

    // True while anything waits for a tick: an operation, the start delay,
    // a reply, a quiet line, or the inter-byte timer.
    bool Pending() const { return Running != OpNone || DelayTicks != 0 || Awaiting || Settling || ByteTicks != 0; }
    // A frame has gone out and waits for its reply.
    bool AwaitingReply() const { return Awaiting; }
    // Copies of the current frame sent so far (re-sends included).
    unsigned Transmissions() const { return Copies; }
    // How long the latest copy has waited for its reply (0 when none waits).
    Millis ReplyWait() const { return Awaiting ? Now() - LastSent : 0; }
    // A frame sent more than once was answered; the engine waits for the
    // line to go quiet before it goes on.
    bool WaitingForQuietLine() const { return Settling; }
    // Number of blocks in the plan of the running or last walk.
    uint32_t PlanBlocks() const;

    // No operation runs; the timers are idle, and a half-received reply is
    // dropped.
    void Reset();

    // The starting commands. Each replaces a running operation at once.
    void StartProgram();
    void StartVerify();
    void StartErase();
    void StartBlankCheck();
    // Ends the running operation with "Stopped."; nothing is sent. A first
    // transmission still pending after a start is cancelled too.
    void Stop();

    // The 10 ms tick: the reply time-out, the quiet line, the inter-byte
    // time-out and the start delay, each in its step below.
    void TimerTimer();

    // Takes the bytes waiting in the port one at a time and dispatches each
    // complete reply (the port's received-bytes event).
    void ReceiveReplyBytes();

    // Link preamble, then TxFrame, as two writes.
    void SendFrame();

    // A complete reply, as the receiver holds it. Replies count only while
    // a frame waits for one: a reply before the first transmission, or after
    // the operation has ended, answers nothing of this operation and is
    // dropped; it never makes the engine send.
    void DispatchReply();
    void ProgramReply();
    void VerifyReply();
    void EraseReply();
    void BlankCheckReply();
    void AddressOutOfRange();

private:
    // Tells the tick source, on the way out of an entry point (also when a
    // write to the port throws), whether ticks are still needed.
    class TickGuard {
    public:
        explicit TickGuard(OperationEngine& engine) : E(engine) {}
        ~TickGuard() {
            if (E.TickListener) E.TickListener->TicksNeeded(E.Pending());
        }
        TickGuard(const TickGuard&) = delete;
        TickGuard& operator=(const TickGuard&) = delete;

    private:
        OperationEngine& E;
    };

    Millis Now() const;
    // The steps of the tick. The reply time-out ran out: the frame goes out
    // again, or the operation ends as not responding after the last copy.
    void ReplyDeadlineCheck(Millis now);
    // The next byte of a reply is late: the part received is dropped.
    void ByteTimeoutCheck();
    // The lone preamble has had its time: the first frame goes out.
    void StartDelayCheck();
    void StartOperation(uint8_t command, uint8_t operation, const char* message);
    // The first transmission of a new frame (with the preamble after the
    // start delay, without it for the next block).
    void FirstTransmission(bool preamble);
    // The same frame again, with the preamble; when all ten copies have gone,
    // the operation ends as not responding instead.
    void SendAgain();
    void GiveUp();
    // A reply that lets the operation go on (the block was taken, the chip
    // erased or blank): at once when every copy of the frame has been
    // answered, otherwise once the line has gone quiet.
    void Accept(uint8_t code);
    void Proceed();
    void SettleReply(bool crcGood, uint8_t code);
    void CheckQuiet(Millis now);
    void BlockStep(const char* endMessage);
    void EndOperation(const std::string& message, bool resetProgress);
    std::string AddressMessage(const char* withAddress, const char* without) const;

    const MemoryImage& Image;
    Port& Link;
    EngineView& View;
    TickSource* TickListener = nullptr;
    EngineEvents* EventListener = nullptr;
    std::function<Millis()> ClockSource;

    TxFrameBytes Frame{};
    uint32_t Address = 0;
    uint8_t Running = OpNone;
    uint8_t DelayTicks = 0;
    uint32_t ByteTicks = 0;  // ticks left for the next byte of a reply; 0: none awaited
    ReplyReceiver Replies;
    bool SkipBlank = false;
    BlockPlan Walk;
    uint32_t WalkIndex = 0;

    Millis ReplyTimeout = ReplyTimeoutTicks * TickMs;
    Millis Quiet = 0;
    // The current frame's exchange.
    bool Awaiting = false;        // a copy went out; its reply is awaited
    Millis ReplyDeadline = 0;
    Millis LastSent = 0;          // when the latest copy went out
    Millis LastReceived = 0;      // when bytes last came in
    std::array<Millis, TransmissionsPerFrame> SentAt{};  // when each copy went out
    // The longest a reply has taken, reckoning the n-th reply as the answer
    // to the n-th copy (the earliest it can answer, so the longest it can
    // have taken).
    Millis Latency = 0;
    unsigned Copies = 0;          // copies sent
    unsigned Answers = 0;         // complete replies since the first copy, good or not
    unsigned CorruptAnswers = 0;  // of which failed their checksum
    unsigned AskedAgain = 0;      // of which asked for the frame again
    // A good reply came for a frame sent more than once: the answers to the
    // other copies are awaited (or the line's silence) before going on.
    bool Settling = false;
    uint8_t SettledCode = 0;
    Millis SettleStarted = 0;
};

}  // namespace pelk

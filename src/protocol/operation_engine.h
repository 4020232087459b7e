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
#include <cstdint>
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

constexpr uint8_t StartDelayTicks = 5;
constexpr uint32_t ReplyTimeoutTicks = 200;
constexpr uint8_t TransmissionsPerFrame = 10;
constexpr uint32_t ByteTimeoutTicks = 10;
constexpr int ProgressMax = 1000;

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
inline constexpr const char* VerificationError = "Verification error.";
inline constexpr const char* OutOfDeviceSpace = "Adress: %05lX out of device memory space.";
inline constexpr const char* NotResponding = "Microcontroller is not responding.";
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

class OperationEngine {
public:
    OperationEngine(const MemoryImage& image, Port& port, EngineView& view);

    // State; all zero at creation.
    TxFrameBytes TxFrame{};
    uint32_t CurrentAddress = 0;
    uint8_t Operation = OpNone;
    uint8_t RetryCount = 0;
    uint32_t ReplyTimer = 0;
    uint8_t StartDelay = 0;
    uint32_t ByteTimer = 0;
    ReplyReceiver Receiver;

    // Program and Verify walk only the blocks that hold data (true) or every
    // block up to LastAddress (false, the default). Read when they start.
    bool SkipBlankBlocks = false;
    // The plan of the running or last walk, and the index of CurrentAddress in it.
    BlockPlan Plan;
    uint32_t PlanIndex = 0;

    // Told after every command, tick and received-bytes event whether ticks
    // are still needed; none: nobody is told.
    TickSource* Ticks = nullptr;

    // True while anything waits for a tick: an operation, the start delay,
    // the reply timer or the inter-byte timer.
    bool Pending() const { return Operation != OpNone || StartDelay != 0 || ReplyTimer != 0 || ByteTimer != 0; }
    // Number of blocks in the plan of the running or last walk.
    uint32_t PlanBlocks() const;

    // No operation runs; the timers are idle.
    void Reset();

    // The starting commands. Each replaces a running operation at once.
    void StartProgram();
    void StartVerify();
    void StartErase();
    void StartBlankCheck();
    // Ends the running operation with "Stopped."; nothing is sent. A first
    // transmission still pending after a start is cancelled too.
    void Stop();

    // The 10 ms tick: reply timeout, inter-byte timeout, start delay.
    void TimerTimer();

    // Takes the bytes waiting in the port one at a time and dispatches each
    // complete reply (the port's received-bytes event).
    void ReceiveReplyBytes();

    // Link preamble, then TxFrame, as two writes.
    void SendFrame();

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
            if (E.Ticks) E.Ticks->TicksNeeded(E.Pending());
        }
        TickGuard(const TickGuard&) = delete;
        TickGuard& operator=(const TickGuard&) = delete;

    private:
        OperationEngine& E;
    };

    void StartOperation(uint8_t command, uint8_t operation, const char* message);
    void BlockStep(const char* endMessage);
    void EndOperation(const std::string& message, bool resetProgress);

    const MemoryImage& Image;
    Port& Link;
    EngineView& View;
};

}  // namespace pelk

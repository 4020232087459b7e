#pragma once
// The simulated target behind a pseudo-terminal: a TargetLoader served on the
// master side of a pty pair by a thread of its own, so that anything that
// opens the slave side by its path (the serial component, a test client, the
// window through a COMn link) talks to it as to a real loader on a line.
//
// The slave side is put in raw mode so that no byte is translated, and the
// target keeps one descriptor of it open for its whole life: a client may
// close and reopen the slave as often as it likes without the master ever
// seeing a hang-up.
//
// Faults can be switched on to exercise the tool's error paths: silence,
// corrupted reply checksums, noise ahead of replies, replies sent one byte at
// a time, pacing at the line rate of a given baud, one flash byte that
// changes on its own after a number of programmed blocks, one stall (as a
// loader that is held up, or a target process stopped for a while), and
// random bytes in place of every reply.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/target_loader.h"

namespace pelk {

struct SimulatedTargetFaults {
    bool Silent = false;               // handle frames, never answer
    uint32_t CorruptEvery = 0;         // every n-th reply goes out with a wrong checksum; 0: none
    uint32_t NoiseBytes = 0;           // bytes (never 0x55) sent ahead of every reply
    bool SplitReplies = false;         // send replies one byte per write ...
    std::chrono::milliseconds SplitPause{5};  // ... with this pause between the bytes
    uint32_t PaceBaud = 0;             // take frames and send replies at this line rate
                                       // (10 bits per byte); 0: as fast as the pty goes
    uint32_t DamageAfterPrograms = 0;  // after the n-th accepted Program frame, invert the
                                       // first byte of that block once; 0: never
    uint32_t StallFrame = 0;           // before answering the n-th frame, stop taking and
    std::chrono::milliseconds StallFor{0};  // sending bytes for this long, once; 0: never
    uint32_t GarbleBytes = 0;          // send this many random bytes (any value) in place
                                       // of every reply; 0: none
};

struct SimulatedTargetOptions {
    uint32_t LastAddress = 0xFFFF;     // highest flash address: 0x7FFF, 0xFFFF or 0x1FFFF
    std::string FlashFile;             // binary flash contents, read at Start if the file
                                       // exists (all 0xFF otherwise; at most the device's
                                       // size is read) and written back at Stop by the one
                                       // rule for output files; file bytes beyond the
                                       // device are kept as they are; must be a regular
                                       // file (or none yet); empty: none
    SimulatedTargetFaults Faults;
    // A frame whose next byte is this late is forgotten, as a real loader does.
    std::chrono::milliseconds FrameGap{50};
};

// What the target has done so far.
struct SimulatedTargetStatus {
    TargetLoader::Counters Loader;  // frames handled, by command
    uint64_t FramesServed = 0;      // frames whose reply (if any) has been written in full
    uint64_t RepliesSent = 0;
    uint64_t RepliesCorrupted = 0;
    uint64_t RepliesWithheld = 0;   // replies the silent target did not send
    uint64_t FramingResets = 0;     // half frames forgotten after a pause
    uint64_t Wakeups = 0;           // returns from the serving thread's wait; an idle
                                    // target does not wake at all
    bool FlashDamaged = false;
    bool Serving = false;           // the serving thread is running
};

class SimulatedTargetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The flash file cannot be used (not a regular file, a folder that is not
// there, write-protected, in use by another target): an error of a file the
// user named rather than of the target.
class SimulatedTargetFileError : public SimulatedTargetError {
public:
    using SimulatedTargetError::SimulatedTargetError;
};

class SimulatedTarget {
public:
    explicit SimulatedTarget(SimulatedTargetOptions options);
    ~SimulatedTarget();  // stops and writes the flash file back; errors are dropped here,
                         // call Stop() to see them
    SimulatedTarget(const SimulatedTarget&) = delete;
    SimulatedTarget& operator=(const SimulatedTarget&) = delete;

    // Reads the flash file (if one is named and exists) and locks it for the
    // target's life, opens the pty pair and starts serving. Throws
    // SimulatedTargetFileError for any trouble with the flash file (not a
    // regular file, a folder that is not there, write-protected, locked by
    // another target) and SimulatedTargetError for the pty; both name the
    // failing file or call. Called once.
    void Start();

    // Path of the slave side, e.g. "/dev/pts/3"; empty before Start.
    const std::string& PortPath() const { return SlavePath; }

    // Stops the serving thread (promptly, also in the middle of a paced or
    // split reply), closes the pty pair (a connected client sees a hang-up) and
    // writes the flash file back. Does nothing the second time. Throws
    // SimulatedTargetError when the flash file cannot be written.
    void Stop();

    uint32_t LastAddress() const { return Options.LastAddress; }
    const SimulatedTargetOptions& Settings() const { return Options; }

    // Thread-safe views of the flash and the counters, usable while serving.
    std::vector<uint8_t> Flash() const;
    void WriteFlash(uint32_t address, std::span<const uint8_t> bytes);
    SimulatedTargetStatus Status() const;

    // Waits until `frames` frames have been served in total, or the timeout
    // passes; true when they have.
    bool WaitForFramesServed(uint64_t frames, std::chrono::milliseconds timeout) const;

private:
    using Clock = std::chrono::steady_clock;

    void LoadFlashFile();
    void SaveFlashFile();
    // Lets go of the flash file's lock; `unused`: nothing was written, and
    // a file made only to be locked is removed.
    void ReleaseFlashFile(bool unused);
    void Serve();
    bool TakeBytes(const uint8_t* data, size_t count);
    std::vector<uint8_t> ApplyReplyFaults(std::vector<uint8_t> reply);
    bool SendReply(const std::vector<uint8_t>& bytes);
    bool WriteAll(const uint8_t* data, size_t count);
    bool SleepUntil(Clock::time_point when);  // false when told to stop
    Clock::duration ByteTime() const;
    void CloseDescriptors();
    [[noreturn]] void FailStart(const std::string& what);  // errno describes the failure

    const SimulatedTargetOptions Options;
    std::string SlavePath;
    int Master = -1;
    int HeldSlave = -1;  // keeps the slave side open between clients
    int Wake = -1;       // eventfd: readable once Stop wants the thread gone
    std::thread Server;
    bool Started = false;
    bool Stopped = false;
    bool FlashLoaded = false;
    int FlashLock = -1;        // the flash file, open and locked while the target runs
    bool CreatedFlash = false;  // made empty at Start, to be locked
    std::filesystem::path FlashPath;     // the flash file, made absolute at Start

    mutable std::mutex Lock;  // guards Loader, Counters and the fields below
    mutable std::condition_variable Served;
    TargetLoader Loader;
    SimulatedTargetStatus Counters;
    uint64_t RepliesMade = 0;
    uint64_t ProgramsAccepted = 0;
    uint32_t NoiseState = 0x2545F491;
    uint8_t NextNoise();

    // Owned by the serving thread.
    Clock::time_point ReceiveLineFree{};
    Clock::time_point SendLineFree{};
};

}  // namespace pelk

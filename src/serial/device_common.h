#pragma once
// What the device layers (posix/, win32/) share with each other and with
// the component's threads: the names of the device conditions a wait can
// watch for, the counters of received line conditions, and the rule by
// which a rate the driver took stands for the rate asked for.
#include <cstdint>

#include "serial/vaconst.h"

namespace pelk {

// Conditions of the device for SerialDevice::Wait (asked for and reported).
// They have the values of the poll() bits of the same meaning.
inline constexpr short DeviceReadable = 0x001;  // bytes have arrived
inline constexpr short DeviceWritable = 0x004;  // the device takes more bytes (an earlier write has ended)
inline constexpr short DeviceError = 0x008;     // the device reports an error condition
inline constexpr short DeviceHangUp = 0x010;    // the other side went away
inline constexpr short DeviceInvalid = 0x020;   // not an open device
inline constexpr short DeviceGone = DeviceError | DeviceHangUp | DeviceInvalid;

// Counters of received line conditions, where the device keeps them.
struct LineCounters {
    uint32_t Frame = 0;
    uint32_t Overrun = 0;
    uint32_t Parity = 0;
    uint32_t Brk = 0;
    uint32_t BufOverrun = 0;
};

// CE_* flags for the conditions counted between two snapshots.
inline uint32_t LineErrorsBetween(const LineCounters& Before, const LineCounters& After) {
    uint32_t errors = 0;
    if (After.BufOverrun != Before.BufOverrun) errors |= CE_RXOVER;
    if (After.Overrun != Before.Overrun) errors |= CE_OVERRUN;
    if (After.Parity != Before.Parity) errors |= CE_RXPARITY;
    if (After.Frame != Before.Frame) errors |= CE_FRAME;
    if (After.Brk != Before.Brk) errors |= CE_BREAK;
    return errors;
}

// True when a line set to Wanted bit/s really runs at Actual: within 3
// percent, the tolerance of an asynchronous line. A driver that cannot run
// at a rate may keep another one without an error; SetState refuses a rate
// that fails this test.
inline bool RateAccepted(uint32_t Wanted, uint32_t Actual) {
    const uint64_t diff = Wanted > Actual ? Wanted - Actual : Actual - Wanted;
    return diff * 100 <= static_cast<uint64_t>(Wanted) * 3;
}

}  // namespace pelk

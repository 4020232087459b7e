#pragma once
// Types shared by the serial component's units: the enumerations of its
// settings (each an 8-bit ordinal, first member 0), the event sets, the
// status, capability and device-control records, and EVaCommError.
#include <cstdint>
#include <initializer_list>
#include <string>

#include "framework/exception.h"

namespace pelk {

enum TVaBaudrate : uint8_t {
    brUser,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
};

enum TVaParity : uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TVaDatabits : uint8_t { db4, db5, db6, db7, db8 };
enum TVaStopbits : uint8_t { sb1, sb15, sb2 };
enum TVaCommOption : uint8_t { coErrorChar, coNullStrip };
enum TVaCommEvent : uint8_t {
    ceBreak,
    ceCts,
    ceDsr,
    ceError,
    ceRing,
    ceRlsd,
    ceRxChar,
    ceTxEmpty,
    ceRxFlag,
    cePErr,
    ceRx80Full,
    ceEvent1,
    ceEvent2,
};
enum TVaControlDtr : uint8_t { dtrDisabled, dtrEnabled, dtrHandshake };
enum TVaControlRts : uint8_t { rtsDisabled, rtsEnabled, rtsHandshake, rtsToggle };

// The bit rate a TVaBaudrate stands for (brUser: 0, the rate is UserBaudrate).
uint32_t BaudrateValue(TVaBaudrate Rate);

// A set of enumeration members, bit n for the member of ordinal n.
template <class E, class Bits>
class TVaSet {
public:
    constexpr TVaSet() = default;
    constexpr TVaSet(std::initializer_list<E> Members) {
        for (E m : Members) Include(m);
    }
    static constexpr TVaSet FromBits(Bits Value) {
        TVaSet s;
        s.FBits = Value;
        return s;
    }
    constexpr bool Contains(E Member) const { return (FBits & Bit(Member)) != 0; }
    constexpr void Include(E Member) { FBits = static_cast<Bits>(FBits | Bit(Member)); }
    constexpr void Exclude(E Member) { FBits = static_cast<Bits>(FBits & ~Bit(Member)); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr Bits ToBits() const { return FBits; }
    friend constexpr bool operator==(TVaSet a, TVaSet b) { return a.FBits == b.FBits; }

private:
    static constexpr Bits Bit(E Member) { return static_cast<Bits>(Bits(1) << static_cast<unsigned>(Member)); }
    Bits FBits = 0;
};

using TVaCommEvents = TVaSet<TVaCommEvent, uint16_t>;
using TVaCommOptions = TVaSet<TVaCommOption, uint8_t>;

// 32-bit integers restricted to 0..2147483647.
using TVaPortInt = int32_t;
using TVaIntW = int32_t;

// A block of received bytes (at most 32768 per call).
using PVaData = const uint8_t*;
inline constexpr int VaDataMax = 32768;

// The serial component's failures; carries a message only.
class EVaCommError : public Exception {
public:
    using Exception::Exception;
};

// Queue status of the device.
struct TComStat {
    // Bit 0 CTS hold, 1 DSR hold, 2 RLSD hold, 3 XOFF hold, 4 XOFF sent,
    // 5 end-of-file character received, 6 a character waiting to be sent
    // ahead of the queue.
    uint32_t Flags = 0;
    uint32_t cbInQue = 0;   // bytes in the device's input queue
    uint32_t cbOutQue = 0;  // bytes in the device's output queue
};

// What GetCommStatus returns: line-error flags (CE_*) and queue status.
struct TVaCommStatus {
    uint32_t Errors = 0;
    TComStat Stat;
};
static_assert(sizeof(TVaCommStatus) == 16);

// The device's capabilities (GetProperties), laid out as the 64-byte
// capability record of the communications interface it stands in for.
struct TCommProp {
    uint16_t wPacketLength = 0;
    uint16_t wPacketVersion = 0;
    uint32_t dwServiceMask = 0;
    uint32_t dwReserved1 = 0;
    uint32_t dwMaxTxQueue = 0;
    uint32_t dwMaxRxQueue = 0;
    uint32_t dwMaxBaud = 0;
    uint32_t dwProvSubType = 0;
    uint32_t dwProvCapabilities = 0;
    uint32_t dwSettableParams = 0;
    uint32_t dwSettableBaud = 0;
    uint16_t wSettableData = 0;
    uint16_t wSettableStopParity = 0;
    uint32_t dwCurrentTxQueue = 0;
    uint32_t dwCurrentRxQueue = 0;
    uint32_t dwProvSpec1 = 0;
    uint32_t dwProvSpec2 = 0;
    uint16_t wcProvChar[1] = {0};
};
static_assert(sizeof(TCommProp) == 64);

// The device control block: every line setting in one record, applied at
// once (SetDCB builds it from the component's properties).
struct TDCB {
    uint32_t BaudRate = 0;
    uint32_t Flags = 0;  // dcb_* of vaconst.h
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;  // 4..8
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
};

}  // namespace pelk

#pragma once
// The line settings of a device control block as the terminal interface
// takes them: a pure translation, tested on its own, and applied by
// SerialDevice::SetState.
//
// The record here has the layout of the kernel's termios2 (flags, line
// discipline, 19 control characters, input and output rate), so that any
// rate can be set with BOTHER; it carries plain integers so that this header
// needs neither glibc's <termios.h> nor the kernel's <asm/termbits.h>, which
// cannot be included together.
#include <cstdint>
#include <string>

#include "serial/vatypes.h"

namespace pelk::posix {

inline constexpr int LineCcCount = 19;

struct LineTermios {
    uint32_t Iflag = 0;
    uint32_t Oflag = 0;
    uint32_t Cflag = 0;
    uint32_t Lflag = 0;
    uint8_t Line = 0;
    uint8_t Cc[LineCcCount] = {};
    uint32_t Ispeed = 0;
    uint32_t Ospeed = 0;
};

// The rate field of Cflag (CBAUD) holds this code when the rate is given in
// Ispeed/Ospeed.
inline constexpr uint32_t CustomRateCode = 0x1000;  // BOTHER

enum class LineLevel : uint8_t { Leave, Low, High };

struct LinePlan {
    LineTermios Termios;
    LineLevel Dtr = LineLevel::Leave;
    LineLevel Rts = LineLevel::Leave;
    bool RtsToggle = false;  // RTS raised only while sending (RS-485 mode)
    // 0, or EINVAL when the block asks for something the line cannot do.
    int Error = 0;
};

// Makes a line pass every byte untouched: non-canonical, no echo, no
// signal characters, no translation of input or output, no software flow
// control, receiver on, reads that return at once. Rate, framing, hardware
// flow control and the carrier setting stay as they are.
void MakeLineRaw(LineTermios& Termios);

// Raw (MakeLineRaw), modem control lines ignored for carrier (CLOCAL);
// then the block's rate,
// framing, flow control and characters:
//  - BaudRate: a standard rate as its B-code, any other positive rate with
//    BOTHER; 0 is refused.
//  - ByteSize 5..8 (4 is refused: Linux has no 4-bit characters).
//  - Parity none, odd, even, mark, space (mark and space through CMSPAR).
//  - StopBits one; one and a half only with 5 data bits (the UART sends 1.5
//    stop bits for CSTOPB with 5 bits); two, except with 5 data bits.
//  - fParity: INPCK. Bytes received with a parity or framing error are then
//    read as 0, so fErrorChar is taken only with ErrorChar 0.
//  - fOutxCtsFlow or RTS handshake: CRTSCTS (the driver handles both).
//  - fOutX: IXON, fInX: IXOFF, with XonChar and XoffChar (which must then
//    differ).
//  - DTR and RTS held low or high as the block says.
//  - Refused, because the terminal interface has no such thing: DSR output
//    flow control, DSR sensitivity, DTR handshake, null stripping.
//  - fTXContinueOnXoff: accepted; the line keeps sending after it sent
//    XOFF whichever way it is set. XonLim, XoffLim, EofChar and EvtChar do
//    not apply to a raw line.
LinePlan BuildLinePlan(const TDCB& Dcb, const LineTermios& Current);

// The B-code of a standard rate, or 0 when Rate has none.
uint32_t StandardRateCode(uint32_t Rate);

// The line as a person reads it: "115200 bit/s, 8 data bits, no parity,
// 1 stop bit, no flow control, raw" (raw: bytes pass untouched).
std::string DescribeLine(const LineTermios& Termios);

// The kernel's termios2 of a terminal (termios2.cpp). False with the
// platform error recorded on failure.
bool GetLineTermios(int Fd, LineTermios& Out);
bool SetLineTermios(int Fd, const LineTermios& In);

}  // namespace pelk::posix

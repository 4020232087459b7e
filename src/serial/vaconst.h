#pragma once
// Constants of the serial component: its messages, the line-event bits,
// the line-error flags, the purge flags, the line-control functions and the
// flags of the device control block.
#include <cstdint>

namespace pelk {

namespace sVa {
inline constexpr const char* PortOpen = "Can't perform this operation while port is open";
inline constexpr const char* PortClosed = "Can't perform this operation while port is closed";
inline constexpr const char* OpenError = "Unable to open specified device %s (%d), %s";
inline constexpr const char* WriteDcbError = "Error writing dcb (%d), %s";
inline constexpr const char* BuffersError = "Error initializing buffers (%d), %s";
inline constexpr const char* TimeoutsError = "Error setting timeouts (%d), %s";
inline constexpr const char* EventMaskError = " Error setting EventMask (%d), %s";
inline constexpr const char* PurgeError = "Error clearing buffers (%d), %s";
inline constexpr const char* CommFunctionError = "Error calling comm function (%d), %s";
inline constexpr const char* PropertiesError = "Error reading port properties (%d), %s";
inline constexpr const char* StatisticsError = "Error retrieving statistics (%d), %s";
inline constexpr const char* ModemStateError = "Error reading modem state (%d), %s";
inline constexpr const char* WriteError = "Write error (%d), %s";
inline constexpr const char* ReadError = "Read error (%d), %s";
inline constexpr const char* OutputBufferFull = "Output buffer is full. Please check comm status.";
// %s: the device file the port's name resolved to.
inline constexpr const char* HangUp = "Device %s hung up or was removed";
// %s: the device file the port's name resolved to.
inline constexpr const char* NoModemLines = "%s: this port has no modem lines";
inline constexpr const char* DtrHandshake = "DTR line updates not allowed when flowcontrol is set to Handshake.";
inline constexpr const char* RtsHandshake =
    "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.";
}  // namespace sVa

// Line events (bits of an event mask).
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_RXFLAG = 0x0002;
inline constexpr uint32_t EV_TXEMPTY = 0x0004;
inline constexpr uint32_t EV_CTS = 0x0008;
inline constexpr uint32_t EV_DSR = 0x0010;
inline constexpr uint32_t EV_RLSD = 0x0020;
inline constexpr uint32_t EV_BREAK = 0x0040;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t EV_RING = 0x0100;
inline constexpr uint32_t EV_PERR = 0x0200;
inline constexpr uint32_t EV_RX80FULL = 0x0400;
inline constexpr uint32_t EV_EVENT1 = 0x0800;
inline constexpr uint32_t EV_EVENT2 = 0x1000;

// Line-error flags reported by GetCommStatus.
inline constexpr uint32_t CE_RXOVER = 0x0001;    // input queue overflow
inline constexpr uint32_t CE_OVERRUN = 0x0002;   // receiver overrun
inline constexpr uint32_t CE_RXPARITY = 0x0004;  // parity error
inline constexpr uint32_t CE_FRAME = 0x0008;     // framing error
inline constexpr uint32_t CE_BREAK = 0x0010;     // break received

// Purge flags.
inline constexpr uint32_t PURGE_TXABORT = 0x0001;
inline constexpr uint32_t PURGE_RXABORT = 0x0002;
inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Line-control functions of ToggleCommState.
inline constexpr uint32_t SETXOFF = 1;
inline constexpr uint32_t SETXON = 2;
inline constexpr uint32_t SETRTS = 3;
inline constexpr uint32_t CLRRTS = 4;
inline constexpr uint32_t SETDTR = 5;
inline constexpr uint32_t CLRDTR = 6;
inline constexpr uint32_t RESETDEV = 7;
inline constexpr uint32_t SETBREAK = 8;
inline constexpr uint32_t CLRBREAK = 9;

// Modem input lines of GetModemStatus.
inline constexpr uint32_t MS_CTS_ON = 0x0010;
inline constexpr uint32_t MS_DSR_ON = 0x0020;
inline constexpr uint32_t MS_RING_ON = 0x0040;
inline constexpr uint32_t MS_RLSD_ON = 0x0080;

// Flags of the device control block (TDCB::Flags).
inline constexpr uint32_t dcb_Binary = 0x0001;
inline constexpr uint32_t dcb_ParityCheck = 0x0002;
inline constexpr uint32_t dcb_OutxCtsFlow = 0x0004;
inline constexpr uint32_t dcb_OutxDsrFlow = 0x0008;
inline constexpr uint32_t dcb_DtrControlMask = 0x0030;
inline constexpr uint32_t dcb_DtrControlEnable = 0x0010;
inline constexpr uint32_t dcb_DtrControlHandshake = 0x0020;
inline constexpr uint32_t dcb_DsrSensitivity = 0x0040;
inline constexpr uint32_t dcb_TXContinueOnXoff = 0x0080;
inline constexpr uint32_t dcb_OutX = 0x0100;
inline constexpr uint32_t dcb_InX = 0x0200;
inline constexpr uint32_t dcb_ErrorChar = 0x0400;
inline constexpr uint32_t dcb_NullStrip = 0x0800;
inline constexpr uint32_t dcb_RtsControlMask = 0x3000;
inline constexpr uint32_t dcb_RtsControlEnable = 0x1000;
inline constexpr uint32_t dcb_RtsControlHandshake = 0x2000;
inline constexpr uint32_t dcb_RtsControlToggle = 0x3000;
inline constexpr uint32_t dcb_AbortOnError = 0x4000;

// No time limit for a wait.
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;

}  // namespace pelk

#include "serial/posix/line_settings.h"

#include <termios.h>

#include <cerrno>

#include "serial/vaconst.h"

namespace pelk::posix {

static_assert(VMIN < LineCcCount && VTIME < LineCcCount && VSTART < LineCcCount && VSTOP < LineCcCount);
static_assert((CBAUD & CustomRateCode) == CustomRateCode);

uint32_t StandardRateCode(uint32_t Rate) {
    struct Entry {
        uint32_t Rate;
        speed_t Code;
    };
    static constexpr Entry Rates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Entry& e : Rates)
        if (e.Rate == Rate) return e.Code;
    return 0;
}

std::string DescribeLine(const LineTermios& t) {
    std::string text = std::to_string(t.Ospeed) + " bit/s";
    if (t.Ispeed != 0 && t.Ispeed != t.Ospeed) text += " (receiving at " + std::to_string(t.Ispeed) + ")";
    const uint32_t size = t.Cflag & CSIZE;
    text += std::string(", ") + (size == CS5 ? "5" : size == CS6 ? "6" : size == CS7 ? "7" : "8") + " data bits";
    if (!(t.Cflag & PARENB)) text += ", no parity";
    else if (t.Cflag & CMSPAR) text += (t.Cflag & PARODD) ? ", mark parity" : ", space parity";
    else text += (t.Cflag & PARODD) ? ", odd parity" : ", even parity";
    text += (t.Cflag & CSTOPB) ? (size == CS5 ? ", 1.5 stop bits" : ", 2 stop bits") : ", 1 stop bit";
    std::string flow;
    if (t.Cflag & CRTSCTS) flow = "RTS/CTS";
    if (t.Iflag & (IXON | IXOFF)) flow += std::string(flow.empty() ? "" : " and ") + "XON/XOFF";
    text += flow.empty() ? ", no flow control" : ", flow control " + flow;
    LineTermios raw = t;
    MakeLineRaw(raw);
    // Flow control and the parity check are settings of their own, not cooking.
    constexpr uint32_t Own = IXON | IXOFF | INPCK;
    const bool isRaw = (raw.Iflag & ~Own) == (t.Iflag & ~Own) && raw.Oflag == t.Oflag && raw.Lflag == t.Lflag &&
                       raw.Cc[VMIN] == t.Cc[VMIN] && raw.Cc[VTIME] == t.Cc[VTIME];
    text += isRaw ? ", raw" : ", not raw";
    return text;
}

void MakeLineRaw(LineTermios& t) {
    t.Iflag &= ~static_cast<uint32_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                                      IXANY | IXOFF | IMAXBEL | INPCK | IGNPAR);
    t.Oflag &= ~static_cast<uint32_t>(OPOST);
    t.Lflag &= ~static_cast<uint32_t>(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | IEXTEN |
                                      TOSTOP | XCASE);
    t.Cflag |= CREAD;
    t.Cc[VMIN] = 0;
    t.Cc[VTIME] = 0;
}

LinePlan BuildLinePlan(const TDCB& Dcb, const LineTermios& Current) {
    LinePlan plan;
    plan.Termios = Current;
    LineTermios& t = plan.Termios;
    auto refuse = [&] { plan.Error = EINVAL; };

    MakeLineRaw(t);
    t.Cflag &= ~static_cast<uint32_t>(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.Cflag |= CLOCAL;

    // Rate.
    if (Dcb.BaudRate == 0) {
        refuse();
    } else if (const uint32_t code = StandardRateCode(Dcb.BaudRate)) {
        t.Cflag |= code;
    } else {
        t.Cflag |= CustomRateCode;
    }
    t.Ispeed = t.Ospeed = Dcb.BaudRate;

    // Framing.
    switch (Dcb.ByteSize) {
        case 5: t.Cflag |= CS5; break;
        case 6: t.Cflag |= CS6; break;
        case 7: t.Cflag |= CS7; break;
        case 8: t.Cflag |= CS8; break;
        default: t.Cflag |= CS8; refuse(); break;
    }
    switch (Dcb.Parity) {
        case 0: break;
        case 1: t.Cflag |= PARENB | PARODD; break;
        case 2: t.Cflag |= PARENB; break;
        case 3: t.Cflag |= PARENB | PARODD | CMSPAR; break;
        case 4: t.Cflag |= PARENB | CMSPAR; break;
        default: refuse(); break;
    }
    switch (Dcb.StopBits) {
        case 0: break;
        case 1:
            if (Dcb.ByteSize == 5) t.Cflag |= CSTOPB;
            else refuse();
            break;
        case 2:
            if (Dcb.ByteSize != 5) t.Cflag |= CSTOPB;
            else refuse();
            break;
        default: refuse(); break;
    }

    // Error handling of received bytes.
    if (Dcb.Flags & dcb_ParityCheck) t.Iflag |= INPCK;
    if ((Dcb.Flags & dcb_ErrorChar) && Dcb.ErrorChar != 0) refuse();
    if (Dcb.Flags & dcb_NullStrip) refuse();

    // Flow control.
    const uint32_t rts = Dcb.Flags & dcb_RtsControlMask;
    const uint32_t dtr = Dcb.Flags & dcb_DtrControlMask;
    if ((Dcb.Flags & dcb_OutxCtsFlow) || rts == dcb_RtsControlHandshake) t.Cflag |= CRTSCTS;
    if (Dcb.Flags & (dcb_OutxDsrFlow | dcb_DsrSensitivity)) refuse();
    if (Dcb.Flags & dcb_OutX) t.Iflag |= IXON;
    if (Dcb.Flags & dcb_InX) t.Iflag |= IXOFF;
    if ((Dcb.Flags & (dcb_OutX | dcb_InX)) && Dcb.XonChar == Dcb.XoffChar) refuse();
    t.Cc[VSTART] = static_cast<uint8_t>(Dcb.XonChar);
    t.Cc[VSTOP] = static_cast<uint8_t>(Dcb.XoffChar);

    // Modem control lines.
    if (dtr == 0) plan.Dtr = LineLevel::Low;
    else if (dtr == dcb_DtrControlEnable) plan.Dtr = LineLevel::High;
    else refuse();  // DTR as input handshake
    if (rts == 0) plan.Rts = LineLevel::Low;
    else if (rts == dcb_RtsControlEnable) plan.Rts = LineLevel::High;
    else if (rts == dcb_RtsControlToggle) plan.RtsToggle = true;
    return plan;
}

}  // namespace pelk::posix

// The kernel's termios2 interface (TCGETS2/TCSETS2), which carries the bit
// rate as a number so that any rate can be set with BOTHER. Its header,
// <asm/termbits.h>, defines struct termios differently from glibc's
// <termios.h>, so this file includes only the kernel's and talks to the rest
// of the layer through LineTermios.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "serial/posix/line_settings.h"
#include "serial/posix/platform_error.h"

namespace pelk::posix {

static_assert(BOTHER == CustomRateCode);
static_assert(sizeof(termios2{}.c_cc) == LineCcCount);

bool GetLineTermios(int Fd, LineTermios& Out) {
    termios2 t{};
    if (ioctl(Fd, TCGETS2, &t) < 0) return Fail();
    Out.Iflag = t.c_iflag;
    Out.Oflag = t.c_oflag;
    Out.Cflag = t.c_cflag;
    Out.Lflag = t.c_lflag;
    Out.Line = t.c_line;
    std::memcpy(Out.Cc, t.c_cc, LineCcCount);
    Out.Ispeed = t.c_ispeed;
    Out.Ospeed = t.c_ospeed;
    return true;
}

bool SetLineTermios(int Fd, const LineTermios& In) {
    termios2 t{};
    t.c_iflag = In.Iflag;
    t.c_oflag = In.Oflag;
    t.c_cflag = In.Cflag;
    t.c_lflag = In.Lflag;
    t.c_line = In.Line;
    std::memcpy(t.c_cc, In.Cc, LineCcCount);
    t.c_ispeed = In.Ispeed;
    t.c_ospeed = In.Ospeed;
    for (;;) {
        if (ioctl(Fd, TCSETS2, &t) == 0) return true;
        if (errno != EINTR) return Fail();
    }
}

}  // namespace pelk::posix

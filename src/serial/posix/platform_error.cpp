#include "serial/posix/platform_error.h"

#include <cerrno>
#include <cstring>

#include "framework/format.h"

namespace pelk::posix {

namespace {
thread_local int LastError = 0;
}

int LastPlatformError() { return LastError; }

bool Fail() { return Fail(errno); }

bool Fail(int Code) {
    LastError = Code;
    return false;
}

std::string PlatformErrorText(int Code) {
    char buf[256];
    // GNU strerror_r: returns the text, which may or may not be in buf.
    return strerror_r(Code, buf, sizeof buf);
}

std::string PlatformErrorMessage(const std::string& Msg) {
    const int code = LastError;
    return Format(Msg, {static_cast<long long>(code), PlatformErrorText(code)});
}

}  // namespace pelk::posix

#include "serial/win32/platform_error.h"

#include "framework/format.h"
#include "framework/win32/error_text.h"

// After the project's headers: <windows.h> defines macros of names the
// serial constants also use (with the same values).
#include <windows.h>

namespace pelk::win32 {

namespace {
thread_local int LastError = 0;
}

int LastPlatformError() { return LastError; }

bool Fail() { return Fail(static_cast<int>(GetLastError())); }

bool Fail(int Code) {
    LastError = Code;
    return false;
}

std::string PlatformErrorText(int Code) { return SystemErrorText(static_cast<DWORD>(Code)); }

std::string PlatformErrorMessage(const std::string& Msg) {
    const int code = LastError;
    return Format(Msg, {static_cast<long long>(code), PlatformErrorText(code)});
}

}  // namespace pelk::win32

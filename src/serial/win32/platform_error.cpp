#include "serial/win32/platform_error.h"

#include "framework/format.h"
#include "framework/win32/text.h"

// After the project's headers: <windows.h> defines macros of names the
// serial constants also use (with the same values).
#include <windows.h>

namespace pelk::win32 {

namespace {
thread_local int LastError = 0;
}

int LastPlatformError() { return LastError; }
void SetLastPlatformError(int Code) { LastError = Code; }

bool Fail() { return Fail(static_cast<int>(GetLastError())); }

bool Fail(int Code) {
    LastError = Code;
    return false;
}

std::string PlatformErrorText(int Code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                   nullptr, static_cast<DWORD>(Code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result =
        n && text ? Utf8FromWide(std::wstring_view(text, n)) : "Unknown error " + std::to_string(Code);
    if (text) LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) result.pop_back();
    return result;
}

std::string PlatformErrorMessage(const std::string& Msg) {
    const int code = LastError;
    return Format(Msg, {static_cast<long long>(code), PlatformErrorText(code)});
}

}  // namespace pelk::win32

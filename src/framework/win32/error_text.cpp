#include "framework/win32/error_text.h"

#include <windows.h>

#include "framework/win32/text.h"

namespace pelk::win32 {

std::string SystemErrorText(unsigned long Code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                   nullptr, Code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result = n && text ? Utf8FromWide(std::wstring_view(text, n)) : "Unknown error " + std::to_string(Code);
    if (text) LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' ||
                               result.back() == '.'))
        result.pop_back();
    return result;
}

}  // namespace pelk::win32

#include "framework/win32/text.h"

#include <windows.h>

namespace pelk::win32 {

std::string Utf8FromWide(std::wstring_view Text) {
    if (Text.empty()) return {};
    const int size = static_cast<int>(Text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, Text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, Text.data(), size, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

std::wstring WideFromUtf8(std::string_view Text) {
    if (Text.empty()) return {};
    const int size = static_cast<int>(Text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, Text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, Text.data(), size, wide.data(), n);
    return wide;
}

}  // namespace pelk::win32

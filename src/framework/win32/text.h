#pragma once
// Text between the system's UTF-16 and the UTF-8 that the programs keep
// inside (names, messages).
#include <string>
#include <string_view>

namespace pelk::win32 {

// An unpaired surrogate (which a Windows file name may hold) becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view Text);
// Bytes that are not UTF-8 become U+FFFD.
std::wstring WideFromUtf8(std::string_view Text);

}  // namespace pelk::win32

#pragma once
// The platform's error code and text on Windows, kept in one place: every
// failing call of the device layer records GetLastError's code here (per
// thread, not disturbed by later calls), and the component fills its
// messages from it. The text is the system's own (framework/win32/
// error_text.h).
#include <string>

namespace pelk::win32 {

int LastPlatformError();
// Records GetLastError() (or Code) as the last error and returns false.
bool Fail();
bool Fail(int Code);
// The system's text for Code (SystemErrorText).
std::string PlatformErrorText(int Code);
// Msg with its "(%d)" filled by the last error's code and the %s after it by
// its text; a message without placeholders is returned unchanged.
std::string PlatformErrorMessage(const std::string& Msg);

}  // namespace pelk::win32

#pragma once
// The platform's error code and text, kept in one place: every failing call
// of the device layer records errno here (per thread, like errno itself, but
// not disturbed by later library calls), and the component fills its
// messages from it.
#include <string>

namespace pelk::posix {

int LastPlatformError();
// Records errno (or Code) as the last error and returns false, for
// "return Fail();" in functions that report success as bool.
bool Fail();
bool Fail(int Code);
// strerror's text for Code.
std::string PlatformErrorText(int Code);
// Msg with its "(%d)" filled by the last error's code and the %s after it by
// its text; a message without placeholders is returned unchanged.
std::string PlatformErrorMessage(const std::string& Msg);

}  // namespace pelk::posix

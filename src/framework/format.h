#pragma once
// A small, safe stand-in for the framework's Format: fills printf-style
// placeholders from a list of integer and string arguments, in order.
//
// Understood: %d %i %u %x %X (integers; flags "-+ #0", width and precision,
// length letters h and l are accepted and ignored), %s (strings, with width
// and precision), and %%. Because the format string may come from a user
// setting (a device-name pattern), nothing here can misbehave on a bad one:
// a placeholder without a matching argument, or one of an unknown kind, is
// copied to the result as it stands; surplus arguments are ignored.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <variant>

namespace pelk {

using FormatArg = std::variant<long long, std::string>;

std::string Format(const std::string& Fmt, std::initializer_list<FormatArg> Args);

}  // namespace pelk

#pragma once
// File names are UTF-8 strings inside the programs, on Windows too (where
// pelkisp takes its command line in UTF-16 and converts it). A name becomes
// a path here: a path made from a plain std::string reads it in the ANSI
// code page on Windows, so that "Ωmega.hex" would name "Omega.hex" and
// "日本.hex" no file at all. On Linux the bytes are the name, unchanged.
#include <filesystem>
#include <string>
#include <string_view>

namespace pelk {

// Name must be valid UTF-8 on Windows (names converted from the system's
// UTF-16 always are); elsewhere any bytes.
inline std::filesystem::path PathFromUtf8(std::string_view Name) {
    return std::filesystem::path(std::u8string(Name.begin(), Name.end()));
}

}  // namespace pelk

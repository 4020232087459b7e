#pragma once
// Reading a file into the staging area as Intel HEX or as binary, where the
// caller may let the file's content decide: a file whose first line that is
// not blank is a record (a ':' and then printable text) is Intel HEX
// whatever its name, so that fw.ihex, fw.h86 or a pipe are not loaded as
// their text; a name ending in .hex, .ihx or .ihex is always read as HEX,
// and its errors are the file's.
#include <filesystem>
#include <string_view>

#include "image/file_load.h"
#include "image/hex_reader.h"

namespace pelk {

enum class ImageFileFormat {
    ByContent,  // the name first (.hex, .ihx, .ihex), then the content
    Hex,
    Binary,
};

// True for the names of Intel HEX files: .hex, .ihx and .ihex, in any case.
bool NameSaysIntelHex(const std::filesystem::path& fileName);
// True when the start of a file reads as Intel HEX: its first line that is
// not blank starts with ':' and holds only printable text.
bool StartLooksLikeIntelHex(std::string_view start);

struct ImageFileFacts {
    bool Hex = false;         // read as Intel HEX
    bool ByContent = false;   // as HEX by its content, although its name does not say so
    HexFileFacts HexFacts;    // when read as HEX
    BinaryFileFacts Binary;   // when read as binary
};

// ReadHexFile or ReadBinaryFile, as `format` says (see there for what is
// reported). `facts`, when given, receives what was found.
bool ReadImageFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                   FileReporter& reporter, ImageFileFormat format, ImageFileFacts* facts = nullptr);

}  // namespace pelk

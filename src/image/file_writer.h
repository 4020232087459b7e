#pragma once
// File > Save: the whole 131072-byte image, whatever device is selected, as
// Intel HEX text or as a raw binary file.
//
// Intel HEX: one data record of 16 bytes per block that is not all 0xFF, in
// rising address order, each line ended by CR LF and flushed to the file at
// once; the address field holds the low 16 bits of the block's address, and
// before the first record at 0x10000 or above the extended linear address
// record ":020000040001F9" is written, so the file reads back to the same
// image. The end record ":00000001FF" closes the file, without a line end.
//
// Both writers report "Can't open file" when the file cannot be created and
// "Can't write file" when writing, flushing or closing it fails (a full disk,
// a removed device); either way they give false. Nothing is reported on
// success.
#include <cstdint>
#include <filesystem>

#include "image/file_reporter.h"
#include "image/memory_image.h"

namespace pelk {

bool WriteHexFile(const std::filesystem::path& fileName, const MemoryImage& image, FileReporter& reporter);

bool WriteBinaryFile(const std::filesystem::path& fileName, const MemoryImage& image, FileReporter& reporter);

}  // namespace pelk

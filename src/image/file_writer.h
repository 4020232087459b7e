#pragma once
// File > Save: the whole 131072-byte image, whatever device is selected, as
// Intel HEX text or as a raw binary file.
//
// Intel HEX: one data record of 16 bytes per block that is not all 0xFF, in
// rising address order, each line ended by CR LF; the address field holds
// the low 16 bits of the block's address, and before the first record at
// 0x10000 or above the extended linear address record ":020000040001F9" is
// written, so the file reads back to the same image. The end record
// ":00000001FF" closes the file, without a line end.
//
// The file is written by the one rule for output files (framework/
// output_file.h): a regular file is replaced whole or not at all, a link is
// written through, a device node or FIFO is written into. The writers report
// "Can't open file" when the file cannot be created or opened (also a
// write-protected one) and "Can't write file" when writing fails (a full
// disk, a removed device); either way they give false, with the reason for
// a reporter that shows one. Nothing is reported on success.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "image/file_reporter.h"
#include "image/memory_image.h"

namespace pelk {

// The whole text of the HEX file and the bytes of the binary file.
std::string HexFileText(const MemoryImage& image);
inline std::string_view BinaryFileBytes(const MemoryImage& image) {
    return {reinterpret_cast<const char*>(image.ImageBuffer.data()), image.ImageBuffer.size()};
}

bool WriteHexFile(const std::filesystem::path& fileName, const MemoryImage& image, FileReporter& reporter);

bool WriteBinaryFile(const std::filesystem::path& fileName, const MemoryImage& image, FileReporter& reporter);

// Writes content into an open descriptor (standard output), named `name` in
// a reported reason; "Can't write file" when it fails.
bool WriteImageStream(int fd, const std::string& name, std::string_view content, FileReporter& reporter);

}  // namespace pelk

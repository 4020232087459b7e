#pragma once
// File > Load in two stages. A reader first takes the whole file into the
// staging area and sets LoadedExtent (ReadHexFile in hex_reader.h, or
// ReadBinaryFile below); then the range that the user picks in the load
// dialog is copied into the image (CopyStagedData). The load dialog and the
// command-line tool share the limits and the proposal below.
//
// Every file is opened and closed inside one call, and messages are sent
// only after the file is closed, so no file stays open while a message box
// waits for the user.
#include <array>
#include <bitset>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <string>

#include "image/file_reporter.h"
#include "image/memory_image.h"

namespace pelk {

// The whole file as read: byte a holds file address a; 0xFF where the file
// supplied nothing.
using StagingBuffer = std::array<uint8_t, ImageSize>;
// Which bytes of the staging area the file supplied.
using StagingMask = std::bitset<ImageSize>;

// Device whose flash has two banks of 64 KiB; the load dialog's bank choice
// applies to it alone.
constexpr uint8_t BankedDeviceIndex = 6;
constexpr uint32_t BankSize = 0x10000;

// Sets bytes 0..lastAddress of the staging area to 0xFF. Both readers start
// with it.
void ClearStaging(StagingBuffer& staging, uint32_t lastAddress);

// What the reader's own part is told about the file.
struct StagingInput {
    std::istream& In;        // the file from its first byte
    bool Regular;            // a regular file (not a pipe, a device node, ...)
    std::string_view Start;  // its first bytes (up to StagingStartBytes), already read
                             // but still to come from In: enough to tell what it holds
    std::string Reason;      // set by the reader to reject the file: why
};
constexpr size_t StagingStartBytes = 4096;

// What both readers do around their own part: clears the staging area's
// device range, opens the file for binary reading (a directory does not
// open), sets LoadedExtent to 0, lets `fill` read the file into the staging
// area, closes the file and sets LoadedExtent to what `fill` gave. A file
// that does not open or cannot be read, or that `fill` rejects (with a
// reason), is reported as "Can't open file" and gives false. Messages of the
// reader's own are for the caller to send after this returns, when the file
// is closed.
bool ReadIntoStaging(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                     FileReporter& reporter, const std::function<uint32_t(StagingInput&)>& fill);

// Binary reader: reads up to LastAddress + 1 bytes from the start of the file
// into the staging area (a longer file is cut at the device's size, a shorter
// one leaves the rest at 0xFF) and sets LoadedExtent to the number of bytes
// read. A file that cannot be opened or read reports "Can't open file" and
// gives false; the image's bytes are not touched.
struct BinaryFileFacts {
    bool Longer = false;  // the file holds more bytes than the device
    uint64_t Size = 0;    // its size in bytes; 0 when longer and not a regular file
};
bool ReadBinaryFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                    FileReporter& reporter, BinaryFileFacts* facts = nullptr);
// What ReadBinaryFile does once the file is open: returns the extent.
uint32_t FillFromBinary(StagingInput& input, const std::filesystem::path& fileName, const MemoryImage& image,
                        StagingBuffer& staging, BinaryFileFacts& facts);

// The load dialog's bound on start and stop: LoadedExtent - 1, which is
// 0xFFFFFFFF when the file gave nothing.
constexpr uint32_t MaxInputAddressFor(uint32_t loadedExtent) { return loadedExtent - 1; }

// The highest destination offset the dialog accepts: within a bank for the
// two-bank device (the bank choice adds 0x10000), otherwise MaxInputAddress.
constexpr uint32_t BufferOffsetLimit(uint8_t deviceIndex, uint32_t maxInputAddress) {
    return deviceIndex == BankedDeviceIndex ? BankSize - 1 : maxInputAddress;
}

// What the user chose in the load dialog.
struct LoadSelection {
    uint32_t InputStartValue = 0;    // first staging address
    uint32_t InputStopValue = 0;     // last staging address, inclusive
    uint32_t BufferOffsetValue = 0;  // image address for InputStartValue, before the bank
    bool Bank1 = false;              // "Bank 1" checked (counts for the two-bank device only)
    bool ClearBuffer = true;         // "Clear buffer" checked
};

// The dialog's proposal when it is shown: the whole file (start 0, stop
// MaxInputAddress) to offset 0 in bank 0, with "Clear buffer" checked.
constexpr LoadSelection ProposedLoadSelection(uint32_t loadedExtent) {
    return LoadSelection{0, MaxInputAddressFor(loadedExtent), 0, false, true};
}

// DataSizeValue: stop - start + 1 (shown as "%06d"; 0 when nothing was read).
constexpr int32_t DataSizeFor(uint32_t inputStart, uint32_t inputStop) {
    return static_cast<int32_t>(inputStop - inputStart + 1);
}

// Where a load put its data.
struct LoadPlacement {
    uint32_t Destination = 0;   // image address that received the byte at InputStartValue
    uint32_t GridTopRow = 1;    // grid row to show at the top: Destination / 16 + 1 in bank 1, else 1
    uint32_t BytesCopied = 0;   // the range copied, gaps included
    // Of those, the bytes the file held, and the image addresses of the
    // first and last of them (both 0 when there is none).
    uint32_t BytesSupplied = 0;
    uint32_t FirstSupplied = 0, LastSupplied = 0;
};

// Copies the chosen range into the image: with ClearBuffer, image bytes
// 0..LastAddress become 0xFF first; then staging bytes from InputStartValue
// on go to the image from the destination on, up to InputStopValue and never
// past LastAddress on either side. Bytes above LastAddress are never touched.
// `supplied` tells the bytes the file held (a HEX file's records); without
// it every byte copied came from the file (a binary file).
LoadPlacement CopyStagedData(MemoryImage& image, const StagingBuffer& staging, const LoadSelection& selection,
                             const StagingMask* supplied = nullptr);

}  // namespace pelk

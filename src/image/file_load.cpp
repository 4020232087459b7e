#include "image/file_load.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <system_error>

namespace pelk {

void ClearStaging(StagingBuffer& staging, uint32_t lastAddress) {
    const uint32_t end = std::min<uint32_t>(lastAddress, ImageSize - 1) + 1;
    std::fill(staging.begin(), staging.begin() + end, ErasedByte);
}

bool ReadIntoStaging(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                     FileReporter& reporter, const std::function<uint32_t(StagingInput&)>& fill) {
    ClearStaging(staging, image.LastAddress);
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(fileName, ec);
    std::ifstream in;
    int openError = EISDIR;
    if (!std::filesystem::is_directory(status)) {
        errno = 0;
        in.open(fileName, std::ios::in | std::ios::binary);
        openError = errno;
    }
    if (!in.is_open()) {
        // The window shows the fixed text; the command line adds why.
        if (openError == 0) reporter.Message(msg::CantOpenFile);
        else reporter.MessageWithReason(msg::CantOpenFile, fileName.string() + ": " + std::strerror(openError));
        return false;
    }
    const uint32_t oldExtent = image.LoadedExtent;
    image.LoadedExtent = 0;
    StagingInput input{in, std::filesystem::is_regular_file(status), {}};
    const uint32_t extent = fill(input);
    const bool readFailed = in.bad();
    in.close();
    if (!input.Reason.empty() || readFailed) {
        // A file that opens but cannot be read must not pass for a short one.
        image.LoadedExtent = oldExtent;
        if (input.Reason.empty()) reporter.Message(msg::CantOpenFile);
        else reporter.MessageWithReason(msg::CantOpenFile, fileName.string() + ": " + input.Reason);
        return false;
    }
    image.LoadedExtent = extent;
    return true;
}

bool ReadBinaryFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                    FileReporter& reporter, BinaryFileFacts* facts) {
    const uint32_t wanted = std::min<uint32_t>(image.LastAddress, ImageSize - 1) + 1;
    BinaryFileFacts found;
    const bool read = ReadIntoStaging(fileName, image, staging, reporter, [&](StagingInput& input) {
        input.In.read(reinterpret_cast<char*>(staging.data()), wanted);
        const auto got = static_cast<uint32_t>(input.In.gcount());
        if (got == wanted) {
            // One byte more tells a longer file from one of exactly the
            // device's size, also for input that is not a regular file.
            found.Longer = input.In.peek() != std::char_traits<char>::eof();
            std::error_code ec;
            const auto size = input.Regular ? std::filesystem::file_size(fileName, ec) : 0;
            found.Size = ec ? 0 : size;
            if (!found.Longer && !input.Regular) found.Size = got;
            input.In.clear(input.In.rdstate() & ~(std::ios::failbit | std::ios::eofbit));
        } else {
            found.Size = got;
        }
        return got;
    });
    if (facts) *facts = found;
    return read;
}

LoadPlacement CopyStagedData(MemoryImage& image, const StagingBuffer& staging, const LoadSelection& selection) {
    const uint64_t last = std::min<uint32_t>(image.LastAddress, ImageSize - 1);
    if (selection.ClearBuffer)
        std::fill(image.ImageBuffer.begin(), image.ImageBuffer.begin() + last + 1, ErasedByte);

    // 64-bit counters: the stop may be 0xFFFFFFFF (nothing read), the offset
    // plus the bank may pass 32 bits, and neither side may run past the
    // device's last address.
    const bool bank1 = image.DeviceIndex == BankedDeviceIndex && selection.Bank1;
    const uint64_t i = selection.InputStartValue;
    const uint64_t j = uint64_t{selection.BufferOffsetValue} + (bank1 ? BankSize : 0);
    const uint64_t stop = std::min<uint64_t>(selection.InputStopValue, last);

    LoadPlacement placement;
    placement.Destination = static_cast<uint32_t>(std::min<uint64_t>(j, UINT32_MAX));
    if (bank1) placement.GridTopRow = static_cast<uint32_t>(std::min(j, last) / 16 + 1);
    if (i <= stop && j <= last) {
        const uint64_t count = std::min(stop - i, last - j) + 1;
        std::copy_n(staging.begin() + i, count, image.ImageBuffer.begin() + j);
        placement.BytesCopied = static_cast<uint32_t>(count);
    }
    return placement;
}

}  // namespace pelk

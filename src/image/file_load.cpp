#include "image/file_load.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <streambuf>
#include <system_error>

namespace pelk {

namespace {

// A stream over bytes already read from the start of a file, then the rest
// of the file: the readers see the file from its first byte, also when it
// is a pipe that cannot be read twice.
class ReplayBuffer final : public std::streambuf {
public:
    ReplayBuffer(std::string start, std::streambuf* rest) : Start(std::move(start)), Rest(rest) {
        setg(Start.data(), Start.data(), Start.data() + Start.size());
    }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        const std::streamsize n = Rest->sgetn(Buffer.data(), static_cast<std::streamsize>(Buffer.size()));
        if (n <= 0) return traits_type::eof();
        setg(Buffer.data(), Buffer.data(), Buffer.data() + n);
        return traits_type::to_int_type(Buffer[0]);
    }

private:
    std::string Start;
    std::streambuf* Rest;
    std::array<char, 1 << 16> Buffer;
};

// Standard input ("-" as a file name), read as it comes, bytes as they are
// (on Windows in binary mode, so a 0x0D 0x0A pair stays two bytes).
class StandardInputBuffer final : public std::streambuf {
public:
    StandardInputBuffer() = default;

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
#ifdef _WIN32
        if (!Binary) Binary = _setmode(0, _O_BINARY) != -1;
        const int n = _read(0, Buffer.data(), static_cast<unsigned>(Buffer.size()));
#else
        ssize_t n;
        do n = ::read(0, Buffer.data(), Buffer.size());
        while (n < 0 && errno == EINTR);
#endif
        if (n < 0) throw std::ios_base::failure(std::string("standard input: ") + std::strerror(errno));
        if (n == 0) return traits_type::eof();
        setg(Buffer.data(), Buffer.data(), Buffer.data() + n);
        return traits_type::to_int_type(Buffer[0]);
    }

private:
    std::array<char, 1 << 16> Buffer;
#ifdef _WIN32
    bool Binary = false;
#endif
};

}  // namespace

void ClearStaging(StagingBuffer& staging, uint32_t lastAddress) {
    const uint32_t end = std::min<uint32_t>(lastAddress, ImageSize - 1) + 1;
    std::fill(staging.begin(), staging.begin() + end, ErasedByte);
}

bool ReadIntoStaging(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                     FileReporter& reporter, const std::function<uint32_t(StagingInput&)>& fill) {
    ClearStaging(staging, image.LastAddress);
    std::error_code ec;
    const bool standardInput = fileName == "-";
    const std::filesystem::file_status status =
        standardInput ? std::filesystem::file_status() : std::filesystem::status(fileName, ec);
    std::ifstream in;
    StandardInputBuffer stdinBuffer;
    int openError = EISDIR;
    if (!standardInput && !std::filesystem::is_directory(status)) {
        errno = 0;
        in.open(fileName, std::ios::in | std::ios::binary);
        openError = errno;
    }
    if (!standardInput && !in.is_open()) {
        // The window shows the fixed text; the command line adds why.
        if (openError == 0) {
            reporter.Message(msg::CantOpenFile);
            return false;
        }
        // In the words every file message of the programs uses.
        const std::filesystem::path folder = fileName.has_parent_path() ? fileName.parent_path() : ".";
        std::string why = std::strerror(openError);
        if (openError == EISDIR) why = "it is a folder";
        else if (!std::filesystem::is_directory(folder, ec)) why = "the folder " + folder.string() + " does not exist";
        reporter.MessageWithReason(msg::CantOpenFile, fileName.string() + ": " + why);
        return false;
    }
    const uint32_t oldExtent = image.LoadedExtent;
    image.LoadedExtent = 0;
    std::string start(StagingStartBytes, '\0');
    std::istream head(standardInput ? static_cast<std::streambuf*>(&stdinBuffer) : in.rdbuf());
    head.read(start.data(), static_cast<std::streamsize>(start.size()));
    start.resize(static_cast<size_t>(head.gcount()));
    bool readFailed = head.bad();
    const auto replay = std::make_unique<ReplayBuffer>(start, head.rdbuf());
    std::istream whole(replay.get());
    StagingInput input{whole, !standardInput && std::filesystem::is_regular_file(status), {}, {}};
    input.Start = start;
    const uint32_t extent = fill(input);
    readFailed = readFailed || whole.bad() || in.bad();
    in.close();
    if (!input.Reason.empty() || readFailed) {
        // A file that opens but cannot be read must not pass for a short one.
        image.LoadedExtent = oldExtent;
        if (input.Reason.empty()) reporter.Message(msg::CantOpenFile);
        else reporter.MessageWithReason(msg::CantOpenFile, (standardInput ? "standard input" : fileName.string()) + ": " + input.Reason);
        return false;
    }
    image.LoadedExtent = extent;
    return true;
}

uint32_t FillFromBinary(StagingInput& input, const std::filesystem::path& fileName, const MemoryImage& image,
                        StagingBuffer& staging, BinaryFileFacts& facts) {
    const uint32_t wanted = std::min<uint32_t>(image.LastAddress, ImageSize - 1) + 1;
    facts = {};
    input.In.read(reinterpret_cast<char*>(staging.data()), wanted);
    const auto got = static_cast<uint32_t>(input.In.gcount());
    if (got == wanted) {
        // One byte more tells a longer file from one of exactly the
        // device's size, also for input that is not a regular file.
        facts.Longer = input.In.peek() != std::char_traits<char>::eof();
        std::error_code ec;
        const auto size = input.Regular ? std::filesystem::file_size(fileName, ec) : 0;
        facts.Size = ec ? 0 : size;
        if (!facts.Longer && !input.Regular) facts.Size = got;
        input.In.clear(input.In.rdstate() & ~(std::ios::failbit | std::ios::eofbit));
    } else {
        facts.Size = got;
    }
    return got;
}

bool ReadBinaryFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                    FileReporter& reporter, BinaryFileFacts* facts) {
    BinaryFileFacts found;
    const bool read = ReadIntoStaging(fileName, image, staging, reporter, [&](StagingInput& input) {
        return FillFromBinary(input, fileName, image, staging, found);
    });
    if (facts) *facts = found;
    return read;
}

LoadPlacement CopyStagedData(MemoryImage& image, const StagingBuffer& staging, const LoadSelection& selection,
                             const StagingMask* supplied) {
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
        if (!supplied) {
            placement.BytesSupplied = placement.BytesCopied;
            placement.FirstSupplied = static_cast<uint32_t>(j);
            placement.LastSupplied = static_cast<uint32_t>(j + count - 1);
        } else {
            for (uint64_t k = 0; k < count; ++k) {
                if (!(*supplied)[i + k]) continue;
                if (placement.BytesSupplied++ == 0) placement.FirstSupplied = static_cast<uint32_t>(j + k);
                placement.LastSupplied = static_cast<uint32_t>(j + k);
            }
        }
    }
    return placement;
}

}  // namespace pelk

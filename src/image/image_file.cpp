#include "image/image_file.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace pelk {

bool NameSaysIntelHex(const std::filesystem::path& fileName) {
    std::string ext = fileName.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".hex" || ext == ".ihx" || ext == ".ihex";
}

bool StartLooksLikeIntelHex(std::string_view start) {
    size_t k = 0;
    while (k < start.size() && (start[k] == ' ' || start[k] == '\t' || start[k] == '\r' || start[k] == '\n')) ++k;
    if (k == start.size() || start[k] != ':') return false;
    for (size_t end = std::min(start.size(), k + HexLineLimit); k < end && start[k] != '\n'; ++k) {
        const auto c = static_cast<unsigned char>(start[k]);
        if ((c < 0x20 || c >= 0x7F) && c != '\t' && c != '\r' && c != 0x1A) return false;
    }
    return true;
}

bool ReadImageFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                   FileReporter& reporter, ImageFileFormat format, ImageFileFacts* facts) {
    ImageFileFacts found;
    const bool read = ReadIntoStaging(fileName, image, staging, reporter, [&](StagingInput& input) {
        found.Hex = format == ImageFileFormat::Hex;
        if (format == ImageFileFormat::ByContent) {
            found.Hex = NameSaysIntelHex(fileName) || StartLooksLikeIntelHex(input.Start);
            found.ByContent = found.Hex && !NameSaysIntelHex(fileName);
        }
        return found.Hex ? FillFromHex(input, image, staging, found.HexFacts)
                         : FillFromBinary(input, fileName, image, staging, found.Binary);
    });
    if (read && found.Hex && found.HexFacts.RecordErrors > 0) reporter.Message(msg::HexChecksumError);
    if (facts) *facts = std::move(found);
    return read;
}

}  // namespace pelk

#pragma once
// Intel HEX reader for File > Load: turns the records of a text file into
// bytes of the staging area and sets LoadedExtent.
//
// Rules, record by record (a record is a line starting with ':'):
// - other lines (blank, foreign text) and lines longer than HexLineLimit are
//   ignored, and reading goes on;
// - a record whose type field ends in '1' is skipped unchecked; the end
//   record (type 01) does not end the reading, it only drops the upper
//   address, as every file starts from address 0;
// - types 02 (segment, value x 16) and 04 (linear, value x 65536) set the
//   upper part of the address of the records that follow; types 03 and 05
//   (start addresses) are ignored; every other type is data;
// - a data record that does not fit entirely below LastAddress + 1 is ignored
//   whole, unchecked; otherwise its bytes are stored and LoadedExtent rises to
//   its end;
// - a wrong record checksum is reported once per file; the data stays;
// - a record line too short for its byte count is reported like a wrong
//   checksum, and nothing of it is used.
// A field is read as hexadecimal up to its first non-hexadecimal character;
// nothing past the end of a line is ever read.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "image/file_load.h"
#include "image/file_reporter.h"
#include "image/memory_image.h"

namespace pelk {

// Longest line that can hold a record (a record of 255 bytes needs 521
// characters; the rest leaves room for trailing text).
constexpr size_t HexLineLimit = 599;

// Input that is not a regular file (a pipe, a device node) may never end:
// it is given up once a line runs past HexStreamLineLimit characters, or the
// whole past HexStreamLimit bytes. No HEX file comes near either: its lines
// are at most 521 characters, and the 128 KiB image in records of one byte
// each takes about 2 MiB.
constexpr size_t HexStreamLineLimit = 65536;
constexpr uint64_t HexStreamLimit = uint64_t{64} << 20;

// The record rules over one file's lines; ReadHexFile feeds it.
class HexRecordReader {
public:
    HexRecordReader(StagingBuffer& staging, uint32_t lastAddress);

    // One line without its LF; a CR before the LF is dropped here.
    void HandleLine(std::string_view line);

    // One past the highest address of an accepted data record; 0 if none.
    uint32_t LoadedExtent() const { return Extent; }
    // A record failed its checksum.
    bool ChecksumError() const { return BadChecksum; }
    // What the file held, for a caller that checks it before programming:
    // an end record (type 01) was read; the number of data records with at
    // least one byte (also those ignored for not fitting); one past the
    // highest address of any such record, fitting or not (0 if none).
    bool EndRecordSeen() const { return EndRecord; }
    uint32_t DataRecords() const { return Records; }
    uint64_t DataEnd() const { return End; }

private:
    StagingBuffer& Staging;
    uint32_t LastAddress;
    uint32_t Extent = 0;
    uint32_t UpperAddress = 0;
    bool BadChecksum = false;
    bool EndRecord = false;
    uint32_t Records = 0;
    uint64_t End = 0;
};

// What ReadHexFile found besides the data (see HexRecordReader).
struct HexFileFacts {
    bool EndRecord = false;
    bool ChecksumError = false;
    uint32_t DataRecords = 0;
    uint64_t DataEnd = 0;
};

// Reads an Intel HEX file for File > Load: clears the staging area's device
// range, fills it from the file and sets image.LoadedExtent. Reports "Can't
// open file" (and gives false, image untouched) for a file that cannot be
// opened or read, or input that is not a regular file and passes the bounds
// above (with the reason), and "Checksum Error in HEX File !" at most once
// per file, after the file has been read and closed.
// `facts`, when given, receives what the file held.
bool ReadHexFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                 FileReporter& reporter, HexFileFacts* facts = nullptr);

}  // namespace pelk

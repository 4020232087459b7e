#pragma once
// Intel HEX reader for File > Load and the command line: turns the records of
// a text file into bytes of the staging area and sets LoadedExtent.
//
// Every line must be a well-formed record, or blank: trailing blanks, a CR
// before the LF and trailing Ctrl-Z characters (the end-of-file mark of old
// tools) are allowed. Anything else is a record error of the file:
// - a line that does not start with ':' (foreign text, or a record that lost
//   its mark);
// - a character that is not a hexadecimal digit, an odd number of digits,
//   a record shorter or longer than its byte count says, a line longer than
//   HexLineLimit;
// - a checksum that does not match the record's bytes;
// - a record type other than 00 to 05, an end record (01) that holds data,
//   an address record (02, 04) of other than 2 bytes or a start-address
//   record (03, 05) of other than 4;
// - two records that give one address different bytes (the same byte twice
//   is fine).
// A data record with only a wrong checksum keeps its bytes (as the window
// always has); a record with any other error is not used.
//
// Types 02 (segment, value x 16) and 04 (linear, value x 65536) set the upper
// part of the address of the records that follow; types 03 and 05 (start
// addresses) are ignored. An end record drops the upper address, and reading
// goes on after it, so files joined one after the other load whole. Bytes
// of a data record past LastAddress are left out and counted; the bytes that
// fit are kept.
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "image/file_load.h"
#include "image/file_reporter.h"
#include "image/memory_image.h"

namespace pelk {

// Longest line that can hold a record (a record of 255 bytes needs 521
// characters; the rest leaves room for trailing text). A line longer than
// HexLineLimit once its trailing blanks are taken off, or longer than
// HexRawLineLimit with them, is a record error.
constexpr size_t HexLineLimit = 599;
constexpr size_t HexRawLineLimit = HexLineLimit + 64;

// Input that is not a regular file (a pipe, a device node) may never end:
// it is given up once a line runs past HexStreamLineLimit characters, or the
// whole past HexStreamLimit bytes. No HEX file comes near either: its lines
// are at most 521 characters, and the 128 KiB image in records of one byte
// each takes about 2 MiB.
constexpr size_t HexStreamLineLimit = 65536;
constexpr uint64_t HexStreamLimit = uint64_t{64} << 20;

// One record error: the file's line number (from 1) and what is wrong.
struct HexRecordError {
    uint64_t Line = 0;
    std::string Reason;
};

// What ReadHexFile found besides the data.
struct HexFileFacts {
    bool EndRecord = false;      // an end record (type 01) was read
    bool ChecksumError = false;  // a record failed its checksum
    uint32_t DataRecords = 0;    // data records with at least one byte (also those left out)
    uint64_t DataEnd = 0;        // one past the highest data address, fitting or not; 0 if none
    uint64_t BytesLeftOut = 0;   // data bytes past LastAddress, not stored
    uint64_t RecordErrors = 0;   // record errors of every kind, the checksum's included
    std::vector<HexRecordError> FirstErrors;  // the first few of them, in line order
    // The bytes the file supplied (within the device); shared with the
    // caller so that it can count what a load takes from the file.
    std::shared_ptr<const StagingMask> Supplied;
};

// The record rules over one file's lines; ReadHexFile feeds it.
class HexRecordReader {
public:
    static constexpr size_t ErrorsKept = 5;

    HexRecordReader(StagingBuffer& staging, uint32_t lastAddress);

    // One line without its LF.
    void HandleLine(std::string_view line);
    // A line too long to keep, skipped whole by the caller.
    void LineTooLong();

    // One past the highest address stored; 0 if none.
    uint32_t LoadedExtent() const { return Extent; }
    const HexFileFacts& Facts() const { return Found; }

private:
    void Fault(std::string reason);
    void Store(uint64_t address, uint8_t value);

    StagingBuffer& Staging;
    uint32_t LastAddress;
    std::shared_ptr<StagingMask> Written;
    uint32_t Extent = 0;
    uint32_t UpperAddress = 0;
    uint64_t LineNumber = 0;
    bool ConflictSeen = false;  // in the current record
    HexFileFacts Found;
};

// Reads an Intel HEX file: clears the staging area's device range, fills it
// from the file and sets image.LoadedExtent. Reports "Can't open file" (and
// gives false, image untouched) for a file that cannot be opened or read, or
// input that is not a regular file and passes the bounds above (with the
// reason), and "Checksum Error in HEX File !" once when the file has record
// errors of any kind, after the file has been read and closed.
// `facts`, when given, receives what the file held.
bool ReadHexFile(const std::filesystem::path& fileName, MemoryImage& image, StagingBuffer& staging,
                 FileReporter& reporter, HexFileFacts* facts = nullptr);

// What ReadHexFile does once the file is open (see ReadIntoStaging): reads
// the input's records into the staging area and returns the extent.
uint32_t FillFromHex(StagingInput& input, const MemoryImage& image, StagingBuffer& staging, HexFileFacts& facts);

}  // namespace pelk

#pragma once
// The results log of a production line: one CSV line per board, appended to
// a file that several pelkisp processes may share.
//
// The file is opened for appending (created with mode 0666 less the umask).
// Each line goes out in one write on a descriptor opened for appending, so
// lines of different processes never mix, and is pushed to the disk before
// the next board is reported. A regular file that is new or empty gets the
// header line first, exactly once even when several processes create it at
// the same moment (the check and the header are done under an exclusive
// lock on the file). Anything that is not a regular file (a FIFO, a pipe or
// terminal behind /dev/stdout) is written into as a stream, without a
// header: a reader collecting the lines of many runs gets only data lines.
//
// Columns: time (ISO 8601, local time with its offset from UTC), port (as
// the user gave it), device (what it resolved to), chip, file, crc,
// checksum (four upper-case hexadecimal digits, as the status bar shows
// them), bytes, steps, result, duration_ms, exit_status. Fields holding a
// comma, a double quote, CR or LF are quoted, with double quotes doubled.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

namespace pelk {

struct ResultsLogRecord {
    std::chrono::system_clock::time_point When;  // when the board's run ended
    std::string Port;                            // as the user gave it ("COM2", "/dev/ttyUSB7", "sim")
    std::string Device;                          // what it resolved to ("/dev/ttyUSB0")
    std::string Chip;                            // device name as the window shows it ("W78E58B")
    std::string File;                            // firmware file as given
    uint16_t Crc = 0, Checksum = 0;              // of the image, as the status bar shows them
    uint64_t Bytes = 0;                          // bytes of data loaded
    std::string Steps;                           // the steps run, e.g. "erase+program+verify"
    std::string Result;                          // the result line, e.g. "Device programmed." or the error
    uint64_t DurationMs = 0;
    int ExitStatus = 0;
};

class ResultsLog {
public:
    ResultsLog() = default;
    ResultsLog(const ResultsLog&) = delete;
    ResultsLog& operator=(const ResultsLog&) = delete;
    ~ResultsLog();

    // Opens `path` for appending, creating it if need be; a new or empty
    // regular file gets the header line. Returns "" or why it failed (the
    // caller puts the file's name in front).
    std::string Open(const std::string& path);
    // Appends the record's line and pushes it to the disk. Returns "" or
    // why it failed.
    std::string Append(const ResultsLogRecord& record);
    bool IsOpen() const;
    void Close();

private:
#ifdef _WIN32
    void* Handle = nullptr;  // the file's HANDLE; nullptr when closed
    bool OnDisk = false;     // a file on a disk, not a pipe or the console
#else
    int Fd = -1;
#endif
};

// The header line, without its line break.
std::string ResultsLogHeader();
// The record as one CSV line, without its line break.
std::string FormatResultsLogLine(const ResultsLogRecord& record);
// `when` in local time with milliseconds and the offset from UTC:
// "2026-12-08T23:59:01.123+01:00".
std::string Iso8601WithOffset(std::chrono::system_clock::time_point when);

// For the platform parts of ResultsLog (posix/results_log.cpp,
// win32/results_log.cpp), which open, lock and write the file.
//
// The offset of local time from UTC at `when`, in seconds; false when the C
// library cannot tell (each platform part has its own).
bool UtcOffset(std::time_t when, long& offset);
// True when `start`, the first bytes of a file, begin with the header line
// (ended by LF, or CR LF as a Windows editor may have saved it).
bool StartsWithResultsLogHeader(const std::string& start);
// What the write of a line of `size` bytes came to: `done` bytes went out
// in `pieces` writes, and then `failure` ("" when nothing failed). "" when the
// line went out whole in one write; otherwise why that is a problem.
std::string LineWriteOutcome(size_t done, size_t size, int pieces, const std::string& failure);

}  // namespace pelk

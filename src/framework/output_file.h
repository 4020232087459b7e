#pragma once
// The one way the programs write a file: the settings file, a simulated
// flash file, a saved or converted image. What happens depends on what the
// name stands for:
//
//  - A regular file, or no file yet: the content goes to a temporary file
//    in the same folder, is pushed to the disk (fsync) and renamed over the
//    name. The new file keeps the old one's permission bits and, where the
//    process may set it, its owner. A write that fails (a full disk, a
//    removed device) leaves the old file byte for byte as it was.
//  - A symbolic link is written through: the file it leads to gets the new
//    content by the rule above, in that file's folder; the link stays a link.
//  - A folder where no temporary file can be made (no write permission),
//    or where the file may not be replaced by a rename (a sticky folder such
//    as /tmp, the file and the folder another user's), while the file itself
//    is writable: the file is written in place. Room for the content is
//    reserved first where the file system can, so that a full disk is found
//    before the old content is touched.
//  - A write-protected file (no write permission bit, or none for this
//    user) is not overwritten, also by root.
//  - Anything else (a device node, a FIFO) is never replaced: the content
//    is written into it as a stream, as into /dev/null or a pipe. A FIFO
//    without a reader, a socket and a folder fail to open.
//  - "/dev/stdout", "/dev/stderr", "/dev/fd/N" and "/proc/self/fd/N" name
//    the process's own descriptors and are streamed into, whatever file
//    the descriptor stands for.
//
// The file is never left half written with success reported, and no
// temporary file is left behind by a failure. On Windows the same rule holds
// in the system's terms (win32/output_file.cpp): a read-only file is not
// overwritten, NUL, CON and other devices are written into as streams.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace pelk {

enum class OutputFailure : uint8_t {
    None,
    Open,   // the file could not be created or opened for writing
    Write,  // it was opened, but writing (or pushing it to the disk) failed
};

struct OutputFileStatus {
    OutputFailure Failure = OutputFailure::None;
    // For the user: the file's name and why it failed; empty on success.
    std::string Reason;
    explicit operator bool() const { return Failure == OutputFailure::None; }
};

struct OutputFileOptions {
    // Bytes of the existing file past the end of the new content stay as
    // they are (a flash file shared with a larger device keeps the part
    // this device does not have).
    bool KeepBeyond = false;
};

// How a name would be written.
enum class OutputKind : uint8_t {
    Replace,  // a temporary file renamed over it
    InPlace,  // a writable file in a folder that takes no temporary file
    Stream,   // not a regular file: written into as it is
    Refused,  // cannot be written (see Reason)
};

struct OutputPlan {
    OutputKind Kind = OutputKind::Refused;
    std::filesystem::path Target;  // the file itself, links followed
    bool Exists = false;           // Target exists
    std::string Reason;            // why it is refused
};

// Decides, without writing anything, how WriteOutputFile would write Path.
// For Replace it makes (and at once removes) a temporary file in the
// folder, so a folder that takes none is found now.
OutputPlan PlanOutputFile(const std::filesystem::path& Path);

OutputFileStatus WriteOutputFile(const std::filesystem::path& Path, std::string_view Content,
                                 const OutputFileOptions& Options = {});

// Writes Content into an open descriptor (standard output) as a stream;
// Name is the file's name in the reason of a failure.
OutputFileStatus WriteOutputStream(int Fd, std::string_view Content, const std::string& Name);

// Opens a file to be written as the program goes (a trace): by the same
// rules, except that a regular file is emptied and written in place rather
// than replaced at the end. A write-protected file is refused, also for
// root; a FIFO without a reader fails at once. Returns the descriptor, or
// -1 with the reason (the name first) in Why.
int OpenOutputStream(const std::filesystem::path& Path, std::string& Why);

// Why a file could not be opened or written, in the same words wherever a
// program says it: "it is a folder", "the folder X does not exist", "the
// file is write-protected", or the system's text. Error is the system's
// error code (errno, or on Windows GetLastError's).
std::string FileProblem(const std::filesystem::path& Path, int Error);

#ifndef _WIN32
// The descriptor that a name of the process's own descriptors stands for
// ("/dev/stdout", "/dev/stderr", "/dev/fd/3", "/proc/self/fd/3"); -1 for any
// other name. Such a file is written through that descriptor, sharing its
// position with what the program prints there, instead of being opened a
// second time with a position of its own.
int OwnDescriptor(const std::string& Name);
#endif

}  // namespace pelk

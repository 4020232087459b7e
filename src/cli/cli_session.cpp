#include "cli/cli_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/cli_platform.h"
#include "cli/port_list_text.h"
#include "framework/utf8_path.h"
#include "image/checksum_summary.h"
#include "image/device_table.h"
#include "image/file_load.h"
#include "image/file_writer.h"
#include "image/hex_reader.h"
#include "image/image_file.h"
#include "protocol/block_plan.h"
#include "serial/port_list.h"

namespace pelk {

namespace {

// The file functions' messages, as "pelkisp: FILE: Can't open file (why)".
// The reason the functions give starts with the path it is about; the
// path is said once.
class ConsoleReporter final : public FileReporter {
public:
    ConsoleReporter(CliConsole& console, std::string fileName) : C(console), Name(std::move(fileName)) {}
    void Message(const std::string& text) override { Said.push_back(text); }
    void MessageWithReason(const std::string& text, const std::string& reason) override {
        std::string why = reason;
        if (why.rfind(Name + ": ", 0) == 0) why.erase(0, Name.size() + 2);
        Said.push_back(text + " (" + why + ")");
    }
    // Prints what was said, except `leaveOut`.
    void Print(const std::string& leaveOut = "") {
        for (const std::string& s : Said)
            if (s != leaveOut) C.Error(Name + ": " + s);
        Said.clear();
    }

private:
    CliConsole& C;
    std::string Name;
    std::vector<std::string> Said;
};

constexpr const char* OutOfRange = "Adress out of range !";

std::string Hex(uint64_t value, int digits = 5) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string DeviceName(const MemoryImage& image) { return FindDevice(image.DeviceIndex)->RadioCaption; }

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int LoadImageForCli(const CliOptions& options, const std::string& fileName, MemoryImage& image, CliConsole& console,
                    bool forDevice, uint64_t* bytesLoaded) {
    // "-" is standard input, and is called so.
    const std::string shown = fileName == "-" ? "standard input" : fileName;
    ConsoleReporter reporter(console, shown);
    auto staging = std::make_unique<StagingBuffer>();
    const ImageFileFormat format = options.Format == FileFormat::Hex      ? ImageFileFormat::Hex
                                   : options.Format == FileFormat::Binary ? ImageFileFormat::Binary
                                                                          : ImageFileFormat::ByContent;
    ImageFileFacts facts;
    if (!ReadImageFile(PathFromUtf8(fileName), image, *staging, reporter, format, &facts)) {
        reporter.Print();
        return ExitUsage;
    }
    const bool hex = facts.Hex;
    const HexFileFacts& hexFacts = facts.HexFacts;
    const BinaryFileFacts& binFacts = facts.Binary;
    if (facts.ByContent) console.Note(shown + ": read as Intel HEX, by its content");
    if (hex && hexFacts.DataRecords == 0 && !hexFacts.EndRecord && !hexFacts.FirstErrors.empty()) {
        // Not one record: whatever the name says, this is no HEX file.
        const HexRecordError& e = hexFacts.FirstErrors.front();
        console.Error(shown + ": not an Intel HEX file (line " + std::to_string(e.Line) + ": " + e.Reason +
                      "); --format bin reads it as binary");
        return ExitUsage;
    }

    // The load dialog's proposal, changed by the options, under its limits.
    // The offset may put the data anywhere inside the device, whatever the
    // file's own size.
    const uint32_t extent = image.LoadedExtent;
    LoadSelection s = ProposedLoadSelection(extent);
    const uint32_t maxInput = MaxInputAddressFor(extent);
    if (options.Start) s.InputStartValue = *options.Start;
    if (options.Stop) s.InputStopValue = *options.Stop;
    if (options.Offset) s.BufferOffsetValue = *options.Offset;
    s.Bank1 = options.Bank1;
    auto refuse = [&](const char* option, uint32_t value, const std::string& why) {
        console.Error(std::string(option) + " " + Hex(value) + ": " + OutOfRange + " (" + why + ")");
        return ExitUsage;
    };
    const std::string highest = "highest " + Hex(maxInput) + " for this file";
    if (s.InputStartValue > maxInput) return refuse("--start", s.InputStartValue, highest);
    if (s.InputStopValue > maxInput) return refuse("--stop", s.InputStopValue, highest);
    if (s.InputStartValue > s.InputStopValue)
        return refuse("--start", s.InputStartValue, "above the stop, " + Hex(s.InputStopValue));
    const bool banked = image.DeviceIndex == BankedDeviceIndex;
    const uint32_t offsetLimit = banked ? BankSize - 1 : image.LastAddress;
    if (s.BufferOffsetValue > offsetLimit)
        return refuse("--offset", s.BufferOffsetValue,
                      banked ? "highest " + Hex(offsetLimit) + " within a bank; --bank 1 for the upper one"
                             : "highest " + Hex(offsetLimit) + " for the " + DeviceName(image));
    const LoadPlacement placed = CopyStagedData(image, *staging, s, hex ? hexFacts.Supplied.get() : nullptr);
    if (bytesLoaded) *bytesLoaded = placed.BytesSupplied;

    // What the file holds in the range taken, and where it went.
    const ChecksumSummary sum = ComputeChecksumSummary(image);
    if (placed.BytesSupplied == 0) console.Note(shown + ": no data, CRC " + Hex(sum.Crc, 4));
    else
        console.Note(shown + ": " + Plural(placed.BytesSupplied, "byte", "bytes") + " in " + Hex(placed.FirstSupplied) +
                     "-" + Hex(placed.LastSupplied) + ", CRC " + Hex(sum.Crc, 4));

    // What makes the image differ from what the file meant.
    std::vector<std::string> problems;
    if (hex) {
        for (const HexRecordError& e : hexFacts.FirstErrors) problems.push_back("line " + std::to_string(e.Line) + ": " + e.Reason);
        if (hexFacts.RecordErrors > hexFacts.FirstErrors.size())
            problems.push_back("and " + Plural(hexFacts.RecordErrors - hexFacts.FirstErrors.size(), "more record error", "more record errors"));
        if (!hexFacts.EndRecord) problems.push_back("no end record (:00000001FF): the file may be cut short");
    }
    const std::string doesNotFit = " does not fit the " + DeviceName(image) + " (last address " + Hex(image.LastAddress) + ")";
    if (hex && hexFacts.BytesLeftOut > 0 && !options.Stop)
        problems.push_back("data up to " + Hex(hexFacts.DataEnd - 1) + doesNotFit + ": " +
                           Plural(hexFacts.BytesLeftOut, "byte", "bytes") + " left out");
    else if (!hex && binFacts.Longer && !options.Stop)
        problems.push_back((binFacts.Size > 0 ? Plural(binFacts.Size, "byte", "bytes") + " (up to " + Hex(binFacts.Size - 1) + ")"
                                              : "more than " + Plural(image.LastAddress + 1ull, "byte", "bytes")) +
                           " do not fit the " + DeviceName(image) + " (last address " + Hex(image.LastAddress) + ")");
    else if (extent == 0)
        problems.push_back(hex ? "nothing loaded: no data record" : "nothing loaded: the file is empty");
    if (extent > 0) {
        const uint64_t wanted = uint64_t{s.InputStopValue} - s.InputStartValue + 1;
        if (placed.BytesCopied < wanted)
            problems.push_back("--offset " + Hex(s.BufferOffsetValue) + (options.Bank1 ? " --bank 1" : "") + ": data up to " +
                               Hex(uint64_t{placed.Destination} + wanted - 1) + doesNotFit);
        else if (forDevice && BlockPlan::DataBlocks(image).Blocks.empty())
            problems.push_back("nothing to " + std::string(CommandName(options.Command)) + ": every byte loaded is FF");
    }

    reporter.Print(msg::HexChecksumError);  // the record errors are among the problems
    const bool fatal = forDevice && !options.Force && !problems.empty();
    for (const std::string& p : problems) console.Error(shown + ": " + p + (forDevice && !fatal ? " (going on: --force)" : ""));
    if (!fatal) return ExitOk;
    console.Error(shown + ": " + (options.Command == CliCommand::Verify ? "not verified" : "not programmed") +
                  "; --force goes on all the same");
    return ExitUsage;
}

CliSession::CliSession(CliOptions options, std::FILE* out, std::FILE* err, MainLoop& loop)
    : Options(std::move(options)),
      Console(out, err,
              Options.Quiet     ? CliConsole::Level::Quiet
              : Options.Verbose ? CliConsole::Level::Verbose
                                : CliConsole::Level::Normal),
      Loop(loop) {
    ApplyDeviceIndex(Image, Options.DeviceIndex);
}

CliSession::~CliSession() {
    BoardList.clear();  // closes the ports; their last trace lines go out
    if (TraceFile) std::fclose(TraceFile);
}

int CliSession::Prepare() {
    if (int s = CheckFileRoles()) return s;
    switch (Options.Command) {
        case CliCommand::Ports:
            for (const std::string& line : PortListLines(ListPorts())) Console.Result(line);
            return ExitOk;
        case CliCommand::Checksum: {
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Console, false)) return s;
            const ChecksumSummary sum = ComputeChecksumSummary(Image);
            Console.Result(sum.ChecksumText());
            Console.Result(sum.CrcText());
            return ExitOk;
        }
        case CliCommand::Convert: {
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Console, false)) return s;
            const std::string& out = Options.Files[1];
            ConsoleReporter reporter(Console, out == "-" ? "standard output" : out);
            const FileFormat f = Options.OutFormat == FileFormat::Auto ? FormatByName(out) : Options.OutFormat;
            bool ok;
            if (out == "-") {
                const std::string text = f == FileFormat::Hex ? HexFileText(Image) : std::string(BinaryFileBytes(Image));
                std::fflush(stdout);
                ok = WriteImageStream(fileno(stdout), "standard output", text, reporter);
            } else {
                const std::filesystem::path path = PathFromUtf8(out);
                ok = f == FileFormat::Hex ? WriteHexFile(path, Image, reporter) : WriteBinaryFile(path, Image, reporter);
            }
            reporter.Print();
            return ok ? ExitOk : ExitUsage;
        }
        case CliCommand::Program:
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Console, true, &BytesLoaded)) return s;
            if (Options.Erase) Steps.push_back({&OperationEngine::StartErase, msg::DeviceErased, "Erase", "Erasing", "erase"});
            Steps.push_back({&OperationEngine::StartProgram, msg::DeviceProgrammed, "Program", "Programming", "program"});
            if (Options.Verify) Steps.push_back({&OperationEngine::StartVerify, msg::VerificationOk, "Verify", "Verifying", "verify"});
            break;
        case CliCommand::Verify:
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Console, true, &BytesLoaded)) return s;
            Steps.push_back({&OperationEngine::StartVerify, msg::VerificationOk, "Verify", "Verifying", "verify"});
            break;
        case CliCommand::Erase:
            Steps.push_back({&OperationEngine::StartErase, msg::DeviceErased, "Erase", "Erasing", "erase"});
            break;
        case CliCommand::Blank:
            Steps.push_back({&OperationEngine::StartBlankCheck, msg::DeviceBlank, "Blank check", "Blank check", "blank"});
            break;
        default: return ExitUsage;
    }
    if (!Options.AllBlocks && !Options.Files.empty() && BlockPlan::DataBlocks(Image).Blocks.empty())
        Console.Error(Options.Files[0] + ": no block holds data, so " +
                      (Options.Command == CliCommand::Program ? "program and verify send" : "verify sends") +
                      " nothing: " + (Options.Command == CliCommand::Program && Options.Erase
                                          ? "only the erase reaches the chip"
                                          : "nothing reaches the chip and nothing is checked"));
    if (int s = OpenTrace()) return s;
    if (int s = OpenLog()) return s;

    // One board per port. With one port its lines are as they always were;
    // with several, each line a board shows carries its port.
    const bool several = Options.Ports.size() > 1;
    if (several && Console.ProgressShown()) Bars = std::make_unique<ProgressLines>(stderr);
    for (const std::string& port : Options.Ports) {
        auto board = std::make_unique<BoardEntry>();
        CliConsole* console = &Console;
        if (several) {
            board->Console = std::make_unique<CliConsole>(Console);
            board->Console->Prefix = port + ": ";
            board->Console->ShareProgress(Bars.get());
            console = board->Console.get();
        }
        WireTrace::Sink sink;
        if (Options.Trace && !TraceFile) {
            sink = [console](const std::string& lines) { console->TraceText(lines); };
        } else if (TraceFile) {
            const std::string prefix = several ? port + ": " : "";
            sink = [this, prefix](const std::string& lines) {
                std::string text;
                for (size_t start = 0; start < lines.size();) {
                    const size_t end = std::min(lines.find('\n', start), lines.size());
                    text += prefix + lines.substr(start, end - start) + "\n";
                    start = end + 1;
                }
                WriteTrace(text);
            };
        }
        board->Session = std::make_unique<BoardSession>(Options, port, Image, Steps, *console, Loop, std::move(sink));
        BoardList.push_back(std::move(board));
    }
    bool anyOpen = false;
    for (auto& board : BoardList) anyOpen |= board->Session->Open() == ExitOk;
    if (!anyOpen) {
        for (auto& board : BoardList) LogBoard(*board->Session);
        Summary();
        return Status = CombinedStatus();
    }
    return -1;
}

// The names of the files a run reads and writes must be different files:
// the simulated flash is read and written back, the trace and the log are
// written. Two of them that name one file, whether it exists yet or not,
// would overwrite each other (the firmware turned into a flash image, CSV
// lines in the trace). A log on the port being programmed is refused too.
int CliSession::CheckFileRoles() {
    struct Role {
        const char* Option;  // as the user names it
        std::string Name;
        bool Written;
    };
    const std::vector<Role> roles{
        {"the firmware", Options.Files.empty() || Options.Command == CliCommand::Convert ? "" : Options.Files[0], false},
        {"--sim-flash", Options.SimFlash, true},
        {"--trace", Options.TraceFile, true},
        {"--log", Options.LogFile, true},
    };
    for (size_t a = 0; a < roles.size(); ++a)
        for (size_t b = a + 1; b < roles.size(); ++b) {
            if (roles[a].Name.empty() || roles[b].Name.empty() || roles[a].Name == "-" || roles[b].Name == "-") continue;
            if (!roles[a].Written && !roles[b].Written) continue;
            if (!NameOneFile(roles[a].Name, roles[b].Name)) continue;
            const std::string option = roles[b].Option;
            Console.Error(option + (option == "--trace" ? "=" : " ") + roles[b].Name + ": that is " + roles[a].Name +
                          (a == 0 ? ", the firmware, which the run reads" : ", which the run also writes as " + std::string(roles[a].Option)));
            return ExitUsage;
        }
    if (!Options.LogFile.empty())
        for (const std::string& port : Options.Ports) {
            const std::string device = port == "sim" ? std::string() : PortDevicePath(port);
            if (!device.empty() && NameOneFile(device, Options.LogFile)) {
                Console.Error("--log " + Options.LogFile + ": that is the port " + port + ", which the run programs");
                return ExitUsage;
            }
        }
    return ExitOk;
}

// The results log is opened before any port, so that a log that cannot be
// written stops the run before anything is sent.
int CliSession::OpenLog() {
    if (Options.LogFile.empty()) return ExitOk;
    if (const std::string why = Log.Open(Options.LogFile); !why.empty()) {
        Console.Error("--log " + Options.LogFile + ": can't open it (" + why + ")");
        return ExitUsage;
    }
    return ExitOk;
}

// One line per board in the results log, as the board ends.
void CliSession::LogBoard(const BoardSession& board) {
    if (!Log.IsOpen()) return;
    const BoardOutcome& o = board.Outcome();
    const ChecksumSummary sum = ComputeChecksumSummary(Image);
    ResultsLogRecord r;
    r.When = std::chrono::system_clock::now();
    r.Port = board.PortName();
    r.Device = o.Device;
    r.Chip = FindDevice(Image.DeviceIndex)->RadioCaption;
    r.File = Options.Files.empty() ? std::string() : Options.Files[0];
    r.Crc = sum.Crc;
    r.Checksum = static_cast<uint16_t>(sum.Sum);
    r.Bytes = BytesLoaded;
    r.Steps = o.Steps;
    r.Result = o.Result;
    r.DurationMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(o.Ended - o.Began).count());
    r.ExitStatus = o.Status;
    if (const std::string why = Log.Append(r); !why.empty()) {
        Console.Error("--log " + Options.LogFile + ": can't write " + r.Port + "'s line (" + why + ")");
        LogError = 1;
    }
}

int CliSession::OpenTrace() {
    if (!Options.Trace) return ExitOk;
    if (Options.TraceFile.empty()) {
        // On standard error the trace and the bar would overwrite each other.
        Console.SetProgressShown(false);
        return ExitOk;
    }
    // By the rules of every file the programs write: a write-protected
    // file is refused, a FIFO without a reader fails at once.
    std::string why;
    TraceFile = OpenOutputText(Options.TraceFile, why);
    if (!TraceFile) {
        if (why.rfind(Options.TraceFile + ": ", 0) == 0) why.erase(0, Options.TraceFile.size() + 2);
        Console.Error("--trace=" + Options.TraceFile + ": can't open it (" + why + ")");
        return ExitUsage;
    }
    return ExitOk;
}

// The trace's lines into its file; a write that fails is reported once, at
// the end, and the run then ends with exit status 2.
void CliSession::WriteTrace(const std::string& text) {
    errno = 0;
    if ((std::fputs(text.c_str(), TraceFile) < 0 || std::fflush(TraceFile) != 0 || std::ferror(TraceFile)) &&
        TraceError == 0)
        TraceError = errno != 0 ? errno : EIO;
}

void CliSession::Begin() {
    Unfinished = BoardList.size();
    for (auto& board : BoardList) {
        BoardSession& session = *board->Session;
        session.Begin([this, &session] { BoardFinished(session); });
    }
}

void CliSession::BoardFinished(const BoardSession& board) {
    LogBoard(board);
    if (Unfinished == 0 || --Unfinished != 0) return;
    Summary();
    if (TraceError) Console.Error("--trace=" + Options.TraceFile + ": can't write it (" + std::strerror(TraceError) + ")");
    Status = CombinedStatus();
    // A run that ends before the loop has started (a walk with no block to
    // send) makes it return as soon as it runs.
    Loop.Quit(Status);
}

void CliSession::Interrupt(int signal) {
    if (Signal == 0) Signal = signal;
    for (auto& board : BoardList) board->Session->Interrupt(signal);
}

int CliSession::CombinedStatus() const {
    // A results line or trace lines that were lost make a run that otherwise
    // succeeded a failure.
    const int clean = LogError || TraceError ? ExitUsage : ExitOk;
    // Stopped by a signal: 128 + its number, also when a board had already
    // ended its steps and only its "after" ran.
    if (Signal != 0) return ExitSignalBase + Signal;
    if (BoardList.size() == 1) {
        const int s = BoardList[0]->Session->Outcome().Status;
        return s == ExitOk ? clean : s;
    }
    int status = clean;
    for (const auto& board : BoardList) {
        const int s = board->Session->Outcome().Status;
        if (s == ExitPort) return ExitPort;
        if (s == ExitUsage || (s != ExitOk && status == ExitOk)) status = s == ExitUsage ? ExitUsage : ExitStepFailed;
    }
    return status;
}

// One line per board at the end of a run with several: what it came to and
// how long it took. With -q only the boards that did not succeed, so that
// the exit status of a failed run comes with the ports to look at.
void CliSession::Summary() {
    if (BoardList.size() < 2) return;
    for (const auto& board : BoardList) {
        const BoardOutcome& o = board->Session->Outcome();
        if (Options.Quiet && o.Status == ExitOk) continue;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f s", o.Seconds());
        std::string line = board->Session->PortName() + ": ";
        if (o.Status == ExitOk) line += std::string("succeeded in ") + seconds;
        else if (o.Status == ExitPort || o.StepsRun == 0) line += "failed: " + o.Result;
        else if (o.Status > ExitSignalBase) line += std::string("stopped in ") + seconds;
        else line += std::string("failed in ") + seconds + ": " + o.Result;
        Console.Plain(line);
    }
}

int CliSession::OutputError() const {
    if (const int error = Console.OutputError()) return error;
    for (const auto& board : BoardList)
        if (board->Console && board->Console->OutputError()) return board->Console->OutputError();
    return 0;
}

}  // namespace pelk

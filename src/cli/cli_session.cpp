#include "cli/cli_session.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "cli/cli_platform.h"
#include "image/checksum_summary.h"
#include "image/device_table.h"
#include "image/file_load.h"
#include "image/file_writer.h"
#include "image/hex_reader.h"
#include "protocol/block_plan.h"

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

TVaBaudrate BaudrateOf(uint32_t rate) {
    for (size_t i = 0; i < CliBaudRates.size(); ++i)
        if (CliBaudRates[i] == rate) return static_cast<TVaBaudrate>(i + 1);
    return br9600;
}

std::string DeviceName(const MemoryImage& image) { return FindDevice(image.DeviceIndex)->RadioCaption; }

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

}  // namespace

int LoadImageForCli(const CliOptions& options, const std::string& fileName, MemoryImage& image, CliConsole& console,
                    bool forDevice) {
    ConsoleReporter reporter(console, fileName);
    auto staging = std::make_unique<StagingBuffer>();
    const bool hex = (options.Format == FileFormat::Auto ? FormatByName(fileName) : options.Format) == FileFormat::Hex;
    HexFileFacts hexFacts;
    BinaryFileFacts binFacts;
    const bool opened = hex ? ReadHexFile(fileName, image, *staging, reporter, &hexFacts)
                            : ReadBinaryFile(fileName, image, *staging, reporter, &binFacts);
    if (!opened) {
        reporter.Print();
        return ExitUsage;
    }

    // The load dialog's proposal, changed by the options, under its limits.
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
    const uint32_t offsetLimit = BufferOffsetLimit(image.DeviceIndex, maxInput);
    if (s.BufferOffsetValue > offsetLimit)
        return refuse("--offset", s.BufferOffsetValue,
                      image.DeviceIndex == BankedDeviceIndex ? "highest " + Hex(offsetLimit) + " within a bank; --bank 1 for the upper one"
                                                             : highest);
    const LoadPlacement placed = CopyStagedData(image, *staging, s);

    const ChecksumSummary sum = ComputeChecksumSummary(image);
    if (extent == 0 || placed.BytesCopied == 0) console.Note(fileName + ": no data, CRC " + Hex(sum.Crc, 4));
    else
        console.Note(fileName + ": " + Plural(placed.BytesCopied, "byte", "bytes") + " in " + Hex(placed.Destination) +
                     "-" + Hex(uint64_t{placed.Destination} + placed.BytesCopied - 1) + ", CRC " + Hex(sum.Crc, 4));

    // What makes the image differ from what the file meant.
    std::vector<std::string> problems;
    if (hex && hexFacts.ChecksumError) problems.push_back(msg::HexChecksumError);
    if (hex && !hexFacts.EndRecord) problems.push_back("no end record (:00000001FF): the file may be cut short");
    const std::string doesNotFit = " does not fit the " + DeviceName(image) + " (last address " + Hex(image.LastAddress) + ")";
    if (hex && hexFacts.DataEnd > uint64_t{image.LastAddress} + 1 && !options.Stop)
        problems.push_back("data up to " + Hex(hexFacts.DataEnd - 1) + doesNotFit);
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

    reporter.Print(msg::HexChecksumError);  // that one is among the problems
    const bool fatal = forDevice && !options.Force && !problems.empty();
    for (const std::string& p : problems) console.Error(fileName + ": " + p + (forDevice && !fatal ? " (going on: --force)" : ""));
    if (!fatal) return ExitOk;
    console.Error(fileName + ": " + (options.Command == CliCommand::Verify ? "not verified" : "not programmed") +
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
    CommPort.SetDeviceName("COM%d");
    CommPort.Buffers().SetReadSize(1000);
    CommPort.Buffers().SetWriteSize(1000);
    CommPort.OnRxChar = [this](TVaCustomComm*, int) { Guarded(&CliSession::Received); };
    CommPort.OnHangUp = [this](TVaCustomComm*, const std::string& message) { PortHungUp(message); };
    Engine.SkipBlankBlocks = !Options.AllBlocks;
}

CliSession::~CliSession() {
    Loop.StopTimer(TickTimer);
    CommPort.OnRxChar = nullptr;
    CommPort.OnHangUp = nullptr;
    if (CommPort.Active()) CommPort.Close();
    FlushTrace();
    Traced.SetTrace(nullptr);
    if (TraceFile) std::fclose(TraceFile);
}

int CliSession::Prepare() {
    switch (Options.Command) {
        case CliCommand::Ports:
            for (const std::string& line : SerialPortLines()) Console.Result(line);
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
                ok = f == FileFormat::Hex ? WriteHexFile(out, Image, reporter) : WriteBinaryFile(out, Image, reporter);
            }
            reporter.Print();
            return ok ? ExitOk : ExitUsage;
        }
        case CliCommand::Program:
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Console, true)) return s;
            if (Options.Erase) Steps.push_back({&OperationEngine::StartErase, msg::DeviceErased, "Erase", "Erasing"});
            Steps.push_back({&OperationEngine::StartProgram, msg::DeviceProgrammed, "Program", "Programming"});
            if (Options.Verify) Steps.push_back({&OperationEngine::StartVerify, msg::VerificationOk, "Verify", "Verifying"});
            break;
        case CliCommand::Verify:
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Console, true)) return s;
            Steps.push_back({&OperationEngine::StartVerify, msg::VerificationOk, "Verify", "Verifying"});
            break;
        case CliCommand::Erase:
            Steps.push_back({&OperationEngine::StartErase, msg::DeviceErased, "Erase", "Erasing"});
            break;
        case CliCommand::Blank:
            Steps.push_back({&OperationEngine::StartBlankCheck, msg::DeviceBlank, "Blank check", "Blank check"});
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

    std::string device = Options.Port;
    if (Options.Port == "sim") {
        SimulatedTargetOptions sim;
        sim.LastAddress = Image.LastAddress;
        sim.FlashFile = Options.SimFlash;
        Simulator = std::make_unique<SimulatedTarget>(sim);
        try {
            Simulator->Start();
        } catch (const SimulatedTargetFileError& e) {
            Console.Plain(e.what());
            return ExitUsage;
        } catch (const std::exception& e) {
            Console.Plain(e.what());
            return ExitPort;
        }
        device = Simulator->PortPath();
    }
    CommPort.SetBaudrate(BaudrateOf(Options.Baud));
    CommPort.SetDeviceName(device);
    try {
        CommPort.Open();
    } catch (const std::exception& e) {
        PortFailed(e.what());
        return ExitPort;
    }
    VerboseDevice(device);
    return -1;
}

int CliSession::OpenTrace() {
    if (!Options.Trace) return ExitOk;
    if (Options.TraceFile.empty()) {
        // On standard error the trace and the bar would overwrite each other.
        Console.SetProgressShown(false);
        Trace = std::make_unique<WireTrace>([this](const std::string& lines) { Console.TraceText(lines); });
    } else {
        // A trace must never overwrite the firmware or the simulated flash.
        for (const std::string& input : {Options.Files.empty() ? std::string() : Options.Files[0], Options.SimFlash})
            if (!input.empty() && SameFile(input, Options.TraceFile)) {
                Console.Error("--trace=" + Options.TraceFile + ": that is " + input + ", which the run reads");
                return ExitUsage;
            }
        TraceFile = OpenOutputText(Options.TraceFile);
        if (!TraceFile) {
            Console.Error("--trace=" + Options.TraceFile + ": can't open it (" + std::strerror(errno) + ")");
            return ExitUsage;
        }
        Trace = std::make_unique<WireTrace>([this](const std::string& lines) {
            std::fputs(lines.c_str(), TraceFile);
            std::fflush(TraceFile);
        });
    }
    Traced.SetTrace(Trace.get());
    return ExitOk;
}

void CliSession::VerboseDevice(const std::string& device) {
    if (!Console.IsVerbose()) return;
    const std::string path = CommPort.DevicePath();
    if (Simulator) {
        Console.Verbose("port sim: a simulated " + DeviceName(Image) + " behind " + path);
    } else {
        Console.Verbose(PortNameNote(device, path));
    }
    Console.Verbose("line: " + CommPort.AppliedLineSettings());
    Console.Verbose("device: " + DeviceName(Image) + ", last address " + Hex(Image.LastAddress));
}

void CliSession::Begin() {
    // The engine's 10 ms tick, on a drift-free grid.
    TickTimer = Loop.StartTimer(std::chrono::milliseconds(10), [this] { Guarded(&CliSession::Tick); }, true);
    StartStep();
}

void CliSession::Guarded(void (CliSession::*action)()) {
    if (Done) return;
    try {
        (this->*action)();
    } catch (const std::exception& e) {
        // A failure of the port (a write that found no room) ends the run.
        PortFailed(e.what());
        Finish(ExitStepFailed);
    }
    FlushTrace();
}

void CliSession::FlushTrace() {
    if (Trace) Trace->Flush();
}

void CliSession::PortFailed(const std::string& message) {
    // The component names the port as it was given ("COM1"); the device
    // that name led to is named too, so the user sees what was opened.
    Console.Plain(message);
    const std::string name = CommPort.GetDeviceName();
    const std::string device = CommPort.Active() ? CommPort.DevicePath() : PortDevice(name);
    if (device.empty()) Console.Error(name + " names no serial port of this machine");
    else if (message.find(device) == std::string::npos) Console.Error(name + " is " + device);
}

void CliSession::PortHungUp(const std::string& message) {
    // The adapter was pulled or the line's other side went away: the
    // operation ends at once, with this one message and nothing more sent.
    if (Done) return;
    if (Running) {
        Engine.Stop();
        Running = false;
        Console.ProgressEnd(false);
    }
    FlushTrace();
    Console.Plain(message);
    Finish(ExitStepFailed);
}

bool CliSession::Walks(const Step& s) const {
    return s.Start == &OperationEngine::StartProgram || s.Start == &OperationEngine::StartVerify;
}

void CliSession::StartStep() {
    LastMessage.clear();
    StepStarted = std::chrono::steady_clock::now();
    Running = true;
    const Step& step = Steps[Current];
    uint32_t blocks = 0;
    if (Walks(step)) {
        blocks = Options.AllBlocks ? (Image.LastAddress + 1) / BlockSize
                                   : static_cast<uint32_t>(BlockPlan::DataBlocks(Image).Blocks.size());
        Console.Verbose(std::string(step.Name) + ": " + Plural(blocks, "block", "blocks") + " of " +
                        std::to_string((Image.LastAddress + 1) / BlockSize) +
                        (Options.AllBlocks ? "" : " (the blocks that hold data)"));
    }
    if (Trace) Trace->StepBegins(step.Name, blocks);
    Console.ProgressBegin(step.Progress, uint64_t{blocks} * BlockSize);
    (Engine.*step.Start)();
    CheckStep();  // a walk with no block to send ends at once
}

void CliSession::Tick() {
    if (Trace) {
        // The reply timer runs out on this tick: note it before the engine
        // sends the frame again (or gives up).
        if (Engine.ReplyTimer == 1)
            Trace->ReplyTimeout(TransmissionsPerFrame - Engine.RetryCount + 1u, Engine.RetryCount == 1);
        if (Engine.ByteTimer == 1 && Engine.Receiver.RxState == ReplyReceiver::Receiving) Trace->ByteTimeout();
    }
    Engine.TimerTimer();
    CheckStep();
    Console.ProgressTick();
}

void CliSession::Received() {
    Engine.ReceiveReplyBytes();
    CheckStep();
}

void CliSession::CheckStep() {
    if (!Running || Engine.Operation != OpNone || Engine.StartDelay != 0) return;
    Running = false;
    const Step& step = Steps[Current];
    const bool ok = LastMessage == step.Success;
    Console.ProgressEnd(ok);
    if (Trace) Trace->StepEnds(LastMessage);
    FlushTrace();
    Console.Result(LastMessage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - StepStarted).count();
    if (Walks(step) && ok) {
        const uint64_t bytes = uint64_t{Engine.PlanBlocks()} * BlockSize;
        Console.Verbose(std::string(step.Name) + ": " + Plural(bytes, "byte", "bytes") + " in " + Seconds(seconds) +
                        (seconds > 0 ? ", " + std::to_string(static_cast<uint64_t>(double(bytes) / seconds)) + " bytes/s" : ""));
    } else {
        Console.Verbose(std::string(step.Name) + ": " + Seconds(seconds));
    }
    if (!ok) return Finish(ExitStepFailed);
    if (++Current == Steps.size()) return Finish(ExitOk);
    StartStep();
}

void CliSession::Interrupt(int Signal) {
    if (Done) return;
    if (Running) {
        Engine.Stop();  // shows "Stopped."
        Running = false;
        Console.ProgressEnd(false);
        if (Trace) Trace->StepEnds(LastMessage);
        FlushTrace();
        Console.Result(LastMessage);
    }
    Finish(ExitSignalBase + Signal);
}

void CliSession::Finish(int status) {
    if (Done) return;
    Done = true;
    Status = status;
    Loop.StopTimer(TickTimer);
    TickTimer = 0;
    if (CommPort.Active()) CommPort.Close();
    if (Simulator) {
        try {
            Simulator->Stop();
        } catch (const std::exception& e) {
            Console.Plain(e.what());
            if (Status == ExitOk) Status = ExitUsage;
        }
    }
    // A run that ends before the loop has started (a walk with no block to
    // send) makes it return as soon as it runs.
    Loop.Quit(Status);
}

void CliSession::ShowMessage(const std::string& text) { LastMessage = text; }

void CliSession::SetProgress(int position) {
    if (Running && position > 0) Console.ProgressUpdate(uint64_t{Engine.PlanIndex} * BlockSize);
}

}  // namespace pelk

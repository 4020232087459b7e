#include "cli/cli_session.h"

#include <QCoreApplication>
#include <unistd.h>

#include <cerrno>

#include "image/checksum_summary.h"
#include "image/device_table.h"
#include "image/file_load.h"
#include "image/file_writer.h"
#include "image/hex_reader.h"
#include "serial/posix/device_names.h"

namespace pelk {

namespace {

// File messages printed on standard error.
class StreamReporter final : public FileReporter {
public:
    explicit StreamReporter(std::FILE* err) : Err(err) {}
    void Message(const std::string& text) override {
        std::fprintf(Err, "%s\n", text.c_str());
        std::fflush(Err);
    }
    void MessageWithReason(const std::string& text, const std::string& reason) override {
        std::fprintf(Err, "%s: %s\n", text.c_str(), reason.c_str());
        std::fflush(Err);
    }

private:
    std::FILE* Err;
};

constexpr const char* OutOfRange = "Adress out of range !";

TVaBaudrate BaudrateOf(uint32_t rate) {
    for (size_t i = 0; i < CliBaudRates.size(); ++i)
        if (CliBaudRates[i] == rate) return static_cast<TVaBaudrate>(i + 1);
    return br9600;
}

}  // namespace

int LoadImageForCli(const CliOptions& options, const std::string& fileName, MemoryImage& image, std::FILE* err) {
    StreamReporter reporter(err);
    auto staging = std::make_unique<StagingBuffer>();
    const FileFormat format = options.Format == FileFormat::Auto ? FormatByName(fileName) : options.Format;
    const bool opened = format == FileFormat::Hex ? ReadHexFile(fileName, image, *staging, reporter)
                                                  : ReadBinaryFile(fileName, image, *staging, reporter);
    if (!opened) return ExitUsage;

    // The load dialog's proposal, changed by the options, under its limits.
    LoadSelection s = ProposedLoadSelection(image.LoadedExtent);
    const uint32_t maxInput = MaxInputAddressFor(image.LoadedExtent);
    if (options.Start) s.InputStartValue = *options.Start;
    if (options.Stop) s.InputStopValue = *options.Stop;
    if (options.Offset) s.BufferOffsetValue = *options.Offset;
    s.Bank1 = options.Bank1;
    s.ClearBuffer = options.ClearBuffer;
    if (s.InputStartValue > maxInput || s.InputStopValue > maxInput || s.InputStartValue > s.InputStopValue ||
        s.BufferOffsetValue > BufferOffsetLimit(image.DeviceIndex, maxInput)) {
        reporter.Message(OutOfRange);
        return ExitUsage;
    }
    CopyStagedData(image, *staging, s);
    return ExitOk;
}

CliSession::CliSession(CliOptions options, std::FILE* out, std::FILE* err)
    : Options(std::move(options)), Out(out), Err(err), Live(isatty(fileno(err)) == 1) {
    ApplyDeviceIndex(Image, Options.DeviceIndex);
    Timer.setTimerType(Qt::PreciseTimer);
    Timer.setInterval(10);
    connect(&Timer, &QTimer::timeout, this, [this] { Guarded(&CliSession::Tick); });
    CommPort.SetDeviceName("COM%d");
    CommPort.Buffers().SetReadSize(1000);
    CommPort.Buffers().SetWriteSize(1000);
    CommPort.OnRxChar = [this](TVaCustomComm*, int) { Guarded(&CliSession::Received); };
    CommPort.OnHangUp = [this](TVaCustomComm*, const std::string& message) { PortHungUp(message); };
}

CliSession::~CliSession() {
    CommPort.OnRxChar = nullptr;
    CommPort.OnHangUp = nullptr;
    if (CommPort.Active()) CommPort.Close();
}

int CliSession::Prepare() {
    StreamReporter reporter(Err);
    switch (Options.Command) {
        case CliCommand::Checksum: {
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Err)) return s;
            const ChecksumSummary sum = ComputeChecksumSummary(Image);
            PrintResult(sum.ChecksumText());
            PrintResult(sum.CrcText());
            return ExitOk;
        }
        case CliCommand::Convert: {
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Err)) return s;
            const std::string& out = Options.Files[1];
            const FileFormat f = Options.OutFormat == FileFormat::Auto ? FormatByName(out) : Options.OutFormat;
            bool ok;
            if (out == "-") {  // standard output
                const std::string text = f == FileFormat::Hex ? HexFileText(Image) : std::string(BinaryFileBytes(Image));
                std::fflush(Out);
                ok = WriteImageStream(fileno(Out), "standard output", text, reporter);
            } else {
                ok = f == FileFormat::Hex ? WriteHexFile(out, Image, reporter) : WriteBinaryFile(out, Image, reporter);
            }
            return ok ? ExitOk : ExitUsage;
        }
        case CliCommand::Program:
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Err)) return s;
            if (Options.Erase) Steps.push_back({&OperationEngine::StartErase, msg::DeviceErased});
            Steps.push_back({&OperationEngine::StartProgram, msg::DeviceProgrammed});
            if (Options.Verify) Steps.push_back({&OperationEngine::StartVerify, msg::VerificationOk});
            break;
        case CliCommand::Verify:
            if (int s = LoadImageForCli(Options, Options.Files[0], Image, Err)) return s;
            Steps.push_back({&OperationEngine::StartVerify, msg::VerificationOk});
            break;
        case CliCommand::Erase: Steps.push_back({&OperationEngine::StartErase, msg::DeviceErased}); break;
        case CliCommand::Blank: Steps.push_back({&OperationEngine::StartBlankCheck, msg::DeviceBlank}); break;
        default: return ExitUsage;
    }

    std::string device = Options.Port;
    if (Options.Port == "sim") {
        SimulatedTargetOptions sim;
        sim.LastAddress = Image.LastAddress;
        sim.FlashFile = Options.SimFlash;
        Simulator = std::make_unique<SimulatedTarget>(sim);
        try {
            Simulator->Start();
        } catch (const SimulatedTargetFileError& e) {
            std::fprintf(Err, "%s\n", e.what());
            return ExitUsage;
        } catch (const std::exception& e) {
            std::fprintf(Err, "%s\n", e.what());
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
    return -1;
}

void CliSession::Begin() {
    Timer.start();
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
}

void CliSession::PortFailed(const std::string& message) {
    // The component names the port as it was given ("COM1"); the device
    // that name led to is named too, so the user sees what was opened.
    std::fprintf(Err, "%s\n", message.c_str());
    const std::string name = CommPort.GetDeviceName();
    const std::string device = CommPort.Active() ? CommPort.DevicePath() : posix::ResolvedDevicePath(name);
    if (device.empty())
        std::fprintf(Err, "pelkisp: %s names no serial port of this machine\n", name.c_str());
    else if (message.find(device) == std::string::npos)
        std::fprintf(Err, "pelkisp: %s is %s\n", name.c_str(), device.c_str());
    std::fflush(Err);
}

void CliSession::PortHungUp(const std::string& message) {
    // The adapter was pulled or the line's other side went away: the
    // operation ends at once, with this one message and nothing more sent.
    if (Done) return;
    if (Running) {
        Engine.Stop();
        Running = false;
        DrawProgress(0, true);
    }
    std::fprintf(Err, "%s\n", message.c_str());
    std::fflush(Err);
    Finish(ExitStepFailed);
}

void CliSession::PrintResult(const std::string& line) {
    // A failed write is noted, not fatal: the run goes on to its end (a
    // half-programmed chip helps nobody) and the exit status tells.
    errno = 0;
    const bool ok = std::fprintf(Out, "%s\n", line.c_str()) >= 0 && std::fflush(Out) == 0;
    if (!ok && OutError == 0) OutError = errno != 0 ? errno : EIO;
}

void CliSession::StartStep() {
    LastMessage.clear();
    StepStarted = std::chrono::steady_clock::now();
    Running = true;
    (Engine.*Steps[Current].Start)();
}

void CliSession::Tick() {
    Engine.TimerTimer();
    CheckStep();
}

void CliSession::Received() {
    Engine.ReceiveReplyBytes();
    CheckStep();
}

void CliSession::CheckStep() {
    if (!Running || Engine.Operation != OpNone || Engine.StartDelay != 0) return;
    Running = false;
    DrawProgress(0, true);
    PrintResult(LastMessage);
    if (LastMessage != Steps[Current].Success) return Finish(ExitStepFailed);
    if (++Current == Steps.size()) return Finish(ExitOk);
    StartStep();
}

void CliSession::Interrupt(int Signal) {
    if (Done) return;
    if (Running) {
        Engine.Stop();  // shows "Stopped."
        Running = false;
        DrawProgress(0, true);
        PrintResult(LastMessage);
    }
    Finish(ExitSignalBase + Signal);
}

void CliSession::Finish(int status) {
    if (Done) return;
    Done = true;
    Status = status;
    Timer.stop();
    if (CommPort.Active()) CommPort.Close();
    if (Simulator) {
        try {
            Simulator->Stop();
        } catch (const std::exception& e) {
            std::fprintf(Err, "%s\n", e.what());
            if (Status == ExitOk) Status = ExitUsage;
        }
    }
    QCoreApplication::exit(Status);
}

void CliSession::ShowMessage(const std::string& text) { LastMessage = text; }

void CliSession::SetProgress(int position) {
    if (Running) DrawProgress(position, false);
}

void CliSession::DrawProgress(int position, bool final) {
    if (!Live) return;
    if (final) {
        if (BarShown) std::fputs("\r\033[K", Err);
        BarShown = false;
        ShownPercent = -1;
        std::fflush(Err);
        return;
    }
    // Redrawn when the percentage moves; the reset to 0 that ends an
    // operation leaves the bar as it is until the result line clears it.
    const int percent = position / 10;
    if (BarShown && (percent == ShownPercent || position == 0)) return;
    ShownPercent = percent;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - StepStarted).count();
    const double bytes = double(position) / ProgressMax * Image.DeviceSize();
    const int width = 40, filled = position * width / ProgressMax;
    std::fprintf(Err, "\r[%s%s] %3d%%  %8.0f B/s", std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(width - filled), '.').c_str(), percent,
                 seconds > 0 ? bytes / seconds : 0.0);
    BarShown = true;
    std::fflush(Err);
}

}  // namespace pelk

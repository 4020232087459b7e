#pragma once
// The main window "Pelk ISP": the memory image, the serial port, the
// operation engine and its 10 ms timer, the message line, the grid, the
// progress bar and the status bar, and every command of the menus and the
// toolbar.
#include <QAction>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QTimer>
#include <QVariant>
#include <QToolBar>
#include <QToolButton>
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "image/memory_image.h"
#include "protocol/engine_view.h"
#include "protocol/line_sequence.h"
#include "protocol/operation_engine.h"
#include "protocol/port.h"
#include "serial/vacomm.h"
#include "view/buffer_grid.h"

namespace pelk {

class TModelessDialog;

// What the open and save dialogs remember between uses.
struct FileDialogState {
    QString InitialDir;   // starting directory
    QString FileName;     // file most recently chosen in this run; empty if none
    QString DefaultExt;   // save dialog only
    int FilterIndex = 1;  // 1 HEX, 2 BINARY, 3 All Files
};

// One of the two reset-line sequences of Setup > Change serial port.
struct ResetLinesSetting {
    bool On = false;
    QString Text;
    ParsedLineSequence Parsed = ParseLineSequence("");  // Text, parsed

    static ResetLinesSetting Of(bool on, const QString& text) {
        return {on, text, ParseLineSequence(text.toStdString())};
    }
};

inline constexpr const char* FileFilter =
    "HEX Files (*.hex *.ihx *.ihex)|*.HEX;*.IHX;*.IHEX|BINARY Files (*.bin)|*.BIN|All Files (*.*)|*.*";

class TFormularz : public QMainWindow, public EngineView, public TickSource {
    Q_OBJECT
public:
    explicit TFormularz(QWidget* parent = nullptr);
    ~TFormularz() override;

    // The memory image with the selected device.
    MemoryImage Image;
    // The serial port and the engine that talks through it.
    TVaComm CommPort;
    PortOf<TVaComm> CommLink{CommPort};
    OperationEngine Engine{Image, CommLink, *this};

    // Controls, named as in the window's layout.
    QToolBar* ToolBar1;
    QToolButton *Tab1, *Tab2, *Tab3, *Tab4, *Tab5;
    QFrame* Bevel1;
    QLineEdit* Komunikat;
    BufferGrid* Tablica;
    QProgressBar* Progress;
    std::array<QLabel*, 5> Panels{};  // status bar panels 0..4
    QTimer* Timer;
    QAction *LoadPlik, *Save1, *Exit1, *EditCell, *FillBuffer, *Clear1, *Start1, *Stop2, *Erase1, *Blankcheck1,
        *Erase2, *Changeserialport1, *Selectdevice1, *About1, *Edit1;
    // Programming > Skip blank blocks: Program and Verify walk only the blocks
    // that hold data. Kept in the per-user settings store, not in PelkISP.cfg.
    QAction* Skipblankblocks1;
    QMenu* PopupMenu1;
    FileDialogState Open;
    FileDialogState Save;

    // Reset lines (Setup > Change serial port): a DTR/RTS sequence run after
    // each Program, Verify, Erase or Blank check command and before the
    // engine starts the operation, and one run when the operation has ended.
    // Both off by default; kept in the per-user settings store.
    ResetLinesSetting LinesBefore, LinesAfter;
    // Where the sequences set the lines: the port's own DTR and RTS. Tests
    // put a recording stand-in here.
    ModemLinesOf<TVaComm> CommLines{CommPort};
    ModemLines* Lines = &CommLines;
    // Milliseconds of a monotonic clock for the sequences' waits (tests: fake time).
    std::function<int64_t()> LineClock;
    LineSequenceRunner LineRunner;
    // One-shot, armed for the running sequence's next deadline.
    QTimer* LineTimer;

    // Start-up and shut-down.
    void FormCreate();
    void FormClose();
    // Closes the window for a termination signal: as File > Exit, but a
    // settings file that cannot be written is reported on standard error
    // only, since nobody may be there to close a message box.
    void CloseOnSignal();
    // The settings file could not be written at exit: the program's exit
    // status says so (1), also when nobody saw a message box.
    bool SettingsWereLost() const { return SettingsLost; }
    void Skalowanie();

    // Commands.
    void SpeedButton1Click();  // File > Load
    void SpeedButton2Click();  // File > Save
    void Exit1Click();
    void EditCellClick();
    void FillBufferClick();
    void Clear1Click();
    void Start1Click();
    void Stop2Click();
    void Erase1Click();
    void Blankcheck1Click();
    void Tab5Click();
    void Changeserialport1Click();
    void Selectdevice1Click();
    void About1Click();
    void TablicaClick();
    void TablicaDblClick();
    void TimerTimer();
    // LineTimer's handler: the running sequence goes on.
    void LineTimerTimer();
    void CommPortRxChar(TVaCustomComm* Sender, int Count);
    void Skipblankblocks1Click(bool checked);
    // The port's device hung up or went away: the running operation ends at
    // once with the component's message, and the port stays closed.
    void CommPortHangUp(TVaCustomComm* Sender, const std::string& Message);

    // The whole grid from the image, then the checksum panels.
    void RefreshGrid();
    // Bytes first..last changed (Edit, Fill): their cells only; the caller
    // then calls SumaCRC.
    void UpdateBytes(uint32_t first, uint32_t last);
    // The checksum and CRC panels from the image.
    void SumaCRC();
    // Row count and labels for the selected device.
    void BuildGrid();
    // The save dialog's file type changed: its default extension follows.
    QString SaveTypeChange(int filterIndex);
    // The edit and fill dialogs follow a device change from a device whose
    // last address was previousLast.
    void DeviceChangedInDialogs(uint32_t previousLast);
    // Makes a modeless dialog visible and active.
    void ShowModeless(TModelessDialog* dialog);

    // EngineView: the message line and the progress bar.
    void ShowMessage(const std::string& text) override;
    void SetProgress(int position) override;
    // TickSource: the 10 ms timer runs only while the engine has something pending.
    void TicksNeeded(bool needed) override;

    QString PanelText(int i) const { return Panels[size_t(i)]->text(); }
    void SetPanelText(int i, const QString& text) { Panels[size_t(i)]->setText(text); }
    // Panel 3 after the port has been opened or has failed to open.
    void ShowPortPanel();
    // New reset-line settings (the serial dialog's OK), stored at once.
    void SetResetLines(const ResetLinesSetting& before, const ResetLinesSetting& after);

    // What runs: nothing, the "before" sequence of a command, the engine's
    // operation, or the "after" sequence.
    enum class LinePhase { None, Before, Operation, After };
    LinePhase Phase() const { return FPhase; }

    // Runs a handler; an error escaping it is reported and the window goes on.
    void Guarded(const std::function<void()>& handler);

    // An operation or a reset-line sequence runs: the commands that change
    // the image, the device or the port are disabled until it has ended.
    bool Busy() const { return FPhase != LinePhase::None || Engine.Operation != OpNone; }
    // Enables those commands, or disables them while Busy.
    void UpdateCommands();
    // True, with a message box naming the command, when Busy: the command's
    // handler then does nothing (for a way in that is not disabled).
    bool RefusedWhileBusy(const char* command);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMenus();
    void BuildToolBar();
    void BuildStatusBar();
    void LoadResetLines();
    // Writes per-user settings; a store that cannot be written is
    // reported as the settings file is.
    void StoreUserSettings(const std::vector<std::pair<QString, QVariant>>& values);
    // Opens the port as it is set; false when it does not open, with why in
    // FPortProblem: the component's message and the device the name led to.
    bool OpenPort();
    // The message line's result no longer says anything of the image or
    // the port: it goes back to "Ready.".
    void ResultOutdated();
    // A starting command: the "before" sequence first when it is on.
    void StartCommand(void (OperationEngine::*start)());
    // False, with the reason in the message line, when a sequence that is on
    // cannot run (a text that does not parse, a port without modem lines).
    bool ResetLinesUsable();
    void RunLines(const LineSequence& sequence);
    void ScheduleLines(std::optional<int64_t> next);
    void LinesEnded();
    void CancelLines();
    // After every call into the engine: an operation that has ended is
    // followed by the "after" sequence.
    void OperationMayHaveEnded();
    LinePhase FPhase = LinePhase::None;
    void (OperationEngine::*PendingStart)() = nullptr;  // waits for "before"
    QElapsedTimer LineElapsed;
    bool Closed = false;
    bool ClosingOnSignal = false;
    bool SettingsLost = false;
    // Why no port is open (a failed open, a hang-up), for the port panel's
    // tooltip and a command's refusal; empty when none was tried.
    QString FPortProblem;
    // The progress bar is redrawn at most once per screen refresh: a value
    // that comes sooner waits in ProgressWanted for this single-shot timer.
    QTimer* ProgressHoldOff;
    int ProgressWanted = 0;
};

}  // namespace pelk

#pragma once
// The main window "Pelk ISP": the memory image, the serial port and the
// programming run with its 10 ms tick, the message line, the grid, the
// progress bar and the status bar, the dialogs, and every command of the
// menus and the toolbar.
#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVariant>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "dialogs/serial_dialog.h"
#include "image/memory_image.h"
#include "protocol/line_sequence.h"
#include "protocol/operation_engine.h"
#include "protocol/port.h"
#include "protocol/programming_run.h"
#include "serial/vacomm.h"
#include "view/buffer_grid.h"

namespace pelk {

class AboutBox;
class DeviceDialog;
class EditDialog;
class FillDialog;
class LoadDialog;
class ModelessDialog;

// What the open and save dialogs remember between uses.
struct FileDialogState {
    QString InitialDir;   // starting directory
    QString FileName;     // file most recently chosen in this run; empty if none
    QString DefaultExt;   // save dialog only
    int FilterIndex = 1;  // 1 HEX, 2 BINARY, 3 All Files
};

inline constexpr const char* FileFilter =
    "HEX Files (*.hex *.ihx *.ihex)|*.HEX;*.IHX;*.IHEX|BINARY Files (*.bin)|*.BIN|All Files (*.*)|*.*";

class MainWindow : public QMainWindow, private ProgrammingRunHost {
    Q_OBJECT
public:
    // Reads the settings file, applies them and opens the port.
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The commands of the menus, the toolbar and the grid's context menu.
    void load();
    void save();
    void exit();
    void editCell();
    void fillBuffer();
    void clearBuffer();
    void program();
    void verify();
    void erase();
    void blankCheck();
    void stop();
    void changeSerialPort();
    void selectDevice();
    void about();
    // Programming > Skip blank blocks: Program and Verify walk only the
    // blocks that hold data. Kept in the per-user settings store.
    void setSkipBlankBlocks(bool on);
    // A click and a double click on the grid's selected cell.
    void gridClicked();
    void gridDoubleClicked();

    // Closes the window for a termination signal: as File > Exit, but a
    // settings file that cannot be written is reported on standard error
    // only, since nobody may be there to close a message box.
    void closeOnSignal();
    // The settings file could not be written at exit: the program's exit
    // status says so (1), also when nobody saw a message box.
    bool settingsWereLost() const { return settingsLost; }

    // The image with the selected device; refreshGrid shows a change of the
    // whole image, bytesChanged one of a range.
    MemoryImage& image() { return img; }
    void refreshGrid();
    void bytesChanged(uint32_t first, uint32_t last);

    // The message line and the progress bar (0..1000).
    void showMessage(const std::string& text);
    void setProgress(int position);
    QString message() const { return messageLine->text(); }
    int progress() const { return progressBar->value(); }
    // Status panels 0..4: device, checksum, CRC, port, nothing.
    QString panelText(int i) const { return panels[size_t(i)]->text(); }
    QString panelToolTip(int i) const { return panels[size_t(i)]->toolTip(); }

    // The serial port, the programming run and its engine.
    TVaComm& port() { return commPort; }
    const ProgrammingRun& run() const { return programming; }
    const OperationEngine& engine() const { return programming.Engine(); }
    // An operation or a reset-line sequence runs: the commands that change
    // the image, the device or the port are disabled until it has ended.
    bool busy() const { return programming.Busy(); }
    // The 10 ms tick and the one-shot timer of the reset-line sequences.
    const QTimer& tickTimer() const { return *ticker; }
    const QTimer& lineTimer() const { return *lineWait; }
    // The line timer's time has come (tests with fake time call it).
    void lineWaitEnded();

    // The reset-line sequences (Setup > Change serial port), kept in the
    // per-user settings store; new ones are stored at once.
    const ResetLinesSetting& linesBefore() const { return before; }
    const ResetLinesSetting& linesAfter() const { return after; }
    void setResetLines(const ResetLinesSetting& linesBefore, const ResetLinesSetting& linesAfter);
    // The speed settings of the settings file (the serial dialog's).
    int32_t baudIndex() const { return rateIndex; }
    uint8_t autoBaud() const { return rateAuto; }

    // Where the sequences set the lines (the port's own DTR and RTS), and
    // the clock of their waits: tests put stand-ins here.
    void useLines(ModemLines* lines);
    void useClock(std::function<int64_t()> clock);

    // What the file dialogs remember; the save dialog's file type changed.
    const FileDialogState& openState() const { return openFile; }
    const FileDialogState& saveState() const { return saveFile; }
    QString saveTypeChanged(int filterIndex);

    BufferGrid& grid() { return *bufferGrid; }
    EditDialog& editDialog() { return *edit; }
    FillDialog& fillDialog() { return *fill; }
    LoadDialog& loadDialog() { return *loadBox; }
    SerialDialog& serialDialog() { return *serial; }
    DeviceDialog& deviceDialog() { return *device; }
    AboutBox& aboutBox() { return *aboutDialog; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // ProgrammingRunHost: the window's timers and clock, the message line,
    // the progress bar and the commands' state.
    Millis Now() override { return lineClock(); }
    void TicksNeeded(bool needed) override;
    void WakeAt(Millis when) override;
    void CancelWake() override;
    void ShowMessage(const std::string& text) override { showMessage(text); }
    void SetProgress(int position) override { setProgress(position); }
    void SequenceBegins(const char* name, const LineSequence& sequence) override;
    void SequenceFailed(const char* name, const std::string& error) override;
    void RunEnded(RunOutcome outcome) override;

    // Start-up and shut-down.
    void readSettings();
    void writeSettings();
    void buildMenus();
    void buildToolBar();
    void buildStatusBar();
    void buildDialogs();
    void loadResetLines();
    // The grid's columns and the message line follow the window's width.
    void fitToWidth();
    // Writes per-user settings; a store that cannot be written is
    // reported as the settings file is.
    void storeUserSettings(const std::vector<std::pair<QString, QVariant>>& values);
    // Opens the port as it is set; false when it does not open, with why in
    // portProblem: the component's message and the device the name led to.
    bool openPort();
    // The rate the speed settings name goes to the port.
    void applyBaudrate();
    // Panel 3's tooltip after the port has been opened or has failed to open.
    void showPortPanel();
    void setPanelText(int i, const QString& text) { panels[size_t(i)]->setText(text); }
    // The checksum and CRC panels from the image.
    void updateChecksums();
    // The message line's result no longer says anything of the image or
    // the port: it goes back to "Ready.".
    void resultOutdated();
    // Enables the commands that change the image, the device or the port,
    // or disables them while busy.
    void updateCommands();
    // True, with a message box naming the command, when busy: the command's
    // handler then does nothing (for a way in that is not disabled).
    bool refusedWhileBusy(const char* command);
    // A starting command: refused at once when nothing could come of it,
    // otherwise a programming run of this one step with the reset lines
    // that are on.
    void startCommand(RunStep step);
    // Calls into the run, then brings the commands' state up to date. A
    // failure of the port (a write that found no room) ends the run's step,
    // shows in the message line and goes on to the caller.
    void drive(void (ProgrammingRun::*action)());
    void drive(const std::function<void()>& action);
    // The port's device hung up or went away: the run ends at once with the
    // component's message, and the port stays closed.
    void portHungUp(const std::string& message);
    // Makes a modeless dialog visible and active.
    void showModeless(ModelessDialog* dialog);

    MemoryImage img;
    TVaComm commPort;
    PortOf<TVaComm> commLink{commPort};
    // Where the sequences set the lines: the port's own DTR and RTS, or a
    // test's stand-in, through this one indirection.
    class SelectedLines final : public ModemLines {
    public:
        ModemLines* Lines = nullptr;
        void CheckModemLines() override { Lines->CheckModemLines(); }
        void SetDTR(bool State) override { Lines->SetDTR(State); }
        void SetRTS(bool State) override { Lines->SetRTS(State); }
    };
    ModemLinesOf<TVaComm> commLines{commPort};
    SelectedLines lines;
    ProgrammingRun programming{img, commLink, lines, *this};
    std::function<int64_t()> lineClock;
    QElapsedTimer lineElapsed;
    ResetLinesSetting before, after;
    int32_t rateIndex = 6;
    uint8_t rateAuto = 0;
    FileDialogState openFile;
    FileDialogState saveFile;

    QToolBar* toolBar;
    QToolButton *programButton, *verifyButton, *eraseButton, *blankButton, *stopButton;
    QLineEdit* messageLine;
    BufferGrid* bufferGrid;
    QProgressBar* progressBar;
    std::array<QLabel*, 5> panels{};
    QTimer* ticker;
    QTimer* lineWait;
    QAction *loadAction, *saveAction, *exitAction, *editAction, *fillAction, *clearAction, *programAction,
        *verifyAction, *eraseAction, *blankCheckAction, *stopAction, *skipBlankBlocksAction, *serialPortAction,
        *deviceAction, *aboutAction, *editCellAction;
    QMenu* gridMenu;

    EditDialog* edit = nullptr;
    FillDialog* fill = nullptr;
    LoadDialog* loadBox = nullptr;
    SerialDialog* serial = nullptr;
    DeviceDialog* device = nullptr;
    AboutBox* aboutDialog = nullptr;

    bool closed = false;
    bool closingOnSignal = false;
    bool settingsLost = false;
    // Why no port is open (a failed open, a hang-up), for the port panel's
    // tooltip and a command's refusal; empty when none was tried.
    QString portProblem;
    // The progress bar is redrawn at most once per screen refresh: a value
    // that comes sooner waits in progressWanted for this single-shot timer.
    QTimer* progressHoldOff;
    int progressWanted = 0;
};

}  // namespace pelk

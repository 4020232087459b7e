#include "app/main_window.h"

#include <unistd.h>

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <utility>

#include "app/config_file.h"
#include "dialogs/about_box.h"
#include "dialogs/device_dialog.h"
#include "dialogs/edit_dialog.h"
#include "dialogs/fill_dialog.h"
#include "dialogs/icons.h"
#include "dialogs/load_dialog.h"
#include "dialogs/modeless_dialog.h"
#include "dialogs/prompts.h"
#include "framework/exception.h"
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
QString PortPanelText(int port) { return QStringLiteral("Port: COM%1").arg(port); }
const QString NotConnected = QStringLiteral("Port: not connected");

// The per-user settings store of our own additions (on Linux
// ~/.config/pelkisp/PelkISP.conf); PelkISP.cfg keeps its six lines.
class UserSettings : public QSettings {
public:
    UserSettings()
        : QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("pelkisp"), QStringLiteral("PelkISP")) {}
};
const QString SkipBlankBlocksKey = QStringLiteral("Programming/SkipBlankBlocks");
const QString LinesBeforeOnKey = QStringLiteral("ResetLines/BeforeOn");
const QString LinesBeforeKey = QStringLiteral("ResetLines/Before");
const QString LinesAfterOnKey = QStringLiteral("ResetLines/AfterOn");
const QString LinesAfterKey = QStringLiteral("ResetLines/After");

// The sequence a setting runs: none while it is off or does not parse.
std::optional<LineSequence> SequenceOf(const ResetLinesSetting& setting) {
    if (!setting.On || !setting.Parsed.Ok()) return std::nullopt;
    return setting.Parsed.Sequence;
}
}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Pelk ISP"));
    setWindowIcon(MakeIcon(IconKind::App));
    // The window's fixed geometry (the toolbar's buttons, the message line,
    // the status panels) was laid out for this font at this size; where it
    // is missing the system's nearest sans-serif stands in, and the minimum
    // size below makes room for a wider one.
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));

    lines.Lines = &commLines;
    buildMenus();
    buildToolBar();

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* messageFrame = new QFrame(central);
    messageFrame->setObjectName(QStringLiteral("messageFrame"));
    messageFrame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    messageFrame->setFixedHeight(35);
    messageLine = new QLineEdit(messageFrame);
    messageLine->setObjectName(QStringLiteral("messageLine"));
    messageLine->setReadOnly(true);
    messageLine->setFocusPolicy(Qt::NoFocus);
    messageLine->setGeometry(8, 7, 449, 21);
    QFont bold = messageLine->font();
    bold.setBold(true);
    messageLine->setFont(bold);
    QPalette yellow = messageLine->palette();
    yellow.setColor(QPalette::Base, QColor(0xFF, 0xFF, 0xE1));
    messageLine->setPalette(yellow);
    column->addWidget(messageFrame);

    bufferGrid = new BufferGrid(img, central);
    bufferGrid->setObjectName(QStringLiteral("bufferGrid"));
    bufferGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(bufferGrid, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { gridMenu->popup(bufferGrid->viewport()->mapToGlobal(at)); });
    connect(bufferGrid, &QAbstractItemView::clicked, this, [this] { Guarded([this] { gridClicked(); }); });
    connect(bufferGrid, &QAbstractItemView::doubleClicked, this, [this] { Guarded([this] { gridDoubleClicked(); }); });
    column->addWidget(bufferGrid, 1);

    progressBar = new QProgressBar(central);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, ProgressMax);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    progressBar->setFixedHeight(16);
    column->addWidget(progressBar);
    progressHoldOff = new QTimer(this);
    progressHoldOff->setSingleShot(true);
    connect(progressHoldOff, &QTimer::timeout, this, [this] {
        if (progressBar->value() == progressWanted) return;
        progressBar->setValue(progressWanted);
        progressHoldOff->start();
    });
    setCentralWidget(central);

    buildStatusBar();

    // The 10 ms tick. The run starts and stops it (TicksNeeded): it runs
    // while an operation, a start delay or a time-out is pending, and an
    // idle window does not wake up for it.
    ticker = new QTimer(this);
    ticker->setObjectName(QStringLiteral("ticker"));
    ticker->setTimerType(Qt::PreciseTimer);
    ticker->setInterval(10);
    connect(ticker, &QTimer::timeout, this, [this] { Guarded([this] { drive(&ProgrammingRun::Tick); }); });

    // The reset-line sequences wait on a one-shot timer, armed only while
    // one runs; the window never blocks for them.
    lineWait = new QTimer(this);
    lineWait->setObjectName(QStringLiteral("lineWait"));
    lineWait->setSingleShot(true);
    lineWait->setTimerType(Qt::PreciseTimer);
    connect(lineWait, &QTimer::timeout, this, [this] { Guarded([this] { lineWaitEnded(); }); });
    lineElapsed.start();
    lineClock = [this] { return int64_t(lineElapsed.elapsed()); };
    loadResetLines();

    // The port's settings for the ISP link: 9600 bit/s until the settings
    // file or the serial dialog says otherwise, no flow control, DTR and RTS
    // held inactive, 1000-byte queues, received bytes to the run.
    commPort.SetBaudrate(br9600);
    commPort.SetDeviceName("COM%d");
    commPort.Buffers().SetReadSize(1000);
    commPort.Buffers().SetWriteSize(1000);
    commPort.OnRxChar = [this](TVaCustomComm*, int) { Guarded([this] { drive(&ProgrammingRun::Received); }); };
    commPort.OnHangUp = [this](TVaCustomComm*, const std::string& message) {
        Guarded([&] { portHungUp(message); });
    };

    buildDialogs();

    // The smallest window still shows the grid's two-digit cells, its 16
    // characters and a few rows whole, and every status panel with its
    // longest text.
    // A status panel is never narrower than its longest text needs with its
    // frame and indent (half an "x" each side), which grow with the font;
    // the status bar's minimum then holds them all, the gaps and the grip.
    const char* longest[] = {"Device: W78LE516B", "Checksum: FFFF", "CRC: FFFF", "Port: not connected", ""};
    for (size_t i = 0; i < panels.size(); ++i) {
        panels[i]->setText(QString::fromLatin1(longest[i]));
        panels[i]->setMinimumWidth(std::max(panels[i]->minimumWidth(), panels[i]->sizeHint().width()));
        panels[i]->clear();
    }
    const int panelsWidth = statusBar()->minimumSizeHint().width();
    setMinimumSize(std::max(96 + 16 * bufferGrid->byteColumnMinWidth() + bufferGrid->charColumnMinWidth(), panelsWidth),
                   menuBar()->sizeHint().height() + 38 + 35 + 18 + 8 * 16 + 4 + 16 + statusBar()->sizeHint().height());
    // The size the window has always opened at: the grid's 16 byte columns
    // and their characters fit it with the original's font (see fitToWidth).
    resize(501, 581);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Guarded([this] { readSettings(); });
}

MainWindow::~MainWindow() {
    ticker->stop();
    commPort.OnRxChar = nullptr;
    commPort.OnHangUp = nullptr;
}

void MainWindow::buildMenus() {
    // Each caption has its Alt letter (&), and the usual commands their keys,
    // which the menus show beside them.
    auto action = [this](QMenu* menu, const char* name, const char* caption, void (MainWindow::*handler)(),
                         std::optional<IconKind> icon, QKeySequence keys = {}) {
        auto* a = new QAction(QString::fromLatin1(caption), this);
        a->setObjectName(QString::fromLatin1(name));
        if (icon) a->setIcon(MakeIcon(*icon));
        a->setShortcut(keys);
        connect(a, &QAction::triggered, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
        if (menu) menu->addAction(a);
        return a;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    loadAction = action(file, "loadAction", "&Load", &MainWindow::load, IconKind::Load, QKeySequence::Open);
    file->addSeparator();
    saveAction = action(file, "saveAction", "&Save", &MainWindow::save, IconKind::Save, QKeySequence::Save);
    file->addSeparator();
    exitAction = action(file, "exitAction", "E&xit", &MainWindow::exit, IconKind::Exit, QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* buffer = menuBar()->addMenu(QStringLiteral("&Buffer"));
    editAction = action(buffer, "editAction", "&Edit", &MainWindow::editCell, IconKind::Edit);
    buffer->addSeparator();
    fillAction = action(buffer, "fillAction", "&Fill", &MainWindow::fillBuffer, IconKind::Fill);
    buffer->addSeparator();
    clearAction = action(buffer, "clearAction", "&Clear", &MainWindow::clearBuffer, IconKind::Clear);

    QMenu* programming = menuBar()->addMenu(QStringLiteral("&Programming"));
    programAction = action(programming, "programAction", "&Program", &MainWindow::program, IconKind::Program, Qt::Key_F5);
    programming->addSeparator();
    verifyAction = action(programming, "verifyAction", "&Verify", &MainWindow::verify, IconKind::Verify, Qt::Key_F6);
    programming->addSeparator();
    eraseAction = action(programming, "eraseAction", "&Erase", &MainWindow::erase, IconKind::Erase, Qt::Key_F7);
    programming->addSeparator();
    blankCheckAction =
        action(programming, "blankCheckAction", "&Blank check", &MainWindow::blankCheck, IconKind::Blank, Qt::Key_F8);
    programming->addSeparator();
    stopAction = action(programming, "stopAction", "S&top", &MainWindow::stop, IconKind::Stop, Qt::Key_Escape);
    programming->addSeparator();
    skipBlankBlocksAction = new QAction(QStringLiteral("S&kip blank blocks"), this);
    skipBlankBlocksAction->setObjectName(QStringLiteral("skipBlankBlocksAction"));
    skipBlankBlocksAction->setCheckable(true);
    skipBlankBlocksAction->setChecked(UserSettings().value(SkipBlankBlocksKey, false).toBool());
    this->programming.Engine().SetSkipBlankBlocks(skipBlankBlocksAction->isChecked());
    connect(skipBlankBlocksAction, &QAction::toggled, this,
            [this](bool checked) { Guarded([this, checked] { setSkipBlankBlocks(checked); }); });
    programming->addAction(skipBlankBlocksAction);

    QMenu* setup = menuBar()->addMenu(QStringLiteral("&Setup"));
    serialPortAction =
        action(setup, "serialPortAction", "Change serial &port", &MainWindow::changeSerialPort, IconKind::Port);
    setup->addSeparator();
    deviceAction = action(setup, "deviceAction", "Select &device", &MainWindow::selectDevice, IconKind::Device);

    // "About" is a top-level entry without a submenu.
    aboutAction = action(nullptr, "aboutAction", "&About", &MainWindow::about, std::nullopt);
    menuBar()->addAction(aboutAction);

    gridMenu = new QMenu(this);
    gridMenu->setObjectName(QStringLiteral("gridMenu"));
    editCellAction = action(gridMenu, "editCellAction", "&Edit", &MainWindow::editCell, std::nullopt);

    // F10 opens the first menu, as on other desktops (Alt alone reaches the
    // menu bar by itself).
    auto* menuKey = new QAction(this);
    menuKey->setShortcut(Qt::Key_F10);
    connect(menuKey, &QAction::triggered, this, [this] { menuBar()->setActiveAction(menuBar()->actions().first()); });
    addAction(menuKey);
}

void MainWindow::buildToolBar() {
    toolBar = addToolBar(QStringLiteral("toolBar"));
    toolBar->setObjectName(QStringLiteral("toolBar"));
    toolBar->setMovable(false);
    toolBar->setFloatable(false);
    toolBar->setFixedHeight(38);
    toolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    toolBar->layout()->setSpacing(0);
    toolBar->layout()->setContentsMargins(0, 0, 0, 0);
    toolBar->setStyleSheet(QStringLiteral("QToolBar { spacing: 0px; padding: 0px; }"));
    auto button = [this](const char* name, const char* caption, void (MainWindow::*handler)(), IconKind icon,
                         const QAction* same) {
        auto* b = new QToolButton(toolBar);
        b->setObjectName(QString::fromLatin1(name));
        b->setText(QString::fromLatin1(caption));
        b->setToolTip(QStringLiteral("%1 (%2)").arg(QString::fromLatin1(caption),
                                                    same->shortcut().toString(QKeySequence::NativeText)));
        b->setIcon(MakeIcon(icon));
        b->setIconSize(QSize(20, 20));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setAutoRaise(true);
        b->setFixedSize(56, 30);
        connect(b, &QToolButton::clicked, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
        toolBar->addWidget(b);
        return b;
    };
    programButton = button("programButton", "Program", &MainWindow::program, IconKind::Program, programAction);
    verifyButton = button("verifyButton", "Verify", &MainWindow::verify, IconKind::Verify, verifyAction);
    eraseButton = button("eraseButton", "Erase", &MainWindow::erase, IconKind::Erase, eraseAction);
    blankButton = button("blankButton", "Blank", &MainWindow::blankCheck, IconKind::Blank, blankCheckAction);
    stopButton = button("stopButton", "Stop", &MainWindow::stop, IconKind::Stop, stopAction);
}

void MainWindow::buildStatusBar() {
    const int widths[5] = {100, 90, 70, 105, 40};
    for (size_t i = 0; i < panels.size(); ++i) {
        auto* panel = new QLabel(this);
        panel->setObjectName(QStringLiteral("panel%1").arg(i));
        // The panel widths suit the original's narrow font; with a wider one
        // a panel grows so that its text is never cut.
        panel->setMinimumWidth(widths[i]);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        statusBar()->addWidget(panel);
        panels[i] = panel;
    }
    statusBar()->setSizeGripEnabled(true);
}

void MainWindow::buildDialogs() {
    // Edit and Fill stay on top of the main window; all dialogs are hidden
    // until a command shows them, and go with the window.
    edit = new EditDialog(img, this);
    fill = new FillDialog(img, this);
    loadBox = new LoadDialog(img, this);
    serial = new SerialDialog(this);
    device = new DeviceDialog(this);
    aboutDialog = new AboutBox(this);
    connect(edit, &EditDialog::bytesChanged, this, &MainWindow::bytesChanged);
    connect(fill, &FillDialog::bytesChanged, this, &MainWindow::bytesChanged);
    // A speed picked in the serial dialog takes effect at once, also when
    // the dialog is then cancelled.
    connect(serial, &SerialDialog::baudChanged, this, [this](int32_t index, uint8_t autoBaud) {
        rateIndex = index;
        rateAuto = autoBaud;
        applyBaudrate();
    });
}

void MainWindow::readSettings() {
    // Settings of the last run (defaults when there is no file).
    const ConfigSettings settings = ReadConfigFile();
    openFile.InitialDir = QString::fromStdString(settings.Directory);
    rateIndex = settings.BaudIndex;
    rateAuto = settings.AutoBaud;
    img.DeviceIndex = settings.DeviceIndex;

    applyBaudrate();
    setPanelText(0, QString::fromStdString(ApplyDeviceIndex(img, img.DeviceIndex)));

    bufferGrid->gridModel().rebuildForDevice();
    img.Clear();
    refreshGrid();

    saveFile.DefaultExt = QStringLiteral("hex");
    messageLine->setText(QStringLiteral("Ready."));
    setPanelText(3, NotConnected);
    if (settings.PortNumber >= 1 && settings.PortNumber <= 4) {
        setPanelText(3, PortPanelText(settings.PortNumber));
        commPort.SetPortNum(settings.PortNumber);
    }
    // A port that does not open at start is shown in the status bar, and
    // why in its tooltip; a command given later says it too.
    if (!openPort()) setPanelText(3, NotConnected);
    showPortPanel();
}

void MainWindow::applyBaudrate() {
    // The automatic mode forces 9600 bit/s, and the settings file keeps
    // that index; an index that names no listed rate leaves the port's.
    const int32_t index = BaudIndexInEffect(rateIndex, rateAuto);
    if (rateAuto == 1) rateIndex = index;
    if (index >= 0) commPort.SetBaudrate(static_cast<TVaBaudrate>(static_cast<uint8_t>(index) + 1));
}

bool MainWindow::openPort() {
    try {
        commPort.Open();
        portProblem.clear();
        return true;
    } catch (const std::exception& e) {
        // The component names the port as given ("COM1"); the device that
        // name led to is named too, as pelkisp does.
        const std::string name = commPort.GetDeviceName();
        const std::string device = PortDevicePath(name);
        std::string why = e.what();
        if (commPort.PortNum() <= 0) why = "No serial port has been chosen.";
        else if (device.empty()) why += "\n" + name + " names no serial port of this machine";
        else if (why.find(device) == std::string::npos) why += "\n" + name + " is " + device;
        portProblem = QString::fromLocal8Bit(why.c_str());
        return false;
    }
}

void MainWindow::writeSettings() {
    if (closed) return;
    closed = true;
    ticker->stop();
    programming.PortGone();  // nothing more goes out; the port closes now
    lineWait->stop();
    if (commPort.Active()) commPort.Close();
    ConfigValues values;
    values.PortNum = commPort.PortNum();
    values.DeviceIndex = img.DeviceIndex;
    values.LastOpenedFile = openFile.FileName.toStdString();
    values.BaudIndex = rateIndex;
    values.AutoBaud = rateAuto;
    // A settings file that cannot be written (write-protected, a full disk)
    // keeps its old content; the user is told that this run's settings are
    // lost.
    std::string reason;
    if (WriteConfigFile(values, ConfigFileName, &reason)) return;
    settingsLost = true;
    const std::string text = std::string(msg::CantWriteFile) + "\n" + reason;
    std::fprintf(stderr, "PelkISP: %s: %s\n", msg::CantWriteFile, reason.c_str());
    if (!closingOnSignal) UserPrompts().MessageFrom(this, QString::fromLocal8Bit(text.c_str()));
}

void MainWindow::closeOnSignal() {
    closingOnSignal = true;
    close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    Guarded([this] { writeSettings(); });
    event->accept();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    fitToWidth();
}

void MainWindow::fitToWidth() {
    const int W = frameGeometry().width();
    // A byte column is never narrower than its two digits: the fonts that
    // stand in for the original's are wider. The characters take the rest,
    // which the window's minimum width keeps wide enough.
    const int a = std::max(static_cast<int>((W - 87) * 0.65 * 0.0625), bufferGrid->byteColumnMinWidth());
    bufferGrid->setColumnWidths(50, a, W - 96 - 16 * a);
    messageLine->resize(std::max(0, W - 22), messageLine->height());
    const int buttonWidth = std::max(0, (W - 10) / 5);
    for (QToolButton* b : {programButton, verifyButton, eraseButton, blankButton, stopButton}) b->setFixedWidth(buttonWidth);
}

void MainWindow::showMessage(const std::string& text) {
    messageLine->setText(QString::fromStdString(text));
    messageLine->setCursorPosition(0);  // a text longer than the line shows its start
}

void MainWindow::setProgress(int position) {
    // A block goes out every few hundred microseconds, and the bar repaints
    // itself at once on every change it can show: at that rate the repaints
    // would cost more than the rest of the block. So a value is drawn at
    // once only when none was drawn during the last screen refresh; a later
    // one waits for the hold-off to end, and the last one is always drawn.
    // 0 (start, end, Stop, failure) is drawn at once.
    progressWanted = position;
    if (progressHoldOff->isActive() && position != 0) return;
    progressBar->setValue(position);
    const QScreen* shown = screen();
    const double rate = shown ? shown->refreshRate() : 0;
    progressHoldOff->start(rate >= 1 ? std::max(1, int(1000 / rate)) : 16);
}

void MainWindow::refreshGrid() {
    bufferGrid->gridModel().refreshAll();
    updateChecksums();
    resultOutdated();
}

void MainWindow::bytesChanged(uint32_t first, uint32_t last) {
    if (first <= last) bufferGrid->gridModel().bytesChanged(first, last);
    updateChecksums();
    resultOutdated();
}

void MainWindow::resultOutdated() {
    // "Device programmed." said of an image or a port that has changed
    // since would say it of the new one.
    if (!busy()) messageLine->setText(QStringLiteral("Ready."));
}

void MainWindow::updateCommands() {
    const bool idle = !busy();
    for (QAction* a : {loadAction, clearAction, serialPortAction, deviceAction}) a->setEnabled(idle);
    fill->setBusy(!idle);
    edit->setBusy(!idle);
}

bool MainWindow::refusedWhileBusy(const char* command) {
    if (!busy()) return false;
    UserPrompts().Message(BusyRefusal(command));
    return true;
}

void MainWindow::updateChecksums() {
    const ChecksumSummary sum = ComputeChecksumSummary(img);
    setPanelText(1, QString::fromStdString(sum.ChecksumText()));
    setPanelText(2, QString::fromStdString(sum.CrcText()));
}

void MainWindow::showPortPanel() {
    // The panel keeps its "Port: COMn" text; its tooltip names the device
    // that COMn stands for on this machine, or why no port is open.
    panels[3]->setToolTip(commPort.Active() ? QString::fromStdString(commPort.DevicePath()) : portProblem);
}

void MainWindow::exit() { close(); }

void MainWindow::clearBuffer() {
    if (refusedWhileBusy("Buffer > Clear")) return;
    img.Clear();
    refreshGrid();
}

void MainWindow::program() { startCommand({&OperationEngine::StartProgram, msg::DeviceProgrammed}); }
void MainWindow::verify() { startCommand({&OperationEngine::StartVerify, msg::VerificationOk}); }
void MainWindow::erase() { startCommand({&OperationEngine::StartErase, msg::DeviceErased}); }
void MainWindow::blankCheck() { startCommand({&OperationEngine::StartBlankCheck, msg::DeviceBlank}); }

void MainWindow::stop() {
    programming.Stop();
    updateCommands();
}

void MainWindow::loadResetLines() {
    UserSettings settings;
    before = ResetLinesSetting::Of(settings.value(LinesBeforeOnKey, false).toBool(),
                                   settings.value(LinesBeforeKey).toString());
    after = ResetLinesSetting::Of(settings.value(LinesAfterOnKey, false).toBool(),
                                  settings.value(LinesAfterKey).toString());
}

void MainWindow::setResetLines(const ResetLinesSetting& linesBefore, const ResetLinesSetting& linesAfter) {
    before = linesBefore;
    after = linesAfter;
    storeUserSettings({{LinesBeforeOnKey, before.On},
                       {LinesBeforeKey, before.Text},
                       {LinesAfterOnKey, after.On},
                       {LinesAfterKey, after.Text}});
}

void MainWindow::storeUserSettings(const std::vector<std::pair<QString, QVariant>>& values) {
    UserSettings settings;
    for (const auto& [key, value] : values) settings.setValue(key, value);
    settings.sync();
    if (settings.status() == QSettings::NoError) return;
    std::string reason = settings.fileName().toStdString() + ": the settings could not be saved";
#ifndef _WIN32
    // The store tells no reason; its folder or its file does. (On Windows
    // the store is the registry, which has neither.)
    namespace fs = std::filesystem;
    const fs::path file = settings.fileName().toStdString();
    const fs::path folder = file.parent_path();
    std::error_code ec;
    if (fs::exists(folder, ec) && !fs::is_directory(folder, ec)) {
        reason = folder.string() + ": not a folder";
    } else if (!fs::create_directories(folder, ec) && ec) {
        reason = folder.string() + ": " + ec.message();
    } else if (access(file.c_str(), W_OK) != 0 && errno != ENOENT) {
        reason = file.string() + ": " + std::strerror(errno);
    }
#endif
    std::fprintf(stderr, "PelkISP: %s: %s\n", msg::CantWriteFile, reason.c_str());
    UserPrompts().Message(QString::fromLocal8Bit(
        (std::string(msg::CantWriteFile) + "\n" + reason + "\nThe change holds until the window is closed.").c_str()));
}

void MainWindow::startCommand(RunStep step) {
    // Refused at once, before any line moves, when nothing could come of
    // it: no block to walk, or no port to send through. What runs goes on.
    const bool walk = step.Start == &OperationEngine::StartProgram || step.Start == &OperationEngine::StartVerify;
    if (walk && programming.Engine().SkipBlankBlocks() && BlockPlan::DataBlocks(img).Blocks.empty()) {
        showMessage(step.Start == &OperationEngine::StartProgram ? msg::NothingToProgram : msg::NothingToVerify);
        return;
    }
    if (!commPort.Active()) {
        QString why = portProblem;
        if (why.isEmpty() || commPort.PortNum() <= 0) why = QStringLiteral("choose one in Setup > Change serial port.");
        showMessage("No serial port is open: " + why.replace(u'\n', QStringLiteral("; ")).toStdString());
        return;
    }
    // A sequence that is on but cannot run (a text that does not parse, a
    // port without modem lines) is said before anything is done, so that
    // its message never stands in place of an operation's result.
    for (const auto& [setting, name] : {std::pair{&before, LinesBeforeName}, std::pair{&after, LinesAfterName}}) {
        if (setting->On && !setting->Parsed.Ok()) {
            showMessage(std::string(name) + ": " + setting->Parsed.Error);
            return;
        }
    }
    programming.SetSequences(SequenceOf(before), SequenceOf(after));
    if (const std::string problem = programming.LinesProblem(); !problem.empty()) {
        showMessage(problem);
        return;
    }
    // The reply time-out follows the port's rate as it is now. The newest
    // command wins, as the engine's own commands replace a running
    // operation: a sequence still running for the last command is dropped
    // where it stands.
    programming.Engine().SetLineRate(BaudrateValue(commPort.Baudrate()));
    drive([&] { programming.Begin({step}); });
}

void MainWindow::drive(void (ProgrammingRun::*action)()) {
    drive([this, action] { (programming.*action)(); });
}

void MainWindow::drive(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        programming.Fail();
        showMessage(e.what());
        updateCommands();
        throw;
    }
    updateCommands();
}

void MainWindow::SequenceBegins(const char* name, const LineSequence& sequence) {
    if (std::string_view(name) != ProgrammingRun::BeforeName) return;
    // A sequence may wait for seconds: the message line says why nothing
    // seems to happen.
    setProgress(0);
    showMessage(std::string(LinesBeforeName) + ": " + sequence.Text() + "...");
}

void MainWindow::SequenceFailed(const char* name, const std::string& error) {
    const bool first = std::string_view(name) == ProgrammingRun::BeforeName;
    showMessage(std::string(first ? LinesBeforeName : LinesAfterName) + ": " + error);
}

void MainWindow::RunEnded(RunOutcome) { updateCommands(); }

void MainWindow::TicksNeeded(bool needed) {
    if (needed == ticker->isActive()) return;  // a running timer keeps its phase
    if (needed && !closed) ticker->start();
    else ticker->stop();
}

void MainWindow::WakeAt(Millis when) {
    lineWait->start(int(std::clamp<int64_t>(when - lineClock(), 0, INT_MAX)));
}

void MainWindow::CancelWake() { lineWait->stop(); }

void MainWindow::lineWaitEnded() { drive(&ProgrammingRun::Wake); }

void MainWindow::useLines(ModemLines* standIn) { lines.Lines = standIn ? standIn : &commLines; }

void MainWindow::useClock(std::function<int64_t()> clock) {
    lineClock = clock ? std::move(clock) : std::function<int64_t()>([this] { return int64_t(lineElapsed.elapsed()); });
}

void MainWindow::setSkipBlankBlocks(bool on) {
    if (skipBlankBlocksAction->isChecked() != on) return skipBlankBlocksAction->setChecked(on);  // comes back here
    programming.Engine().SetSkipBlankBlocks(on);  // from the next Program or Verify on
    storeUserSettings({{SkipBlankBlocksKey, on}});
}

void MainWindow::portHungUp(const std::string& message) {
    // One message in the message line, no retries into a device that is
    // gone: the run ends, the port closes, and "Port: not connected" stays
    // until the user opens a port again. PortNum is kept, so the settings
    // still name the port the user chose. "After" does not follow: the
    // device is gone and there are no lines left to set.
    programming.PortGone();
    setProgress(0);
    showMessage(message);
    commPort.Close();
    portProblem = QString::fromLocal8Bit(message.c_str());
    setPanelText(3, NotConnected);
    showPortPanel();
    updateCommands();
}

void MainWindow::selectDevice() {
    if (refusedWhileBusy("Setup > Select device")) return;
    const uint8_t d = device->chooseDevice(img.DeviceIndex);
    if (d == 0) return;
    const uint32_t previousLast = img.LastAddress;
    img.DeviceIndex = d;
    setPanelText(0, QString::fromStdString(ApplyDeviceIndex(img, d)));
    bufferGrid->gridModel().rebuildForDevice();
    refreshGrid();
    edit->deviceChanged();
    fill->deviceChanged(previousLast);
}

void MainWindow::changeSerialPort() {
    if (refusedWhileBusy("Setup > Change serial port")) return;
    // The port in use, or the one chosen last that did not open or has hung
    // up: checked in the dialog, and tried again by Cancel.
    const int a = commPort.PortNum();
    if (commPort.Active()) commPort.Close();
    const bool ok = serial->execute(a, rateIndex, rateAuto, before, after);
    if (ok) setResetLines(serial->linesBefore(), serial->linesAfter());
    commPort.SetPortNum(ok ? serial->selectedPort() : a);
    if (openPort()) {
        if (commPort.PortNum() >= 1 && commPort.PortNum() <= 4) setPanelText(3, PortPanelText(commPort.PortNum()));
    } else {
        // The component's message and the device the name led to, as
        // pelkisp gives them.
        UserPrompts().Message(QStringLiteral("Serial Port not available\n") + portProblem);
        setPanelText(3, NotConnected);
        // A port chosen with OK that does not open is forgotten; Cancel
        // keeps the one that was in use, so that the next start tries it.
        if (ok) commPort.SetPortNum(0);
    }
    showPortPanel();
    resultOutdated();
}

void MainWindow::about() { UserPrompts().ExecDialog(*aboutDialog); }

void MainWindow::gridClicked() {
    const int k = bufferGrid->selectedColumn();
    const int r = bufferGrid->selectedRow();
    if (k == BufferGrid::CharGridColumn) {
        bufferGrid->setToolTip(QStringLiteral("ASCII"));
        return;
    }
    const uint32_t address = uint32_t(r - 1) * 16 + uint32_t(k - 1);
    bufferGrid->setToolTip(
        QString::asprintf("%05lX hex; %06ld dec ", static_cast<unsigned long>(address), static_cast<long>(address)));
    edit->showCell(address);
}

void MainWindow::gridDoubleClicked() { editCell(); }

void MainWindow::editCell() {
    // Opened, the dialog shows the grid's selected cell (also one chosen
    // with the keys); already open, it keeps the address the user typed.
    if (!edit->isVisible()) {
        std::optional<uint32_t> cell;
        const int k = bufferGrid->selectedColumn();
        const int r = bufferGrid->selectedRow();
        if (r >= 1 && k >= 1 && k != BufferGrid::CharGridColumn) cell = uint32_t(r - 1) * 16 + uint32_t(k - 1);
        edit->showSelectedCell(cell);
    }
    showModeless(edit);
}

void MainWindow::fillBuffer() { showModeless(fill); }

void MainWindow::showModeless(ModelessDialog* dialog) {
    // The first time at the main window's right edge, Edit above Fill, so
    // that neither hides the other; later where the user left it.
    const QRect frame = frameGeometry();
    const int x = frame.right() - dialog->frameGeometry().width() - 16;
    const int y = frame.top() + 100 + (dialog == fill ? edit->frameGeometry().height() + 24 : 0);
    dialog->showAt(QPoint(x, y));
}

namespace {
// File messages, shown together in one message box once the file is
// closed, with the file and the reason when the function gives one ("Can't
// open file" and "/x/fw.hex: No such file or directory" below it).
class PromptReporter final : public FileReporter {
public:
    void Message(const std::string& text) override { said.push_back(text); }
    void MessageWithReason(const std::string& text, const std::string& reason) override {
        said.push_back(text + "\n" + reason);
    }
    // Shows what was said and `more` lines after it, if anything.
    void show(const std::vector<std::string>& more = {}) {
        said.insert(said.end(), more.begin(), more.end());
        std::string text;
        for (const std::string& line : said) text += (text.empty() ? "" : "\n") + line;
        said.clear();
        if (!text.empty()) UserPrompts().Message(QString::fromLocal8Bit(text.c_str()));
    }

private:
    std::vector<std::string> said;
};

std::string Hex5Text(uint64_t value) {
    return QString::asprintf("%05llX", static_cast<unsigned long long>(value)).toStdString();
}

std::string Count(uint64_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

// What a read leaves out of the file and why, in pelkisp's words; `nothing`
// is set when the file gives nothing to load.
std::vector<std::string> LeftOut(const ImageFileFacts& facts, const MemoryImage& image, bool& nothing) {
    std::vector<std::string> lines;
    const HexFileFacts& hex = facts.HexFacts;
    const std::string device = FindDevice(image.DeviceIndex)->RadioCaption;
    const std::string doesNotFit = " the " + device + " (last address " + Hex5Text(image.LastAddress) + ")";
    nothing = image.LoadedExtent == 0;
    if (facts.Hex && hex.DataRecords == 0 && !hex.EndRecord && !hex.FirstErrors.empty()) {
        // Not one record: whatever its name says, this is no HEX file.
        const HexRecordError& e = hex.FirstErrors.front();
        return {"not an Intel HEX file (line " + std::to_string(e.Line) + ": " + e.Reason + ")"};
    }
    if (facts.Hex) {
        for (const HexRecordError& e : hex.FirstErrors) lines.push_back("line " + std::to_string(e.Line) + ": " + e.Reason);
        if (hex.RecordErrors > hex.FirstErrors.size())
            lines.push_back("and " + Count(hex.RecordErrors - hex.FirstErrors.size(), "more record error", "more record errors"));
        if (!hex.EndRecord) lines.push_back("no end record (:00000001FF): the file may be cut short");
        if (hex.BytesLeftOut > 0)
            lines.push_back("data up to " + Hex5Text(hex.DataEnd - 1) + " does not fit" + doesNotFit + ": " +
                            Count(hex.BytesLeftOut, "byte", "bytes") + " left out");
    } else if (facts.Binary.Longer) {
        lines.push_back((facts.Binary.Size > 0 ? Count(facts.Binary.Size, "byte", "bytes") + " (up to " +
                                                      Hex5Text(facts.Binary.Size - 1) + ") do not fit"
                                                : "more than " + Count(image.LastAddress + 1ull, "byte", "bytes") +
                                                      " do not fit") +
                        doesNotFit + ": the bytes after " + Hex5Text(image.LastAddress) + " are left out");
    }
    if (nothing && lines.empty()) lines.push_back(facts.Hex ? "nothing loaded: no data record" : "nothing loaded: the file is empty");
    return lines;
}
}  // namespace

void MainWindow::load() {
    if (refusedWhileBusy("File > Load")) return;
    FileDialogRequest request;
    request.Filter = QString::fromLatin1(FileFilter);
    request.Directory = openFile.FileName.isEmpty() ? openFile.InitialDir : QFileInfo(openFile.FileName).absolutePath();
    request.FileName = openFile.FileName;
    request.FilterIndex = openFile.FilterIndex;
    const auto chosen = UserPrompts().OpenFile(request);
    if (!chosen) return;
    openFile.FileName = chosen->FileName;
    openFile.FilterIndex = chosen->FilterIndex;

    // The HEX entry reads Intel HEX. Under "All Files", and for a HEX name
    // (.hex, .ihx, .ihex) under any entry, the content decides as it does
    // for pelkisp: a file whose first line is a record is HEX, so a HEX
    // file is never loaded as its text because of the type chosen last.
    PromptReporter reporter;
    auto staging = std::make_unique<StagingBuffer>();
    const std::filesystem::path path = chosen->FileName.toStdString();
    const ImageFileFormat format = chosen->FilterIndex == 1                              ? ImageFileFormat::Hex
                                   : chosen->FilterIndex == 3 || NameSaysIntelHex(path) ? ImageFileFormat::ByContent
                                                                                         : ImageFileFormat::Binary;
    ImageFileFacts facts;
    if (!ReadImageFile(path, img, *staging, reporter, format, &facts)) return reporter.show();

    // What the file leaves out is told before the image changes; a file
    // that gives nothing loads nothing.
    const std::string name = QFileInfo(chosen->FileName).fileName().toStdString();
    bool nothing = false;
    std::vector<std::string> told = LeftOut(facts, img, nothing);
    for (std::string& line : told) line = name + ": " + line;
    reporter.show(told);
    if (nothing) return;

    if (!loadBox->execute(QDir::toNativeSeparators(QFileInfo(chosen->FileName).absoluteFilePath()),
                          facts.Hex ? QStringLiteral("HEX") : QStringLiteral("BIN")))
        return;
    const LoadSelection selection = loadBox->selection();
    const uint64_t wanted = uint64_t{selection.InputStopValue} - selection.InputStartValue + 1;
    const uint64_t destination =
        selection.BufferOffsetValue + (selection.Bank1 && img.DeviceIndex == BankedDeviceIndex ? BankSize : 0);
    if (destination + wanted - 1 > img.LastAddress)
        UserPrompts().Message(QString::fromStdString(
            name + ": offset " + Hex5Text(selection.BufferOffsetValue) + ": data up to " +
            Hex5Text(destination + wanted - 1) + " does not fit the " + FindDevice(img.DeviceIndex)->RadioCaption +
            " (last address " + Hex5Text(img.LastAddress) + ")"));
    const LoadPlacement placed = CopyStagedData(img, *staging, selection);
    bufferGrid->setTopRow(int(placed.GridTopRow));
    refreshGrid();
}

QString MainWindow::saveTypeChanged(int filterIndex) {
    switch (filterIndex) {
        case 1: saveFile.DefaultExt = QStringLiteral("hex"); break;
        case 2: saveFile.DefaultExt = QStringLiteral("bin"); break;
        default: saveFile.DefaultExt.clear(); break;
    }
    saveFile.FilterIndex = filterIndex;
    return saveFile.DefaultExt;
}

void MainWindow::save() {
    FileDialogRequest request;
    request.Filter = QString::fromLatin1(FileFilter);
    request.Directory = saveFile.FileName.isEmpty() ? openFile.InitialDir : QFileInfo(saveFile.FileName).absolutePath();
    request.DefaultExt = saveFile.DefaultExt;
    request.FilterIndex = saveFile.FilterIndex;
    request.ConfirmOverwrite = true;
    request.TypeChanged = [this](int index) { return saveTypeChanged(index); };
    const auto chosen = UserPrompts().SaveFile(request);
    if (!chosen) return;
    saveFile.FileName = chosen->FileName;
    saveFile.FilterIndex = chosen->FilterIndex;
    PromptReporter reporter;
    const std::filesystem::path path = chosen->FileName.toStdString();
    if (chosen->FilterIndex == 2 || chosen->FilterIndex == 3) {
        saveFile.DefaultExt = QStringLiteral("bin");  // for the next use of the dialog
        WriteBinaryFile(path, img, reporter);
    } else {
        WriteHexFile(path, img, reporter);
    }
    reporter.show();
}

}  // namespace pelk

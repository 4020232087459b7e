#include "app/formularz.h"

#include <unistd.h>

#include <QCloseEvent>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <utility>
#include <QMenuBar>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QVBoxLayout>

#include "app/about_box.h"
#include "app/config_file.h"
#include "app/icons.h"
#include "app/prompts.h"
#include "app/windows.h"
#include "dialogs/device_dialog.h"
#include "dialogs/edit_dialog.h"
#include "dialogs/filldial.h"
#include "dialogs/load_dialog.h"
#include "dialogs/serial_dialog.h"
#include "framework/exception.h"
#include "image/checksum_summary.h"
#include "serial/posix/device_names.h"
#include "image/device_table.h"
#include "image/file_load.h"
#include "image/file_writer.h"
#include "image/hex_reader.h"
#include "image/image_file.h"
#include "protocol/block_plan.h"
#include "dialogs/modeless_dialog.h"

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
}  // namespace

TFormularz::TFormularz(QWidget* parent) : QMainWindow(parent) {
    // The global instance names the window from the start: its creation
    // (FormCreate) already runs code that reaches it through the global.
    Formularz = this;
    setObjectName(QStringLiteral("Formularz"));
    setWindowTitle(QStringLiteral("Pelk ISP"));
    setWindowIcon(MakeIcon(IconKind::App));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));

    BuildMenus();
    BuildToolBar();

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    Bevel1 = new QFrame(central);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Bevel1->setFixedHeight(35);
    Komunikat = new QLineEdit(QStringLiteral("Komunikat"), Bevel1);
    Komunikat->setObjectName(QStringLiteral("Komunikat"));
    Komunikat->setReadOnly(true);
    Komunikat->setFocusPolicy(Qt::NoFocus);
    Komunikat->setGeometry(8, 7, 449, 21);
    QFont bold = Komunikat->font();
    bold.setBold(true);
    Komunikat->setFont(bold);
    QPalette yellow = Komunikat->palette();
    yellow.setColor(QPalette::Base, QColor(0xFF, 0xFF, 0xE1));
    Komunikat->setPalette(yellow);
    column->addWidget(Bevel1);

    Tablica = new BufferGrid(Image, central);
    Tablica->setObjectName(QStringLiteral("Tablica"));
    Tablica->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Tablica, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(Tablica->viewport()->mapToGlobal(at)); });
    connect(Tablica, &QAbstractItemView::clicked, this, [this] { Guarded([this] { TablicaClick(); }); });
    connect(Tablica, &QAbstractItemView::doubleClicked, this, [this] { Guarded([this] { TablicaDblClick(); }); });
    column->addWidget(Tablica, 1);

    Progress = new QProgressBar(central);
    Progress->setObjectName(QStringLiteral("Progress"));
    Progress->setRange(0, ProgressMax);
    Progress->setValue(0);
    Progress->setTextVisible(false);
    Progress->setFixedHeight(16);
    column->addWidget(Progress);
    ProgressHoldOff = new QTimer(this);
    ProgressHoldOff->setSingleShot(true);
    connect(ProgressHoldOff, &QTimer::timeout, this, [this] {
        if (Progress->value() == ProgressWanted) return;
        Progress->setValue(ProgressWanted);
        ProgressHoldOff->start();
    });
    setCentralWidget(central);

    BuildStatusBar();

    // The 10 ms tick. The engine starts and stops it (TicksNeeded): it runs
    // while an operation, a start delay or a timeout is pending, and an idle
    // window does not wake up for it. Nothing in the start-up sequence can
    // therefore leave it stopped while the engine needs it.
    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setTimerType(Qt::PreciseTimer);
    Timer->setInterval(10);
    connect(Timer, &QTimer::timeout, this, [this] { Guarded([this] { TimerTimer(); }); });
    Engine.Ticks = this;

    // The reset-line sequences wait on a one-shot timer, armed only while
    // one runs; the window never blocks for them.
    LineTimer = new QTimer(this);
    LineTimer->setObjectName(QStringLiteral("LineTimer"));
    LineTimer->setSingleShot(true);
    LineTimer->setTimerType(Qt::PreciseTimer);
    connect(LineTimer, &QTimer::timeout, this, [this] { Guarded([this] { LineTimerTimer(); }); });
    LineElapsed.start();
    LineClock = [this] { return int64_t(LineElapsed.elapsed()); };
    LoadResetLines();

    // The port's settings for the ISP link: 9600 bit/s until the settings
    // file or the serial dialog says otherwise, no flow control, DTR and RTS
    // held inactive, 1000-byte queues, received bytes to CommPortRxChar.
    CommPort.SetBaudrate(br9600);
    CommPort.SetDeviceName("COM%d");
    CommPort.Buffers().SetReadSize(1000);
    CommPort.Buffers().SetWriteSize(1000);
    CommPort.OnRxChar = [this](TVaCustomComm* sender, int count) { CommPortRxChar(sender, count); };
    CommPort.OnHangUp = [this](TVaCustomComm* sender, const std::string& message) {
        Guarded([&] { CommPortHangUp(sender, message); });
    };

    // The smallest window still shows the grid's two-digit cells, its 16
    // characters and a few rows whole, and every status panel with its
    // longest text.
    int panels = 32;  // the size grip and the gaps
    for (int i = 0; i < 5; ++i) {
        const char* longest[] = {"Device: W78LE516B", "Checksum: FFFF", "CRC: FFFF", "Port: not connected", ""};
        panels += std::max(Panels[size_t(i)]->minimumWidth(),
                           Panels[size_t(i)]->fontMetrics().horizontalAdvance(QString::fromLatin1(longest[i])) + 8);
    }
    setMinimumSize(std::max(96 + 16 * Tablica->ByteColumnMinWidth() + Tablica->CharColumnMinWidth(), panels),
                   menuBar()->sizeHint().height() + 38 + 35 + 18 + 8 * 16 + 4 + 16 + statusBar()->sizeHint().height());
    resize(501, 581);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Guarded([this] { FormCreate(); });
}

TFormularz::~TFormularz() {
    Engine.Ticks = nullptr;
    Timer->stop();
    CommPort.OnRxChar = nullptr;
    CommPort.OnHangUp = nullptr;
}

void TFormularz::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ReportException(e);
    }
}

void TFormularz::BuildMenus() {
    // Each caption has its Alt letter (&), and the usual commands their keys,
    // which the menus show beside them.
    auto action = [this](QMenu* menu, const char* name, const char* caption, void (TFormularz::*handler)(),
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
    LoadPlik = action(file, "LoadPlik", "&Load", &TFormularz::SpeedButton1Click, IconKind::Load, QKeySequence::Open);
    file->addSeparator();
    Save1 = action(file, "Save1", "&Save", &TFormularz::SpeedButton2Click, IconKind::Save, QKeySequence::Save);
    file->addSeparator();
    Exit1 = action(file, "Exit1", "E&xit", &TFormularz::Exit1Click, IconKind::Exit, QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* buffer = menuBar()->addMenu(QStringLiteral("&Buffer"));
    EditCell = action(buffer, "EditCell", "&Edit", &TFormularz::EditCellClick, IconKind::Edit);
    buffer->addSeparator();
    FillBuffer = action(buffer, "FillBuffer", "&Fill", &TFormularz::FillBufferClick, IconKind::Fill);
    buffer->addSeparator();
    Clear1 = action(buffer, "Clear1", "&Clear", &TFormularz::Clear1Click, IconKind::Clear);

    QMenu* programming = menuBar()->addMenu(QStringLiteral("&Programming"));
    Start1 = action(programming, "Start1", "&Program", &TFormularz::Start1Click, IconKind::Program, Qt::Key_F5);
    programming->addSeparator();
    Stop2 = action(programming, "Stop2", "&Verify", &TFormularz::Stop2Click, IconKind::Verify, Qt::Key_F6);
    programming->addSeparator();
    Erase1 = action(programming, "Erase1", "&Erase", &TFormularz::Erase1Click, IconKind::Erase, Qt::Key_F7);
    programming->addSeparator();
    Blankcheck1 =
        action(programming, "Blankcheck1", "&Blank check", &TFormularz::Blankcheck1Click, IconKind::Blank, Qt::Key_F8);
    programming->addSeparator();
    Erase2 = action(programming, "Erase2", "S&top", &TFormularz::Tab5Click, IconKind::Stop, Qt::Key_Escape);
    programming->addSeparator();
    Skipblankblocks1 = new QAction(QStringLiteral("S&kip blank blocks"), this);
    Skipblankblocks1->setObjectName(QStringLiteral("Skipblankblocks1"));
    Skipblankblocks1->setCheckable(true);
    Skipblankblocks1->setChecked(UserSettings().value(SkipBlankBlocksKey, false).toBool());
    Engine.SkipBlankBlocks = Skipblankblocks1->isChecked();
    connect(Skipblankblocks1, &QAction::toggled, this,
            [this](bool checked) { Guarded([this, checked] { Skipblankblocks1Click(checked); }); });
    programming->addAction(Skipblankblocks1);

    QMenu* setup = menuBar()->addMenu(QStringLiteral("&Setup"));
    Changeserialport1 = action(setup, "Changeserialport1", "Change serial &port",
                               &TFormularz::Changeserialport1Click, IconKind::Port);
    setup->addSeparator();
    Selectdevice1 = action(setup, "Selectdevice1", "Select &device", &TFormularz::Selectdevice1Click, IconKind::Device);

    // "About" is a top-level entry without a submenu.
    About1 = action(nullptr, "About1", "&About", &TFormularz::About1Click, std::nullopt);
    menuBar()->addAction(About1);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Edit1 = action(PopupMenu1, "Edit1", "&Edit", &TFormularz::EditCellClick, std::nullopt);

    // F10 opens the first menu, as on other desktops (Alt alone reaches the
    // menu bar by itself).
    auto* menuKey = new QAction(this);
    menuKey->setShortcut(Qt::Key_F10);
    connect(menuKey, &QAction::triggered, this, [this] { menuBar()->setActiveAction(menuBar()->actions().first()); });
    addAction(menuKey);
}

void TFormularz::BuildToolBar() {
    ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setFixedHeight(38);
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    ToolBar1->layout()->setSpacing(0);
    ToolBar1->layout()->setContentsMargins(0, 0, 0, 0);
    ToolBar1->setStyleSheet(QStringLiteral("QToolBar { spacing: 0px; padding: 0px; }"));
    auto button = [this](const char* name, const char* caption, void (TFormularz::*handler)(), IconKind icon,
                         const QAction* same) {
        auto* b = new QToolButton(ToolBar1);
        b->setObjectName(QString::fromLatin1(name));
        b->setText(QString::fromLatin1(caption));
        b->setToolTip(QStringLiteral("%1 (%2)").arg(QString::fromLatin1(caption), same->shortcut().toString(QKeySequence::NativeText)));
        b->setIcon(MakeIcon(icon));
        b->setIconSize(QSize(20, 20));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setAutoRaise(true);
        b->setFixedSize(56, 30);
        connect(b, &QToolButton::clicked, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
        ToolBar1->addWidget(b);
        return b;
    };
    Tab1 = button("Tab1", "Program", &TFormularz::Start1Click, IconKind::Program, Start1);
    Tab2 = button("Tab2", "Verify", &TFormularz::Stop2Click, IconKind::Verify, Stop2);
    Tab3 = button("Tab3", "Erase", &TFormularz::Erase1Click, IconKind::Erase, Erase1);
    Tab4 = button("Tab4", "Blank", &TFormularz::Blankcheck1Click, IconKind::Blank, Blankcheck1);
    Tab5 = button("Tab5", "Stop", &TFormularz::Tab5Click, IconKind::Stop, Erase2);
}

void TFormularz::BuildStatusBar() {
    const int widths[5] = {100, 90, 70, 105, 40};
    for (int i = 0; i < 5; ++i) {
        auto* panel = new QLabel(this);
        panel->setObjectName(QStringLiteral("Panel%1").arg(i));
        // The panel widths suit the original's narrow font; with a wider one
        // a panel grows so that its text is never cut.
        panel->setMinimumWidth(widths[i]);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        statusBar()->addWidget(panel);
        Panels[size_t(i)] = panel;
    }
    statusBar()->setSizeGripEnabled(true);
}

void TFormularz::FormCreate() {
    // Settings of the last run (defaults when there is no file).
    const ConfigSettings settings = ReadConfigFile();
    Open.InitialDir = QString::fromStdString(settings.Directory);
    BaudIndex = settings.BaudIndex;
    AutoBaud = settings.AutoBaud;
    Image.DeviceIndex = settings.DeviceIndex;

    ApplyBaudrate();
    SetPanelText(0, QString::fromStdString(ApplyDeviceIndex(Image, Image.DeviceIndex)));

    BuildGrid();
    Image.Clear();
    RefreshGrid();

    Save.DefaultExt = QStringLiteral("hex");
    Engine.Reset();
    Komunikat->setText(QStringLiteral("Ready."));
    SetPanelText(3, NotConnected);
    if (settings.PortNumber >= 1 && settings.PortNumber <= 4) {
        SetPanelText(3, PortPanelText(settings.PortNumber));
        CommPort.SetPortNum(settings.PortNumber);
    }
    // A port that does not open at start is shown in the status bar, and
    // why in its tooltip; a command given later says it too.
    if (!OpenPort()) SetPanelText(3, NotConnected);
    ShowPortPanel();
}

bool TFormularz::OpenPort() {
    try {
        CommPort.Open();
        FPortProblem.clear();
        return true;
    } catch (const std::exception& e) {
        // The component names the port as given ("COM1"); the device that
        // name led to is named too, as pelkisp does.
        const std::string name = CommPort.GetDeviceName();
        const std::string device = posix::ResolvedDevicePath(name);
        std::string why = e.what();
        if (CommPort.PortNum() <= 0) why = "No serial port has been chosen.";
        else if (device.empty()) why += "\n" + name + " names no serial port of this machine";
        else if (why.find(device) == std::string::npos) why += "\n" + name + " is " + device;
        FPortProblem = QString::fromLocal8Bit(why.c_str());
        return false;
    }
}

void TFormularz::FormClose() {
    if (Closed) return;
    Closed = true;
    Timer->stop();
    CancelLines();
    if (CommPort.Active()) CommPort.Close();
    ConfigValues values;
    values.PortNum = CommPort.PortNum();
    values.DeviceIndex = Image.DeviceIndex;
    values.LastOpenedFile = Open.FileName.toStdString();
    values.BaudIndex = BaudIndex;
    values.AutoBaud = AutoBaud;
    // A settings file that cannot be written (write-protected, a full disk)
    // keeps its old content; the user is told that this run's settings are
    // lost.
    std::string reason;
    if (WriteConfigFile(values, ConfigFileName, &reason)) return;
    SettingsLost = true;
    const std::string text = std::string(msg::CantWriteFile) + "\n" + reason;
    std::fprintf(stderr, "PelkISP: %s: %s\n", msg::CantWriteFile, reason.c_str());
    if (!ClosingOnSignal) UserPrompts().MessageFrom(this, QString::fromLocal8Bit(text.c_str()));
}

void TFormularz::CloseOnSignal() {
    ClosingOnSignal = true;
    close();
}

void TFormularz::closeEvent(QCloseEvent* event) {
    Guarded([this] { FormClose(); });
    event->accept();
}

void TFormularz::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    Skalowanie();
}

void TFormularz::Skalowanie() {
    const int W = frameGeometry().width();
    // A byte column is never narrower than its two digits: the fonts that
    // stand in for the original's are wider. The characters take the rest,
    // which the window's minimum width keeps wide enough.
    const int a = std::max(static_cast<int>((W - 87) * 0.65 * 0.0625), Tablica->ByteColumnMinWidth());
    Tablica->SetColumnWidths(50, a, W - 96 - 16 * a);
    Komunikat->resize(std::max(0, W - 22), Komunikat->height());
    const int buttonWidth = std::max(0, (W - 10) / 5);
    for (QToolButton* b : {Tab1, Tab2, Tab3, Tab4, Tab5}) b->setFixedWidth(buttonWidth);
}

void TFormularz::ShowMessage(const std::string& text) {
    Komunikat->setText(QString::fromStdString(text));
    Komunikat->setCursorPosition(0);  // a text longer than the line shows its start
}

void TFormularz::SetProgress(int position) {
    // A block goes out every few hundred microseconds, and the bar repaints
    // itself at once on every change it can show: at that rate the repaints
    // would cost more than the rest of the block. So a value is drawn at
    // once only when none was drawn during the last screen refresh; a later
    // one waits for the hold-off to end, and the last one is always drawn.
    // 0 (start, end, Stop, failure) is drawn at once.
    ProgressWanted = position;
    if (ProgressHoldOff->isActive() && position != 0) return;
    Progress->setValue(position);
    const QScreen* shown = screen();
    const double rate = shown ? shown->refreshRate() : 0;
    ProgressHoldOff->start(rate >= 1 ? std::max(1, int(1000 / rate)) : 16);
}

void TFormularz::BuildGrid() { Tablica->Model().RebuildForDevice(); }

void TFormularz::RefreshGrid() {
    Tablica->Model().RefreshAll();
    SumaCRC();
    ResultOutdated();
}

void TFormularz::UpdateBytes(uint32_t first, uint32_t last) {
    Tablica->Model().BytesChanged(first, last);
    ResultOutdated();
}

void TFormularz::ResultOutdated() {
    // "Device programmed." said of an image or a port that has changed
    // since would say it of the new one.
    if (!Busy()) Komunikat->setText(QStringLiteral("Ready."));
}

void TFormularz::UpdateCommands() {
    const bool idle = !Busy();
    for (QAction* a : {LoadPlik, Clear1, Changeserialport1, Selectdevice1}) a->setEnabled(idle);
    if (FillDialog) FillDialog->UpdateFillButton();
    if (EditDialog) EditDialog->UpdateSetButton();
}

bool TFormularz::RefusedWhileBusy(const char* command) {
    if (!Busy()) return false;
    UserPrompts().Message(QString::fromLatin1(command) +
                          QStringLiteral(" is not possible while an operation runs: wait for its result, or Stop it."));
    return true;
}

void TFormularz::SumaCRC() {
    const ChecksumSummary sum = ComputeChecksumSummary(Image);
    SetPanelText(1, QString::fromStdString(sum.ChecksumText()));
    SetPanelText(2, QString::fromStdString(sum.CrcText()));
}

void TFormularz::ShowPortPanel() {
    // The panel keeps its "Port: COMn" text; its tooltip names the device
    // that COMn stands for on this machine, or why no port is open.
    Panels[3]->setToolTip(CommPort.Active()
                              ? QString::fromStdString(posix::ResolveDeviceName(CommPort.GetDeviceName()))
                              : FPortProblem);
}

void TFormularz::Exit1Click() { close(); }

void TFormularz::Clear1Click() {
    if (RefusedWhileBusy("Buffer > Clear")) return;
    Image.Clear();
    RefreshGrid();
}

void TFormularz::Start1Click() { StartCommand(&OperationEngine::StartProgram); }
void TFormularz::Stop2Click() { StartCommand(&OperationEngine::StartVerify); }
void TFormularz::Erase1Click() { StartCommand(&OperationEngine::StartErase); }
void TFormularz::Blankcheck1Click() { StartCommand(&OperationEngine::StartBlankCheck); }

void TFormularz::Tab5Click() {
    if (FPhase == LinePhase::Before) {
        // The command still waits for its "before" sequence: it ends here as
        // a running operation would, and "after" follows.
        CancelLines();
        SetProgress(0);
        ShowMessage(msg::Stopped);
        FPhase = LinePhase::Operation;
    } else {
        Engine.Stop();
    }
    OperationMayHaveEnded();
}

void TFormularz::TimerTimer() {
    Engine.TimerTimer();
    OperationMayHaveEnded();
}

void TFormularz::LoadResetLines() {
    UserSettings settings;
    LinesBefore = ResetLinesSetting::Of(settings.value(LinesBeforeOnKey, false).toBool(),
                                        settings.value(LinesBeforeKey).toString());
    LinesAfter = ResetLinesSetting::Of(settings.value(LinesAfterOnKey, false).toBool(),
                                       settings.value(LinesAfterKey).toString());
}

void TFormularz::SetResetLines(const ResetLinesSetting& before, const ResetLinesSetting& after) {
    LinesBefore = before;
    LinesAfter = after;
    StoreUserSettings({{LinesBeforeOnKey, before.On},
                       {LinesBeforeKey, before.Text},
                       {LinesAfterOnKey, after.On},
                       {LinesAfterKey, after.Text}});
}

void TFormularz::StoreUserSettings(const std::vector<std::pair<QString, QVariant>>& values) {
    UserSettings settings;
    for (const auto& [key, value] : values) settings.setValue(key, value);
    settings.sync();
    if (settings.status() == QSettings::NoError) return;
    // The store tells no reason; its folder or its file does.
    namespace fs = std::filesystem;
    const fs::path file = settings.fileName().toStdString();
    const fs::path folder = file.parent_path();
    std::error_code ec;
    std::string reason = file.string() + ": the settings could not be saved";
    if (fs::exists(folder, ec) && !fs::is_directory(folder, ec)) reason = folder.string() + ": not a folder";
    else if (!fs::create_directories(folder, ec) && ec) reason = folder.string() + ": " + ec.message();
    else if (access(file.c_str(), W_OK) != 0 && errno != ENOENT) reason = file.string() + ": " + std::strerror(errno);
    std::fprintf(stderr, "PelkISP: %s: %s\n", msg::CantWriteFile, reason.c_str());
    UserPrompts().Message(QString::fromLocal8Bit(
        (std::string(msg::CantWriteFile) + "\n" + reason + "\nThe change holds until the window is closed.").c_str()));
}

void TFormularz::StartCommand(void (OperationEngine::*start)()) {
    // Refused at once, before any line moves, when nothing could come of
    // it: no block to walk, or no port to send through. What runs goes on.
    const bool walk = start == &OperationEngine::StartProgram || start == &OperationEngine::StartVerify;
    if (walk && Engine.SkipBlankBlocks && BlockPlan::DataBlocks(Image).Blocks.empty()) {
        ShowMessage(start == &OperationEngine::StartProgram ? msg::NothingToProgram : msg::NothingToVerify);
        return;
    }
    if (!CommPort.Active()) {
        QString why = FPortProblem;
        if (why.isEmpty() || CommPort.PortNum() <= 0) why = QStringLiteral("choose one in Setup > Change serial port.");
        ShowMessage("No serial port is open: " + why.replace(u'\n', QStringLiteral("; ")).toStdString());
        return;
    }
    // The newest command wins, as the engine's own commands replace a
    // running operation: a sequence still running for the last command is
    // dropped where it stands.
    CancelLines();
    // The reply time-out follows the port's rate as it is now.
    Engine.SetLineRate(BaudrateValue(CommPort.Baudrate()));
    if (LinesBefore.On || LinesAfter.On) {
        if (!ResetLinesUsable()) return UpdateCommands();
        if (LinesBefore.On) {
            // The operation that runs ends without a message, as on any
            // start, and nothing more goes out while the target is reset.
            if (Engine.Pending()) {
                Engine.Reset();
                Engine.Receiver = ReplyReceiver{};
            }
            PendingStart = start;
            FPhase = LinePhase::Before;
            // A sequence may wait for seconds: the message line says why
            // nothing seems to happen.
            SetProgress(0);
            ShowMessage(std::string(LinesBeforeName) + ": " + LinesBefore.Parsed.Sequence.Text() + "...");
            UpdateCommands();
            RunLines(LinesBefore.Parsed.Sequence);
            return;
        }
    }
    FPhase = LinePhase::Operation;
    (Engine.*start)();
    OperationMayHaveEnded();
}

bool TFormularz::ResetLinesUsable() {
    bool lines = false;
    for (const auto& [setting, name] : {std::pair{&LinesBefore, LinesBeforeName}, std::pair{&LinesAfter, LinesAfterName}}) {
        if (!setting->On) continue;
        if (!setting->Parsed.Ok()) {
            ShowMessage(std::string(name) + ": " + setting->Parsed.Error);
            return false;
        }
        lines |= setting->Parsed.Sequence.UsesLines();
    }
    // Asked before anything is done, so that a port without modem lines
    // neither starts an operation nor ends one with this message in place
    // of its result.
    if (lines) {
        try {
            Lines->CheckModemLines();
        } catch (const std::exception& e) {
            ShowMessage(e.what());
            return false;
        }
    }
    return true;
}

void TFormularz::RunLines(const LineSequence& sequence) { ScheduleLines(LineRunner.Start(sequence, *Lines, LineClock())); }

void TFormularz::ScheduleLines(std::optional<int64_t> next) {
    if (!next) {
        LineTimer->stop();  // the host called in before the timer fired
        LinesEnded();
        return;
    }
    LineTimer->start(int(std::clamp<int64_t>(*next - LineClock(), 0, INT_MAX)));
}

void TFormularz::LineTimerTimer() {
    if (LineRunner.Running()) ScheduleLines(LineRunner.Advance(LineClock()));
}

void TFormularz::LinesEnded() {
    const LinePhase phase = std::exchange(FPhase, LinePhase::None);
    if (phase == LinePhase::Before) {
        const auto start = std::exchange(PendingStart, nullptr);
        if (LineRunner.Failed()) {
            ShowMessage(std::string(LinesBeforeName) + ": " + LineRunner.Error());
            return UpdateCommands();
        }
        FPhase = LinePhase::Operation;
        (Engine.*start)();
        OperationMayHaveEnded();
    } else if (phase == LinePhase::After && LineRunner.Failed()) {
        ShowMessage(std::string(LinesAfterName) + ": " + LineRunner.Error());
    }
    UpdateCommands();
}

void TFormularz::CancelLines() {
    LineRunner.Cancel();
    LineTimer->stop();
    PendingStart = nullptr;
    if (FPhase != LinePhase::Operation) FPhase = LinePhase::None;
}

void TFormularz::OperationMayHaveEnded() {
    if (FPhase == LinePhase::Operation && Engine.Operation == OpNone) {
        FPhase = LinePhase::None;
        if (LinesAfter.On && LinesAfter.Parsed.Ok()) {
            FPhase = LinePhase::After;
            RunLines(LinesAfter.Parsed.Sequence);
        }
    }
    UpdateCommands();
}

void TFormularz::TicksNeeded(bool needed) {
    if (needed == Timer->isActive()) return;  // a running timer keeps its phase
    if (needed && !Closed) Timer->start();
    else Timer->stop();
}

void TFormularz::Skipblankblocks1Click(bool checked) {
    Engine.SkipBlankBlocks = checked;  // from the next Program or Verify on
    StoreUserSettings({{SkipBlankBlocksKey, checked}});
}
void TFormularz::CommPortRxChar(TVaCustomComm*, int) {
    if (FPhase == LinePhase::Before) {
        // The target is being reset: what it sends now answers no frame of
        // the coming operation (whose start drops waiting bytes anyway).
        (void)CommLink.ReadText();
        return;
    }
    Engine.ReceiveReplyBytes();
    OperationMayHaveEnded();
}

void TFormularz::CommPortHangUp(TVaCustomComm*, const std::string& Message) {
    // One message in the message line, no retries into a device that is
    // gone: the operation ends, the port closes, and "Port: not connected"
    // stays until the user opens a port again. PortNum is kept, so the
    // settings still name the port the user chose. A sequence that runs is
    // dropped and "after" does not follow: the device is gone and there are
    // no lines left to set.
    CancelLines();
    FPhase = LinePhase::None;
    Engine.Reset();
    Engine.Receiver = ReplyReceiver{};  // a reply cut off by the hang-up is dropped
    SetProgress(0);
    ShowMessage(Message);
    CommPort.Close();
    FPortProblem = QString::fromLocal8Bit(Message.c_str());
    SetPanelText(3, NotConnected);
    ShowPortPanel();
    UpdateCommands();
}

void TFormularz::Selectdevice1Click() {
    if (RefusedWhileBusy("Setup > Select device")) return;
    const uint8_t d = DeviceDialog->ChooseDevice();
    if (d == 0) return;
    const uint32_t previousLast = Image.LastAddress;
    Image.DeviceIndex = d;
    SetPanelText(0, QString::fromStdString(ApplyDeviceIndex(Image, d)));
    BuildGrid();
    RefreshGrid();
    DeviceChangedInDialogs(previousLast);
}

void TFormularz::Changeserialport1Click() {
    if (RefusedWhileBusy("Setup > Change serial port")) return;
    // The port in use, or the one chosen last that did not open or has hung
    // up: checked in the dialog, and tried again by Cancel.
    const int a = CommPort.PortNum();
    if (CommPort.Active()) CommPort.Close();
    if (a >= 1 && a <= 4) SerialDialog->CheckPort(a);
    const bool ok = SerialDialog->Execute();
    CommPort.SetPortNum(ok ? SerialDialog->SelectedPort : a);
    if (OpenPort()) {
        if (CommPort.PortNum() >= 1 && CommPort.PortNum() <= 4) SetPanelText(3, PortPanelText(CommPort.PortNum()));
    } else {
        // The component's message and the device the name led to, as
        // pelkisp gives them.
        UserPrompts().Message(QStringLiteral("Serial Port not available\n") + FPortProblem);
        SetPanelText(3, NotConnected);
        // A port chosen with OK that does not open is forgotten; Cancel
        // keeps the one that was in use, so that the next start tries it.
        if (ok) {
            CommPort.SetPortNum(0);
            SerialDialog->CheckPort(0);
        }
    }
    ShowPortPanel();
    ResultOutdated();
}

void TFormularz::About1Click() { UserPrompts().ExecDialog(*AboutBox); }

void TFormularz::TablicaClick() {
    const int k = Tablica->SelectedColumn();
    const int r = Tablica->SelectedRow();
    if (k == BufferGrid::CharGridColumn) {
        Tablica->setToolTip(QStringLiteral("ASCII"));
        return;
    }
    const uint32_t A = uint32_t(r - 1) * 16 + uint32_t(k - 1);
    Tablica->setToolTip(QString::asprintf("%05lX hex; %06ld dec ", static_cast<unsigned long>(A), static_cast<long>(A)));
    EditDialog->ShowCell(A);
}

void TFormularz::TablicaDblClick() { EditCellClick(); }

void TFormularz::EditCellClick() {
    // Opened, the dialog shows the grid's selected cell (also one chosen
    // with the keys); already open, it keeps the address the user typed.
    if (!EditDialog->isVisible()) EditDialog->ShowSelectedCell();
    ShowModeless(EditDialog);
}

void TFormularz::FillBufferClick() { ShowModeless(FillDialog); }

void TFormularz::ShowModeless(TModelessDialog* dialog) {
    // The first time at the main window's right edge, Edit above Fill, so
    // that neither hides the other; later where the user left it.
    const QRect frame = frameGeometry();
    const int x = frame.right() - dialog->frameGeometry().width() - 16;
    const int y = frame.top() + 100 + (dialog == FillDialog ? EditDialog->frameGeometry().height() + 24 : 0);
    dialog->ShowAt(QPoint(x, y));
}

namespace {
// File messages, shown together in one message box once the file is
// closed, with the file and the reason when the function gives one ("Can't
// open file" and "/x/fw.hex: No such file or directory" below it).
class PromptReporter final : public FileReporter {
public:
    void Message(const std::string& text) override { Said.push_back(text); }
    void MessageWithReason(const std::string& text, const std::string& reason) override {
        Said.push_back(text + "\n" + reason);
    }
    // Shows what was said and `more` lines after it, if anything.
    void Show(const std::vector<std::string>& more = {}) {
        Said.insert(Said.end(), more.begin(), more.end());
        std::string text;
        for (const std::string& line : Said) text += (text.empty() ? "" : "\n") + line;
        Said.clear();
        if (!text.empty()) UserPrompts().Message(QString::fromLocal8Bit(text.c_str()));
    }

private:
    std::vector<std::string> Said;
};

std::string Hex5Text(uint64_t value) { return QString::asprintf("%05llX", static_cast<unsigned long long>(value)).toStdString(); }

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

void TFormularz::SpeedButton1Click() {
    if (RefusedWhileBusy("File > Load")) return;
    FileDialogRequest request;
    request.Filter = QString::fromLatin1(FileFilter);
    request.Directory = Open.FileName.isEmpty() ? Open.InitialDir : QFileInfo(Open.FileName).absolutePath();
    request.FileName = Open.FileName;
    request.FilterIndex = Open.FilterIndex;
    const auto chosen = UserPrompts().OpenFile(request);
    if (!chosen) return;
    Open.FileName = chosen->FileName;
    Open.FilterIndex = chosen->FilterIndex;

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
    if (!ReadImageFile(path, Image, *staging, reporter, format, &facts)) return reporter.Show();
    LoadDialog->FileType->setText(facts.Hex ? QStringLiteral("HEX") : QStringLiteral("BIN"));
    LoadDialog->FileName->setText(QFileInfo(chosen->FileName).absoluteFilePath());

    // What the file leaves out is told before the image changes; a file
    // that gives nothing loads nothing.
    const std::string name = QFileInfo(chosen->FileName).fileName().toStdString();
    bool nothing = false;
    std::vector<std::string> told = LeftOut(facts, Image, nothing);
    for (std::string& line : told) line = name + ": " + line;
    reporter.Show(told);
    if (nothing) return;

    if (!LoadDialog->Execute()) return;
    const LoadSelection selection = LoadDialog->Selection();
    const uint64_t wanted = uint64_t{selection.InputStopValue} - selection.InputStartValue + 1;
    const uint64_t destination =
        selection.BufferOffsetValue + (selection.Bank1 && Image.DeviceIndex == BankedDeviceIndex ? BankSize : 0);
    if (destination + wanted - 1 > Image.LastAddress)
        UserPrompts().Message(QString::fromStdString(
            name + ": offset " + Hex5Text(selection.BufferOffsetValue) + ": data up to " + Hex5Text(destination + wanted - 1) +
            " does not fit the " + FindDevice(Image.DeviceIndex)->RadioCaption + " (last address " +
            Hex5Text(Image.LastAddress) + ")"));
    const LoadPlacement placed = CopyStagedData(Image, *staging, selection);
    Tablica->SetTopRow(int(placed.GridTopRow));
    RefreshGrid();
}

QString TFormularz::SaveTypeChange(int filterIndex) {
    switch (filterIndex) {
        case 1: Save.DefaultExt = QStringLiteral("hex"); break;
        case 2: Save.DefaultExt = QStringLiteral("bin"); break;
        default: Save.DefaultExt.clear(); break;
    }
    Save.FilterIndex = filterIndex;
    return Save.DefaultExt;
}

void TFormularz::SpeedButton2Click() {
    FileDialogRequest request;
    request.Filter = QString::fromLatin1(FileFilter);
    request.Directory = Save.FileName.isEmpty() ? Open.InitialDir : QFileInfo(Save.FileName).absolutePath();
    request.DefaultExt = Save.DefaultExt;
    request.FilterIndex = Save.FilterIndex;
    request.ConfirmOverwrite = true;
    request.TypeChanged = [this](int index) { return SaveTypeChange(index); };
    const auto chosen = UserPrompts().SaveFile(request);
    if (!chosen) return;
    Save.FileName = chosen->FileName;
    Save.FilterIndex = chosen->FilterIndex;
    PromptReporter reporter;
    const std::filesystem::path path = chosen->FileName.toStdString();
    if (chosen->FilterIndex == 2 || chosen->FilterIndex == 3) {
        Save.DefaultExt = QStringLiteral("bin");  // for the next use of the dialog
        WriteBinaryFile(path, Image, reporter);
    } else {
        WriteHexFile(path, Image, reporter);
    }
    reporter.Show();
}

void TFormularz::DeviceChangedInDialogs(uint32_t previousLast) {
    EditDialog->DeviceChanged();
    FillDialog->DeviceChanged(previousLast);
}

}  // namespace pelk

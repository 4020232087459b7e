#include "dialogs/serial_dialog.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <tuple>

#include "app/formularz.h"
#include "app/prompts.h"
#include "app/windows.h"

namespace pelk {

int32_t BaudIndex = 0;
uint8_t AutoBaud = 0;

const std::array<const char*, BaudListSize> BaudListTexts{
    "110 bps",     "300 bps",     "600 bps",     "1200 bps",    "2400 bps",    "4800 bps",    "9600 bps",
    "14 400 bps",  "19 200 bps",  "38 400 bps",  "56 000 bps",  "57 600 bps",  "115 200 bps",
};

void ApplyBaudrate() {
    if (AutoBaud == 1) BaudIndex = AutoBaudIndex;
    // Only the listed rates go to the port: an index from a hand-edited
    // settings file or a text that matches no entry would name no rate
    // (or one the list does not offer), so the port keeps its rate.
    if (BaudIndex < 0 || BaudIndex >= BaudListSize) return;
    Formularz->CommPort.SetBaudrate(static_cast<TVaBaudrate>(static_cast<uint8_t>(BaudIndex) + 1));
}

TSerialDialog::TSerialDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("SerialDialog"));
    setWindowTitle(QStringLiteral("Select port"));
    setFixedSize(346, 307);

    auto* ports = new QGroupBox(this);
    ports->setGeometry(8, 8, 161, 161);
    auto* column = new QVBoxLayout(ports);
    // Exclusive as radio buttons are: clicking the checked one keeps it
    // checked. Only the program unchecks all four (CheckPort(0)).
    PortGroup = new QButtonGroup(this);
    for (int n = 1; n <= 4; ++n) {
        auto* r = new QRadioButton(QStringLiteral("Serial port COM%1").arg(n), ports);
        r->setObjectName(QStringLiteral("com%1check").arg(n));
        PortGroup->addButton(r, n);
        column->addWidget(r);
        comcheck[n - 1] = r;
    }

    auto* speed = new QGroupBox(this);
    speed->setGeometry(177, 8, 161, 161);
    auto* speedColumn = new QVBoxLayout(speed);
    Baudrate = new QComboBox(speed);
    Baudrate->setObjectName(QStringLiteral("Baudrate"));
    Baudrate->setEditable(true);
    Baudrate->setInsertPolicy(QComboBox::NoInsert);
    for (const char* t : BaudListTexts) Baudrate->addItem(QString::fromLatin1(t));
    {
        const QSignalBlocker block(Baudrate);
        Baudrate->setCurrentIndex(-1);
        Baudrate->setEditText(QStringLiteral("Baud Rate"));
    }
    speedColumn->addWidget(Baudrate);
    AutoBaudMode = new QCheckBox(QStringLiteral("AutoBaud Mode"), speed);
    AutoBaudMode->setObjectName(QStringLiteral("AutoBaudMode"));
    speedColumn->addWidget(AutoBaudMode);
    speedColumn->addStretch();

    // Below the two panels: the reset-line sequences.
    auto* lines = new QGroupBox(QStringLiteral("Reset lines (DTR, RTS) around each operation"), this);
    lines->setObjectName(QStringLiteral("ResetLines"));
    lines->setGeometry(8, 176, 330, 84);
    auto* grid = new QGridLayout(lines);
    const QString syntax = QStringLiteral(
        "Steps separated by commas: dtr or rts sets the line, -dtr or -rts clears it, "
        "a number with ms waits (1 to 10000 ms).");
    auto row = [&](int r, const char* name, const char* caption, const char* example, QCheckBox*& check,
                   QLineEdit*& edit) {
        check = new QCheckBox(QString::fromLatin1(caption), lines);
        check->setObjectName(QStringLiteral("%1Check").arg(QLatin1String(name)));
        edit = new QLineEdit(lines);
        edit->setObjectName(QStringLiteral("%1Edit").arg(QLatin1String(name)));
        edit->setPlaceholderText(QString::fromLatin1(example));
        edit->setToolTip(syntax);
        grid->addWidget(check, r, 0);
        grid->addWidget(edit, r, 1);
        grid->setColumnStretch(1, 1);
    };
    row(0, "LinesBefore", "Before", "rts,dtr,50ms,-dtr,200ms", LinesBeforeCheck, LinesBeforeEdit);
    row(1, "LinesAfter", "After", "-rts,dtr,50ms,-dtr", LinesAfterCheck, LinesAfterEdit);

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(96, 270, 75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(176, 270, 75, 25);
    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    connect(Baudrate, &QComboBox::activated, this, [this] { BaudrateChange(); });
    connect(Baudrate->lineEdit(), &QLineEdit::textEdited, this, [this] { BaudrateChange(); });
    // Leaving the text line shows the rate in use again, whatever was typed.
    connect(Baudrate->lineEdit(), &QLineEdit::editingFinished, this, [this] { SelectBaudEntry(BaudIndex); });
    connect(AutoBaudMode, &QCheckBox::toggled, this, [this] { AutoBaudModeClick(); });
}

void TSerialDialog::CheckPort(int n) {
    // An exclusive group keeps one button checked; "none" needs it lifted.
    PortGroup->setExclusive(false);
    for (int i = 1; i <= 4; ++i) comcheck[i - 1]->setChecked(i == n);
    PortGroup->setExclusive(true);
}

void TSerialDialog::SelectBaudEntry(int i) {
    const QSignalBlocker block(Baudrate);
    Baudrate->setCurrentIndex(i >= 0 && i < BaudListSize ? i : -1);
}

void TSerialDialog::ApplyAutoBaud() {
    if (AutoBaud == 1) {
        BaudIndex = AutoBaudIndex;
        SelectBaudEntry(AutoBaudIndex);
        Baudrate->setEnabled(false);
        ApplyBaudrate();
    } else {
        Baudrate->setEnabled(true);
    }
}

void TSerialDialog::FormActivate() {
    SelectBaudEntry(BaudIndex);
    AutoBaudMode->setChecked(AutoBaud != 0);  // a change runs AutoBaudModeClick
    ApplyAutoBaud();
    // The sequences as the window holds them: a cancelled edit is forgotten.
    LinesBeforeCheck->setChecked(Formularz->LinesBefore.On);
    LinesBeforeEdit->setText(Formularz->LinesBefore.Text);
    LinesAfterCheck->setChecked(Formularz->LinesAfter.On);
    LinesAfterEdit->setText(Formularz->LinesAfter.Text);
}

void TSerialDialog::OKBtnClick() {
    for (const auto& [check, edit, name] : {std::tuple{LinesBeforeCheck, LinesBeforeEdit, LinesBeforeName},
                                            std::tuple{LinesAfterCheck, LinesAfterEdit, LinesAfterName}}) {
        if (!check->isChecked()) continue;
        const ParsedLineSequence parsed = ParseLineSequence(edit->text().toStdString());
        if (parsed.Ok()) continue;
        UserPrompts().MessageFrom(this, QString::fromLatin1(name) + QStringLiteral(": ") +
                                            QString::fromStdString(parsed.Error));
        edit->setFocus();
        return;
    }
    accept();
}

void TSerialDialog::BaudrateChange() {
    // Only a listed rate is taken: an entry's text, or its number typed
    // with or without the blanks and "bps" ("57600"). Any other text leaves
    // the rate in use, which the port then keeps and the settings save.
    QString typed = Baudrate->currentText();
    typed.remove(u' ');
    if (typed.endsWith(QStringLiteral("bps"), Qt::CaseInsensitive)) typed.chop(3);
    for (int i = 0; i < BaudListSize; ++i) {
        QString entry = QString::fromLatin1(BaudListTexts[size_t(i)]);
        entry.remove(u' ');
        entry.chop(3);
        if (entry == typed) {
            BaudIndex = i;
            ApplyBaudrate();
            return;
        }
    }
}

void TSerialDialog::AutoBaudModeClick() {
    AutoBaud = AutoBaudMode->isChecked() ? 1 : 0;
    ApplyAutoBaud();
}

bool TSerialDialog::Execute() {
    FormActivate();
    const bool ok = UserPrompts().ExecDialog(*this) == QDialog::Accepted;
    SelectBaudEntry(BaudIndex);  // a text that named no rate is not kept
    if (!ok) return false;
    for (int n = 1; n <= 4; ++n)
        if (comcheck[n - 1]->isChecked()) SelectedPort = static_cast<uint8_t>(n);
    Formularz->SetResetLines(ResetLinesSetting::Of(LinesBeforeCheck->isChecked(), LinesBeforeEdit->text()),
                             ResetLinesSetting::Of(LinesAfterCheck->isChecked(), LinesAfterEdit->text()));
    return true;
}

}  // namespace pelk

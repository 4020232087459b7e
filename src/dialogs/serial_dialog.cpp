#include "dialogs/serial_dialog.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <tuple>

#include "dialogs/prompts.h"

namespace pelk {

const std::array<const char*, BaudListSize> BaudListTexts{
    "110 bps",     "300 bps",     "600 bps",     "1200 bps",    "2400 bps",    "4800 bps",    "9600 bps",
    "14 400 bps",  "19 200 bps",  "38 400 bps",  "56 000 bps",  "57 600 bps",  "115 200 bps",
};

int32_t BaudIndexInEffect(int32_t baudIndex, uint8_t autoBaud) {
    if (autoBaud == 1) return AutoBaudIndex;
    // Only the listed rates go to the port: an index from a hand-edited
    // settings file would name no rate (or one the list does not offer).
    return baudIndex >= 0 && baudIndex < BaudListSize ? baudIndex : -1;
}

SerialDialog::SerialDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("serialDialog"));
    setWindowTitle(QStringLiteral("Select port"));
    setFixedSize(346, 307);

    auto* ports = new QGroupBox(this);
    ports->setGeometry(8, 8, 161, 161);
    auto* column = new QVBoxLayout(ports);
    // Exclusive as radio buttons are: clicking the checked one keeps it
    // checked. Only the program unchecks all four (checkPort(0)).
    portGroup = new QButtonGroup(this);
    for (int n = 1; n <= 4; ++n) {
        auto* r = new QRadioButton(QStringLiteral("Serial port COM%1").arg(n), ports);
        r->setObjectName(QStringLiteral("com%1").arg(n));
        portGroup->addButton(r, n);
        column->addWidget(r);
        portRadios[n - 1] = r;
    }

    auto* speed = new QGroupBox(this);
    speed->setGeometry(177, 8, 161, 161);
    auto* speedColumn = new QVBoxLayout(speed);
    baudrate = new QComboBox(speed);
    baudrate->setObjectName(QStringLiteral("baudrate"));
    baudrate->setEditable(true);
    baudrate->setInsertPolicy(QComboBox::NoInsert);
    for (const char* t : BaudListTexts) baudrate->addItem(QString::fromLatin1(t));
    {
        const QSignalBlocker block(baudrate);
        baudrate->setCurrentIndex(-1);
        baudrate->setEditText(QStringLiteral("Baud Rate"));
    }
    speedColumn->addWidget(baudrate);
    autoBaudMode = new QCheckBox(QStringLiteral("AutoBaud Mode"), speed);
    autoBaudMode->setObjectName(QStringLiteral("autoBaudMode"));
    speedColumn->addWidget(autoBaudMode);
    speedColumn->addStretch();

    // Below the two panels: the reset-line sequences.
    auto* lines = new QGroupBox(QStringLiteral("Reset lines (DTR, RTS) around each operation"), this);
    lines->setObjectName(QStringLiteral("resetLines"));
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
    row(0, "linesBefore", "Before", "rts,dtr,50ms,-dtr,200ms", linesBeforeCheck, linesBeforeEdit);
    row(1, "linesAfter", "After", "-rts,dtr,50ms,-dtr", linesAfterCheck, linesAfterEdit);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setGeometry(96, 270, 75, 25);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setGeometry(176, 270, 75, 25);
    connect(ok, &QPushButton::clicked, this, [this] { okClicked(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    connect(baudrate, &QComboBox::activated, this, [this] { baudrateChanged(); });
    connect(baudrate->lineEdit(), &QLineEdit::textEdited, this, [this] { baudrateChanged(); });
    // Leaving the text line shows the rate in use again, whatever was typed.
    connect(baudrate->lineEdit(), &QLineEdit::editingFinished, this, [this] { selectBaudEntry(baudIndex); });
    connect(autoBaudMode, &QCheckBox::toggled, this, [this] { autoBaudClicked(); });
}

void SerialDialog::checkPort(int n) {
    // An exclusive group keeps one button checked; "none" needs it lifted.
    portGroup->setExclusive(false);
    for (int i = 1; i <= 4; ++i) portRadios[i - 1]->setChecked(i == n);
    portGroup->setExclusive(true);
}

void SerialDialog::selectBaudEntry(int i) {
    const QSignalBlocker block(baudrate);
    baudrate->setCurrentIndex(i >= 0 && i < BaudListSize ? i : -1);
}

void SerialDialog::applyAutoBaud() {
    if (autoBaud == 1) {
        baudIndex = AutoBaudIndex;
        selectBaudEntry(AutoBaudIndex);
        baudrate->setEnabled(false);
        emit baudChanged(baudIndex, autoBaud);
    } else {
        baudrate->setEnabled(true);
    }
}

void SerialDialog::okClicked() {
    for (const auto& [check, edit, name] : {std::tuple{linesBeforeCheck, linesBeforeEdit, LinesBeforeName},
                                            std::tuple{linesAfterCheck, linesAfterEdit, LinesAfterName}}) {
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

void SerialDialog::baudrateChanged() {
    // Only a listed rate is taken: an entry's text, or its number typed
    // with or without the blanks and "bps" ("57600"). Any other text leaves
    // the rate in use, which the port then keeps and the settings save.
    QString typed = baudrate->currentText();
    typed.remove(u' ');
    if (typed.endsWith(QStringLiteral("bps"), Qt::CaseInsensitive)) typed.chop(3);
    for (int i = 0; i < BaudListSize; ++i) {
        QString entry = QString::fromLatin1(BaudListTexts[size_t(i)]);
        entry.remove(u' ');
        entry.chop(3);
        if (entry == typed) {
            baudIndex = i;
            emit baudChanged(baudIndex, autoBaud);
            return;
        }
    }
}

void SerialDialog::autoBaudClicked() {
    autoBaud = autoBaudMode->isChecked() ? 1 : 0;
    emit baudChanged(baudIndex, autoBaud);
    applyAutoBaud();
}

ResetLinesSetting SerialDialog::linesBefore() const {
    return ResetLinesSetting::Of(linesBeforeCheck->isChecked(), linesBeforeEdit->text());
}

ResetLinesSetting SerialDialog::linesAfter() const {
    return ResetLinesSetting::Of(linesAfterCheck->isChecked(), linesAfterEdit->text());
}

bool SerialDialog::execute(int port, int32_t baudIndex_, uint8_t autoBaud_, const ResetLinesSetting& before,
                           const ResetLinesSetting& after) {
    // The port in use, or the one chosen last that did not open or has
    // hung up, is checked.
    checkPort(port >= 1 && port <= 4 ? port : 0);
    chosenPort = port;
    baudIndex = baudIndex_;
    autoBaud = autoBaud_;
    selectBaudEntry(baudIndex);
    {
        const QSignalBlocker block(autoBaudMode);
        autoBaudMode->setChecked(autoBaud != 0);
    }
    applyAutoBaud();
    // The sequences as the window holds them: a cancelled edit is forgotten.
    linesBeforeCheck->setChecked(before.On);
    linesBeforeEdit->setText(before.Text);
    linesAfterCheck->setChecked(after.On);
    linesAfterEdit->setText(after.Text);
    const bool ok = UserPrompts().ExecDialog(*this) == QDialog::Accepted;
    selectBaudEntry(baudIndex);  // a text that named no rate is not kept
    if (!ok) return false;
    for (int n = 1; n <= 4; ++n)
        if (portRadios[n - 1]->isChecked()) chosenPort = n;
    return true;
}

}  // namespace pelk

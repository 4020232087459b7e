#include "dialogs/load_dialog.h"

#include <QGroupBox>

#include "dialogs/prompts.h"

namespace pelk {

LoadDialog::LoadDialog(const MemoryImage& image_, QWidget* parent) : QDialog(parent), image(image_) {
    setObjectName(QStringLiteral("loadDialog"));
    setWindowTitle(QStringLiteral("LOAD"));
    setFixedSize(393, 300);

    auto* nameGroup = MakeGroup(this, "Input File Name", 8, 8, 377, 49);
    fileNameField = new QLineEdit(nameGroup);
    fileNameField->setObjectName(QStringLiteral("fileName"));
    fileNameField->setReadOnly(true);
    fileNameField->setGeometry(8, 20, 321, 21);
    fileTypeLabel = new QLabel(nameGroup);
    fileTypeLabel->setObjectName(QStringLiteral("fileType"));
    fileTypeLabel->setGeometry(337, 20, 34, 21);

    auto addressGroup = [this](const char* title, int x, int y, DialogEdit*& field, const char* name,
                               StepButton*& up, StepButton*& down) {
        auto* g = MakeGroup(this, title, x, y, 185, 57);
        field = MakeField(g, name, "HEX", 40, 22, 113);
        up = new StepButton(true, g);
        up->setObjectName(QStringLiteral("%1Up").arg(QLatin1String(name)));
        up->move(160, 17);
        down = new StepButton(false, g);
        down->setObjectName(QStringLiteral("%1Down").arg(QLatin1String(name)));
        down->move(160, 34);
        return g;
    };
    addressGroup("Input file start adress", 8, 64, startField, "start", startUp, startDown);
    addressGroup("Input file stop adress", 8, 128, stopField, "stop", stopUp, stopDown);
    auto* offsetGroup = addressGroup("Destination buffer offset", 200, 64, offsetField, "offset", offsetUp, offsetDown);
    offsetGroup->resize(185, 85);
    bank0 = new QRadioButton(QStringLiteral("Bank 0"), offsetGroup);
    bank0->setObjectName(QStringLiteral("bank0"));
    bank0->move(16, 56);
    bank1 = new QRadioButton(QStringLiteral("Bank 1"), offsetGroup);
    bank1->setObjectName(QStringLiteral("bank1"));
    bank1->move(96, 56);

    auto* sizeGroup = MakeGroup(this, "Selected Data range", 8, 192, 185, 57);
    sizeField = MakeField(sizeGroup, "size", "DEC", 40, 22, 113);
    sizeField->setFocusPolicy(Qt::NoFocus);  // read-only: Tab passes it

    clearBuffer = new QCheckBox(QStringLiteral("Clear buffer"), this);
    clearBuffer->setObjectName(QStringLiteral("clearBuffer"));
    clearBuffer->move(208, 160);
    clearBuffer->setChecked(true);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setObjectName(QStringLiteral("okButton"));
    okButton->setGeometry(40, 264, 75, 25);
    okButton->setDefault(true);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    cancelButton->setGeometry(159, 264, 75, 25);
    defaultButton = new QPushButton(QStringLiteral("Default"), this);
    defaultButton->setObjectName(QStringLiteral("defaultButton"));
    defaultButton->setGeometry(278, 264, 75, 25);

    connect(okButton, &QPushButton::clicked, this, [this] { okClicked(); });
    for (DialogEdit* f : {startField, stopField})
        connect(f, &QLineEdit::editingFinished, this, [this, f] { rangeCommitted(f); });
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(defaultButton, &QPushButton::clicked, this, [this] { restoreDefaults(); });
    startField->onChange = [this] { startChanged(); };
    stopField->onChange = [this] { stopChanged(); };
    offsetField->onChange = [this] { offsetChanged(); };
    sizeField->onChange = [this] { updateOkButton(); };
    startUp->onMouseDown = [this] { stepField(startField, true); };
    startDown->onMouseDown = [this] { stepField(startField, false); };
    stopUp->onMouseDown = [this] { stepField(stopField, true); };
    stopDown->onMouseDown = [this] { stepField(stopField, false); };
    offsetUp->onMouseDown = [this] { stepField(offsetField, true); };
    offsetDown->onMouseDown = [this] { stepField(offsetField, false); };
}

uint32_t LoadDialog::offsetLimit() const { return BufferOffsetLimit(image.DeviceIndex, maxInputAddress); }

void LoadDialog::formActivate() {
    maxInputAddress = MaxInputAddressFor(image.LoadedExtent);
    for (DialogEdit* f : {startField, stopField, offsetField}) {
        f->setTypingLimit(5);
        f->setUpperCase(true);
    }
    sizeField->setTypingLimit(6);
    sizeField->setUpperCase(true);
    startField->putText(QStringLiteral("00000"));
    stopField->putText(Hex5(maxInputAddress));
    offsetField->putText(QStringLiteral("00000"));
    startValue = 0;
    stopValue = maxInputAddress;
    offsetValue = 0;
    rangeTyped = nullptr;
    computeSize();
    sizeField->setReadOnly(true);
    const bool banked = image.DeviceIndex == BankedDeviceIndex;
    bank0->setEnabled(banked);
    bank1->setEnabled(banked);
    bank0->setChecked(true);
}

void LoadDialog::computeSize() {
    // While a start above the stop is being typed, the range holds nothing.
    sizeValue = startValue <= stopValue ? DataSizeFor(startValue, stopValue) : 0;
    sizeField->putText(QString::asprintf("%06d", sizeValue));
}

// Start and stop take each keystroke's value; whether the two make a range
// is asked only once one of them is complete (rangeCommitted), so that the
// first digit of a stop being typed does not move the start.
void LoadDialog::startChanged() {
    if (const auto v = HexFieldCheck(*startField).Value) {
        if (!AddressRefused(*startField, *v, maxInputAddress)) startValue = *v;
        computeSize();
    }
    if (startField->typed()) rangeTyped = startField;
    updateOkButton();
}

void LoadDialog::stopChanged() {
    if (const auto v = HexFieldCheck(*stopField).Value) {
        if (!AddressRefused(*stopField, *v, maxInputAddress)) stopValue = *v;
        computeSize();
    }
    if (stopField->typed()) rangeTyped = stopField;
    updateOkButton();
}

void LoadDialog::rangeCommitted(DialogEdit* field) {
    if (rangeTyped == field) rangeTyped = nullptr;
    if (startValue <= stopValue) return;
    if (field == startField) {
        stopValue = startValue;
        stopField->putText(Hex5(stopValue));
    } else {
        startValue = stopValue;
        startField->putText(Hex5(startValue));
    }
    computeSize();
}

void LoadDialog::okClicked() {
    if (rangeTyped) rangeCommitted(rangeTyped);
    accept();
}

void LoadDialog::offsetChanged() {
    if (const auto v = HexFieldCheck(*offsetField).Value) {
        if (!AddressRefused(*offsetField, *v, offsetLimit())) offsetValue = *v;
    }
    updateOkButton();
}

void LoadDialog::updateOkButton() {
    okButton->setEnabled(!startField->text().isEmpty() && !stopField->text().isEmpty() &&
                         !sizeField->text().isEmpty() && !offsetField->text().isEmpty());
}

void LoadDialog::restoreDefaults() {
    startValue = 0;
    stopValue = maxInputAddress;
    offsetValue = 0;
    computeSize();
    startField->putText(QStringLiteral("00000"));
    stopField->putText(Hex5(maxInputAddress));
    offsetField->putText(QStringLiteral("00000"));
    clearBuffer->setChecked(true);
}

void LoadDialog::stepField(DialogEdit* field, bool up) {
    // Each field steps up to its own limit, so a step never meets "Adress
    // out of range !": the offset of the two-bank device stops within a bank.
    const bool offset = field == offsetField;
    StepField(*field, up, offset ? offsetLimit() : maxInputAddress, true);
    if (!offset) rangeCommitted(field);
}

bool LoadDialog::execute(const QString& fileName, const QString& fileType) {
    fileNameField->setText(fileName);
    fileTypeLabel->setText(fileType);
    formActivate();
    return UserPrompts().ExecDialog(*this) == QDialog::Accepted;
}

LoadSelection LoadDialog::selection() const {
    LoadSelection s;
    s.InputStartValue = startValue;
    s.InputStopValue = stopValue;
    s.BufferOffsetValue = offsetValue;
    s.Bank1 = bank1->isChecked();
    s.ClearBuffer = clearBuffer->isChecked();
    return s;
}

}  // namespace pelk

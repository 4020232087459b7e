#include "dialogs/load_dialog.h"

#include <QGroupBox>

#include "app/formularz.h"
#include "app/prompts.h"
#include "app/windows.h"

namespace pelk {

uint32_t MaxInputAddress = 0;

TLoadDialog::TLoadDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("LoadDialog"));
    setWindowTitle(QStringLiteral("LOAD"));
    setFixedSize(393, 300);

    auto* nameGroup = MakeGroup(this, "Input File Name", 8, 8, 377, 49);
    FileName = new QLineEdit(nameGroup);
    FileName->setObjectName(QStringLiteral("FileName"));
    FileName->setReadOnly(true);
    FileName->setGeometry(8, 20, 321, 21);
    FileType = new QLabel(nameGroup);
    FileType->setObjectName(QStringLiteral("FileType"));
    FileType->setGeometry(337, 20, 34, 21);

    auto addressGroup = [this](const char* title, int x, int y, DialogEdit*& field, const char* name,
                               StepButton*& up, StepButton*& down) {
        auto* g = MakeGroup(this, title, x, y, 185, 57);
        field = MakeField(g, name, "HEX", 40, 22, 113);
        up = new StepButton(true, g);
        up->move(160, 17);
        down = new StepButton(false, g);
        down->move(160, 34);
        return g;
    };
    addressGroup("Input file start adress", 8, 64, InputStart, "InputStart", SpeedButton1, SpeedButton2);
    addressGroup("Input file stop adress", 8, 128, InputStop, "InputStop", SpeedButton3, SpeedButton4);
    auto* offsetGroup =
        addressGroup("Destination buffer offset", 200, 64, BufferOffset, "BufferOffset", SpeedButton5, SpeedButton6);
    offsetGroup->resize(185, 85);
    RadioBank0 = new QRadioButton(QStringLiteral("Bank 0"), offsetGroup);
    RadioBank0->setObjectName(QStringLiteral("RadioBank0"));
    RadioBank0->move(16, 56);
    RadioBank1 = new QRadioButton(QStringLiteral("Bank 1"), offsetGroup);
    RadioBank1->setObjectName(QStringLiteral("RadioBank1"));
    RadioBank1->move(96, 56);

    auto* sizeGroup = MakeGroup(this, "Selected Data range", 8, 192, 185, 57);
    DataSize = MakeField(sizeGroup, "DataSize", "DEC", 40, 22, 113);
    DataSize->setFocusPolicy(Qt::NoFocus);  // read-only: Tab passes it

    ClearBuff = new QCheckBox(QStringLiteral("Clear buffer"), this);
    ClearBuff->setObjectName(QStringLiteral("ClearBuff"));
    ClearBuff->move(208, 160);
    ClearBuff->setChecked(true);

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(40, 264, 75, 25);
    OKBtn->setDefault(true);
    Button1 = new QPushButton(QStringLiteral("Cancel"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(159, 264, 75, 25);
    Button2 = new QPushButton(QStringLiteral("Default"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(278, 264, 75, 25);

    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    for (DialogEdit* f : {InputStart, InputStop})
        connect(f, &QLineEdit::editingFinished, this, [this, f] { RangeCommitted(f); });
    connect(Button1, &QPushButton::clicked, this, &QDialog::reject);
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    InputStart->OnChange = [this] { InputStartChange(); };
    InputStop->OnChange = [this] { InputStopChange(); };
    BufferOffset->OnChange = [this] { BufferOffsetChange(); };
    DataSize->OnChange = [this] { UpdateOkButton(); };
    SpeedButton1->OnMouseDown = [this] { SpeedButtonMouseDown(InputStart, true); };
    SpeedButton2->OnMouseDown = [this] { SpeedButtonMouseDown(InputStart, false); };
    SpeedButton3->OnMouseDown = [this] { SpeedButtonMouseDown(InputStop, true); };
    SpeedButton4->OnMouseDown = [this] { SpeedButtonMouseDown(InputStop, false); };
    SpeedButton5->OnMouseDown = [this] { SpeedButtonMouseDown(BufferOffset, true); };
    SpeedButton6->OnMouseDown = [this] { SpeedButtonMouseDown(BufferOffset, false); };
}

void TLoadDialog::FormActivate() {
    MaxInputAddress = MaxInputAddressFor(Formularz->Image.LoadedExtent);
    for (DialogEdit* f : {InputStart, InputStop, BufferOffset}) {
        f->SetMaxLength(5);
        f->SetUpperCase(true);
    }
    DataSize->SetMaxLength(6);
    DataSize->SetUpperCase(true);
    InputStart->SetText(QStringLiteral("00000"));
    InputStop->SetText(Hex5(MaxInputAddress));
    BufferOffset->SetText(QStringLiteral("00000"));
    InputStartValue = 0;
    InputStopValue = MaxInputAddress;
    BufferOffsetValue = 0;
    RangeTyped = nullptr;
    ObliczRozmiar();
    DataSize->setReadOnly(true);
    const bool banked = Formularz->Image.DeviceIndex == BankedDeviceIndex;
    RadioBank0->setEnabled(banked);
    RadioBank1->setEnabled(banked);
    RadioBank0->setChecked(true);
}

void TLoadDialog::ObliczRozmiar() {
    // While a start above the stop is being typed, the range holds nothing.
    DataSizeValue = InputStartValue <= InputStopValue ? DataSizeFor(InputStartValue, InputStopValue) : 0;
    DataSize->SetText(QString::asprintf("%06d", DataSizeValue));
}

// Start and stop take each keystroke's value; whether the two make a range
// is asked only once one of them is complete (RangeCommitted), so that the
// first digit of a stop being typed does not move the start.
void TLoadDialog::InputStartChange() {
    if (const auto v = HexFieldCheck(*InputStart).Value) {
        if (!AddressRefused(*InputStart, *v, MaxInputAddress)) InputStartValue = *v;
        ObliczRozmiar();
    }
    if (InputStart->Typed()) RangeTyped = InputStart;
    UpdateOkButton();
}

void TLoadDialog::InputStopChange() {
    if (const auto v = HexFieldCheck(*InputStop).Value) {
        if (!AddressRefused(*InputStop, *v, MaxInputAddress)) InputStopValue = *v;
        ObliczRozmiar();
    }
    if (InputStop->Typed()) RangeTyped = InputStop;
    UpdateOkButton();
}

void TLoadDialog::RangeCommitted(DialogEdit* field) {
    if (RangeTyped == field) RangeTyped = nullptr;
    if (InputStartValue <= InputStopValue) return;
    if (field == InputStart) {
        InputStopValue = InputStartValue;
        InputStop->SetText(Hex5(InputStopValue));
    } else {
        InputStartValue = InputStopValue;
        InputStart->SetText(Hex5(InputStartValue));
    }
    ObliczRozmiar();
}

void TLoadDialog::OKBtnClick() {
    if (RangeTyped) RangeCommitted(RangeTyped);
    accept();
}

void TLoadDialog::BufferOffsetChange() {
    if (const auto v = HexFieldCheck(*BufferOffset).Value) {
        if (!AddressRefused(*BufferOffset, *v, BufferOffsetLimit(Formularz->Image.DeviceIndex, MaxInputAddress))) BufferOffsetValue = *v;
    }
    UpdateOkButton();
}

void TLoadDialog::UpdateOkButton() {
    OKBtn->setEnabled(!InputStart->text().isEmpty() && !InputStop->text().isEmpty() &&
                      !DataSize->text().isEmpty() && !BufferOffset->text().isEmpty());
}

void TLoadDialog::Button2Click() {
    InputStartValue = 0;
    InputStopValue = MaxInputAddress;
    BufferOffsetValue = 0;
    ObliczRozmiar();
    InputStart->SetText(QStringLiteral("00000"));
    InputStop->SetText(Hex5(MaxInputAddress));
    BufferOffset->SetText(QStringLiteral("00000"));
    ClearBuff->setChecked(true);
}

void TLoadDialog::SpeedButtonMouseDown(DialogEdit* field, bool up) {
    // Each field steps up to its own limit, so a step never meets "Adress
    // out of range !": the offset of the two-bank device stops within a bank.
    const bool offset = field == BufferOffset;
    StepField(*field, up, offset ? BufferOffsetLimit(Formularz->Image.DeviceIndex, MaxInputAddress) : MaxInputAddress,
              true);
    if (!offset) RangeCommitted(field);
}

bool TLoadDialog::Execute() {
    FormActivate();
    return UserPrompts().ExecDialog(*this) == QDialog::Accepted;
}

LoadSelection TLoadDialog::Selection() const {
    LoadSelection s;
    s.InputStartValue = InputStartValue;
    s.InputStopValue = InputStopValue;
    s.BufferOffsetValue = BufferOffsetValue;
    s.Bank1 = RadioBank1->isChecked();
    s.ClearBuffer = ClearBuff->isChecked();
    return s;
}

}  // namespace pelk

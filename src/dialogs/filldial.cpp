#include "dialogs/filldial.h"

#include <QGroupBox>
#include <QLabel>

#include "app/formularz.h"
#include "app/windows.h"

namespace pelk {

uint32_t FillMaxAddress = 0;

TFillDialog::TFillDialog(QWidget* parent) : TModelessDialog(parent) {
    setObjectName(QStringLiteral("FillDialog"));
    setWindowTitle(QStringLiteral("FILL"));
    setFixedSize(297, 163);

    auto* data = MakeGroup(this, "Data", 8, 8, 137, 81);
    FillDataHex = MakeField(data, "FillDataHex", "HEX", 48, 22, 73);
    FillDataAscii = MakeField(data, "FillDataAscii", "ASCII", 48, 50, 73);
    auto* from = MakeGroup(this, "From", 152, 8, 137, 49);
    FillStart = MakeField(from, "FillStart", "HEX", 48, 20, 73);
    SpeedButton1 = new StepButton(true, from);
    SpeedButton1->move(122 - 3, 13);
    SpeedButton2 = new StepButton(false, from);
    SpeedButton2->move(122 - 3, 30);
    auto* to = MakeGroup(this, "To", 152, 64, 137, 49);
    FillStop = MakeField(to, "FillStop", "HEX", 48, 20, 73);
    SpeedButton3 = new StepButton(true, to);
    SpeedButton3->move(122 - 3, 13);
    SpeedButton4 = new StepButton(false, to);
    SpeedButton4->move(122 - 3, 30);
    for (DialogEdit* f : {FillStart, FillStop}) f->resize(65, 21);
    KlawiszFill = new QPushButton(QStringLiteral("FILL"), this);
    KlawiszFill->setObjectName(QStringLiteral("KlawiszFill"));
    KlawiszFill->setGeometry(111, 126, 75, 25);

    FillDataHex->OnChange = [this] { FillDataHexChange(); };
    FillDataAscii->OnChange = [this] { FillDataAsciiChange(); };
    FillStart->OnChange = [this] { FillStartChange(); };
    FillStop->OnChange = [this] { FillStopChange(); };
    connect(KlawiszFill, &QPushButton::clicked, this, [this] { Formularz->Guarded([this] { KlawiszFillClick(); }); });
    SpeedButton1->OnMouseDown = [this] { StepField(*FillStart, true, FillMaxAddress, false); };
    SpeedButton2->OnMouseDown = [this] { StepField(*FillStart, false, FillMaxAddress, false); };
    SpeedButton3->OnMouseDown = [this] { StepField(*FillStop, true, FillMaxAddress, false); };
    SpeedButton4->OnMouseDown = [this] { StepField(*FillStop, false, FillMaxAddress, false); };

    // Creation: lengths, the value FF (whose handler fills the character
    // field and enables FILL), From 00000.
    FillDataHex->SetMaxLength(2);
    FillDataAscii->SetMaxLength(1);
    FillStart->SetMaxLength(5);
    FillStop->SetMaxLength(5);
    FillMaxAddress = Formularz->Image.LastAddress;
    FillDataHex->SetText(QStringLiteral("FF"));
    FillStart->SetText(QStringLiteral("00000"));
    FillStop->SetText(Hex5(FillMaxAddress));
    for (DialogEdit* f : {FillStart, FillStop, FillDataHex}) f->SetUpperCase(true);
}

void TFillDialog::FormActivate() {
    // The fields keep what the user typed, also after a click in the grid
    // or in another program; only a device change moves them.
    FillMaxAddress = Formularz->Image.LastAddress;
}

void TFillDialog::UpdateFillButton() {
    KlawiszFill->setEnabled(!FillDataHex->text().isEmpty() && !Formularz->Busy());
}

void TFillDialog::FillDataHexChange() {
    const HexCheck check = HexFieldCheck(*FillDataHex);
    if (!check.Passed) return;
    if (check.Value) FillDataAscii->SetText(*check.Value & 0xFF ? ByteCharacter(uint8_t(*check.Value)) : QStringLiteral("."));
    if (FillDataHex->text().isEmpty()) FillDataAscii->SetText(QString());
    UpdateFillButton();
}

void TFillDialog::FillDataAsciiChange() {
    // Only a typed character sets the value; emptying the field changes nothing.
    if (FillDataAscii->text().isEmpty() || !FillDataAscii->Typed()) return;
    if (const auto code = CharacterByte(FillDataAscii->text()[0]))
        FillDataHex->SetText(Hex2(*code));
    else
        FillDataAscii->Undo();  // a character the code page cannot hold has no byte
}

void TFillDialog::CheckAddress(DialogEdit& field) {
    if (const auto v = HexFieldCheck(field).Value) AddressRefused(field, *v, FillMaxAddress);
}

void TFillDialog::FillStartChange() { CheckAddress(*FillStart); }

void TFillDialog::FillStopChange() {
    FillMaxAddress = Formularz->Image.LastAddress;
    CheckAddress(*FillStop);
}

void TFillDialog::KlawiszFillClick() {
    if (Formularz->RefusedWhileBusy("FILL")) return;
    MemoryImage& image = Formularz->Image;
    const uint32_t S = LeadingHexValue(FillStart->text());
    const uint32_t E = std::min(LeadingHexValue(FillStop->text()), image.LastAddress);
    const uint8_t V = uint8_t(LeadingHexValue(FillDataHex->text()));
    if (S <= E) {
        std::fill(image.ImageBuffer.begin() + S, image.ImageBuffer.begin() + E + 1, V);
        Formularz->UpdateBytes(S, E);
    }
    Formularz->SumaCRC();
}

void TFillDialog::DeviceChanged(uint32_t previousLast) {
    // Both addresses stay within the new device. A "To" at the old device's
    // end meant the whole device, and goes on meaning it.
    const uint32_t last = Formularz->Image.LastAddress;
    FillMaxAddress = last;
    const uint32_t to = LeadingHexValue(FillStop->text());
    if (to > last || to == previousLast) FillStop->SetText(Hex5(last));
    if (LeadingHexValue(FillStart->text()) > last) FillStart->SetText(Hex5(last));
}

}  // namespace pelk

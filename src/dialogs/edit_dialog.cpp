#include "dialogs/edit_dialog.h"

#include <QGroupBox>
#include <QLabel>

#include "app/formularz.h"
#include "app/windows.h"

namespace pelk {

uint32_t EditAddress = 0;
uint32_t EditMaxAddress = 0;

TEditDialog::TEditDialog(QWidget* parent) : TModelessDialog(parent) {
    setObjectName(QStringLiteral("EditDialog"));
    setWindowTitle(QStringLiteral("EDIT"));
    setFixedSize(297, 163);

    auto* address = MakeGroup(this, "Adress", 8, 8, 137, 49);
    AdresEdit = MakeField(address, "AdresEdit", "HEX", 48, 20, 65);
    SpeedButton1 = new StepButton(true, address);
    SpeedButton1->move(119, 13);
    SpeedButton2 = new StepButton(false, address);
    SpeedButton2->move(119, 30);
    auto* current = MakeGroup(this, "Current data", 8, 64, 137, 81);
    CurrentEdit = MakeField(current, "CurrentEdit", "HEX", 48, 22, 57);
    CurrentAscii = MakeField(current, "CurrentAscii", "ASCII", 48, 50, 57);
    CurrentEdit->setReadOnly(true);
    CurrentAscii->setReadOnly(true);
    // Tab goes from field to field the user can type into.
    CurrentEdit->setFocusPolicy(Qt::NoFocus);
    CurrentAscii->setFocusPolicy(Qt::NoFocus);
    auto* fresh = MakeGroup(this, "New data", 152, 8, 137, 81);
    NewEdit = MakeField(fresh, "NewEdit", "HEX", 48, 22, 57);
    NewAscii = MakeField(fresh, "NewAscii", "ASCII", 48, 50, 57);
    KlawiszSet = new QPushButton(QStringLiteral("SET"), this);
    KlawiszSet->setObjectName(QStringLiteral("KlawiszSet"));
    KlawiszSet->setGeometry(183, 110, 75, 25);

    AdresEdit->OnChange = [this] { AdresEditChange(); };
    NewEdit->OnChange = [this] { NewEditChange(); };
    NewAscii->OnChange = [this] { NewAsciiChange(); };
    connect(KlawiszSet, &QPushButton::clicked, this, [this] { Formularz->Guarded([this] { KlawiszSetClick(); }); });
    SpeedButton1->OnMouseDown = [this] { StepField(*AdresEdit, true, EditMaxAddress, false); };
    SpeedButton2->OnMouseDown = [this] { StepField(*AdresEdit, false, EditMaxAddress, false); };

    AdresEdit->SetMaxLength(5);
    NewEdit->SetMaxLength(2);
    NewAscii->SetMaxLength(1);
    CurrentAscii->SetMaxLength(1);
    CurrentEdit->SetMaxLength(2);
    AdresEdit->SetUpperCase(true);
    NewEdit->SetUpperCase(true);
    EditMaxAddress = Formularz->Image.LastAddress;
    NewEdit->SetText(QStringLiteral("FF"));
}

void TEditDialog::ShowCurrent(uint8_t value, bool dotForZero) {
    CurrentEdit->SetText(Hex2(value));
    CurrentAscii->SetText(value ? ByteCharacter(value) : (dotForZero ? QStringLiteral(".") : QString()));
}

void TEditDialog::FormActivate() {
    // The address stays as the user typed it or a click in the grid handed
    // it over; activation shows its byte again, which Fill or a load may
    // have changed meanwhile.
    const MemoryImage& image = Formularz->Image;
    EditMaxAddress = image.LastAddress;
    if (EditAddress > image.LastAddress) EditAddress = image.LastAddress;
    ShowCurrent(image.ImageBuffer[EditAddress], true);
    if (NewEdit->text().isEmpty()) NewEdit->SetText(CurrentEdit->text());
}

void TEditDialog::ShowSelectedCell() {
    // The character column has no byte of its own (its rule would name the
    // next row's first byte, beyond the device on the last row): the dialog
    // then keeps its address.
    const int k = Formularz->Tablica->SelectedColumn();
    const int r = Formularz->Tablica->SelectedRow();
    const uint32_t a = uint32_t(r - 1) * 16 + uint32_t(k - 1);
    if (k >= 1 && k <= 16 && a <= Formularz->Image.LastAddress) EditAddress = a;
    if (EditAddress > Formularz->Image.LastAddress) EditAddress = Formularz->Image.LastAddress;
    AdresEdit->SetText(Hex5(EditAddress));
}

void TEditDialog::UpdateSetButton() { KlawiszSet->setEnabled(!NewEdit->text().isEmpty() && !Formularz->Busy()); }

void TEditDialog::AdresEditChange() {
    const MemoryImage& image = Formularz->Image;
    EditMaxAddress = image.LastAddress;
    const auto v = HexFieldCheck(*AdresEdit).Value;
    if (!v || AddressRefused(*AdresEdit, *v, EditMaxAddress)) return;
    EditAddress = *v;
    ShowCurrent(image.ImageBuffer[EditAddress], false);
}

void TEditDialog::NewEditChange() {
    const HexCheck check = HexFieldCheck(*NewEdit);
    if (!check.Passed) return;
    if (check.Value) NewAscii->SetText(*check.Value & 0xFF ? ByteCharacter(uint8_t(*check.Value)) : QStringLiteral("."));
    if (NewEdit->text().isEmpty()) NewAscii->SetText(QString());
    UpdateSetButton();
}

void TEditDialog::NewAsciiChange() {
    if (NewAscii->text().isEmpty()) {
        // Unlike the Fill dialog, emptying the character empties the value.
        NewEdit->SetText(QString());
        return;
    }
    if (!NewAscii->Typed()) return;
    if (const auto code = CharacterByte(NewAscii->text()[0]))
        NewEdit->SetText(Hex2(*code));
    else
        NewAscii->Undo();  // a character the code page cannot hold has no byte
}

void TEditDialog::KlawiszSetClick() {
    if (Formularz->RefusedWhileBusy("SET")) return;
    MemoryImage& image = Formularz->Image;
    if (EditAddress > image.LastAddress) return;  // never write outside the device
    const uint8_t V = uint8_t(LeadingHexValue(NewEdit->text()));
    image.ImageBuffer[EditAddress] = V;
    Formularz->UpdateBytes(EditAddress, EditAddress);
    Formularz->SumaCRC();
    ShowCurrent(V, false);
    NewEdit->SetText(Hex2(V));
}

void TEditDialog::ShowCell(uint32_t address) {
    AdresEdit->SetText(Hex5(address));
    ShowCurrent(Formularz->Image.ImageBuffer[address], true);
}

void TEditDialog::DeviceChanged() {
    const uint32_t last = Formularz->Image.LastAddress;
    // The address field, and the address SET would write, stay within the device.
    if (LeadingHexValue(AdresEdit->text()) > last || EditAddress > last) AdresEdit->SetText(Hex5(last));
}

}  // namespace pelk

#include "dialogs/edit_dialog.h"

#include <QGroupBox>
#include <QLabel>

#include "dialogs/prompts.h"

namespace pelk {

EditDialog::EditDialog(MemoryImage& image_, QWidget* parent) : ModelessDialog(parent), image(image_) {
    setObjectName(QStringLiteral("editDialog"));
    setWindowTitle(QStringLiteral("EDIT"));
    setFixedSize(297, 163);

    auto* address = MakeGroup(this, "Adress", 8, 8, 137, 49);
    addressField = MakeField(address, "addressField", "HEX", 48, 20, 65);
    addressUp = new StepButton(true, address);
    addressUp->setObjectName(QStringLiteral("addressUp"));
    addressUp->move(119, 13);
    addressDown = new StepButton(false, address);
    addressDown->setObjectName(QStringLiteral("addressDown"));
    addressDown->move(119, 30);
    auto* current = MakeGroup(this, "Current data", 8, 64, 137, 81);
    currentHex = MakeField(current, "currentHex", "HEX", 48, 22, 57);
    currentChar = MakeField(current, "currentChar", "ASCII", 48, 50, 57);
    currentHex->setReadOnly(true);
    currentChar->setReadOnly(true);
    // Tab goes from field to field the user can type into.
    currentHex->setFocusPolicy(Qt::NoFocus);
    currentChar->setFocusPolicy(Qt::NoFocus);
    auto* fresh = MakeGroup(this, "New data", 152, 8, 137, 81);
    newHex = MakeField(fresh, "newHex", "HEX", 48, 22, 57);
    newChar = MakeField(fresh, "newChar", "ASCII", 48, 50, 57);
    setButton = new QPushButton(QStringLiteral("SET"), this);
    setButton->setObjectName(QStringLiteral("setButton"));
    setButton->setGeometry(183, 110, 75, 25);

    addressField->onChange = [this] { addressChanged(); };
    newHex->onChange = [this] { newHexChanged(); };
    newChar->onChange = [this] { newCharChanged(); };
    connect(setButton, &QPushButton::clicked, this, [this] { Guarded([this] { setByte(); }); });
    addressUp->onMouseDown = [this] { StepField(*addressField, true, maxAddress, false); };
    addressDown->onMouseDown = [this] { StepField(*addressField, false, maxAddress, false); };

    addressField->setTypingLimit(5);
    newHex->setTypingLimit(2);
    newChar->setTypingLimit(1);
    currentChar->setTypingLimit(1);
    currentHex->setTypingLimit(2);
    addressField->setUpperCase(true);
    newHex->setUpperCase(true);
    maxAddress = image.LastAddress;
    newHex->putText(QStringLiteral("FF"));
}

void EditDialog::showCurrent(uint8_t value, bool dotForZero) {
    currentHex->putText(Hex2(value));
    currentChar->putText(value ? ByteCharacter(value) : (dotForZero ? QStringLiteral(".") : QString()));
}

void EditDialog::formActivate() {
    // The address stays as the user typed it or a click in the grid handed
    // it over; activation shows its byte again, which Fill or a load may
    // have changed meanwhile.
    maxAddress = image.LastAddress;
    if (editAddress > image.LastAddress) editAddress = image.LastAddress;
    showCurrent(image.ImageBuffer[editAddress], true);
    if (newHex->text().isEmpty()) newHex->putText(currentHex->text());
}

void EditDialog::showSelectedCell(std::optional<uint32_t> cell) {
    if (cell && *cell <= image.LastAddress) editAddress = *cell;
    if (editAddress > image.LastAddress) editAddress = image.LastAddress;
    addressField->putText(Hex5(editAddress));
}

void EditDialog::setBusy(bool busy_) {
    busy = busy_;
    updateSetButton();
}

void EditDialog::updateSetButton() { setButton->setEnabled(!newHex->text().isEmpty() && !busy); }

void EditDialog::addressChanged() {
    maxAddress = image.LastAddress;
    const auto v = HexFieldCheck(*addressField).Value;
    if (!v || AddressRefused(*addressField, *v, maxAddress)) return;
    editAddress = *v;
    showCurrent(image.ImageBuffer[editAddress], false);
}

void EditDialog::newHexChanged() {
    const HexCheck check = HexFieldCheck(*newHex);
    if (!check.Passed) return;
    if (check.Value) newChar->putText(*check.Value & 0xFF ? ByteCharacter(uint8_t(*check.Value)) : QStringLiteral("."));
    if (newHex->text().isEmpty()) newChar->putText(QString());
    updateSetButton();
}

void EditDialog::newCharChanged() {
    if (newChar->text().isEmpty()) {
        // Unlike the Fill dialog, emptying the character empties the value.
        newHex->putText(QString());
        return;
    }
    if (!newChar->typed()) return;
    if (const auto code = CharacterByte(newChar->text()[0]))
        newHex->putText(Hex2(*code));
    else
        newChar->restorePrevious();  // a character the code page cannot hold has no byte
}

void EditDialog::setByte() {
    if (busy) return UserPrompts().Message(BusyRefusal("SET"));
    if (editAddress > image.LastAddress) return;  // never write outside the device
    const uint8_t value = uint8_t(LeadingHexValue(newHex->text()));
    image.ImageBuffer[editAddress] = value;
    emit bytesChanged(editAddress, editAddress);
    showCurrent(value, false);
    newHex->putText(Hex2(value));
}

void EditDialog::showCell(uint32_t address) {
    addressField->putText(Hex5(address));
    showCurrent(image.ImageBuffer[address], true);
}

void EditDialog::deviceChanged() {
    const uint32_t last = image.LastAddress;
    // The address field, and the address SET would write, stay within the device.
    if (LeadingHexValue(addressField->text()) > last || editAddress > last) addressField->putText(Hex5(last));
}

}  // namespace pelk

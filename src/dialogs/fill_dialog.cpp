#include "dialogs/fill_dialog.h"

#include <QGroupBox>
#include <QLabel>
#include <algorithm>

#include "dialogs/prompts.h"

namespace pelk {

FillDialog::FillDialog(MemoryImage& image_, QWidget* parent) : ModelessDialog(parent), image(image_) {
    setObjectName(QStringLiteral("fillDialog"));
    setWindowTitle(QStringLiteral("FILL"));
    setFixedSize(297, 163);

    auto* data = MakeGroup(this, "Data", 8, 8, 137, 81);
    dataHex = MakeField(data, "dataHex", "HEX", 48, 22, 73);
    dataChar = MakeField(data, "dataChar", "ASCII", 48, 50, 73);
    auto* from = MakeGroup(this, "From", 152, 8, 137, 49);
    fromField = MakeField(from, "fromField", "HEX", 48, 20, 73);
    auto* to = MakeGroup(this, "To", 152, 64, 137, 49);
    toField = MakeField(to, "toField", "HEX", 48, 20, 73);
    auto stepButton = [](bool up, QWidget* group, const char* name, int y) {
        auto* b = new StepButton(up, group);
        b->setObjectName(QString::fromLatin1(name));
        b->move(122 - 3, y);
        return b;
    };
    fromUp = stepButton(true, from, "fromUp", 13);
    fromDown = stepButton(false, from, "fromDown", 30);
    toUp = stepButton(true, to, "toUp", 13);
    toDown = stepButton(false, to, "toDown", 30);
    for (DialogEdit* f : {fromField, toField}) f->resize(65, 21);
    fillButton = new QPushButton(QStringLiteral("FILL"), this);
    fillButton->setObjectName(QStringLiteral("fillButton"));
    fillButton->setGeometry(111, 126, 75, 25);

    dataHex->onChange = [this] { dataHexChanged(); };
    dataChar->onChange = [this] { dataCharChanged(); };
    fromField->onChange = [this] { checkAddress(*fromField); };
    toField->onChange = [this] {
        maxAddress = image.LastAddress;
        checkAddress(*toField);
    };
    connect(fillButton, &QPushButton::clicked, this, [this] { Guarded([this] { fill(); }); });
    fromUp->onMouseDown = [this] { StepField(*fromField, true, maxAddress, false); };
    fromDown->onMouseDown = [this] { StepField(*fromField, false, maxAddress, false); };
    toUp->onMouseDown = [this] { StepField(*toField, true, maxAddress, false); };
    toDown->onMouseDown = [this] { StepField(*toField, false, maxAddress, false); };

    // Creation: lengths, the value FF (whose handler fills the character
    // field and enables FILL), From 00000.
    dataHex->setTypingLimit(2);
    dataChar->setTypingLimit(1);
    fromField->setTypingLimit(5);
    toField->setTypingLimit(5);
    maxAddress = image.LastAddress;
    dataHex->putText(QStringLiteral("FF"));
    fromField->putText(QStringLiteral("00000"));
    toField->putText(Hex5(maxAddress));
    for (DialogEdit* f : {fromField, toField, dataHex}) f->setUpperCase(true);
}

void FillDialog::formActivate() {
    // The fields keep what the user typed, also after a click in the grid
    // or in another program; only a device change moves them.
    maxAddress = image.LastAddress;
}

void FillDialog::setBusy(bool busy_) {
    busy = busy_;
    updateFillButton();
}

void FillDialog::updateFillButton() { fillButton->setEnabled(!dataHex->text().isEmpty() && !busy); }

void FillDialog::dataHexChanged() {
    const HexCheck check = HexFieldCheck(*dataHex);
    if (!check.Passed) return;
    if (check.Value) dataChar->putText(*check.Value & 0xFF ? ByteCharacter(uint8_t(*check.Value)) : QStringLiteral("."));
    if (dataHex->text().isEmpty()) dataChar->putText(QString());
    updateFillButton();
}

void FillDialog::dataCharChanged() {
    // Only a typed character sets the value; emptying the field changes nothing.
    if (dataChar->text().isEmpty() || !dataChar->typed()) return;
    if (const auto code = CharacterByte(dataChar->text()[0]))
        dataHex->putText(Hex2(*code));
    else
        dataChar->restorePrevious();  // a character the code page cannot hold has no byte
}

void FillDialog::checkAddress(DialogEdit& field) {
    if (const auto v = HexFieldCheck(field).Value) AddressRefused(field, *v, maxAddress);
}

void FillDialog::fill() {
    if (busy) return UserPrompts().Message(BusyRefusal("FILL"));
    const uint32_t first = LeadingHexValue(fromField->text());
    const uint32_t last = std::min(LeadingHexValue(toField->text()), image.LastAddress);
    const uint8_t value = uint8_t(LeadingHexValue(dataHex->text()));
    if (first <= last) std::fill(image.ImageBuffer.begin() + first, image.ImageBuffer.begin() + last + 1, value);
    emit bytesChanged(first, last);
}

void FillDialog::deviceChanged(uint32_t previousLast) {
    // Both addresses stay within the new device. A "To" at the old device's
    // end meant the whole device, and goes on meaning it.
    const uint32_t last = image.LastAddress;
    maxAddress = last;
    const uint32_t to = LeadingHexValue(toField->text());
    if (to > last || to == previousLast) toField->putText(Hex5(last));
    if (LeadingHexValue(fromField->text()) > last) fromField->putText(Hex5(last));
}

}  // namespace pelk

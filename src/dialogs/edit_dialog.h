#pragma once
// "EDIT": shows one byte of the image and replaces it. Modeless, on top of
// the main window; follows the grid's selected cell.
#include <QPushButton>
#include <cstdint>
#include <optional>

#include "dialogs/hex_field.h"
#include "dialogs/modeless_dialog.h"
#include "image/memory_image.h"

namespace pelk {

class EditDialog : public ModelessDialog {
    Q_OBJECT
public:
    EditDialog(MemoryImage& image, QWidget* parent = nullptr);

    // The address the dialog shows and SET writes; never above LastAddress.
    uint32_t address() const { return editAddress; }
    // A grid cell was clicked: show its byte.
    void showCell(uint32_t address);
    // The dialog opens on the grid's selected cell, when there is one
    // inside the device (the character column has no byte of its own).
    void showSelectedCell(std::optional<uint32_t> cell);
    // An operation runs: SET is disabled, and refused if reached another way.
    void setBusy(bool busy);
    // The device changed: an address beyond the new device moves to its last address.
    void deviceChanged();

    // SET: the byte goes into the image.
    void setByte();

signals:
    // The image's bytes first..last were changed.
    void bytesChanged(uint32_t first, uint32_t last);

protected:
    void formActivate() override;

private:
    void addressChanged();
    void newHexChanged();
    void newCharChanged();
    void showCurrent(uint8_t value, bool dotForZero);
    void updateSetButton();

    MemoryImage& image;
    uint32_t editAddress = 0;
    uint32_t maxAddress = 0;  // LastAddress as of the last look: the address field's limit
    bool busy = false;
    DialogEdit* addressField;
    StepButton *addressUp, *addressDown;
    DialogEdit* currentHex;
    DialogEdit* currentChar;
    DialogEdit* newHex;
    DialogEdit* newChar;
    QPushButton* setButton;
};

}  // namespace pelk

#pragma once
// "FILL": sets every byte of an address range of the image to one value.
// Modeless, on top of the main window.
#include <QPushButton>
#include <cstdint>

#include "dialogs/hex_field.h"
#include "dialogs/modeless_dialog.h"
#include "image/memory_image.h"

namespace pelk {

class FillDialog : public ModelessDialog {
    Q_OBJECT
public:
    FillDialog(MemoryImage& image, QWidget* parent = nullptr);

    // The device changed from one whose last address was previousLast: an
    // address beyond the new device becomes its last address, and a "To" at
    // the old device's end follows to the new end.
    void deviceChanged(uint32_t previousLast);
    // An operation runs: FILL is disabled, and refused if reached another way.
    void setBusy(bool busy);

    // FILL: the range gets the value.
    void fill();

signals:
    // The image's bytes first..last were changed (none when first > last).
    void bytesChanged(uint32_t first, uint32_t last);

protected:
    void formActivate() override;

private:
    void dataHexChanged();
    void dataCharChanged();
    void checkAddress(DialogEdit& field);
    void updateFillButton();

    MemoryImage& image;
    uint32_t maxAddress = 0;  // LastAddress as of the last look: the address fields' limit
    bool busy = false;
    DialogEdit* dataHex;
    DialogEdit* dataChar;
    DialogEdit* fromField;
    DialogEdit* toField;
    StepButton *fromUp, *fromDown, *toUp, *toDown;
    QPushButton* fillButton;
};

}  // namespace pelk

#pragma once
// "FILL": sets every byte of an address range of the image to one value.
// Modeless, on top of the main window.
#include <QPushButton>
#include <cstdint>

#include "dialogs/hex_field.h"
#include "dialogs/modeless_dialog.h"

namespace pelk {

// A copy of LastAddress: the limit of both address fields and their buttons.
extern uint32_t FillMaxAddress;

class TFillDialog : public TModelessDialog {
    Q_OBJECT
public:
    explicit TFillDialog(QWidget* parent = nullptr);

    DialogEdit* FillDataHex;
    DialogEdit* FillDataAscii;
    DialogEdit* FillStart;
    DialogEdit* FillStop;
    StepButton *SpeedButton1, *SpeedButton2, *SpeedButton3, *SpeedButton4;
    QPushButton* KlawiszFill;

    void FormActivate() override;
    void FillDataHexChange();
    void FillDataAsciiChange();
    void FillStartChange();
    void FillStopChange();
    void KlawiszFillClick();
    // The device changed from one whose last address was previousLast: an
    // address beyond the new device becomes its last address, and a "To" at
    // the old device's end follows to the new end.
    void DeviceChanged(uint32_t previousLast);
    // FILL is enabled with a value to fill, and while no operation runs.
    void UpdateFillButton();

private:
    void CheckAddress(DialogEdit& field);
};

}  // namespace pelk

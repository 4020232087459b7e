#pragma once
// "EDIT": shows one byte of the image and replaces it. Modeless, on top of
// the main window; follows the grid's selected cell.
#include <QLineEdit>
#include <QPushButton>
#include <cstdint>

#include "dialogs/hex_field.h"
#include "dialogs/modeless_dialog.h"

namespace pelk {

// The address the dialog shows and SET writes; never above LastAddress.
extern uint32_t EditAddress;
// A copy of LastAddress: the limit of the address field and its buttons.
extern uint32_t EditMaxAddress;

class TEditDialog : public TModelessDialog {
    Q_OBJECT
public:
    explicit TEditDialog(QWidget* parent = nullptr);

    DialogEdit* AdresEdit;
    StepButton *SpeedButton1, *SpeedButton2;
    DialogEdit* CurrentEdit;
    DialogEdit* CurrentAscii;
    DialogEdit* NewEdit;
    DialogEdit* NewAscii;
    QPushButton* KlawiszSet;

    void FormActivate() override;
    void AdresEditChange();
    void NewEditChange();
    void NewAsciiChange();
    void KlawiszSetClick();
    // A grid cell was clicked: show its byte.
    void ShowCell(uint32_t address);
    // Shows the byte of the grid's selected cell (when the dialog opens).
    void ShowSelectedCell();
    // SET is enabled with a value to write, and while no operation runs.
    void UpdateSetButton();
    // The device changed: an address beyond the new device moves to its last address.
    void DeviceChanged();

private:
    void ShowCurrent(uint8_t value, bool dotForZero);
};

}  // namespace pelk

#pragma once
// "Select device": one radio button per supported microcontroller.
#include <QDialog>
#include <QRadioButton>
#include <array>
#include <cstdint>

namespace pelk {

class DeviceDialog : public QDialog {
    Q_OBJECT
public:
    explicit DeviceDialog(QWidget* parent = nullptr);

    // Shows the dialog modally with the device `current` (1..6) checked:
    // the index 1..6 of the checked radio after "OK", 0 after anything else.
    uint8_t chooseDevice(uint8_t current);

private:
    // Index 1..6 of the checked radio, 0 if none.
    uint8_t checkedIndex() const;

    std::array<QRadioButton*, 6> radios{};  // device index 1..6
};

}  // namespace pelk

#pragma once
// "Select device": one radio button per supported microcontroller.
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <array>
#include <cstdint>

namespace pelk {

class TDeviceDialog : public QDialog {
    Q_OBJECT
public:
    explicit TDeviceDialog(QWidget* parent = nullptr);

    std::array<QRadioButton*, 6> radio{};  // radio1..radio6, device index 1..6
    QLabel* Image1;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    // Checks the radio of the selected device (others stay if it is not 1..6).
    void FormActivate();
    // Shows the dialog modally: the index 1..6 of the checked radio after
    // "OK", 0 after anything else.
    uint8_t ChooseDevice();
    // Index 1..6 of the checked radio, 0 if none.
    uint8_t CheckedIndex() const;
};

}  // namespace pelk

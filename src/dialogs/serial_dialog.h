#pragma once
// "Select port": the serial port COM1..COM4, the line speed, the
// automatic-baud mode and the two reset-line sequences; and the two
// process-wide baud settings.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <array>
#include <cstdint>

namespace pelk {

// Index into the 13 rates of the baud list (normally 0..12); the port gets
// the rate of ordinal BaudIndex + 1 of TVaBaudrate.
extern int32_t BaudIndex;
// 1: automatic baud mode on, which forces BaudIndex 6 (9600 bit/s).
extern uint8_t AutoBaud;

constexpr int BaudListSize = 13;
constexpr int32_t AutoBaudIndex = 6;
// Entry texts of the baud list, index 0..12.
extern const std::array<const char*, BaudListSize> BaudListTexts;

// The two reset-line sequences, as messages name them.
inline constexpr const char* LinesBeforeName = "Reset lines before";
inline constexpr const char* LinesAfterName = "Reset lines after";

// Hands the speed to the main window's port: with AutoBaud 1 BaudIndex
// becomes 6 first. A BaudIndex outside the list leaves the port's rate as it is.
void ApplyBaudrate();

class TSerialDialog : public QDialog {
    Q_OBJECT
public:
    explicit TSerialDialog(QWidget* parent = nullptr);

    std::array<QRadioButton*, 4> comcheck{};  // com1check..com4check
    QComboBox* Baudrate;
    QCheckBox* AutoBaudMode;
    // Reset lines: a check box and the sequence's text for each of "before"
    // and "after" each operation.
    QCheckBox* LinesBeforeCheck;
    QLineEdit* LinesBeforeEdit;
    QCheckBox* LinesAfterCheck;
    QLineEdit* LinesAfterEdit;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    uint8_t SelectedPort = 0;

    void FormActivate();
    void ApplyAutoBaud();
    // The user picked an entry or edited the combo box text.
    void BaudrateChange();
    void AutoBaudModeClick();
    // "OK": closes the dialog unless a checked sequence does not parse; that
    // one is named in a message box and gets the focus.
    void OKBtnClick();
    // Shows the dialog modally; true after "OK", with SelectedPort set from
    // the checked radio (kept when none is checked) and the reset lines
    // handed to the main window.
    bool Execute();

    // Checks radio n (1..4); 0 unchecks all four.
    void CheckPort(int n);
    // Selects entry i of the baud list without it counting as a user change.
    void SelectBaudEntry(int i);

private:
    QButtonGroup* PortGroup;
};

}  // namespace pelk

#pragma once
// "Select port": the serial port COM1..COM4, the line speed, the
// automatic-baud mode and the two reset-line sequences.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <array>
#include <cstdint>

#include "protocol/line_sequence.h"

namespace pelk {

constexpr int BaudListSize = 13;
constexpr int32_t AutoBaudIndex = 6;
// Entry texts of the baud list, index 0..12.
extern const std::array<const char*, BaudListSize> BaudListTexts;

// The index of the rate in effect for the speed settings: the automatic
// mode (autoBaud 1) forces 9600 bit/s (index 6); -1 when baudIndex names no
// listed rate (a hand-edited settings file), and the port keeps its rate.
int32_t BaudIndexInEffect(int32_t baudIndex, uint8_t autoBaud);

// The two reset-line sequences, as messages name them.
inline constexpr const char* LinesBeforeName = "Reset lines before";
inline constexpr const char* LinesAfterName = "Reset lines after";

// One of the two reset-line sequences.
struct ResetLinesSetting {
    bool On = false;
    QString Text;
    ParsedLineSequence Parsed = ParseLineSequence("");  // Text, parsed

    static ResetLinesSetting Of(bool on, const QString& text) {
        return {on, text, ParseLineSequence(text.toStdString())};
    }
};

class SerialDialog : public QDialog {
    Q_OBJECT
public:
    explicit SerialDialog(QWidget* parent = nullptr);

    // Shows the dialog modally with port `port` checked (1..4; 0: none),
    // the speed settings and the reset lines as the window holds them; true
    // after "OK". A speed the user picks takes effect at once (baudChanged),
    // also when the dialog is cancelled.
    bool execute(int port, int32_t baudIndex, uint8_t autoBaud, const ResetLinesSetting& before,
                 const ResetLinesSetting& after);
    // After "OK": the checked port (the one given, when none is checked) and
    // the sequences as the dialog shows them.
    int selectedPort() const { return chosenPort; }
    ResetLinesSetting linesBefore() const;
    ResetLinesSetting linesAfter() const;

signals:
    // The speed settings changed: the window's port takes them at once.
    void baudChanged(int32_t baudIndex, uint8_t autoBaud);

private:
    // Checks radio n (1..4); 0 unchecks all four.
    void checkPort(int n);
    // Selects entry i of the baud list without it counting as a user change.
    void selectBaudEntry(int i);
    void applyAutoBaud();
    // The user picked an entry or edited the combo box text.
    void baudrateChanged();
    void autoBaudClicked();
    // "OK": closes the dialog unless a checked sequence does not parse; that
    // one is named in a message box and gets the focus.
    void okClicked();

    int32_t baudIndex = 0;
    uint8_t autoBaud = 0;
    int chosenPort = 0;
    std::array<QRadioButton*, 4> portRadios{};  // COM1..COM4
    QButtonGroup* portGroup;
    QComboBox* baudrate;
    QCheckBox* autoBaudMode;
    // Reset lines: a check box and the sequence's text for each of "before"
    // and "after" each operation.
    QCheckBox* linesBeforeCheck;
    QLineEdit* linesBeforeEdit;
    QCheckBox* linesAfterCheck;
    QLineEdit* linesAfterEdit;
};

}  // namespace pelk

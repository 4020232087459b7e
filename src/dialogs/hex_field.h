#pragma once
// The entry fields of the Load, Fill and Edit dialogs.
//
// DialogEdit: a single-line field that knows whether its last change was
// typed by the user or set by the program, can go back once to the text it
// had before its last change, and limits typing (not the program) to a
// maximum length, optionally showing letters in upper case.
//
// HexFieldCheck: the one text check of every hexadecimal field.
// StepButton: the 17 x 17 stepping buttons beside the address fields.
#include <QGroupBox>
#include <QLineEdit>
#include <QToolButton>
#include <cstdint>
#include <functional>
#include <optional>

namespace pelk {

class DialogEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit DialogEdit(QWidget* parent = nullptr);

    // Runs after every change of the text: typed, pasted or set.
    std::function<void()> onChange;

    // Puts a text into the field as the program (not typed; any length).
    void putText(const QString& text);
    // Goes back to the text the field had before its last change (which
    // runs onChange again, on the restored text). A restored text is taken
    // as it is: an restorePrevious asked for while one runs does nothing, so a handler
    // that refuses the restored text too cannot undo for ever.
    void restorePrevious();
    // onChange is running on a text that restorePrevious restored.
    bool restoring() const { return inUndo; }
    // The last change was typed or pasted by the user.
    bool typed() const { return wasTyped; }

    // Typing stops at this many characters; 0: no limit.
    void setTypingLimit(int n) { limit = n; }
    int typingLimit() const { return limit; }
    void setUpperCase(bool on) { upper = on; }
    bool upperCase() const { return upper; }
    // The text as of the last completed change.
    const QString& committedText() const { return current; }

private:
    void onTextChanged(const QString& text);

    QString before;   // text before the last change
    QString current;  // text after it
    int limit = 0;
    bool upper = false;
    bool wasTyped = false;
    bool setting = false;  // inside putText
    bool inUndo = false;   // inside restorePrevious
};

// The text check of a hexadecimal field, run by its change handler: a text
// holding characters other than 0-9, A-F, a-f is undone once and "Data
// format error !" is shown once per such character; it gives no value (a
// text that restorePrevious restored is not undone again, and shows nothing). An
// empty text passes without a value. Otherwise the value of the whole text.
struct HexCheck {
    bool Passed = false;            // no character was refused
    std::optional<uint32_t> Value;  // set when the text passed and is not empty
};
HexCheck HexFieldCheck(DialogEdit& field);

// The range check of an address field's change handler: a value above
// limit is refused, the field goes back to its previous text and "Adress
// out of range !" is shown. True when refused: the caller takes no value.
// A text that restorePrevious restored is refused quietly, without a second undo.
bool AddressRefused(DialogEdit& field, uint32_t value, uint32_t limit);

// The character a byte stands for in the fields and the grid (Windows-1250).
QString ByteCharacter(uint8_t value);
// The byte of a character, if Windows-1250 has one.
std::optional<uint8_t> CharacterByte(QChar c);

// The value of a text read as hexadecimal up to its first other character
// (empty: 0), as the stepping buttons and the device change read fields.
uint32_t LeadingHexValue(const QString& text);

// "%05lX": at least five upper-case hexadecimal digits.
QString Hex5(uint32_t value);
// "%02hX" of the low byte.
QString Hex2(uint32_t value);

// Steps the field's value by one within 0..limit and writes it back as
// "%05lX" (which runs the field's change handler). With onlyIfChanged the
// text is written only when the value moved.
void StepField(DialogEdit& field, bool up, uint32_t limit, bool onlyIfChanged);

// Layout helpers of the dialogs: a titled group at a fixed place, and a
// field with its label ("HEX", "ASCII", "DEC") on its left.
QGroupBox* MakeGroup(QWidget* parent, const char* title, int x, int y, int w, int h);
DialogEdit* MakeField(QWidget* parent, const char* name, const char* label, int x, int y, int width);

// A small flat button that acts when any mouse button goes down on it, once
// per press.
class StepButton : public QToolButton {
    Q_OBJECT
public:
    StepButton(bool up, QWidget* parent = nullptr);
    std::function<void()> onMouseDown;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace pelk

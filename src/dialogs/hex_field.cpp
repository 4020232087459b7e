#include "dialogs/hex_field.h"

#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QValidator>

#include "dialogs/prompts.h"
#include "image/cp1250.h"

namespace pelk {

namespace {

// Upper case and the typing limit, applied to what the user types or
// pastes; the program's putText bypasses it.
class TypingRules final : public QValidator {
public:
    explicit TypingRules(DialogEdit* edit) : QValidator(edit), edit(edit) {}
    State validate(QString& input, int&) const override {
        if (edit->upperCase()) input = input.toUpper();
        const int limit = edit->typingLimit();
        // Beyond the limit only a change that does not lengthen the text
        // passes, so a longer text the program put in can still be shortened.
        if (limit > 0 && input.size() > limit && input.size() > edit->committedText().size()) return Invalid;
        return Acceptable;
    }

private:
    DialogEdit* edit;
};

bool IsHexDigit(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
}

uint32_t DigitValue(QChar c) {
    if (c >= u'0' && c <= u'9') return c.unicode() - u'0';
    if (c >= u'A' && c <= u'F') return c.unicode() - u'A' + 10;
    return c.unicode() - u'a' + 10;
}

}  // namespace

DialogEdit::DialogEdit(QWidget* parent) : QLineEdit(parent) {
    setValidator(new TypingRules(this));
    connect(this, &QLineEdit::textChanged, this, &DialogEdit::onTextChanged);
}

void DialogEdit::putText(const QString& text) {
    // Every change the program makes comes through here; any other change
    // of the text is the user's (typing, pasting, cutting, dropping).
    const bool outer = !setting;
    setting = true;
    setText(upper ? text.toUpper() : text);
    if (outer) setting = false;
}

void DialogEdit::restorePrevious() {
    if (inUndo) return;
    inUndo = true;
    struct Done {
        bool& Flag;
        ~Done() { Flag = false; }
    } done{inUndo};
    putText(before);
}

void DialogEdit::onTextChanged(const QString& text) {
    const bool typed = !setting;
    setting = false;  // a change made inside the handler is the program's again through putText
    if (typed && limit > 0 && text.size() > limit && text.size() > current.size()) {
        // Typing into a text the program made longer than the limit: the
        // line edit lets that through (its previous text was already too
        // long), so it is taken back here before anyone sees it.
        const QSignalBlocker quiet(this);
        const int cursor = cursorPosition();
        setText(current);
        setCursorPosition(std::min(cursor, int(current.size())));
        return;
    }
    before = current;
    current = text;
    wasTyped = typed;
    if (onChange) onChange();
}

HexCheck HexFieldCheck(DialogEdit& field) {
    const QString text = field.text();
    int bad = 0;
    for (int i = int(text.size()) - 1; i >= 0; --i)
        if (!IsHexDigit(text[i])) ++bad;
    if (bad > 0) {
        if (field.restoring()) return {};
        field.restorePrevious();
        for (int i = 0; i < bad; ++i) UserPrompts().MessageFrom(field.window(), QStringLiteral("Data format error !"));
        return {};
    }
    if (text.isEmpty()) return {true, std::nullopt};
    uint32_t value = 0;
    for (QChar c : text) value = value * 16 + DigitValue(c);
    return {true, value};
}

bool AddressRefused(DialogEdit& field, uint32_t value, uint32_t limit) {
    if (value <= limit) return false;
    if (!field.restoring()) {
        field.restorePrevious();
        UserPrompts().MessageFrom(field.window(), QStringLiteral("Adress out of range !"));
    }
    return true;
}

QString ByteCharacter(uint8_t value) { return QString(QChar(Cp1250ToUnicode(value))); }

std::optional<uint8_t> CharacterByte(QChar c) { return UnicodeToCp1250(c.unicode()); }

uint32_t LeadingHexValue(const QString& text) {
    uint32_t value = 0;
    for (QChar c : text) {
        if (!IsHexDigit(c)) break;
        value = value * 16 + DigitValue(c);
    }
    return value;
}

QString Hex5(uint32_t value) { return QString::asprintf("%05lX", static_cast<unsigned long>(value)); }

QString Hex2(uint32_t value) { return QString::asprintf("%02X", static_cast<unsigned>(value & 0xFF)); }

void StepField(DialogEdit& field, bool up, uint32_t limit, bool onlyIfChanged) {
    const uint32_t old = LeadingHexValue(field.text());
    uint32_t value = old;
    if (up && value < limit) ++value;
    if (!up && value > 0) --value;
    if (onlyIfChanged && value == old) return;
    field.putText(Hex5(value));
}

QGroupBox* MakeGroup(QWidget* parent, const char* title, int x, int y, int w, int h) {
    auto* g = new QGroupBox(QString::fromLatin1(title), parent);
    g->setGeometry(x, y, w, h);
    return g;
}

DialogEdit* MakeField(QWidget* parent, const char* name, const char* label, int x, int y, int width) {
    auto* l = new QLabel(QString::fromLatin1(label), parent);
    l->move(8, y + 3);
    auto* f = new DialogEdit(parent);
    f->setObjectName(QString::fromLatin1(name));
    f->setGeometry(x, y, width, 21);
    return f;
}

StepButton::StepButton(bool up, QWidget* parent) : QToolButton(parent) {
    setFixedSize(17, 17);
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    QPixmap arrow(9, 6);
    arrow.fill(Qt::transparent);
    QPainter p(&arrow);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawPolygon(up ? QPolygonF({QPointF(0, 6), QPointF(9, 6), QPointF(4.5, 0)})
                     : QPolygonF({QPointF(0, 0), QPointF(9, 0), QPointF(4.5, 6)}));
    p.end();
    setIcon(QIcon(arrow));
    setIconSize(arrow.size());
}

void StepButton::mousePressEvent(QMouseEvent* event) {
    event->accept();
    setDown(true);
    if (onMouseDown) onMouseDown();
}

void StepButton::mouseReleaseEvent(QMouseEvent* event) {
    // The button's own release handling knows only the left button; after
    // a press of any other it must not stay drawn pressed.
    if (event->button() == Qt::LeftButton) {
        QToolButton::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    setDown(false);
}

}  // namespace pelk

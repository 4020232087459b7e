#pragma once
// Keys and mouse buttons as the user gives them, delivered to a widget as
// the platform delivers them: a press and a release of each key with its
// text, a press and a release of a mouse button inside the widget. The
// suites that the Windows build runs too use these, since the Qt built for
// Windows leaves Qt's test library out.
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>

namespace pelk::test {

inline void KeyClick(QWidget* widget, Qt::Key key, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &release);
}

// Types `text` character by character.
inline void KeyClicks(QWidget* widget, const QString& text) {
    for (const QChar c : text) KeyClick(widget, Qt::Key(c.toUpper().unicode()), QString(c));
}

inline void MouseButton(QWidget* widget, QEvent::Type type, Qt::MouseButton button) {
    const QPointF at = QRectF(widget->rect()).center();
    const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::NoButton;
    QMouseEvent event(type, at, widget->mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}
inline void MousePress(QWidget* widget, Qt::MouseButton button) {
    MouseButton(widget, QEvent::MouseButtonPress, button);
}
inline void MouseRelease(QWidget* widget, Qt::MouseButton button) {
    MouseButton(widget, QEvent::MouseButtonRelease, button);
}

}  // namespace pelk::test

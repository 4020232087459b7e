#pragma once
// The application's name ("Pelk ISP", the title of its message boxes) and
// desktop entry. No display name is set: window managers would append it
// to every caption, and each window's caption is exactly its own text.
#include <QApplication>

namespace pelk {

inline void SetApplicationIdentity() {
    QApplication::setApplicationName(QStringLiteral("Pelk ISP"));
    QApplication::setDesktopFileName(QStringLiteral("pelkisp"));
}

}  // namespace pelk

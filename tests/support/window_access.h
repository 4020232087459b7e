#pragma once
// The main window of a test or a benchmark, made as the program makes it
// (it reads the settings and opens the port), one at a time. Tests and
// benchmarks reach its controls by their names, as a user finds them by
// their captions: nothing private is opened for them.
#include <QObject>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/main_window.h"

namespace pelk::test {

// The control of `window` named `name`; throws when there is none.
template <class T>
T& Child(QObject& window, const char* name) {
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    if (!found) throw std::runtime_error(std::string("no control named ") + name);
    return *found;
}

inline std::unique_ptr<MainWindow> TheWindow;
inline MainWindow& W() { return *TheWindow; }
inline void OpenWindow() { TheWindow = std::make_unique<MainWindow>(); }
// Closes the window as the program's exit does (the settings file is written).
inline void CloseWindow() {
    if (TheWindow) TheWindow->close();
    TheWindow.reset();
}

}  // namespace pelk::test

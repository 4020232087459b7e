#pragma once
// GoogleTest prints a QString as its text (not as a list of 2-byte objects).
#include <QString>
#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

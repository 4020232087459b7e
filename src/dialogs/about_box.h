#pragma once
// "About": the program's name and version, a picture and contact lines.
#include <QDialog>

namespace pelk {

class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace pelk

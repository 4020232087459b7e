#pragma once
// "About": the program's name and version, a picture and contact lines.
#include <QDialog>
#include <QLabel>

namespace pelk {

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);
    QLabel* Label9;  // title line
    QLabel* Image1;
};

}  // namespace pelk

#include "dialogs/device_dialog.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QPainter>
#include <QVBoxLayout>

#include <QLabel>
#include <QPushButton>

#include "dialogs/icons.h"
#include "dialogs/prompts.h"
#include "image/device_table.h"

namespace pelk {

DeviceDialog::DeviceDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("deviceDialog"));
    setWindowTitle(QStringLiteral("Select device"));
    setFixedSize(259, 208);

    auto* panel = new QGroupBox(this);
    panel->setGeometry(8, 8, 114, 192);
    auto* group = new QButtonGroup(this);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(6, 6, 2, 6);
    for (uint8_t i = 1; i <= DeviceCount; ++i) {
        auto* r = new QRadioButton(QString::fromLatin1(FindDevice(i)->RadioCaption), panel);
        r->setObjectName(QStringLiteral("device%1").arg(i));
        group->addButton(r, i);
        column->addWidget(r);
        radios[i - 1] = r;
    }

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    // The picture takes what the radios leave of the dialog's width.
    picture->setGeometry(128, 12, 125, 90);
    picture->setPixmap(MakeAppPicture(125, 90));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setGeometry(153, 140, 75, 25);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setGeometry(153, 172, 75, 25);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);  // Escape rejects too
}

uint8_t DeviceDialog::checkedIndex() const {
    for (uint8_t i = 0; i < DeviceCount; ++i)
        if (radios[i]->isChecked()) return i + 1;
    return 0;
}

uint8_t DeviceDialog::chooseDevice(uint8_t current) {
    // The selected device is checked (the others stay if it is not 1..6).
    if (current >= 1 && current <= DeviceCount) radios[current - 1]->setChecked(true);
    if (UserPrompts().ExecDialog(*this) != QDialog::Accepted) return 0;
    return checkedIndex();
}

}  // namespace pelk

#include "dialogs/device_dialog.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QPainter>
#include <QVBoxLayout>

#include "app/formularz.h"
#include "app/icons.h"
#include "app/prompts.h"
#include "app/windows.h"
#include "image/device_table.h"

namespace pelk {

TDeviceDialog::TDeviceDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("DeviceDialog"));
    setWindowTitle(QStringLiteral("Select device"));
    setFixedSize(259, 208);

    auto* panel = new QGroupBox(this);
    panel->setGeometry(8, 8, 114, 192);
    auto* group = new QButtonGroup(this);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(6, 6, 2, 6);
    for (uint8_t i = 1; i <= DeviceCount; ++i) {
        auto* r = new QRadioButton(QString::fromLatin1(FindDevice(i)->RadioCaption), panel);
        r->setObjectName(QStringLiteral("radio%1").arg(i));
        group->addButton(r, i);
        column->addWidget(r);
        radio[i - 1] = r;
    }

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    // The picture takes what the radios leave of the dialog's width.
    Image1->setGeometry(128, 12, 125, 90);
    Image1->setPixmap(MakeAppPicture(125, 90));

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(153, 140, 75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(153, 172, 75, 25);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);  // Escape rejects too
}

void TDeviceDialog::FormActivate() {
    const uint8_t d = Formularz->Image.DeviceIndex;
    if (d >= 1 && d <= DeviceCount) radio[d - 1]->setChecked(true);
}

uint8_t TDeviceDialog::CheckedIndex() const {
    for (uint8_t i = 0; i < DeviceCount; ++i)
        if (radio[i]->isChecked()) return i + 1;
    return 0;
}

uint8_t TDeviceDialog::ChooseDevice() {
    FormActivate();
    if (UserPrompts().ExecDialog(*this) != QDialog::Accepted) return 0;
    return CheckedIndex();
}

}  // namespace pelk

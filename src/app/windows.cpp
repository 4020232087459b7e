#include "app/windows.h"

#include <QApplication>

#include "app/about_box.h"
#include "app/formularz.h"
#include "dialogs/device_dialog.h"
#include "dialogs/edit_dialog.h"
#include "dialogs/filldial.h"
#include "dialogs/load_dialog.h"
#include "dialogs/serial_dialog.h"

namespace pelk {

TFormularz* Formularz = nullptr;
TEditDialog* EditDialog = nullptr;
TFillDialog* FillDialog = nullptr;
TLoadDialog* LoadDialog = nullptr;
TSerialDialog* SerialDialog = nullptr;
TDeviceDialog* DeviceDialog = nullptr;
TAboutBox* AboutBox = nullptr;

void SetApplicationIdentity() {
    QApplication::setApplicationName(QStringLiteral("Pelk ISP"));
    QApplication::setDesktopFileName(QStringLiteral("pelkisp"));
}

void CreateWindows() {
    Formularz = new TFormularz;
    // Edit and Fill stay on top of the main window; all dialogs are hidden
    // until a command shows them.
    EditDialog = new TEditDialog(Formularz);
    FillDialog = new TFillDialog(Formularz);
    LoadDialog = new TLoadDialog(Formularz);
    SerialDialog = new TSerialDialog(Formularz);
    DeviceDialog = new TDeviceDialog(Formularz);
    AboutBox = new TAboutBox(Formularz);
}

void DestroyWindows() {
    // The dialogs are children of the main window and go with it.
    delete Formularz;
    Formularz = nullptr;
    EditDialog = nullptr;
    FillDialog = nullptr;
    LoadDialog = nullptr;
    SerialDialog = nullptr;
    DeviceDialog = nullptr;
    AboutBox = nullptr;
}

}  // namespace pelk

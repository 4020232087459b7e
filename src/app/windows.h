#pragma once
// The application's seven windows. Each exists once, from start to exit,
// and is reached through its global instance.
namespace pelk {

class TFormularz;
class TEditDialog;
class TFillDialog;
class TLoadDialog;
class TSerialDialog;
class TDeviceDialog;
class TAboutBox;

extern TFormularz* Formularz;
extern TEditDialog* EditDialog;
extern TFillDialog* FillDialog;
extern TLoadDialog* LoadDialog;
extern TSerialDialog* SerialDialog;
extern TDeviceDialog* DeviceDialog;
extern TAboutBox* AboutBox;

// The application's name ("Pelk ISP", the title of its message boxes) and
// desktop entry. No display name is set: window managers would append it
// to every caption, and each window's caption is exactly its own text.
void SetApplicationIdentity();

// Creates the windows in their fixed order: the main window (whose creation
// reads the settings and opens the port), then the dialogs.
void CreateWindows();
// Destroys them in reverse order (the main window last).
void DestroyWindows();

}  // namespace pelk

#pragma once
// Small pictures for the toolbar and the menus, drawn in code.
#include <QIcon>
#include <QPixmap>

namespace pelk {

enum class IconKind { Program, Verify, Erase, Blank, Stop, Load, Save, Exit, Edit, Fill, Clear, Port, Device, App };

QIcon MakeIcon(IconKind kind);
// The application picture (a chip on a serial line) at any size.
QPixmap MakeAppPicture(int width, int height);

}  // namespace pelk

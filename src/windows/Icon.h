#pragma once

#include <QIcon>

namespace tamblin::windows {

// The program's 16 x 16 icon, shared by the main window and the device dialog.
QIcon tamblinIcon();

}  // namespace tamblin::windows

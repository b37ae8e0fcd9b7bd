#pragma once

#include <QIcon>

// The program's window icon: the images in ui/icons, built into the program as
// a Qt resource so it shows whether or not a desktop theme provides one.
QIcon appIcon();

#pragma once

#include <QIcon>
#include <QImage>

// The program's icon, drawn here at any size: a stack of server racks, many sites on one server.
QImage drawAppIcon(int nSize);
// The icon with its 16, 32 and 48 pixel images.
QIcon appIcon();

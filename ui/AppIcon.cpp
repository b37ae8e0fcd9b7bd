#include "ui/AppIcon.h"

#include <QDirIterator>

QIcon appIcon() {
    // Every size the build embeds (ui/CMakeLists.txt) is offered: the window
    // system picks the nearest, and HiDPI title bars want more than 16 pixels.
    QIcon icon;
    QDirIterator it(QStringLiteral(":/icons/hicolor"), {QStringLiteral("kelvane.png")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        icon.addFile(it.next());
    // Empty only if the resource was not linked in.
    Q_ASSERT(!icon.isNull());
    return icon;
}

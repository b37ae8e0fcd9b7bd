// kelvane-icongen: writes the program's icon as PNG files for the desktop theme.
//
// Usage: kelvane-icongen OUTDIR SIZE...
// Writes OUTDIR/SIZExSIZE/kelvane.png for each SIZE. Run at build time, with
// QT_QPA_PLATFORM=offscreen where there is no display.

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QStringList>

#include <cstdio>

#include "ui/AppIcon.h"

namespace {

constexpr int kMinSize = 8;
constexpr int kMaxSize = 1024;

void fail(const QString& strMessage) {
    std::fprintf(stderr, "kelvane-icongen: %s\n", qPrintable(strMessage));
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        fail(QStringLiteral("usage: kelvane-icongen OUTDIR SIZE..."));
        return 2;
    }

    QList<int> sizes;
    for (qsizetype i = 2; i < args.size(); ++i) {
        bool bOk = false;
        const int nSize = args.at(i).toInt(&bOk);
        if (!bOk || nSize < kMinSize || nSize > kMaxSize) {
            fail(QStringLiteral("not an icon size: '%1'").arg(args.at(i)));
            return 2;
        }
        sizes.append(nSize);
    }

    const QDir outDir(args.at(1));
    for (const int nSize : sizes) {
        const QString strSub = QStringLiteral("%1x%1").arg(nSize);
        if (!outDir.mkpath(strSub)) {
            fail(QStringLiteral("cannot create '%1'").arg(outDir.filePath(strSub)));
            return 1;
        }
        const QImage image = drawAppIcon(nSize);
        if (image.isNull() || image.width() != nSize || image.height() != nSize) {
            fail(QStringLiteral("the icon could not be drawn at %1 pixels").arg(nSize));
            return 1;
        }
        const QString strPath = outDir.filePath(strSub + QStringLiteral("/kelvane.png"));
        QImageWriter writer(strPath, "png");
        if (!writer.write(image)) {
            fail(QStringLiteral("cannot write '%1': %2").arg(strPath, writer.errorString()));
            QFile::remove(strPath);
            return 1;
        }
    }
    return 0;
}

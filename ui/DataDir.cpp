#include "ui/DataDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
QString withSlash(QString str) {
    if (!str.endsWith('/'))
        str += '/';
    return str;
}
} // namespace

QString chooseDataDir(const QString& strExeDir, const QString& strFallbackDir) {
    const QFileInfo info(strExeDir);
    if (info.isDir() && info.isWritable())
        return withSlash(strExeDir);
    QDir().mkpath(strFallbackDir);
    return withSlash(strFallbackDir);
}

QString programDataDir() {
    return chooseDataDir(QCoreApplication::applicationDirPath(),
                         QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

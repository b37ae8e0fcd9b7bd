#pragma once

#include <QString>

// Where "节点模版.txt", "_out.txt" and "Kelvane.ini" live: the program's directory, or, when that
// cannot be written (a program installed under /usr), the per-user data directory.
QString programDataDir();

// The choice itself: exeDir when it is a writable directory, else fallbackDir, made when
// missing. Ends in '/'.
QString chooseDataDir(const QString& strExeDir, const QString& strFallbackDir);

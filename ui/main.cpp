// kelvane: the dialog.

#include <QApplication>
#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QTranslator>

#include "core/FileUtil.h"
#include "core/Sys.h"
#include "ui/GeneratorApp.h"
#include "ui/GeneratorDlg.h"

int main(int argc, char** argv) {
    file::guardStdFds();
    // A file size limit makes a write fail, which the run reports, instead of ending the program.
    sys::failWritesInsteadOfSignals();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setApplicationVersion(QStringLiteral(KELVANE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("io.github.kelvane.Kelvane"));
    // The boxes speak Simplified Chinese too: in the dialog's font, and with Qt's own texts
    // ("OK", the fields' menus) translated.
    QApplication::setFont(dialogFont());
    QTranslator translator;
    if (translator.load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&translator);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Apache virtual host entries for many domains"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    CGeneratorApp theApp;
    return theApp.InitInstance() ? QApplication::exec() : 0;
}

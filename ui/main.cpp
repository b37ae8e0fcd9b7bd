// kelvane: the dialog.

#include <QApplication>
#include <QCommandLineParser>
#include <csignal>

#include "core/FileUtil.h"
#include "ui/GeneratorApp.h"

int main(int argc, char** argv) {
    file::guardStdFds();
    // A file size limit makes a write fail, which the run reports, instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setApplicationVersion(QStringLiteral(KELVANE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("kelvane"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Apache virtual host entries for many domains"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    CGeneratorApp theApp;
    return theApp.InitInstance() ? QApplication::exec() : 0;
}

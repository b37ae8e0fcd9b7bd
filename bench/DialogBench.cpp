// kelvane-dialog-bench: one run of a list file from the dialog, timed from the click on Start to
// the end of the run, while a fast timer watches how long the dialog's event loop goes without
// turning.
//
//   kelvane-dialog-bench -s SITE [-p PREFIX] [-w] -d DATADIR [--expect-bytes N] LIST
//
// The dialog writes DATADIR/_out.txt and, when it closes, DATADIR/Kelvane.ini. No window and
// no program is opened: the platform is "offscreen" unless QT_QPA_PLATFORM says otherwise, and
// the dialog's message boxes and "open the output" are taken here.
//
// On success it prints one line of key=value pairs, e.g.
//   dialog_seconds=0.231456 max_gap_ms=12.345 ticks=48 status_seen=40 ...
// status_seen: status line texts the timer saw; gui_cpu_ms: CPU time the dialog's own thread used
// during the run; process_cpu_ms: that of all threads.
// and exits 0. Exit 1: the run failed, a check failed, or it timed out. Exit 2: usage error.

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <time.h>

#include "core/Core.h"
#include "core/Settings.h"
#include "ui/GeneratorDlg.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;

// The template file the dialog picks up from its data directory; with one there the output
// would no longer be the built-in entries the command-line tool writes.
const QString kTemplateName = QStringLiteral("节点模版.txt");
const QString kOutName = QStringLiteral("_out.txt");
const QString kStatusDone = QStringLiteral("操作结束！");

void complain(const QString& strText) {
    std::fprintf(stderr, "kelvane-dialog-bench: %s\n", qPrintable(strText));
}

// Modification time in nanoseconds, or nothing when the file does not exist.
std::optional<std::int64_t> modifiedNs(const QString& strPath) {
    struct stat st {};
    if (::stat(QFile::encodeName(strPath).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

// CPU time of the calling thread or of the whole process, in nanoseconds.
std::int64_t cpuNs(clockid_t nClock) {
    timespec ts{};
    if (::clock_gettime(nClock, &ts) != 0)
        return 0;
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The dialog, with everything it would show a person taken here instead.
class CBenchDlg : public CGeneratorDlg {
public:
    using CGeneratorDlg::CGeneratorDlg;
    // Called when the run has ended well (the output opens) or something went wrong (a warning).
    std::function<void(const std::string&)> onOpen;
    std::function<void(const std::string&)> onWarning;

    void showWarning(const std::string& strText) override {
        if (onWarning)
            onWarning(strText);
    }
    bool openFile(const std::string& strPath, std::string&) override {
        if (onOpen)
            onOpen(strPath);
        return true;
    }
    void showAbout() override {}
};

template <class T> T* control(QWidget& dlg, const char* pName) {
    T* p = dlg.findChild<T*>(QString::fromLatin1(pName));
    if (!p)
        complain(QStringLiteral("the dialog has no control %1").arg(QString::fromLatin1(pName)));
    return p;
}

} // namespace

int main(int argc, char** argv) {
    // Never a real window unless asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kelvane-dialog-bench"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Times one run of a list file from the Kelvane dialog and the longest stall of its event loop."));
    parser.addHelpOption();
    const QCommandLineOption optSite({QStringLiteral("s"), QStringLiteral("site-path")},
                                     QStringLiteral("Document root of every entry."), QStringLiteral("PATH"));
    const QCommandLineOption optPrefix({QStringLiteral("p"), QStringLiteral("prefix")},
                                       QStringLiteral("Extra host label."), QStringLiteral("LABEL"));
    const QCommandLineOption optWww({QStringLiteral("w"), QStringLiteral("www")},
                                    QStringLiteral("Also www.domain."));
    const QCommandLineOption optDataDir({QStringLiteral("d"), QStringLiteral("data-dir")},
                                        QStringLiteral("Where the dialog writes _out.txt and Kelvane.ini."),
                                        QStringLiteral("DIR"));
    const QCommandLineOption optExpect(QStringLiteral("expect-bytes"),
                                       QStringLiteral("Size the output must have."), QStringLiteral("N"));
    const QCommandLineOption optInterval(QStringLiteral("interval"),
                                         QStringLiteral("Watch timer interval in ms (default 5)."),
                                         QStringLiteral("MS"), QStringLiteral("5"));
    const QCommandLineOption optTimeout(QStringLiteral("timeout"),
                                        QStringLiteral("Give up after this many seconds (default 600)."),
                                        QStringLiteral("S"), QStringLiteral("600"));
    parser.addOptions({optSite, optPrefix, optWww, optDataDir, optExpect, optInterval, optTimeout});
    parser.addPositionalArgument(QStringLiteral("LIST"), QStringLiteral("List file, one domain per line."));
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1 || !parser.isSet(optSite) || !parser.isSet(optDataDir)) {
        complain(QStringLiteral("usage: kelvane-dialog-bench -s SITE [-p PREFIX] [-w] -d DATADIR "
                                "[--expect-bytes N] [--interval MS] [--timeout S] LIST"));
        return kExitUsage;
    }
    bool bOk = false;
    const int nInterval = parser.value(optInterval).toInt(&bOk);
    if (!bOk || nInterval < 1) {
        complain(QStringLiteral("--interval must be a positive number of milliseconds"));
        return kExitUsage;
    }
    const int nTimeoutS = parser.value(optTimeout).toInt(&bOk);
    if (!bOk || nTimeoutS < 1 || nTimeoutS > 86400) {
        complain(QStringLiteral("--timeout must be between 1 and 86400 seconds"));
        return kExitUsage;
    }
    std::optional<qint64> nExpectBytes;
    if (parser.isSet(optExpect)) {
        const qint64 n = parser.value(optExpect).toLongLong(&bOk);
        if (!bOk || n < 0) {
            complain(QStringLiteral("--expect-bytes must be a non-negative number"));
            return kExitUsage;
        }
        nExpectBytes = n;
    }

    // The list field holds the path as its whole text. A path the engine cannot find as a file
    // would be taken as one domain line, so only a readable regular file is accepted, and only a
    // path that trimming leaves as it is.
    const QFileInfo listInfo(positional.front());
    const QString strList = listInfo.absoluteFilePath();
    if (!listInfo.isFile() || !listInfo.isReadable()) {
        complain(QStringLiteral("not a readable file: %1").arg(positional.front()));
        return kExitUsage;
    }
    if (strList != strList.trimmed() || strList.contains(QLatin1Char('\n')) ||
        strList.contains(QLatin1Char('\r'))) {
        complain(QStringLiteral("the list path must not begin or end with blanks or hold line breaks"));
        return kExitUsage;
    }

    const QString strDataDir = QDir(parser.value(optDataDir)).absolutePath();
    if (!QDir().mkpath(strDataDir) || !QFileInfo(strDataDir).isWritable()) {
        complain(QStringLiteral("cannot use %1 as the data directory").arg(strDataDir));
        return kExitUsage;
    }
    const QDir dataDir(strDataDir);
    if (QFileInfo::exists(dataDir.filePath(kTemplateName))) {
        complain(QStringLiteral("%1 holds %2, which the dialog would use instead of the built-in entries; "
                                "use a data directory without it")
                     .arg(strDataDir, kTemplateName));
        return kExitUsage;
    }
    const QString strOut = dataDir.filePath(kOutName);
    const QString strIni = dataDir.filePath(
        QString::fromLatin1(settings::kFileName.data(), static_cast<qsizetype>(settings::kFileName.size())));
    const std::optional<std::int64_t> nOutBefore = modifiedNs(strOut);
    const std::optional<std::int64_t> nIniBefore = modifiedNs(strIni);

    QEventLoop loop;
    QElapsedTimer clock;     // wall clock of the run
    QElapsedTimer tickClock; // monotonic time of the watch timer's ticks
    qint64 nLastTickNs = -1;
    qint64 nMaxGapNs = 0;
    qint64 nRunNs = -1;
    std::int64_t nTicks = 0;
    std::int64_t nStatusSeen = 0; // changes of the status line seen at the ticks
    QString strLastStatus;
    // CPU used during the run by the dialog's thread (its event loop) and by the whole process.
    std::int64_t nGuiCpuNs = 0;
    std::int64_t nProcessCpuNs = 0;
    bool bRunning = false;
    QString strStatusAtEnd;
    std::string strOpened;
    QString strFailure;

    int nResult = kExitFail;
    {
        const std::string strDir = QDir(strDataDir).absolutePath().toStdString() + "/";
        CBenchDlg dlg(tagDataDirs{strDir, strDir});
        CBenchDlg& shell = dlg;

        auto* pDomains = control<QPlainTextEdit>(dlg, "IDC_DOMAINS");
        auto* pSitePath = control<QLineEdit>(dlg, "IDC_SITEPATH");
        auto* pPrefix = control<QLineEdit>(dlg, "IDC_PREFIX");
        auto* pWww = control<QCheckBox>(dlg, "IDC_WWW");
        auto* pStart = control<QPushButton>(dlg, "IDC_START");
        auto* pStatus = control<QLabel>(dlg, "IDC_STATUS");
        if (!pDomains || !pSitePath || !pPrefix || !pWww || !pStart || !pStatus)
            return kExitFail;

        dlg.show();
        pDomains->setPlainText(strList);
        pSitePath->setText(parser.value(optSite));
        pPrefix->setText(parser.value(optPrefix));
        pWww->setChecked(parser.isSet(optWww));

        const auto finish = [&](int nCode) {
            if (bRunning) {
                nRunNs = clock.nsecsElapsed();
                nGuiCpuNs = cpuNs(CLOCK_THREAD_CPUTIME_ID) - nGuiCpuNs;
                nProcessCpuNs = cpuNs(CLOCK_PROCESS_CPUTIME_ID) - nProcessCpuNs;
                // The time since the last tick counts too: the loop has not turned since.
                nMaxGapNs = std::max(nMaxGapNs, tickClock.nsecsElapsed() - nLastTickNs);
                bRunning = false;
            }
            loop.exit(nCode);
        };
        shell.onOpen = [&](const std::string& strPath) {
            strOpened = strPath;
            strStatusAtEnd = pStatus->text();
            finish(kExitOk);
        };
        shell.onWarning = [&](const std::string& strText) {
            strFailure = QStringLiteral("the dialog warns: %1").arg(QString::fromStdString(strText));
            finish(kExitFail);
        };

        // Ticks before the click settle the window; the click itself happens inside the loop, so
        // that the time it takes counts as a gap like any other.
        QTimer watch;
        watch.setTimerType(Qt::PreciseTimer);
        watch.setInterval(nInterval);
        int nSettleTicks = 0;
        bool bClicked = false;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const qint64 nNow = tickClock.nsecsElapsed();
            if (bRunning) {
                nMaxGapNs = std::max(nMaxGapNs, nNow - nLastTickNs);
                ++nTicks;
                if (pStatus->text() != strLastStatus) {
                    strLastStatus = pStatus->text();
                    ++nStatusSeen;
                }
            }
            nLastTickNs = nNow;
            if (bClicked)
                return;
            const QWindow* pWindow = dlg.windowHandle();
            if (++nSettleTicks < 10 || !pWindow || !pWindow->isExposed())
                return;
            bClicked = true;
            bRunning = true;
            nGuiCpuNs = cpuNs(CLOCK_THREAD_CPUTIME_ID);
            nProcessCpuNs = cpuNs(CLOCK_PROCESS_CPUTIME_ID);
            strLastStatus = pStatus->text();
            clock.start();
            pStart->click();
        });
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setInterval(std::chrono::seconds(nTimeoutS));
        QObject::connect(&deadline, &QTimer::timeout, [&] {
            strFailure = bClicked ? QStringLiteral("the run did not end within %1 s").arg(nTimeoutS)
                                  : QStringLiteral("the dialog was not shown within %1 s").arg(nTimeoutS);
            finish(kExitFail);
        });
        deadline.start();
        tickClock.start();
        nLastTickNs = 0;
        watch.start();
        nResult = loop.exec();
        watch.stop();
        deadline.stop();

        if (nResult == kExitOk && !dlg.isVisible())
            strFailure = QStringLiteral("the dialog closed during the run");
    } // the dialog closes here and saves its settings

    if (nResult == kExitOk && strFailure.isEmpty()) {
        const QFileInfo outInfo(strOut);
        const std::optional<std::int64_t> nOutAfter = modifiedNs(strOut);
        if (strStatusAtEnd != kStatusDone)
            strFailure =
                QStringLiteral("the status line says \"%1\", not \"%2\"").arg(strStatusAtEnd, kStatusDone);
        else if (QFileInfo(QString::fromStdString(strOpened)).absoluteFilePath() !=
                 outInfo.absoluteFilePath())
            strFailure =
                QStringLiteral("the dialog opened %1, not %2").arg(QString::fromStdString(strOpened), strOut);
        else if (!nOutAfter)
            strFailure = QStringLiteral("no output file %1").arg(strOut);
        else if (nOutBefore && *nOutAfter == *nOutBefore)
            strFailure = QStringLiteral("%1 was not rewritten by the run").arg(strOut);
        else if (nExpectBytes && outInfo.size() != *nExpectBytes)
            strFailure = QStringLiteral("%1 has %2 bytes, expected %3")
                             .arg(strOut)
                             .arg(outInfo.size())
                             .arg(*nExpectBytes);
    }
    // The close must have left the settings of the run in place, as the next start reads them.
    const std::optional<std::int64_t> nIniAfter = modifiedNs(strIni);
    bool bSettingsSaved = nIniAfter && (!nIniBefore || *nIniAfter != *nIniBefore);
    if (bSettingsSaved) {
        CCore saved(strDataDir.toStdString());
        saved.autoFileConfig();
        bSettingsSaved =
            saved.lastConfigError().empty() &&
            saved.getConfigStr(std::string(settings::kKeySitePath)) == parser.value(optSite).toStdString() &&
            saved.getConfigStr(std::string(settings::kKeyPrefix)) == parser.value(optPrefix).toStdString() &&
            saved.getConfigB(std::string(settings::kKeyWww)) == (parser.isSet(optWww) ? 1 : 0);
    }

    if (nResult != kExitOk || !strFailure.isEmpty()) {
        complain(strFailure.isEmpty() ? QStringLiteral("the run failed") : strFailure);
        return kExitFail;
    }
    if (!bSettingsSaved) {
        complain(QStringLiteral("the dialog did not save the settings of the run to %1 when it closed")
                     .arg(strIni));
        return kExitFail;
    }

    std::printf("dialog_seconds=%.6f max_gap_ms=%.3f ticks=%lld status_seen=%lld "
                "gui_cpu_ms=%.1f process_cpu_ms=%.1f out_bytes=%lld interval_ms=%d platform=%s\n",
                static_cast<double>(nRunNs) / 1e9, static_cast<double>(nMaxGapNs) / 1e6,
                static_cast<long long>(nTicks), static_cast<long long>(nStatusSeen),
                static_cast<double>(nGuiCpuNs) / 1e6, static_cast<double>(nProcessCpuNs) / 1e6,
                static_cast<long long>(QFileInfo(strOut).size()), nInterval,
                qPrintable(QGuiApplication::platformName()));
    return std::fflush(stdout) == 0 ? kExitOk : kExitFail;
}

#include "pelarchive/ArchiveExport.h"
#include "pelmar/ui/QtPropertyHost.h"
#include "pelmar/ui/frmArchive.h"
#include "pelmar/ui/frmMain.h"
#include "pelmar/ui/frmTraffic.h"

#include <QApplication>
#include <QDateEdit>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QPixmap>
#include <QTextStream>
#include <cstdlib>
#include <cstring>
#include <dorlin/CDorlinCtrl.h>
#include <lvlang/modLanguage.h>
#include <pelexport/RecordWriter.h>
#include <pelmar/SaveOptions.h>
#include <pelmar/core/DorlinLink.h>
#include <pelmar/core/ReaderSession.h>
#include <pelmar/core/modKt9.h>
#include <pelmar/dialogs/frmLanguage.h>
#include <pelmar/dialogs/frmLogin.h>
#include <pelmar/dialogs/frmSaveOptions.h>
#include <pelmar/dialogs/frmSettings.h>
#include <pelmar/dialogs/frmTime.h>
#include <pelmar/discovery/ScanEngine.h>
#include <pelmar/discovery/frmAutoScan.h>

namespace pelmar::ui {
namespace {

void SetUpApplication() {
    QApplication::setApplicationName(QStringLiteral("Lorvane"));
    QApplication::setOrganizationName(QStringLiteral("Lorvane"));
    QApplication::setApplicationVersion(QStringLiteral(LORVANE_VERSION));
}

// A reader link that stays closed, for pictures of the reader dialogs.
struct OfflineReader {
    CDorlinCtrl ctrl{nullptr, false};
    DorlinLink link{&ctrl};
    ReaderSession session{&link};
    modKt9 kt9{session};
};

// The Auto Scan window as the "AUTO" entry opens it, scanning the ports of this machine and
// one documentation address (192.0.2.10, which never answers).
std::unique_ptr<discovery::ScanEngine> MakeScanEngine() {
    using namespace discovery;
    return std::make_unique<ScanEngine>(ScanParams{Kt9FirmwareList(), Kt9DeviceLabel(),
                                                   Kt9ProbeCommand(), Kt9BaudList(),
                                                   QStringLiteral("192.0.2.10")},
                                        nullptr, [](const QString& id, const QString& fallback) {
                                            return lvlang::LangString(id, fallback);
                                        });
}

QWidget* MakeDialog(const QString& name, [[maybe_unused]] OfflineReader& reader) {
    QString n = name;
    if (n.startsWith(QLatin1String("frm"))) n = n.mid(3);
    if (n == QLatin1String("login")) return new dialogs::frmLogin;
    if (n == QLatin1String("chgid")) return new dialogs::frmChgID;
    if (n == QLatin1String("settings")) return new dialogs::frmSettings(reader.kt9, reader.link);
    if (n == QLatin1String("time")) {
        // As a reader that holds records shows it (the usual case): its clock, which cannot
        // be set, and the note in red.
        auto* t = new dialogs::frmTime(reader.kt9);
        t->ShowRecordState(true);
        const QDateTime now = QDateTime::currentDateTime();
        if (auto* e = t->findChild<QDateTimeEdit*>(QStringLiteral("dtpTime"))) e->setDateTime(now);
        if (auto* e = t->findChild<QDateEdit*>(QStringLiteral("dtpDate"))) e->setDate(now.date());
        return t;
    }
    if (n == QLatin1String("saveoptions")) {
        // As the main window opens it: the options as stored, and the format list when the
        // program's "Format.ini" is there (the shipped set-up has one).
        clsSaveOptions options;
        LoadSaveOptions(options);
        options.SetIsFormatFileExist(QFileInfo::exists(FormatFilePath()));
        return new dialogs::frmSaveOptions(options);
    }
    if (n == QLatin1String("language")) return new dialogs::frmLanguage;
    return nullptr;
}

} // namespace

QStringList ScreenshotWindowNames() {
    return {QStringLiteral("main"),     QStringLiteral("traffic"), QStringLiteral("autoscan"),
            QStringLiteral("archive"),  QStringLiteral("login"),   QStringLiteral("chgid"),
            QStringLiteral("settings"), QStringLiteral("time"),    QStringLiteral("saveoptions"),
            QStringLiteral("language")};
}

QString ScreenshotUsage() {
    return QStringLiteral(
               "  pelmar --screenshot FILE [--window NAME]   (draws a window into a PNG file)\n"
               "         NAME: %1 (default main)\n")
        .arg(ScreenshotWindowNames().join(QStringLiteral(", ")));
}

int RenderScreenshot(const QString& file, const QString& window) {
    QTextStream err(stderr);
    QWidget* w = nullptr;
    std::unique_ptr<frmMain> main;
    std::unique_ptr<frmTraffic> traffic;
    std::unique_ptr<discovery::ScanEngine> scan;  // outlives the window that shows it
    std::unique_ptr<pelarchive::Archive> archive; // outlives the window that shows it
    std::unique_ptr<QWidget> owned;
    // The dialogs that talk to a reader get a link that is not open.
    OfflineReader reader;
    const QString name = window.toLower();
    if (name.isEmpty() || name == QLatin1String("main") || name == QLatin1String("frmmain")) {
        main = std::make_unique<frmMain>();
        main->resize(1100, 700);
        w = main.get();
    } else if (name == QLatin1String("traffic") || name == QLatin1String("frmtraffic")) {
        // As it opens: the exchanges of the link to come.
        traffic = std::make_unique<frmTraffic>();
        w = traffic.get();
    } else if (name == QLatin1String("autoscan") || name == QLatin1String("frmautoscan")) {
        scan = MakeScanEngine();
        owned = std::make_unique<discovery::frmAutoScan>(*scan);
        scan->Refresh();
        // Drawn once every port has its outcome, as the user sees the list at the end.
        QElapsedTimer t;
        t.start();
        while (!scan->IsComplete() && t.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        w = owned.get();
    } else if (name == QLatin1String("archive") || name == QLatin1String("frmarchive")) {
        // The archive browser over the archive the console uses (setting Archive/Url, else
        // the default file).
        archive = std::make_unique<pelarchive::Archive>();
        QString error;
        if (!pelarchive::OpenArchiveUrl(QString(), *archive, &error)) {
            err << "pelmar: can't open the archive: " << error << Qt::endl;
            return 1;
        }
        clsSaveOptions options;
        LoadSaveOptions(options);
        owned = std::make_unique<frmArchive>(*archive, options, 0);
        w = owned.get();
    } else {
        w = MakeDialog(name, reader);
        if (!w) {
            err << "pelmar: unknown window \"" << window << "\" ("
                << ScreenshotWindowNames().join(", ") << ")" << Qt::endl;
            return 2;
        }
        owned.reset(w);
    }
    w->show();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    const QPixmap pm = w->grab();
    if (!pm.save(file, "PNG")) {
        err << "pelmar: cannot write " << file << Qt::endl;
        return 1;
    }
    w->hide();
    if (main) main->blnEnd = false;
    if (scan) {
        // Every port the scan opened is closed again before the program ends.
        bool closed = false;
        QObject::connect(scan.get(), &discovery::ScanEngine::Closed, [&closed] { closed = true; });
        scan->Shutdown();
        QElapsedTimer t;
        t.start();
        while (!closed && t.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        owned.reset();
    }
    return 0;
}

int RunConsole(int argc, char** argv) {
    QString shot, window;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc)
            shot = QString::fromLocal8Bit(argv[++i]);
        else if (std::strcmp(argv[i], "--window") == 0 && i + 1 < argc)
            window = QString::fromLocal8Bit(argv[++i]);
        else {
            QTextStream(stderr) << "usage:\n" << ScreenshotUsage() << Qt::flush;
            return 2;
        }
    }
    // Pictures need no display.
    if (!shot.isEmpty()) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    SetUpApplication();
    int rc = 0;
    if (!shot.isEmpty()) {
        rc = RenderScreenshot(shot, window);
    } else {
        frmMain w;
        w.show();
        rc = QApplication::exec();
    }
    lvlang::ReleaseLanguageObject();
    return rc;
}

} // namespace pelmar::ui

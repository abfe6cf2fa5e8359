#include "WindowGallery.h"

#include "UiTestSupport.h"
#include "pelarchive/ArchiveExport.h"
#include "pelmar/ui/frmArchive.h"
#include "pelmar/ui/frmMain.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>
#include <dorlin/CDorlinCtrl.h>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>
#include <pelmar/SaveOptions.h>
#include <pelmar/core/DorlinLink.h>
#include <pelmar/dialogs/frmLanguage.h>
#include <pelmar/dialogs/frmLogin.h>
#include <pelmar/dialogs/frmSaveOptions.h>
#include <pelmar/dialogs/frmSettings.h>
#include <pelmar/dialogs/frmTime.h>
#include <pelmar/discovery/ScanEngine.h>
#include <pelmar/discovery/frmAutoScan.h>

using pelmar::ui::frmMain;

namespace uitest {

bool UseBuildData() {
    const QString from = QStringLiteral(LORVANE_DATA_DIR);
    const QString to = DataHome();
    QDir().mkpath(to + "/Language");
    bool ok = true;
    const QStringList files = QDir(from + "/Language").entryList({"*.lng"}, QDir::Files);
    for (const QString& f : files) {
        QFile::remove(to + "/Language/" + f);
        ok = QFile::copy(from + "/Language/" + f, to + "/Language/" + f) && ok;
    }
    QFile::remove(to + "/Format.ini");
    if (QFile::exists(from + "/Format.ini"))
        ok = QFile::copy(from + "/Format.ini", to + "/Format.ini") && ok;
    return ok && files.size() >= 2;
}

void ChooseLanguage(int lcid) {
    lvlang::ReleaseLanguageObject(); // it stores its choice: before the new one
    lvlang::SaveSetting("Language", "DefaultLCID", QString::number(lcid));
    lvlang::SaveSetting("Language", "Language", QString());
}

WindowGallery::WindowGallery() {
    // The reader the main window works with, one more on the scan's list, and a device of
    // another kind.
    reader_ = std::make_unique<lvtest::SimReader>(
        QStringList{"--records", "40", "--erase-ms", "1", "--user-name", "Front Door"});
    second_ = std::make_unique<lvtest::SimReader>(
        QStringList{"--unlocked", "--user-name", "Warehouse", "--machine-id", "2"});
    other_ = std::make_unique<lvtest::SimReader>(QStringList{"--unlocked", "--firmware", "XYZ"});
    lvtest::SetPorts({{3, second_->Link()},
                      {4, other_->Link()},
                      {5, "/nonexistent/port"},
                      {7, reader_->Link()}});
    lvlang::SaveSetting("Archive", "Url", dir_.filePath("archive.sqlite"));
    answers_.loginIds = {"4826"};
}

WindowGallery::~WindowGallery() {
    shown_.reset();
    if (scan_) {
        QSignalSpy closed(scan_.get(), &pelmar::discovery::ScanEngine::Closed);
        scan_->Shutdown();
        lvtest::waitFor([&] { return closed.size() > 0; }, 5000);
    }
    scan_.reset();
    archive_.reset();
    link_.reset();
    for (auto* w : {main_.get(), idle_.get()})
        if (w) {
            w->blnEnd = false;
            w->iExitSub_1 = 0;
            w->close();
        }
    main_.reset();
    idle_.reset();
    lvlang::DeleteSetting("Archive");
    qunsetenv("DORLIN_PORTS");
}

QStringList WindowGallery::Names() {
    return {"main",  "records",  "traffic", "archive",     "autoscan", "login",
            "chgid", "settings", "time",    "saveoptions", "language"};
}

bool WindowGallery::Connected() {
    if (main_) return true;
    if (!reader_->ok() || !second_->ok() || !other_->ok()) {
        why_ = "readersim did not start";
        return false;
    }
    main_ = std::make_unique<frmMain>();
    main_->resize(1100, 700);
    main_->show();
    // The monitor opened first sees the whole exchange.
    main_->mnuTraffic->trigger();
    const int port = main_->cboPort->findText("COM7");
    main_->cboPort->setCurrentIndex(port);
    emit main_->cboPort->activated(port);
    if (!main_->cmdMSR[frmMain::kUpload]->isEnabled()) {
        why_ = "the login failed";
        return false;
    }
    QTest::mouseClick(main_->cmdMSR[frmMain::kUpload], Qt::LeftButton);
    if (main_->Records().RecordCount() != 40) {
        why_ = "the Upload did not read 40 records";
        return false;
    }
    main_->fgData->selectRow(0);
    // Filed in the archive as "Save to archive" does.
    main_->mnuArchiveSave->trigger();
    return true;
}

QWidget* WindowGallery::Show(const QString& name) {
    namespace dlg = pelmar::dialogs;
    shown_.reset();
    QWidget* w = nullptr;
    if (name == "main") {
        if (!idle_) idle_ = std::make_unique<frmMain>();
        idle_->resize(1100, 700);
        w = idle_.get();
    } else if (name == "records" || name == "traffic" || name == "time" || name == "settings" ||
               name == "archive") {
        if (!Connected()) return nullptr;
        if (name == "records") {
            w = main_.get();
        } else if (name == "traffic") {
            w = main_->TrafficWindow();
        } else if (name == "time") {
            auto* t = new dlg::frmTime(main_->Console().Kt9());
            shown_.reset(t);
            t->LoadFromReader();
            w = t;
        } else if (name == "settings") {
            link_ = std::make_unique<pelmar::DorlinLink>(main_->Link());
            auto* s = new dlg::frmSettings(main_->Console().Kt9(), *link_);
            shown_.reset(s);
            if (!s->LoadFromReader()) why_ = "the settings were not read";
            w = s;
        } else {
            archive_ = std::make_unique<pelarchive::Archive>();
            QString error;
            if (!pelarchive::OpenArchiveUrl(QString(), *archive_, &error)) {
                why_ = "the archive did not open: " + error;
                return nullptr;
            }
            auto* a = new pelmar::ui::frmArchive(*archive_, main_->SaveOptions(),
                                                 main_->Records().DisplayMode());
            shown_.reset(a);
            a->fgArchive->selectRow(0);
            w = a;
        }
    } else if (name == "autoscan") {
        using namespace pelmar::discovery;
        scan_ =
            std::make_unique<ScanEngine>(ScanParams{Kt9FirmwareList(), Kt9DeviceLabel(),
                                                    Kt9ProbeCommand(), Kt9BaudList(), QString()},
                                         nullptr, [](const QString& id, const QString& fallback) {
                                             return lvlang::LangString(id, fallback);
                                         });
        auto* s = new frmAutoScan(*scan_);
        shown_.reset(s);
        scan_->Refresh();
        // Shown once every row has its outcome.
        const bool done = lvtest::waitFor([&] { return scan_->IsComplete(); }, 30000);
        if (!done) why_ = "the scan did not finish";
        w = s;
    } else if (name == "login") {
        shown_ = std::make_unique<dlg::frmLogin>();
    } else if (name == "chgid") {
        shown_ = std::make_unique<dlg::frmChgID>();
    } else if (name == "saveoptions") {
        clsSaveOptions options;
        pelmar::LoadSaveOptions(options);
        options.SetIsFormatFileExist(QFile::exists(pelmar::FormatFilePath()));
        shown_ = std::make_unique<dlg::frmSaveOptions>(options);
    } else if (name == "language") {
        shown_ = std::make_unique<dlg::frmLanguage>();
    } else {
        return nullptr;
    }
    if (!w) w = shown_.get();
    w->show();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    return w;
}

} // namespace uitest

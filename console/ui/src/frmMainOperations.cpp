// The main window's reader operations: the port choice and connect, the buttons (download,
// save, delete, clock, version, settings, login ID, erase, recovery) and the Archive menu.
// Each runs in the console core (ReaderConsole) or the archive; the window only shows.
#include "MainPrompt.h"
#include "pelarchive/ArchiveExport.h"
#include "pelarchive/ReaderArchive.h"
#include "pelmar/ui/frmArchive.h"
#include "pelmar/ui/frmMain.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QUrl>
#include <dorlin/CDorlinCtrl.h>
#include <dorlin/TickSource.h>
#include <lvlang/DataDir.h>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>
#include <pelexport/FromRecords.h>

namespace pelmar::ui {

namespace {
QString L(int id, const char* fallback) {
    return lvlang::LangString(id, QString::fromUtf8(fallback));
}
} // namespace

void frmMain::cboPort_Click() {
    if (inPortClick_) return;
    inPortClick_ = true;
    ++console_->Session().iCmdBusy;
    const int index = cboPort->currentIndex();
    const QString text = cboPort->currentText();
    if (index == 0) {
        if (Dorlin->PortOpen()) {
            Dorlin->SetPortOpen(false);
            dorlin::Sleep(150);
        }
        cboPort->setCurrentIndex(-1);
        Enabled1(UiState::NoConnection);
        ClearRecords();
        QString address = FrameIP->title();
        if (address == QLatin1String("0.0.0.0") || address == QLatin1String("255.255.255.255"))
            address.clear();
        QString found;
        const AutoScanRequest request{
            QStringLiteral("KRN-A0102") + QChar(0) + QStringLiteral("KRN-A0101,"),
            QStringLiteral("Kt9/Kt7 "), QStringLiteral("F"), QStringLiteral("19200"), address};
        if (autoScan_ && autoScan_(found, request)) {
            const int at = found.startsWith(QLatin1String("IP:"), Qt::CaseInsensitive)
                               ? cboPort->findText(QStringLiteral("TCP/IP"))
                               : cboPort->findText(found, Qt::MatchFixedString);
            if (at < 0 && found.startsWith(QLatin1String("IP:"), Qt::CaseInsensitive))
                cboPort->setCurrentIndex(1); // the TCP/IP entry may carry a translated text
            else
                cboPort->setCurrentIndex(at);
            OpenReader(found);
        }
    } else if (index == 1) {
        OpenReader(QStringLiteral("IP:") + FrameIP->title());
    } else if (text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        OpenReader(text);
    }
    --console_->Session().iCmdBusy;
    inPortClick_ = false;
}

void frmMain::mnuArchiveSave_Click() {
    if (model_.RecordCount() == 0) {
        QMessageBox::information(this, Title(), L(19304, "No records to archive: Upload first."));
        return;
    }
    // The reader is filed under its port and machine ID, as the command line does.
    pelarchive::ArchiveJob job;
    job.port = port_;
    const pelarchive::Say say = [this](bool failure, const QString& text) {
        prompt_->ShowMessage(failure ? MsgKind::Critical : MsgKind::Information, text, Title());
    };
    if (pelarchive::PrepareArchive(*console_, job, say) != 0) return;
    DownloadResult table;
    table.read = table.total = long(model_.RecordCount());
    pelarchive::ArchiveDownload(job, table, QDateTime::currentDateTime(), model_.Records(), say);
}

void frmMain::mnuArchiveBrowse_Click() {
    pelarchive::Archive archive;
    QString error;
    if (!pelarchive::OpenArchiveUrl(QString(), archive, &error)) {
        QMessageBox::critical(
            this, Title(),
            lvlang::LangFormat(19305, QStringLiteral("Can't open the archive: %s"), error));
        return;
    }
    frmArchive dlg(archive, saveOptions_, model_.DisplayMode(), this);
    dlg.exec();
}

void frmMain::OpenReader(const QString& szPort) {
    ++iExitSub_1;
    Enabled1(UiState::NoConnection);
    cboPort->setEnabled(false);
    Dorlin->SetBaudRate(cboBaud->currentText().toLong());
    const ConnectResult r = console_->OpenReader(szPort);
    port_ = szPort;
    if (r == ConnectResult::Connected) {
        model_.SetTrackDecimal(console_->blnTrackDecimal);
        ClearRecords();
        Label2->setText(QStringLiteral("0 / 0"));
    } else if (r == ConnectResult::Cancelled) {
        inPortClick_ = true;
        cboPort->setCurrentIndex(-1);
        inPortClick_ = false;
    }
    cboPort->setEnabled(true);
    if (!Dorlin->PortOpen()) {
        cboBaud->setEnabled(true);
        FrameIP->setEnabled(true);
    }
    EndOperation();
}

void frmMain::cmdMSR_Click(int index) {
    if (index < 0 || index >= kButtons) return;
    if (index == kStop) {
        // Stop only clears the flags the running download or save checks.
        console_->Stop();
        blnStop2 = false;
        return;
    }
    ++iExitSub_1;
    console_->Session().blnTimeout = false;
    if (!console_->RecheckReader()) {
        Enabled1(UiState::NoConnection);
        cboPort->setEnabled(true);
    } else {
        switch (index) {
        case kUpload:
            RunUpload();
            break;
        case kSave:
            RunSave();
            break;
        case kDelete:
            console_->DeleteRecords();
            break;
        case kOpen:
            RunOpen();
            break;
        case kDateTime:
            RunDateTime();
            break;
        case kVersion:
            console_->ShowVersion();
            break;
        case kSettings:
            RunSettings();
            break;
        case kChangeId:
            RunChangeId();
            break;
        default:
            break; // GetTime and User Name have no operation
        }
    }
    EndOperation();
}

void frmMain::cmdDatabase_Click() {
    ++iExitSub_1;
    // With an archive set, Erase erases only what the archive is known to hold.
    if (!lvlang::GetSetting(QStringLiteral("Archive"), QStringLiteral("Url")).trimmed().isEmpty())
        RunSafeErase();
    else
        console_->EraseWithProgress();
    EndOperation();
}

void frmMain::mnuArchiveSafeErase_Click() {
    if (!Dorlin->PortOpen()) {
        QMessageBox::information(this, Title(), L(19306, "Connect to a reader first."));
        return;
    }
    ++iExitSub_1;
    RunSafeErase();
    EndOperation();
}

void frmMain::RunSafeErase() {
    pelarchive::ArchiveJob job;
    job.port = port_;
    // Each message as it comes: the summary before the erase question, the reason of a
    // refusal at once.
    pelarchive::SafeErase(*console_, job, [this](bool failure, const QString& text) {
        // The download went to the archive, not into the table: the counter shows the table
        // as it is when a message appears.
        UpdateCounter();
        prompt_->ShowMessage(failure ? MsgKind::Critical : MsgKind::Information, text, Title());
    });
}

void frmMain::cmdRecovery_Click() {
    ++iExitSub_1;
    console_->RecoverRecords();
    EndOperation();
}

void frmMain::RunUpload() {
    Enabled1(UiState::RecordsBusy);
    QCoreApplication::processEvents();
    console_->blnStop1 = true;
    ClearRecords();
    model_.SetTrackDecimal(console_->blnTrackDecimal);
    const DownloadResult res = console_->UploadKt9Record(
        [this](long n, const QString& rec) { model_.AppendRecord(rec, n); });
    // A download that did not read everything says why; a complete one says nothing.
    if (res.outcome == DownloadOutcome::Incomplete || res.outcome == DownloadOutcome::Refused ||
        res.outcome == DownloadOutcome::LinkLost)
        prompt_->ShowMessage(MsgKind::Critical, res.why, Title());
    else if (res.outcome == DownloadOutcome::Complete && !res.CountAgrees() &&
             res.read + res.unread.size() != res.total)
        prompt_->ShowMessage(
            MsgKind::Exclamation,
            lvlang::LangFormat(19401,
                               QStringLiteral("The reader counted %d records; %d were read."),
                               res.total, res.read),
            Title());
    if (model_.ConvertError())
        prompt_->ShowMessage(MsgKind::Critical, model_.ConvertErrorMessage(), Title());
    Enabled1(UiState::RecordsDone);
}

QString frmMain::AskSaveFileName() {
    const bool magnetic = model_.Track() != 0;
    const bool workbook = true; // the workbook writer is built in
    const long maxIndex = workbook ? 4 : 3;
    iFilterIndex = qBound(1L, iFilterIndex, maxIndex);
    const QString filter = SaveDialogFilter(magnetic, workbook);
    // The save dialog takes Qt's filter form: "Text (*.txt);;CSV (*.csv)".
    QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i];
    QString selected = filters.value(int(iFilterIndex) - 1, filters.value(0));
    QFileDialog dlg(this, Title());
    dlg.setObjectName(QStringLiteral("cmmDlg"));
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setNameFilters(filters);
    dlg.selectNameFilter(selected);
    dlg.selectFile(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
    QString name = dlg.selectedFiles().first();
    if (name.isEmpty()) return QString();
    const int chosen = int(filters.indexOf(dlg.selectedNameFilter()));
    iFilterIndex = chosen >= 0 ? chosen + 1 : iFilterIndex;
    if (QFileInfo(name).suffix().isEmpty()) {
        // The chosen file type gives the extension when the name has none.
        const QString pat =
            dlg.selectedNameFilter().section(QLatin1String("*"), 1).section(QLatin1Char(')'), 0, 0);
        name += pat;
    }
    return name;
}

void frmMain::RunSave() {
    console_->blnStop1 = true;
    if (model_.RecordCount() > 0 && Dorlin->PortOpen()) {
        const long count = console_->Kt9().ReadRecordCount();
        if (count > 0 && count > model_.RecordCount()) RunUpload();
    }
    if (model_.rowCount() == 0) return;
    const QString name = AskSaveFileName();
    if (name.isEmpty()) return;
    Enabled1(UiState::SaveBusy);
    console_->blnStop1 = true;
    blnStop2 = true;
    SaveHooks hooks;
    hooks.blnStop2 = &blnStop2;
    hooks.szInUseMessage = L(kInUseMessageId, kInUseMessage);
    hooks.fetchMachineID = [this](QString* out) {
        if (!Dorlin->PortOpen()) return false;
        *out = console_->Kt9().GetMacID();
        return console_->Kt9().LastCallOK;
    };
    hooks.fetchUserName = [this](QString* out) {
        if (!Dorlin->PortOpen()) return false;
        *out = console_->Kt9().GetUserNameEx();
        return console_->Kt9().LastCallOK;
    };
    hooks.progress = [this](int row, int rows) {
        prgBar->setRange(0, qMax(1, rows));
        prgBar->setValue(row == 0 ? rows : row);
        if (row % 64 == 0) QCoreApplication::processEvents();
    };
    // The table as shown, with the window's save options.
    const SaveResult res = SaveRecords(name, model_, saveOptions_, hooks);
    if (!res.bOk && !res.blnStopped) {
        blnStop2 = false;
        QString text = res.szError;
        if (!res.szDetail.isEmpty()) text += QStringLiteral("\n") + res.szDetail;
        prompt_->ShowMessage(MsgKind::Critical, text, Title());
    }
    if (blnStop2) {
        const QString upper = res.szFileName.right(4).toUpper();
        const bool inEditor = upper != QLatin1String(".XLS") && upper != QLatin1String(".CSV") &&
                              !res.szFileName.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive);
        ShowSavedFile(res.szFileName, inEditor);
    }
    Enabled1(UiState::RecordsDone);
}

void frmMain::ShowSavedFile(const QString& path, bool /*inEditor*/) {
    // Text and track files as well as tables open with the desktop's application for them.
    const bool shown =
        showFile_ ? showFile_(path) : QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    if (!shown)
        prompt_->ShowMessage(
            MsgKind::Information,
            lvlang::LangFormat(19403,
                               QStringLiteral("The file was saved as %s.\\nNo application is set "
                                              "up to open this type of file."),
                               QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())),
            Title());
}

void frmMain::RunOpen() {
    QFileDialog dlg(this, Title(), lvlang::ProgramDataDir());
    dlg.setObjectName(QStringLiteral("cmmDlg"));
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setNameFilters({QStringLiteral("Text (*.txt *.TXT)")});
    dlg.selectFile(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) +
                   QStringLiteral(".TXT"));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return;
    ShowSavedFile(dlg.selectedFiles().first(), true);
}

void frmMain::RunDateTime() {
    Enabled1(UiState::DialogBusy);
    const bool ok = prompt_->ShowTime(console_->Kt9());
    if (!ok) {
        if (console_->Kt9().CheckReader())
            prompt_->ShowMessage(MsgKind::Critical, L(17009, "Set Date/Time NG"));
        else
            prompt_->ShowMessage(MsgKind::Critical,
                                 lvlang::LangFormat(13514, QStringLiteral("Can't connect to %s!"),
                                                    QStringLiteral("RFID Reader")));
    }
    Enabled1(UiState::DialogDone);
}

void frmMain::RunSettings() {
    Enabled1(UiState::DialogBusy);
    console_->Session().blnTimeout = false;
    const bool ok = prompt_->ShowSettings(console_->Kt9(), *link_);
    QCoreApplication::processEvents();
    if (ok && !console_->Session().blnTimeout) {
        prompt_->SetCaption(ReaderConsole::UserNameCaption(L(13511, "Get User Name...")));
        prompt_->SetCaption(ReaderConsole::UserNameCaption(console_->Kt9().GetKt9UserName()));
    }
    if (console_->Session().blnTimeout) {
        prompt_->SetCaption(Title());
        inPortClick_ = true;
        cboPort->setCurrentIndex(-1);
        inPortClick_ = false;
        cboPort->setEnabled(true);
    } else {
        Enabled1(UiState::DialogDone);
    }
}

void frmMain::RunChangeId() {
    console_->ChangeLoginId();
}

} // namespace pelmar::ui

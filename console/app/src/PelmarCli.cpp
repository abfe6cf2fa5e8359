#include "PelmarCli.h"

#include "ArchiveCli.h"
#include "CliOptions.h"
#include "LanguageCommand.h"

#include "pelexport/FromRecords.h"
#include "pelmar/RecordTableModel.h"
#include "pelmar/SaveOptions.h"
#include "pelmar/core/DeviceSettings.h"
#include "pelmar/core/ReaderConsole.h"
#include "pelmar/core/RnetReaderLink.h"
#include <lvlang/modLanguage.h>

#include "pelmar/discovery/ScanCommand.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMap>
#include <QProcessEnvironment>
#include <atomic>
#include <csignal>
#include <memory>

namespace pelmar::cli {
namespace {

// The signal that asked a running download to stop (0: none).
std::atomic<int> g_signal{0};
extern "C" void OnStopSignal(int n) {
    g_signal = n;
}

// A message text in the current language, with line breaks as the terminal wants them.
QString Text(int id, const char* fallback) {
    QString s = lvlang::LangString(id, QString::fromUtf8(fallback));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return s;
}
QString ReaderGone() {
    return Text(13514, "Can't connect to %s!").replace(QLatin1String("%s"), "RFID Reader");
}

// The prompt of the command line: IDs from options, the environment or the terminal;
// questions answered by --yes or the terminal; messages on stdout (information) or stderr.
class CliPrompt : public IUserPrompt {
public:
    CliPrompt(Io& io, QString loginId, QString newId, bool yes)
        : io_(io), loginId_(std::move(loginId)), newId_(std::move(newId)), yes_(yes) {}

    QString AskLoginId(int attempt) override {
        if (!loginId_.isEmpty()) return attempt == 1 ? loginId_ : QString();
        if (io_.progress) io_.progress->Clear();
        // Interactive: ask again after a refused ID, as the login dialog would.
        for (;;) {
            QString line;
            if (!io_.ask || !io_.ask(QStringLiteral("Enter Login ID : "), true, line))
                return QString();
            if (line.trimmed().isEmpty()) return QString();
            QString id = NormaliseLoginId(line);
            if (!id.isEmpty()) return id;
            io_.err << Text(15002, "Login ID have to be 4 digital numbers\r\nThe default "
                                   "setting is 4826")
                    << Qt::endl;
        }
    }
    QString AskNewLoginId() override { return newId_; }
    bool AskYesNo(const QString& text) override {
        if (yes_) return true;
        if (io_.progress) io_.progress->Clear();
        QString line;
        if (!io_.ask || !io_.ask(text + QStringLiteral(" [y/N] "), false, line)) {
            io_.err << text << QStringLiteral(" (not confirmed: give --yes)") << Qt::endl;
            return false;
        }
        line = line.trimmed().toLower();
        return line == QLatin1String("y") || line == QLatin1String("yes");
    }
    void ShowMessage(MsgKind kind, const QString& text, const QString& title) override {
        Q_UNUSED(title);
        QString t = text;
        t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        if (io_.progress) io_.progress->Clear();
        (kind == MsgKind::Information ? io_.out : io_.err) << t << Qt::endl;
        if (kind != MsgKind::Information) failed_ = true;
    }
    void ShowNote(const QString& text) override {
        if (io_.progress)
            io_.progress->Warning(text);
        else if (!io_.quiet)
            io_.err << text << Qt::endl;
    }
    bool Failed() const { return failed_; }

    // Progress from the window's bar and counter. The bar is set to (0, 1, 0) when a download
    // starts and to (0, n > 1, 0) when a timed operation on the reader's memory starts (erase,
    // recovery); the counter reads "done / count" (a count of 0: not known).
    void SetProgress(long, long maximum, long value) override {
        if (!io_.progress || value != 0) return;
        timed_ = maximum > 1;
        if (timed_) timedCount_ = -1;
        io_.progress->Start(timed_ ? timedLabel : downloadLabel);
    }
    void SetCounter(const QString& text) override {
        const QStringList parts = text.split(QLatin1Char('/'));
        if (parts.size() != 2) return;
        const long done = parts[0].trimmed().toLong(), count = parts[1].trimmed().toLong();
        if (done == 0 && count == 0) return; // the record store emptied, not progress
        if (timed_ && count > 0 && timedCount_ < 0) timedCount_ = count;
        if (!io_.progress || !io_.progress->Active()) return;
        // A download that ends early shows "read / read": its count stays what the reader said.
        if (!(done == count && io_.progress->Expected() > count))
            io_.progress->SetExpected(count > 0 ? count : -1);
        io_.progress->Update(done);
    }
    void SetState(UiState state) override {
        if (state == UiState::RecordsDone && timed_ && io_.progress) io_.progress->Finish();
        if (state == UiState::RecordsDone) timed_ = false;
    }
    // The count the last timed operation started with (-1: none ran).
    long TimedCount() const { return timedCount_; }
    QString downloadLabel = QStringLiteral("Downloading");
    QString timedLabel = QStringLiteral("Erasing");

private:
    Io& io_;
    QString loginId_, newId_;
    bool yes_;
    bool failed_ = false;
    bool timed_ = false;
    long timedCount_ = -1;
};

// One connected reader for the duration of a command; logs out at the end as the main
// window does when it closes.
struct Connection {
    std::unique_ptr<RnetReaderLink> link; // the link without a widget: no window system needed
    std::unique_ptr<ReaderConsole> console;

    Connection(IUserPrompt& prompt) {
        link = std::make_unique<RnetReaderLink>();
        console = std::make_unique<ReaderConsole>(link.get(), prompt);
        // A reader may take up to 1.5 s to answer (a slow line, a busy reader).
        link->SetRnetTimeout(kReplyTimeoutMs);
    }
    ~Connection() {
        if (link->PortOpen()) {
            link->Logout();
            link->SetPortOpen(false);
        }
        console.reset();
        link.reset();
    }
};

const QStringList kCommon = {"--port", "--login", "--baud"};

QString ResolveLogin(const Options& o, Io& io, bool& bad) {
    bad = false;
    QString raw = o.Value("--login");
    if (raw.isEmpty())
        raw = QProcessEnvironment::systemEnvironment().value(QStringLiteral("LORVANE_LOGIN"));
    if (raw.isEmpty()) return QString();
    QString id = NormaliseLoginId(raw);
    if (id.isEmpty()) {
        io.err << Text(15002, "Login ID have to be 4 digital numbers\r\nThe default setting is "
                              "4826")
               << Qt::endl;
        bad = true;
    }
    return id;
}

int UsageError(Io& io, const QString& why) {
    io.err << "pelmar: " << why << Qt::endl << Usage();
    return kExitUsage;
}

// The line that follows a failure to reach the reader: which port, and what to look at. A
// port that would not open has its reason (port, the system's word, a hint) in its message.
void PortHint(Io& io, int code, const QString& port) {
    if (code == kExitNoReader)
        io.err << QStringLiteral("pelmar: no reader answered on %1 (check the cable, the "
                                 "reader's power and its baud rate)")
                      .arg(port)
               << Qt::endl;
}

int Connect(Connection& c, const Options& o, Io& io) {
    if (o.Has("--baud")) c.link->SetBaudRate(o.Value("--baud").toLong());
    ConnectResult r = c.console->OpenReader(o.Value("--port"));
    int code = kExitOk;
    switch (r) {
    case ConnectResult::Connected:
        return kExitOk;
    case ConnectResult::NoPort:
        return UsageError(io, QStringLiteral("--port: COMn, a device path, IP:a.b.c.d or "
                                             "IP:a.b.c.d:port"));
    case ConnectResult::OpenFailed:
        code = kExitPortNotOpen;
        break;
    case ConnectResult::NoReader:
        code = kExitNoReader;
        break;
    case ConnectResult::Refused:
        return kExitLoginRefused;
    case ConnectResult::Cancelled:
        // The login dialog closes silently on Cancel; a command still says why it stopped.
        io.err << QStringLiteral("No Login ID given (use --login or LORVANE_LOGIN).") << Qt::endl;
        return kExitUsage;
    }
    PortHint(io, code, o.Value("--port"));
    return code;
}

// A --reader name must be able to be a reader key.
int CheckReaderName(const Options& o, Io& io) {
    QString why;
    if (o.Has("--reader") && !pelarchive::IsReaderName(o.Value("--reader"), &why))
        return UsageError(io, QStringLiteral("--reader: ") + why);
    return kExitOk;
}

// The exit code of an operation's result (its message has been shown).
int OpCode(OpResult r) {
    switch (r) {
    case OpResult::OK:
    case OpResult::Nothing:
        return kExitOk;
    case OpResult::Refused:
        return kExitRefused;
    case OpResult::NoConnection:
        return kExitNoReader;
    case OpResult::Cancelled:
        return kExitUsage;
    }
    return kExitFailed;
}

int CmdDownload(const QStringList& args, Io& io) {
    Options o = Parse(
        GiveOptionalValue(args, "--archive"),
        kCommon + QStringList{"--mode", "--fields", "--convert", "--out", "--archive", "--reader"},
        {"--file-anyway"});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    if ((o.Has("--reader") || o.Has("--file-anyway")) && !o.Has("--archive"))
        return UsageError(io,
                          QStringLiteral("--reader names a reader in the archive: give --archive"));
    if (int code = CheckReaderName(o, io)) return code;
    if (o.Has("--out") && o.Value("--out").trimmed().isEmpty())
        return UsageError(io, QStringLiteral("--out needs a file name"));
    RecordTableModel model;
    {
        // The save options as the window reads them at start-up.
        clsSaveOptions so;
        LoadSaveOptions(so);
        so.SetIsFormatFileExist(QFileInfo::exists(FormatFilePath()));
        model.SetSaveOptions(so);
    }
    if (o.Has("--mode")) {
        int mode = DisplayModeFromText(o.Value("--mode"));
        if (mode < 0)
            return UsageError(
                io, QStringLiteral("--mode: one of \"%1\"").arg(DisplayModeTexts().join("\", \"")));
        model.SetDisplayMode(mode);
    }
    if (o.Has("--fields")) {
        QStringList f = o.Value("--fields").split(',', Qt::SkipEmptyParts);
        const QStringList names{"type", "event", "week"};
        for (const QString& n : f)
            if (!names.contains(n.trimmed().toLower()))
                return UsageError(io, QStringLiteral("--fields: any of type,event,week"));
        for (int i = 0; i < 3; ++i) {
            bool on = false;
            for (const QString& n : f)
                on = on || n.trimmed().toLower() == names[i];
            model.SetFieldOption(i, on);
        }
    }
    if (o.Has("--convert")) {
        const QStringList conv{"none", "hex2dec", "dec2hex"};
        int c = int(conv.indexOf(o.Value("--convert").toLower()));
        if (c < 0) return UsageError(io, QStringLiteral("--convert: none, hex2dec or dec2hex"));
        clsSaveOptions so = model.SaveOptions();
        so.SetConvertIDMethod(c);
        model.SetSaveOptions(so);
    }
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return kExitUsage;
    CommandProgress progress(io);
    QString filed; // the archive's "N new, M already archived"
    CliPrompt prompt(io, id, QString(), false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    ReaderConsole& rc = *c.console;
    ArchiveJob job{o.Value("--archive"), o.Value("--reader"), o.Value("--port"), {}, {}};
    job.fileAnyway = o.Has("--file-anyway");
    if (o.Has("--archive"))
        if (int code = pelarchive::PrepareArchive(rc, job, SayTo(io, &filed))) return code;
    const QDateTime started = QDateTime::currentDateTime();
    model.SetTrackDecimal(rc.blnTrackDecimal);
    rc.onClearRecords = [&] { model.ClearRecords(); };
    rc.blnStop1 = true;
    // Ctrl+C, SIGTERM and SIGHUP stop the download after the record in flight; what was
    // read is printed or saved as after Stop.
    g_signal = 0;
    const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
    void (*old[3])(int);
    for (int i = 0; i < 3; ++i)
        old[i] = std::signal(stopSignals[i], OnStopSignal);
    DownloadResult res = rc.UploadKt9Record([&](long n, const QString& rec) {
        model.AppendRecord(rec, n);
        if (g_signal != 0) rc.Stop();
    });
    // Archived downloads go on after a dropped link, from the next record.
    int resumes = 0;
    if (o.Has("--archive"))
        resumes = pelarchive::ResumeDownload(
            rc, o.Value("--port"), res,
            [&](long n, const QString& rec) {
                model.AppendRecord(rec, n);
                progress->Update(n);
                if (g_signal != 0) rc.Stop();
            },
            SayTo(io, &filed));
    const int signalled = g_signal;
    for (int i = 0; i < 3; ++i)
        std::signal(stopSignals[i], old[i]);
    progress->Finish();
    // Archived before anything else, so that what was read is kept whatever happens next.
    int archived = 0;
    if (o.Has("--archive"))
        archived = pelarchive::ArchiveDownload(job, res, started, model.Records(),
                                               SayTo(io, &filed), resumes);

    // How the download ended, and what it means for the exit code.
    int code = kExitOk;
    switch (res.outcome) {
    case DownloadOutcome::Complete:
        break;
    case DownloadOutcome::Stopped:
        code = kExitSignalBase + (signalled != 0 ? signalled : SIGINT);
        break;
    case DownloadOutcome::Incomplete:
        io.err << res.why << Qt::endl;
        code = kExitIncomplete;
        break;
    case DownloadOutcome::Refused:
        io.err << res.why << Qt::endl;
        code = kExitRefused;
        break;
    case DownloadOutcome::LinkLost:
        prompt.ShowMessage(MsgKind::Critical, ReaderGone(), {});
        // "no reader answered" only when none did; a reader that went quiet part-way says so.
        if (res.read == 0 && res.next == 0)
            PortHint(io, kExitNoReader, o.Value("--port"));
        else
            io.err << res.why << Qt::endl;
        code = kExitNoReader;
        break;
    }
    if ((res.outcome == DownloadOutcome::Complete || res.outcome == DownloadOutcome::Incomplete) &&
        !res.bounded && !res.CountAgrees())
        progress->Warning(QStringLiteral("Warning: the reader counted %1 records; %2 were read.")
                              .arg(res.total)
                              .arg(res.read));
    // The archive's failure counts when the reader's side went well.
    if (code == kExitOk && archived != 0) code = kExitFailed;
    if (o.Has("--archive") && archived == 0) progress->Summary(ArchivedSummary(filed, res.read));

    if (model.ConvertError())
        prompt.ShowMessage(MsgKind::Critical, model.ConvertErrorMessage(), {});
    if (o.Has("--out") && model.rowCount() == 0 && code != kExitOk) {
        // Nothing was read: no file (Save has nothing to write either).
        return code;
    }
    if (o.Has("--out")) {
        // What Save does with the table: the writer chosen by the extension, the machine ID
        // and user name asked from the reader when the save options want them.
        modKt9& kt9 = rc.Kt9();
        SaveHooks hooks;
        hooks.fetchMachineID = [&](QString* v) {
            *v = kt9.GetMacID();
            return kt9.LastCallOK;
        };
        hooks.fetchUserName = [&](QString* v) {
            *v = kt9.GetUserNameEx();
            return kt9.LastCallOK;
        };
        SaveResult saved = SaveRecords(o.Value("--out"), model, model.SaveOptions(), hooks);
        if (!saved.bOk) {
            io.err << saved.szError;
            if (!saved.szDetail.isEmpty()) io.err << " (" << saved.szDetail << ")";
            io.err << Qt::endl;
            return kExitFailed;
        }
        progress->Summary(
            QStringLiteral("%1 records saved to %2").arg(model.rowCount()).arg(o.Value("--out")));
        return code;
    }
    if (o.Has("--archive")) {
        // Archived, not printed.
        return code;
    }
    QStringList header;
    QList<int> cols;
    for (int col = 0; col < RecordTableModel::kColumns; ++col)
        if (model.IsColumnShown(col)) cols << col;
    for (int col : cols)
        header << model.HeaderText(col);
    io.out << header.join('\t') << '\n';
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int col : cols)
            cells << model.Cell(row, col);
        io.out << cells.join('\t') << '\n';
    }
    io.out.flush();
    return code;
}

int CmdVersion(const QStringList& args, Io& io) {
    Options o = Parse(args, kCommon, {});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return kExitUsage;
    CliPrompt prompt(io, id, QString(), false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    OpResult r = c.console->ShowVersion();
    if (r == OpResult::Refused)
        io.err << QStringLiteral("The reader refused the version request (\"F\").") << Qt::endl;
    if (r == OpResult::NoConnection) PortHint(io, kExitNoReader, o.Value("--port"));
    return OpCode(r);
}

int CmdTime(const QStringList& args, Io& io) {
    Options o = Parse(GiveOptionalValue(args, "--archive"),
                      kCommon + QStringList{"--set", "--archive", "--reader"}, {"--sync"});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    QDateTime target;
    if (!o.sets.isEmpty()) {
        if (o.Has("--sync") || o.sets.size() > 1)
            return UsageError(io, QStringLiteral("give one of --set and --sync"));
        target = QDateTime::fromString(o.sets[0].trimmed(), QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        if (!target.isValid())
            return UsageError(io, QStringLiteral("--set: \"YYYY/MM/DD hh:mm:ss\""));
    }
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return kExitUsage;
    CliPrompt prompt(io, id, QString(), false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    modKt9& kt9 = c.console->Kt9();
    // A reader that is still there refused; one that is gone is no reader.
    auto failed = [&](const QString& refusal) {
        if (kt9.CheckReader()) {
            prompt.ShowMessage(MsgKind::Critical, refusal, {});
            return int(kExitRefused);
        }
        prompt.ShowMessage(MsgKind::Critical, ReaderGone(), {});
        PortHint(io, kExitNoReader, o.Value("--port"));
        return int(kExitNoReader);
    };
    // The clock may only change while the reader holds no records.
    long count = kt9.ReadRecordCount();
    const bool countRead = kt9.LastCallOK;
    bool canSet = count < 1 || !countRead;
    kt9.LastCallOK = false;
    QDateTime now = kt9.ReadDeviceTime();
    const QDateTime host = QDateTime::currentDateTime();
    if (!kt9.LastCallOK) {
        // Could not read the clock: say so (not that setting it failed).
        return failed(canSet ? Text(17010, "Can't get time!!!")
                             : Text(17011, "Can't get time/ Database not empty"));
    }
    // The reader's clock, the host's and the drift, before anything is set.
    io.out << now.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) << Qt::endl
           << ClockReport(now, host);
    io.out.flush();
    if (o.Has("--archive")) {
        ArchiveJob job{o.Value("--archive"), o.Value("--reader"), o.Value("--port"), {}, {}};
        if (int code = pelarchive::PrepareArchive(*c.console, job, SayTo(io))) return code;
    }
    if (!o.Has("--sync") && !target.isValid()) return kExitOk;
    if (!countRead) return failed(Text(17010, "Can't get time!!!"));
    if (!canSet) {
        io.err << Text(17007, "Database not empty") << Qt::endl;
        return kExitRefused;
    }
    if (o.Has("--sync")) target = QDateTime::currentDateTime();
    target.setTime(QTime(target.time().hour(), target.time().minute(), target.time().second()));
    if (kt9.WriteDeviceTime(target)) {
        io.out << Text(17008, "Set Date/Time OK") << Qt::endl;
        return kExitOk;
    }
    return failed(Text(17009, "Set Date/Time NG"));
}

int CmdSettings(const QStringList& args, Io& io) {
    Options o = Parse(args, kCommon + QStringList{"--set"}, {});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    QList<QPair<QString, QString>> changes;
    for (const QString& s : o.sets) {
        qsizetype eq = s.indexOf(QLatin1Char('='));
        if (eq < 1) return UsageError(io, QStringLiteral("--set Field=Value"));
        QString name = s.left(eq).trimmed();
        if (!DeviceSettings::FieldNames().contains(name))
            return UsageError(io, QStringLiteral("unknown setting: %1 (one of %2)")
                                      .arg(name, DeviceSettings::FieldNames().join(", ")));
        changes.append({name, s.mid(eq + 1)});
    }
    {
        DeviceSettings probe;
        for (auto& ch : changes) {
            QString why;
            if (!probe.SetField(ch.first, ch.second, &why)) return UsageError(io, why);
        }
    }
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return kExitUsage;
    CliPrompt prompt(io, id, QString(), false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    modKt9& kt9 = c.console->Kt9();
    const QString title = Text(10000, "Kt5 Utility");
    DeviceSettings loaded;
    SettingsOutcome r = ReadDeviceSettings(kt9, loaded);
    if (!r.ok) {
        prompt.ShowMessage(MsgKind::Critical,
                           QStringLiteral("Get ") + r.item +
                               QStringLiteral(" NG\r\nCan't connect to ") +
                               QStringLiteral("Lorvane!"),
                           title);
        return kt9.LinkTimedOut() && !kt9.CheckReader() ? kExitNoReader : kExitRefused;
    }
    if (changes.isEmpty()) {
        for (const QString& f : DeviceSettings::FieldNames())
            io.out << f << '=' << loaded.Field(f) << '\n';
        io.out.flush();
        return 0;
    }
    DeviceSettings edited = loaded;
    for (auto& ch : changes)
        edited.SetField(ch.first, ch.second, nullptr);
    // The limits the settings dialog's pickers keep: a value beyond them is refused, never
    // clamped.
    const int32_t maxOff = MaxPowerOffTime(c.console->firmware);
    for (auto& ch : changes)
        if (ch.first == QLatin1String("PowerOffTime") && edited.PowerOffTime > maxOff) {
            io.err << QStringLiteral("pelmar: PowerOffTime: 3 to %1 seconds on this reader "
                                     "(firmware %2); nothing was changed")
                          .arg(maxOff)
                          .arg(c.console->firmware.mid(1))
                   << Qt::endl;
            return kExitUsage;
        }
    if (edited == loaded) {
        io.out << QStringLiteral("No setting changed.") << Qt::endl;
        return kExitOk;
    }
    r = ApplyDeviceSettings(kt9, loaded, edited);
    if (!r.ok) {
        prompt.ShowMessage(MsgKind::Critical,
                           QStringLiteral("Set ") + r.item + QStringLiteral(" NG"), title);
        return kt9.CheckReader() ? kExitRefused : kExitNoReader;
    }
    if (r.dateModeKept) {
        io.err << QStringLiteral("DateMode not changed: the reader holds records.") << Qt::endl;
        return kExitRefused;
    }
    prompt.ShowMessage(MsgKind::Information, Text(16100, "Apply Settings OK!"), title);
    return kExitOk;
}

int CmdErase(const QStringList& args, Io& io) {
    Options o =
        Parse(GiveOptionalValue(args, "--archive"), kCommon + QStringList{"--archive", "--reader"},
              {"--yes", "--safe", "--file-anyway"});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    if ((o.Has("--archive") || o.Has("--reader") || o.Has("--file-anyway")) && !o.Has("--safe"))
        return UsageError(io, QStringLiteral("--archive and --reader belong to erase --safe"));
    if (int code = CheckReaderName(o, io)) return code;
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return kExitUsage;
    CommandProgress progress(io);
    CliPrompt prompt(io, id, QString(), o.Has("--yes"));
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    auto erased = [&] {
        progress->Summary(prompt.TimedCount() > 0
                              ? QStringLiteral("Erased %1 records").arg(prompt.TimedCount())
                              : QStringLiteral("Erased the reader's records"));
    };
    if (o.Has("--safe")) {
        ArchiveJob job{o.Value("--archive"), o.Value("--reader"), o.Value("--port"), {}, {}};
        job.fileAnyway = o.Has("--file-anyway");
        const int code = pelarchive::SafeErase(*c.console, job, SayTo(io));
        if (code == 0 && prompt.TimedCount() > 0) erased();
        return code;
    }
    OpResult r = c.console->EraseWithProgress();
    if (r == OpResult::OK) erased();
    if (r == OpResult::Nothing) io.out << QStringLiteral("No records to erase.") << Qt::endl;
    if (r == OpResult::NoConnection) PortHint(io, kExitNoReader, o.Value("--port"));
    return OpCode(r);
}

// The reader's record recovery ("M"): brings back what the reader still holds of records an
// erase removed. The reader is given 60.4 s (the time of 2048 records) to answer, with the
// same progress and outcomes as the erase.
int CmdRecover(const QStringList& args, Io& io) {
    Options o = Parse(args, kCommon, {"--yes"});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return kExitUsage;
    CommandProgress progress(io);
    CliPrompt prompt(io, id, QString(), o.Has("--yes"));
    prompt.timedLabel = QStringLiteral("Recovering");
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    const OpResult r = c.console->RecoverRecords();
    if (r == OpResult::OK) {
        // What came back is what the reader counts now.
        modKt9& kt9 = c.console->Kt9();
        const long count = kt9.ReadRecordCount();
        if (kt9.LastCallOK) {
            io.out << QStringLiteral("The reader holds %1 records now.").arg(count) << Qt::endl;
            progress->Summary(QStringLiteral("Recovered: the reader holds %1 records").arg(count));
        } else {
            progress->Summary(QStringLiteral("Recovered the reader's records"));
        }
    }
    if (r == OpResult::NoConnection) PortHint(io, kExitNoReader, o.Value("--port"));
    return OpCode(r);
}

int CmdChangeLoginId(const QStringList& args, Io& io) {
    Options o = Parse(args, kCommon + QStringList{"--new"}, {});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    QString newId = NormaliseLoginId(o.Value("--new"));
    if (newId.isEmpty())
        return UsageError(io, QStringLiteral("--new: ") +
                                  Text(14002, "Login ID have to be 4 digital numbers"));
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return kExitUsage;
    CliPrompt prompt(io, id, newId, false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    OpResult r = c.console->ChangeLoginId();
    if (r == OpResult::NoConnection) PortHint(io, kExitNoReader, o.Value("--port"));
    return OpCode(r);
}

// Usage of one command: its line of the global usage and what it does.
struct CommandHelp {
    const char* name;
    const char* usage;
    const char* text;
    bool needsPort = true; // talks to one reader, on --port
};
const CommandHelp kCommands[] = {
    {"download",
     "download [--mode MODE] [--fields type,event,week] [--convert none|hex2dec|dec2hex]\n"
     "           [--out FILE] [--archive [URL]] [--reader NAME] [--file-anyway]",
     "Reads every record of the reader. Without --out the table is printed; with it the\n"
     "table is saved as the extension says (.txt, .csv, .iso or .xls/.xlsx). Ctrl+C,\n"
     "SIGTERM and SIGHUP stop it after the record in flight and keep what was read.\n"
     "--archive files the records in the record archive (each punch once) and resumes\n"
     "after a dropped link; --reader names the reader there (without it: the device and\n"
     "the reader's machine ID). Punches already archived for another reader are not filed\n"
     "again unless --file-anyway.\n"},
    {"version", "version", "Shows the reader's firmware version.\n"},
    {"time", "time [--set \"YYYY/MM/DD hh:mm:ss\" | --sync] [--archive [URL]] [--reader NAME]",
     "Shows the reader's clock, the PC's clock and the drift; --set or --sync (the PC's\n"
     "clock) set it, which the reader allows only while it holds no records. --archive\n"
     "keeps the drift with the reader in the archive.\n"},
    {"settings", "settings [--set Field=Value ...]",
     "Shows the reader's settings, or changes the fields given. Fields: MacID, UserName,\n"
     "PowerMode, PowerOffTime, Beep, DateMode, LCDOffTime, LargeFonts, OptionsOfEvent,\n"
     "ScanMode, IsLockDateTime, RFIDScanTime. A value the reader does not take is refused.\n"},
    {"erase", "erase [--yes] [--safe [--archive [URL]] [--reader NAME] [--file-anyway]]",
     "Erases every record of the reader (asks first, unless --yes). --safe downloads,\n"
     "archives and checks every record first, and leaves the reader untouched when any\n"
     "step fails.\n"},
    {"recover", "recover [--yes]",
     "Asks the reader to bring back the records an erase removed (asks first, unless --yes):\n"
     "as many as its memory still holds, at most 2048. The reader takes up to a minute;\n"
     "the command waits 60.4 s for its answer. Exit 0 recovered (the count follows), 7 the\n"
     "reader refused, 4 no answer in time.\n"},
    {"change-login-id", "change-login-id --new ID", "Gives the reader a new Login ID.\n"},
    {"scan",
     "scan [--ip LIST] [--baud LIST] [--firmware ID|ID...] [--label TEXT]\n"
     "       [--command TEXT]",
     "Probes every port (and the addresses of --ip) for readers; needs no --port.\n", false},
    {"records",
     "records [--archive URL] [--reader NAME] [--since last|DATE] [--until DATE]\n"
     "          [--card ID] [--out FILE] [--format NAME] [--mode MODE] [--target NAME]",
     "Lists or exports the archived records; --since last takes the records the output (the\n"
     "file, or --target NAME) has not received yet; the other options only narrow the run.\n",
     false},
    {"collect", "collect --readers FILE [--archive URL] [--every 15m] [--safe-erase]",
     "Downloads (and with --safe-erase, safely erases) every reader of an INI readers file\n"
     "at once into the archive; --every repeats until SIGTERM.\n",
     false},
    {"serve",
     "serve [--archive URL] [--readers FILE] [--listen ADDR:PORT] [--users FILE]\n"
     "          [--every 15m] | serve --add-user NAME --role viewer|operator",
     "Serves the archive's readers and punches to browsers (default 127.0.0.1:8470);\n"
     "other addresses only with a users file. --add-user asks for a password.\n",
     false},
    {"language", "language --write-english FILE | --list",
     "Writes the complete English language file, or lists the language files found.\n", false},
};

const char* kArchiveText =
    "  Archive URL: postgresql://user@host[:port]/db or an SQLite file; default: the setting\n"
    "  Archive/Url, else ~/.local/share/lorvane/archive.sqlite. --baud RATE for serial ports.\n";

QString ExitCodeTable() {
    return QStringLiteral(
        "exit codes (every command):\n"
        "  0    done\n"
        "  1    another failure: an output file could not be written, the archive failed,\n"
        "       erase --safe did not erase (\"Not erased: ... The reader is untouched.\")\n"
        "  2    wrong command line, no Login ID, or a value the reader does not take\n"
        "  3    the port would not open\n"
        "  4    no reader answered, or the reader stopped answering\n"
        "  5    the reader refused the Login ID\n"
        "  6    download incomplete: records that could not be read (listed on stderr),\n"
        "       or the reader did not end its records within 65536\n"
        "  7    the reader refused the operation\n"
        "  8    scan: more than one reader found\n"
        "  128+n  download stopped by signal n (130 Ctrl+C, 143 SIGTERM, 129 SIGHUP);\n"
        "       the records read are printed or saved\n");
}

const char* kCommonText =
    "  PORT: COMn, a device path, IP:a.b.c.d or IP:a.b.c.d:port\n"
    "  The Login ID comes from --login, else LORVANE_LOGIN, else the terminal (asked).\n"
    "  --login puts the ID on the command line, where other users of the machine can see\n"
    "  it; prefer the prompt or LORVANE_LOGIN.\n";

const char* kQuietText =
    "  Long commands show their progress on stderr when it is a terminal; a command that\n"
    "  writes a file or changes a reader ends with a summary line there. --quiet (with any\n"
    "  command) keeps only the errors on stderr.\n";

QString CommandUsage(const CommandHelp& c) {
    QString text = QStringLiteral("usage: pelmar %1").arg(QString::fromUtf8(c.usage));
    if (c.needsPort) text += QStringLiteral(" --port PORT [--login ID]");
    text += QLatin1Char('\n') + QString::fromUtf8(c.text);
    if (c.needsPort) text += QString::fromUtf8(kCommonText);
    if (QString::fromUtf8(c.usage).contains(QLatin1String("--archive")))
        text += QString::fromUtf8(kArchiveText);
    return text + QString::fromUtf8(kQuietText) + ExitCodeTable();
}
} // namespace

QString Usage() {
    QString text = QStringLiteral("usage: pelmar <command> --port PORT [--login ID] [options]\n") +
                   QString::fromUtf8(kCommonText) + QStringLiteral("commands:\n");
    for (const CommandHelp& c : kCommands)
        text += QStringLiteral("  %1\n").arg(QString::fromUtf8(c.usage));
    text += QString::fromUtf8(kArchiveText) + QString::fromUtf8(kQuietText) +
            QStringLiteral("  pelmar CMD --help shows one command's usage.\n");
    return text + ExitCodeTable();
}

int Run(const QStringList& given, Io& io) {
    // --quiet goes with every command.
    QStringList args = given;
    if (args.removeAll(QStringLiteral("--quiet")) > 0) io.quiet = true;
    if (args.isEmpty()) {
        io.err << Usage();
        return kExitUsage;
    }
    const QString cmd = args[0];
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        io.out << Usage();
        return kExitOk;
    }
    for (const CommandHelp& c : kCommands)
        if (cmd == QLatin1String(c.name) &&
            (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h")))) {
            io.out << CommandUsage(c);
            return kExitOk;
        }
    if (cmd == "download") return CmdDownload(args, io);
    if (cmd == "version") return CmdVersion(args, io);
    if (cmd == "time") return CmdTime(args, io);
    if (cmd == "settings") return CmdSettings(args, io);
    if (cmd == "erase") return CmdErase(args, io);
    if (cmd == "change-login-id") return CmdChangeLoginId(args, io);
    if (cmd == "recover") return CmdRecover(args, io);
    if (cmd == "scan") {
        // The scan's own codes (0 one, 1 none, 2 several, 3 usage) in the table above.
        CommandProgress progress(io);
        switch (pelmar::RunScanCommand(args, io.out, io.err, &*progress)) {
        case 0:
            return kExitOk;
        case 1:
            return kExitNoReader;
        case 2:
            return kExitSeveralFound;
        default:
            return kExitUsage;
        }
    }
    if (cmd == "language") return RunLanguageCommand(args, io.out, io.err);
    if (cmd == "records") return CmdRecords(args, io);
    if (cmd == "collect") return CmdCollect(args, io);
    if (cmd == "serve") return CmdServe(args, io);
    return UsageError(io, QStringLiteral("unknown command: %1").arg(cmd));
}

} // namespace pelmar::cli

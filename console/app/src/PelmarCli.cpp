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
#include <QRegularExpression>
#include <atomic>
#include <csignal>
#include <memory>
#include <vector>

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

// What a command asks of its session beyond the login: the new ID of change-login-id, --yes
// for the questions, the label of the timed operation's progress line.
struct SessionWants {
    QString newId;
    bool yes = false;
    QString timedLabel;
};

// One reader for one command, reached the way the main window reaches it: the Login ID from
// --login, LORVANE_LOGIN or the terminal, the port opened, the reader probed and logged in.
struct Session {
    CliPrompt prompt;
    Connection connection;
    Session(Io& io, const QString& id, const SessionWants& wants)
        : prompt(io, id, wants.newId, wants.yes), connection(prompt) {
        if (!wants.timedLabel.isEmpty()) prompt.timedLabel = wants.timedLabel;
    }
    ReaderConsole& console() { return *connection.console; }
};

// Opens the session of a port command. On failure returns its exit code (the message has been
// shown) and leaves session empty.
int OpenSession(const Options& o, Io& io, std::unique_ptr<Session>& session,
                const SessionWants& wants = {}) {
    bool bad = false;
    const QString id = ResolveLogin(o, io, bad);
    if (bad) return kExitUsage;
    session = std::make_unique<Session>(io, id, wants);
    if (int code = Connect(session->connection, o, io)) {
        session.reset();
        return code;
    }
    return kExitOk;
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

int CmdDownload(const Options& o, Io& io) {
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
    CommandProgress progress(io);
    QString filed; // the archive's "N new, M already archived"
    std::unique_ptr<Session> session;
    if (int code = OpenSession(o, io, session)) return code;
    CliPrompt& prompt = session->prompt;
    ReaderConsole& rc = session->console();
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

int CmdVersion(const Options& o, Io& io) {
    std::unique_ptr<Session> session;
    if (int code = OpenSession(o, io, session)) return code;
    OpResult r = session->console().ShowVersion();
    if (r == OpResult::Refused)
        io.err << QStringLiteral("The reader refused the version request (\"F\").") << Qt::endl;
    if (r == OpResult::NoConnection) PortHint(io, kExitNoReader, o.Value("--port"));
    return OpCode(r);
}

int CmdTime(const Options& o, Io& io) {
    QDateTime target;
    if (!o.sets.isEmpty()) {
        if (o.Has("--sync") || o.sets.size() > 1)
            return UsageError(io, QStringLiteral("give one of --set and --sync"));
        target = QDateTime::fromString(o.sets[0].trimmed(), QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        if (!target.isValid())
            return UsageError(io, QStringLiteral("--set: \"YYYY/MM/DD hh:mm:ss\""));
    }
    std::unique_ptr<Session> session;
    if (int code = OpenSession(o, io, session)) return code;
    CliPrompt& prompt = session->prompt;
    modKt9& kt9 = session->console().Kt9();
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
        if (int code = pelarchive::PrepareArchive(session->console(), job, SayTo(io))) return code;
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

int CmdSettings(const Options& o, Io& io) {
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
    std::unique_ptr<Session> session;
    if (int code = OpenSession(o, io, session)) return code;
    CliPrompt& prompt = session->prompt;
    ReaderConsole& console = session->console();
    modKt9& kt9 = console.Kt9();
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
    const int32_t maxOff = MaxPowerOffTime(console.firmware);
    for (auto& ch : changes)
        if (ch.first == QLatin1String("PowerOffTime") && edited.PowerOffTime > maxOff) {
            io.err << QStringLiteral("pelmar: PowerOffTime: 3 to %1 seconds on this reader "
                                     "(firmware %2); nothing was changed")
                          .arg(maxOff)
                          .arg(console.firmware.mid(1))
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

int CmdErase(const Options& o, Io& io) {
    if ((o.Has("--archive") || o.Has("--reader") || o.Has("--file-anyway")) && !o.Has("--safe"))
        return UsageError(io, QStringLiteral("--archive and --reader belong to erase --safe"));
    if (int code = CheckReaderName(o, io)) return code;
    CommandProgress progress(io);
    std::unique_ptr<Session> session;
    if (int code = OpenSession(o, io, session, {{}, o.Has("--yes"), {}})) return code;
    CliPrompt& prompt = session->prompt;
    auto erased = [&] {
        progress->Summary(prompt.TimedCount() > 0
                              ? QStringLiteral("Erased %1 records").arg(prompt.TimedCount())
                              : QStringLiteral("Erased the reader's records"));
    };
    if (o.Has("--safe")) {
        ArchiveJob job{o.Value("--archive"), o.Value("--reader"), o.Value("--port"), {}, {}};
        job.fileAnyway = o.Has("--file-anyway");
        const int code = pelarchive::SafeErase(session->console(), job, SayTo(io));
        if (code == 0 && prompt.TimedCount() > 0) erased();
        return code;
    }
    OpResult r = session->console().EraseWithProgress();
    if (r == OpResult::OK) erased();
    if (r == OpResult::Nothing) io.out << QStringLiteral("No records to erase.") << Qt::endl;
    if (r == OpResult::NoConnection) PortHint(io, kExitNoReader, o.Value("--port"));
    return OpCode(r);
}

// The reader's record recovery ("M"): brings back what the reader still holds of records an
// erase removed. The reader is given 60.4 s (the time of 2048 records) to answer, with the
// same progress and outcomes as the erase.
int CmdRecover(const Options& o, Io& io) {
    CommandProgress progress(io);
    std::unique_ptr<Session> session;
    if (int code = OpenSession(o, io, session, {{}, o.Has("--yes"), QStringLiteral("Recovering")}))
        return code;
    const OpResult r = session->console().RecoverRecords();
    if (r == OpResult::OK) {
        // What came back is what the reader counts now.
        modKt9& kt9 = session->console().Kt9();
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

int CmdChangeLoginId(const Options& o, Io& io) {
    QString newId = NormaliseLoginId(o.Value("--new"));
    if (newId.isEmpty())
        return UsageError(io, QStringLiteral("--new: ") +
                                  Text(14002, "Login ID have to be 4 digital numbers"));
    std::unique_ptr<Session> session;
    if (int code = OpenSession(o, io, session, {newId, false, {}})) return code;
    OpResult r = session->console().ChangeLoginId();
    if (r == OpResult::NoConnection) PortHint(io, kExitNoReader, o.Value("--port"));
    return OpCode(r);
}

// The scan's own codes (0 one, 1 none, 2 several, 3 usage) in the exit-code table.
int CmdScan(const QStringList& args, Io& io) {
    const Options o = Parse(args, OptionsOf(QStringLiteral("scan")));
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    CommandProgress progress(io);
    switch (pelmar::RunScan(o.values, io.out, io.err, &*progress)) {
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

int CmdLanguage(const QStringList& args, Io& io) {
    const Options o = Parse(args, OptionsOf(QStringLiteral("language")));
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    return RunLanguageCommand(o, io.out, io.err);
}

// A COM number or a device server's TCP port beyond what the link holds would wrap round to
// another port (COM65537 is COM1); the other forms are judged when the port opens.
bool PortInRange(const QString& port) {
    static const QRegularExpression com(QStringLiteral("^COM(\\d+)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression ip(QStringLiteral("^IP:[^:]*:(.*)$"),
                                       QRegularExpression::CaseInsensitiveOption);
    bool ok = true;
    if (const auto m = com.match(port.trimmed()); m.hasMatch())
        return m.captured(1).toLong(&ok) <= 32767 && ok;
    if (const auto m = ip.match(port.trimmed()); m.hasMatch()) {
        const long n = m.captured(1).toLong(&ok);
        return ok && n >= 1 && n <= 65535;
    }
    return true;
}

// The options of every command that talks to one reader on --port.
const OptionRow kPortOptions[] = {
    {"--port", "PORT", "the reader's port (PORT below)", 0, 0,
     "COMn (n from 0 to 32767), a device path, IP:a.b.c.d or IP:a.b.c.d:port (port 1 to 65535)",
     false, PortInRange},
    {"--login", "ID", "the reader's Login ID (else LORVANE_LOGIN, else asked)"},
    {"--baud", "RATE", "the line speed of a serial port", 50, 4000000,
     "50 to 4000000 (bits per second)"},
};

const OptionRow kDownloadOptions[] = {
    {"--mode", "MODE", "how card IDs show: None, TK1 in Hex, TK1 in Dec, ... (as the window)"},
    {"--fields", "LIST", "the extra columns: any of type,event,week"},
    {"--convert", "HOW", "card IDs converted: none, hex2dec or dec2hex"},
    {"--out", "FILE", "save the table: .txt, .csv, .iso, .xls or .xlsx"},
    {"--archive", "URL", "file the records in the archive (URL optional)", 0, 0, nullptr, true},
    {"--reader", "NAME", "the reader's name in the archive"},
    {"--file-anyway", nullptr, "file punches archived for another reader too"},
};
const OptionRow kTimeOptions[] = {
    {"--set", "DATE", "set the clock to \"YYYY/MM/DD hh:mm:ss\""},
    {"--sync", nullptr, "set the clock to the PC's"},
    {"--archive", "URL", "keep the drift in the archive (URL optional)", 0, 0, nullptr, true},
    {"--reader", "NAME", "the reader's name in the archive"},
};
const OptionRow kSettingsOptions[] = {
    {"--set", "FIELD=VALUE", "change one setting (repeatable)"},
};
const OptionRow kEraseOptions[] = {
    {"--yes", nullptr, "do not ask first"},
    {"--safe", nullptr, "download, archive and check every record first"},
    {"--archive", "URL", "the archive of --safe (URL optional)", 0, 0, nullptr, true},
    {"--reader", "NAME", "the reader's name in the archive"},
    {"--file-anyway", nullptr, "file punches archived for another reader too"},
};
const OptionRow kRecoverOptions[] = {
    {"--yes", nullptr, "do not ask first"},
};
const OptionRow kChangeLoginIdOptions[] = {
    {"--new", "ID", "the new Login ID: 4 digits"},
};
const OptionRow kScanOptions[] = {
    {"--ip", "LIST", "device server addresses to probe too"},
    {"--baud", "LIST", "the line speeds to try"},
    {"--firmware", "ID", "only readers of these firmware IDs (ID|ID...)"},
    {"--label", "TEXT", "the label of the reader found"},
    {"--command", "TEXT", "a command to run on the reader found"},
};
const OptionRow kRecordsOptions[] = {
    {"--archive", "URL", "the archive"},
    {"--reader", "NAME", "only this reader's records"},
    {"--since", "last|DATE", "from DATE, or what the output has not received yet"},
    {"--until", "DATE", "up to DATE"},
    {"--card", "ID", "only this card"},
    {"--out", "FILE", "export to FILE"},
    {"--format", "NAME", "the export format"},
    {"--mode", "MODE", "how card IDs show"},
    {"--target", "NAME", "the output that --since last counts for"},
};
bool IsInterval(const QString& text) {
    return ParseInterval(text) > 0;
}
const char* const kIntervalAccepted = "a time such as 90s, 15m or 1h";
const OptionRow kCollectOptions[] = {
    {"--readers", "FILE", "the INI readers file"},
    {"--archive", "URL", "the archive (URL optional)", 0, 0, nullptr, true},
    {"--every", "INTERVAL", "repeat every 15m, 90s, 1h ... until SIGTERM", 0, 0, kIntervalAccepted,
     false, IsInterval},
    {"--safe-erase", nullptr, "erase each reader safely after its download"},
};
const OptionRow kServeOptions[] = {
    {"--archive", "URL", "the archive (URL optional)", 0, 0, nullptr, true},
    {"--readers", "FILE", "the INI readers file to collect from"},
    {"--listen", "ADDR:PORT", "where to listen (default 127.0.0.1:8470)"},
    {"--users", "FILE", "the users file"},
    {"--every", "INTERVAL", "collect every 15m, 90s, 1h ...", 0, 0, kIntervalAccepted, false,
     IsInterval},
    {"--add-user", "NAME", "add a user to the users file (asks for a password)"},
    {"--role", "ROLE", "the new user's role: viewer or operator"},
};
const OptionRow kLanguageOptions[] = {
    {"--write-english", "FILE", "write the complete English language file"},
    {"--list", nullptr, "list the language files found"},
};

// Every command: its usage line, what it does, its options, and how it runs: a command that
// talks to one reader gets its options parsed (with kPortOptions) and checked; the others
// parse their own from the table's rows or their own code.
const CommandRow kCommands[] = {
    {"download",
     "download [--mode MODE] [--fields type,event,week] [--convert none|hex2dec|dec2hex]\n"
     "           [--out FILE] [--archive [URL]] [--reader NAME] [--file-anyway]",
     "Reads every record of the reader. Without --out the table is printed; with it the\n"
     "table is saved as the extension says (.txt, .csv, .iso or .xls/.xlsx). Ctrl+C,\n"
     "SIGTERM and SIGHUP stop it after the record in flight and keep what was read.\n"
     "--archive files the records in the record archive (each punch once) and resumes\n"
     "after a dropped link; --reader names the reader there (without it: the device and\n"
     "the reader's machine ID). Punches already archived for another reader are not filed\n"
     "again unless --file-anyway.\n",
     kDownloadOptions, CmdDownload},
    {"version", "version", "Shows the reader's firmware version.\n", {}, CmdVersion},
    {"time", "time [--set \"YYYY/MM/DD hh:mm:ss\" | --sync] [--archive [URL]] [--reader NAME]",
     "Shows the reader's clock, the PC's clock and the drift; --set or --sync (the PC's\n"
     "clock) set it, which the reader allows only while it holds no records. --archive\n"
     "keeps the drift with the reader in the archive.\n",
     kTimeOptions, CmdTime},
    {"settings", "settings [--set Field=Value ...]",
     "Shows the reader's settings, or changes the fields given. Fields: MacID, UserName,\n"
     "PowerMode, PowerOffTime, Beep, DateMode, LCDOffTime, LargeFonts, OptionsOfEvent,\n"
     "ScanMode, IsLockDateTime, RFIDScanTime. A value the reader does not take is refused.\n",
     kSettingsOptions, CmdSettings},
    {"erase", "erase [--yes] [--safe [--archive [URL]] [--reader NAME] [--file-anyway]]",
     "Erases every record of the reader (asks first, unless --yes). --safe downloads,\n"
     "archives and checks every record first, and leaves the reader untouched when any\n"
     "step fails.\n",
     kEraseOptions, CmdErase},
    {"recover", "recover [--yes]",
     "Asks the reader to bring back the records an erase removed (asks first, unless --yes):\n"
     "as many as its memory still holds, at most 2048. The reader takes up to a minute;\n"
     "the command waits 60.4 s for its answer. Exit 0 recovered (the count follows), 7 the\n"
     "reader refused, 4 no answer in time.\n",
     kRecoverOptions, CmdRecover},
    {"change-login-id", "change-login-id --new ID", "Gives the reader a new Login ID.\n",
     kChangeLoginIdOptions, CmdChangeLoginId},
    {"scan",
     "scan [--ip LIST] [--baud LIST] [--firmware ID|ID...] [--label TEXT]\n"
     "       [--command TEXT]",
     "Probes every port (and the addresses of --ip) for readers; needs no --port.\n", kScanOptions,
     nullptr, CmdScan},
    {"records",
     "records [--archive URL] [--reader NAME] [--since last|DATE] [--until DATE]\n"
     "          [--card ID] [--out FILE] [--format NAME] [--mode MODE] [--target NAME]",
     "Lists or exports the archived records; --since last takes the records the output (the\n"
     "file, or --target NAME) has not received yet; the other options only narrow the run.\n",
     kRecordsOptions, nullptr, CmdRecords},
    {"collect", "collect --readers FILE [--archive URL] [--every 15m] [--safe-erase]",
     "Downloads (and with --safe-erase, safely erases) every reader of an INI readers file\n"
     "at once into the archive; --every repeats until SIGTERM.\n",
     kCollectOptions, nullptr, CmdCollect},
    {"serve",
     "serve [--archive URL] [--readers FILE] [--listen ADDR:PORT] [--users FILE]\n"
     "          [--every 15m] | serve --add-user NAME --role viewer|operator",
     "Serves the archive's readers and punches to browsers (default 127.0.0.1:8470);\n"
     "other addresses only with a users file. --add-user asks for a password.\n",
     kServeOptions, nullptr, CmdServe},
    {"language", "language --write-english FILE | --list",
     "Writes the complete English language file, or lists the language files found.\n",
     kLanguageOptions, nullptr, CmdLanguage},
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
        "  2    wrong command line (an option value out of its range too), no Login ID,\n"
        "       or a value the reader does not take\n"
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

QString OptionLines(std::span<const OptionRow> rows) {
    QString text;
    for (const OptionRow& r : rows) {
        QString head = QString::fromLatin1(r.name);
        if (r.value) head += QLatin1Char(' ') + QString::fromLatin1(r.value);
        text += QStringLiteral("  %1  %2\n").arg(head.leftJustified(22), QString::fromUtf8(r.help));
        if (r.accepted) text += QStringLiteral("        accepted: %1\n").arg(r.accepted);
    }
    return text;
}

QString CommandUsage(const CommandRow& c) {
    QString text = QStringLiteral("usage: pelmar %1").arg(QString::fromUtf8(c.usage));
    if (c.run) text += QStringLiteral(" --port PORT [--login ID]");
    text += QLatin1Char('\n') + QString::fromUtf8(c.text) + QStringLiteral("options:\n");
    if (c.run) text += OptionLines(kPortOptions);
    text += OptionLines(c.options);
    if (c.run) text += QString::fromUtf8(kCommonText);
    if (QString::fromUtf8(c.usage).contains(QLatin1String("--archive")))
        text += QString::fromUtf8(kArchiveText);
    return text + QString::fromUtf8(kQuietText) + ExitCodeTable();
}
} // namespace

std::span<const OptionRow> PortOptions() {
    return kPortOptions;
}
std::span<const CommandRow> Commands() {
    return kCommands;
}
std::span<const OptionRow> OptionsOf(const QString& command) {
    for (const CommandRow& c : kCommands)
        if (command == QLatin1String(c.name)) return c.options;
    return {};
}

QString Usage() {
    QString text = QStringLiteral("usage: pelmar <command> --port PORT [--login ID] [options]\n") +
                   QString::fromUtf8(kCommonText) + QStringLiteral("commands:\n");
    for (const CommandRow& c : kCommands)
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
    const bool help =
        args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"));
    for (const CommandRow& c : kCommands) {
        if (cmd != QLatin1String(c.name)) continue;
        if (help) {
            io.out << CommandUsage(c);
            return kExitOk;
        }
        if (!c.run) return c.runArgs(args, io);
        std::vector<OptionRow> rows(std::begin(kPortOptions), std::end(kPortOptions));
        rows.insert(rows.end(), c.options.begin(), c.options.end());
        for (const OptionRow& r : rows)
            if (r.optionalValue) args = GiveOptionalValue(args, QString::fromLatin1(r.name));
        const Options o = Parse(args, rows);
        if (!o.error.isEmpty()) return UsageError(io, o.error);
        return c.run(o, io);
    }
    return UsageError(io, QStringLiteral("unknown command: %1").arg(cmd));
}

} // namespace pelmar::cli

#include "PelmarCli.h"

#include "ArchiveCli.h"
#include "CliOptions.h"
#include "LanguageCommand.h"

#include "pelexport/FromRecords.h"
#include "pelmar/RecordTableModel.h"
#include "pelmar/SaveOptions.h"
#include "pelmar/core/DeviceSettings.h"
#include "pelmar/core/DorlinLink.h"
#include "pelmar/core/ReaderConsole.h"
#include <lvlang/modLanguage.h>

#include "dorlin/CDorlinCtrl.h"
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

std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) {
    g_interrupted = true;
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
        (kind == MsgKind::Information ? io_.out : io_.err) << t << Qt::endl;
        if (kind != MsgKind::Information) failed_ = true;
    }
    bool Failed() const { return failed_; }

private:
    Io& io_;
    QString loginId_, newId_;
    bool yes_;
    bool failed_ = false;
};

// One connected reader for the duration of a command; logs out at the end as the main
// window does when it closes.
struct Connection {
    std::unique_ptr<CDorlinCtrl> ctrl;
    std::unique_ptr<DorlinLink> link;
    std::unique_ptr<ReaderConsole> console;

    Connection(IUserPrompt& prompt) {
        ctrl = std::make_unique<CDorlinCtrl>(nullptr, false);
        link = std::make_unique<DorlinLink>(ctrl.get());
        console = std::make_unique<ReaderConsole>(link.get(), prompt);
        ctrl->SetRnetTimeout(1000);
    }
    ~Connection() {
        if (ctrl->PortOpen()) {
            ctrl->Logout();
            ctrl->SetPortOpen(false);
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
    return 2;
}

int Connect(Connection& c, const Options& o, Io& io) {
    if (o.Has("--baud")) c.ctrl->SetBaudRate(o.Value("--baud").toLong());
    ConnectResult r = c.console->OpenReader(o.Value("--port"));
    // The login dialog closes silently on Cancel; a command still says why it stopped.
    if (r == ConnectResult::Cancelled)
        io.err << QStringLiteral("No Login ID given (use --login or LORVANE_LOGIN).") << Qt::endl;
    return r == ConnectResult::Connected ? 0 : 1;
}

int CmdDownload(const QStringList& args, Io& io) {
    Options o = Parse(
        GiveOptionalValue(args, "--archive"),
        kCommon + QStringList{"--mode", "--fields", "--convert", "--out", "--archive", "--reader"},
        {});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    if (o.Has("--reader") && !o.Has("--archive"))
        return UsageError(io,
                          QStringLiteral("--reader names a reader in the archive: give --archive"));
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
    if (bad) return 2;
    CliPrompt prompt(io, id, QString(), false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    ReaderConsole& rc = *c.console;
    ArchiveJob job{o.Value("--archive"), o.Value("--reader"), o.Value("--port"), {}, {}};
    if (o.Has("--archive"))
        if (int code = pelarchive::PrepareArchive(rc, job, SayTo(io))) return code;
    const QDateTime started = QDateTime::currentDateTime();
    model.SetTrackDecimal(rc.blnTrackDecimal);
    rc.onClearRecords = [&] { model.ClearRecords(); };
    rc.blnStop1 = true;
    g_interrupted = false;
    auto old = std::signal(SIGINT, OnInterrupt);
    DownloadResult res = rc.UploadKt9Record([&](long, const QString& rec) {
        model.AppendRecord(rec);
        if (g_interrupted) rc.Stop();
    });
    // Archived downloads go on after a dropped link, from the next record.
    int resumes = 0;
    if (o.Has("--archive"))
        resumes = pelarchive::ResumeDownload(
            rc, o.Value("--port"), res, [&](long, const QString& rec) { model.AppendRecord(rec); },
            SayTo(io));
    std::signal(SIGINT, old);
    // Archived before anything else, so that what was read is kept whatever happens next.
    int archived = 0;
    if (o.Has("--archive"))
        archived =
            pelarchive::ArchiveDownload(job, res, started, model.Records(), SayTo(io), resumes);

    if (model.ConvertError())
        prompt.ShowMessage(MsgKind::Critical, model.ConvertErrorMessage(), {});
    if (o.Has("--out") && res.linkLost && model.rowCount() == 0) {
        // Nothing was read: no file (Save has nothing to write either).
        prompt.ShowMessage(MsgKind::Critical, ReaderGone(), {});
        return 1;
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
            return 1;
        }
        if (res.linkLost) {
            prompt.ShowMessage(MsgKind::Critical, ReaderGone(), {});
            return 1;
        }
        if (archived) return archived;
        return res.stopped ? 130 : 0;
    }
    if (o.Has("--archive")) {
        // Archived, not printed.
        if (res.linkLost) {
            prompt.ShowMessage(MsgKind::Critical, ReaderGone(), {});
            return 1;
        }
        if (archived) return archived;
        return res.stopped ? 130 : 0;
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
    if (res.linkLost) {
        prompt.ShowMessage(MsgKind::Critical, ReaderGone(), {});
        return 1;
    }
    if (res.stopped) return 130;
    return 0;
}

int CmdVersion(const QStringList& args, Io& io) {
    Options o = Parse(args, kCommon, {});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return 2;
    CliPrompt prompt(io, id, QString(), false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    return c.console->ShowVersion() == OpResult::OK ? 0 : 1;
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
    if (bad) return 2;
    CliPrompt prompt(io, id, QString(), false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    modKt9& kt9 = c.console->Kt9();
    auto failed = [&] {
        // What the main window shows when the date/time dialog fails.
        if (kt9.CheckReader())
            prompt.ShowMessage(MsgKind::Critical, Text(17009, "Set Date/Time NG"), {});
        else
            prompt.ShowMessage(MsgKind::Critical, ReaderGone(), {});
        return 1;
    };
    // The clock may only change while the reader holds no records.
    long count = kt9.ReadRecordCount();
    bool canSet = count < 1 || !kt9.LastCallOK;
    kt9.LastCallOK = false;
    QDateTime now = kt9.ReadDeviceTime();
    const QDateTime host = QDateTime::currentDateTime();
    if (kt9.LinkTimedOut()) return failed();
    bool readOk = kt9.LastCallOK;
    if (!readOk) {
        io.err << (canSet ? Text(17010, "Can't get time!!!")
                          : Text(17011, "Can't get time/ Database not empty"))
               << Qt::endl;
    } else {
        // The reader's clock, the host's and the drift, before anything is set.
        io.out << now.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) << Qt::endl
               << ClockReport(now, host);
        io.out.flush();
        if (o.Has("--archive")) {
            ArchiveJob job{o.Value("--archive"), o.Value("--reader"), o.Value("--port"), {}, {}};
            if (int code = pelarchive::PrepareArchive(*c.console, job, SayTo(io))) return code;
        }
    }
    if (!o.Has("--sync") && !target.isValid()) return readOk ? 0 : 1;
    if (!canSet) {
        io.err << Text(17007, "Database not empty") << Qt::endl;
        return 1;
    }
    if (o.Has("--sync")) target = QDateTime::currentDateTime();
    target.setTime(QTime(target.time().hour(), target.time().minute(), target.time().second()));
    if (kt9.WriteDeviceTime(target)) {
        io.out << Text(17008, "Set Date/Time OK") << Qt::endl;
        return 0;
    }
    return failed();
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
    if (bad) return 2;
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
        return 1;
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
    // The limits the settings dialog's pickers keep.
    int32_t maxOff = MaxPowerOffTime(c.console->firmware);
    edited.PowerOffTime = std::clamp(edited.PowerOffTime, 3, maxOff);
    edited.LCDOffTime = std::clamp(edited.LCDOffTime, 3, 255);
    if (!changes.isEmpty()) {
        bool touchedOff = false, touchedLcd = false;
        for (auto& ch : changes) {
            touchedOff = touchedOff || ch.first == "PowerOffTime";
            touchedLcd = touchedLcd || ch.first == "LCDOffTime";
        }
        if (!touchedOff) edited.PowerOffTime = loaded.PowerOffTime;
        if (!touchedLcd) edited.LCDOffTime = loaded.LCDOffTime;
    }
    if (edited == loaded) {
        io.out << QStringLiteral("No setting changed.") << Qt::endl;
        return 0;
    }
    r = ApplyDeviceSettings(kt9, loaded, edited);
    if (!r.ok) {
        prompt.ShowMessage(MsgKind::Critical,
                           QStringLiteral("Set ") + r.item + QStringLiteral(" NG"), title);
        return 1;
    }
    if (r.dateModeKept)
        io.err << QStringLiteral("DateMode not changed: the reader holds records.") << Qt::endl;
    prompt.ShowMessage(MsgKind::Information, Text(16100, "Apply Settings OK!"), title);
    return r.dateModeKept ? 1 : 0;
}

int CmdErase(const QStringList& args, Io& io) {
    Options o = Parse(GiveOptionalValue(args, "--archive"),
                      kCommon + QStringList{"--archive", "--reader"}, {"--yes", "--safe"});
    if (!o.error.isEmpty()) return UsageError(io, o.error);
    if ((o.Has("--archive") || o.Has("--reader")) && !o.Has("--safe"))
        return UsageError(io, QStringLiteral("--archive and --reader belong to erase --safe"));
    bool bad = false;
    QString id = ResolveLogin(o, io, bad);
    if (bad) return 2;
    CliPrompt prompt(io, id, QString(), o.Has("--yes"));
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    if (o.Has("--safe")) {
        ArchiveJob job{o.Value("--archive"), o.Value("--reader"), o.Value("--port"), {}, {}};
        return pelarchive::SafeErase(*c.console, job, SayTo(io));
    }
    OpResult r = c.console->EraseWithProgress();
    if (r == OpResult::Nothing) io.out << QStringLiteral("No records to erase.") << Qt::endl;
    return r == OpResult::OK || r == OpResult::Nothing ? 0 : 1;
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
    if (bad) return 2;
    CliPrompt prompt(io, id, newId, false);
    Connection c(prompt);
    if (int rc = Connect(c, o, io)) return rc;
    return c.console->ChangeLoginId() == OpResult::OK ? 0 : 1;
}

} // namespace

QString NormaliseLoginId(const QString& text) {
    QString id = text.trimmed().toUpper();
    if (id.size() != 4) return QString();
    for (QChar ch : id)
        if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return QString();
    return id;
}

QString Usage() {
    const QString usage = QStringLiteral(
        "usage: pelmar <command> --port PORT [--login ID] [options]\n"
        "  PORT: COMn, a device path, IP:a.b.c.d or IP:a.b.c.d:port\n"
        "  The Login ID comes from --login, else LORVANE_LOGIN, else the terminal.\n"
        "commands:\n"
        "  download [--mode MODE] [--fields type,event,week] [--convert none|hex2dec|dec2hex]\n"
        "           [--out FILE]  (.txt, .csv, .iso or .xls; without it the table is printed)\n"
        "           [--archive [URL]] [--reader NAME]  (files the records in the archive)\n"
        "  version\n"
        "  time [--set \"YYYY/MM/DD hh:mm:ss\" | --sync] [--archive [URL]] [--reader NAME]\n"
        "  settings [--set Field=Value ...]\n"
        "  erase [--yes] [--safe [--archive [URL]] [--reader NAME]]\n"
        "  change-login-id --new ID\n"
        "  scan [--ip LIST] [--baud LIST] [--firmware ID|ID...] [--label TEXT] [--command TEXT]\n"
        "       (no --port: probes every port; exit 0 one reader, 1 none, 2 several)\n"
        "  records [--archive URL] [--reader NAME] [--since last|DATE] [--until DATE] [--card ID]\n"
        "          [--out FILE] [--format NAME] [--mode MODE]   (no --port: the archive only)\n"
        "  collect --readers FILE [--archive URL] [--every 15m] [--safe-erase]\n"
        "  Archive URL: postgresql://user@host[:port]/db or an SQLite file; default: the setting\n"
        "  Archive/Url, else ~/.local/share/lorvane/archive.sqlite. --baud RATE for serial "
        "ports.\n");
    return usage + LanguageUsage();
}

int Run(const QStringList& args, Io& io) {
    if (args.isEmpty()) {
        io.err << Usage();
        return 2;
    }
    const QString cmd = args[0];
    if (cmd == "download") return CmdDownload(args, io);
    if (cmd == "version") return CmdVersion(args, io);
    if (cmd == "time") return CmdTime(args, io);
    if (cmd == "settings") return CmdSettings(args, io);
    if (cmd == "erase") return CmdErase(args, io);
    if (cmd == "change-login-id") return CmdChangeLoginId(args, io);
    if (cmd == "scan") return pelmar::RunScanCommand(args, io.out, io.err);
    if (cmd == "language") return RunLanguageCommand(args, io.out, io.err);
    if (cmd == "records") return CmdRecords(args, io);
    if (cmd == "collect") return CmdCollect(args, io);
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        io.out << Usage();
        return 0;
    }
    return UsageError(io, QStringLiteral("unknown command: %1").arg(cmd));
}

} // namespace pelmar::cli

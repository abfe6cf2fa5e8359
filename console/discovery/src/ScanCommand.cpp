#include "pelmar/discovery/ScanCommand.h"

#include "pelmar/discovery/ScanEngine.h"
#include "pelmar/discovery/frmAutoScan.h"

#include <QEventLoop>
#include <QMap>

namespace pelmar {

using namespace pelmar::discovery;

QString ScanUsage() {
    return QStringLiteral(
        "pelmar scan [--ip LIST] [--baud LIST] [--firmware ID|ID...] [--label TEXT] "
        "[--command TEXT]\n");
}

int RunScanCommand(const QStringList& args, QTextStream& out, QTextStream& err,
                   lorvane::Progress* progress) {
    static const QStringList names{QStringLiteral("--ip"), QStringLiteral("--baud"),
                                   QStringLiteral("--firmware"), QStringLiteral("--label"),
                                   QStringLiteral("--command")};
    QMap<QString, QString> opt;
    for (int i = 1; i < args.size(); ++i) {
        QString name = args[i], value;
        const qsizetype eq = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QLatin1String("--")) && eq > 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
        } else if (names.contains(name) && i + 1 < args.size()) {
            value = args[++i];
        } else {
            err << (names.contains(name) ? QStringLiteral("%1 needs a value\n").arg(name)
                                         : QStringLiteral("unknown option: %1\n").arg(name))
                << ScanUsage();
            return 3;
        }
        if (!names.contains(name)) {
            err << QStringLiteral("unknown option: %1\n").arg(name) << ScanUsage();
            return 3;
        }
        opt[name] = value;
    }
    return RunScan(opt, out, err, progress);
}

int RunScan(const QMap<QString, QString>& options, QTextStream& out, QTextStream& err,
            lorvane::Progress* progress) {
    QMap<QString, QString> opt = options;
    ScanParams p;
    p.firmwareList = opt.contains(QStringLiteral("--firmware"))
                         ? opt[QStringLiteral("--firmware")].replace(QLatin1Char('|'), QChar(0))
                         : Kt9FirmwareList();
    p.deviceLabel = opt.value(QStringLiteral("--label"), Kt9DeviceLabel());
    p.probeCommand = opt.value(QStringLiteral("--command"), Kt9ProbeCommand());
    p.baudList = opt.value(QStringLiteral("--baud"), Kt9BaudList());
    p.ipList = opt.value(QStringLiteral("--ip"));
    if (ParseBaudList(p.baudList).isEmpty()) {
        err << QStringLiteral("no usable baud rate in: %1\n").arg(p.baudList);
        return 3;
    }

    ScanEngine engine(p);
    QEventLoop loop;
    QObject::connect(&engine, &ScanEngine::ScanComplete, &loop, &QEventLoop::quit);
    if (progress) {
        // Candidates whose probing has ended, of all candidates.
        auto count = [&engine, progress] {
            long done = 0;
            for (int i = 0; i < engine.Count(); ++i)
                done += engine.IsDone(i) ? 1 : 0;
            progress->SetExpected(engine.Count());
            progress->Update(done);
        };
        progress->Start(QStringLiteral("Scanning"), -1, QStringLiteral("ports"));
        QObject::connect(&engine, &ScanEngine::ListReset, &loop, count);
        QObject::connect(&engine, &ScanEngine::RowChanged, &loop, count);
    }
    engine.Refresh();
    if (!engine.IsComplete()) loop.exec();
    if (progress) progress->Finish();

    int found = -1;
    for (int i = 0; i < engine.Count(); ++i) {
        out << engine.RowText(i) << '\t' << engine.Status(i) << '\n';
        if (engine.IsFound(i)) found = i;
    }
    if (engine.FoundCount() == 1) out << engine.RowText(found) << '\n';
    out.flush();
    return engine.FoundCount() == 0 ? 1 : engine.FoundCount() == 1 ? 0 : 2;
}

} // namespace pelmar

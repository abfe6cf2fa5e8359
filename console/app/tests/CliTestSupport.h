// Support for the tests that run the programs of the build as processes: the run itself, and
// what pelmar must print for the simulated reader's records, built independently of the
// program (the records as readersim generates them, decoded into the record table).
#pragma once
#include "pelmar/RecordTableModel.h"
#include "readersim/Reader.h"

#include <QList>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <unistd.h>

#include "TerminalRun.h"
#include "TestSupport.h"
#include <QString>
#include <QStringList>

namespace clitest {

// Adds the first n records readersim generates for `seed`, as the download stores them.
inline void AppendSimRecords(pelmar::RecordTableModel& model, size_t n, uint32_t seed) {
    for (const auto& r : readersim::GenerateRecords(n, seed)) {
        QString body = QString::number(r.date.dayOfWeek() % 7) + QChar(r.type) + QChar(r.event) +
                       QString::fromStdString(r.card);
        model.AppendRecord(QStringLiteral("A0000,\x01") + body + QChar(4) +
                           r.date.toString("yyyy/MM/dd") + ' ' + r.time.toString("HH:mm:ss"));
    }
}

// The shown columns as pelmar prints them: a header line, then a line per row, tab-separated.
inline QString TableText(const pelmar::RecordTableModel& model) {
    using pelmar::RecordTableModel;
    QList<int> cols;
    for (int c = 0; c < RecordTableModel::kColumns; ++c)
        if (model.IsColumnShown(c)) cols << c;
    QStringList header;
    for (int c : cols)
        header << model.HeaderText(c);
    QString out = header.join('\t') + '\n';
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int c : cols)
            cells << model.Cell(row, c);
        out += cells.join('\t') + '\n';
    }
    return out;
}

struct ProgramRun {
    bool started = false;
    bool finished = false; // ended by itself within the bound
    bool crashed = false;  // ended by a signal
    int code = -1;
    QString out, err;
};

// The environment of a program run by a test: configHome is the programs' settings folder,
// their runtime folder too; env adds to (or overrides) the test's environment.
inline QProcessEnvironment ProgramEnvironment(const QString& configHome,
                                              const QMap<QString, QString>& env) {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.remove("LORVANE_LOGIN");
    e.remove("DORLIN_PORTS");
    e.insert("XDG_CONFIG_HOME", configHome);
    e.insert("XDG_RUNTIME_DIR", configHome);
    e.insert("QT_QPA_PLATFORM", "offscreen");
    e.insert("LC_ALL", "C.UTF-8");
    for (auto it = env.begin(); it != env.end(); ++it)
        e.insert(it.key(), it.value());
    return e;
}

// Runs a program of the build without a controlling terminal (nothing can be asked), bounded.
inline ProgramRun RunProgram(const QString& name, const QStringList& args,
                             const QString& configHome, const QMap<QString, QString>& env,
                             int limitMs) {
    QProcess p;
    p.setProcessEnvironment(ProgramEnvironment(configHome, env));
    p.setChildProcessModifier([] { ::setsid(); });
    p.start(lvtest::binPath(name), args);
    ProgramRun r;
    if (!p.waitForStarted(10000)) return r;
    r.started = true;
    if (!p.waitForFinished(limitMs)) {
        p.kill();
        p.waitForFinished(10000);
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }
    r.finished = true;
    r.crashed = p.exitStatus() != QProcess::NormalExit;
    r.code = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    r.err.remove(QRegularExpression("QStandardPaths: [^\n]*\n"));
    return r;
}

// Runs a program of the build with its stderr on a terminal of 100 columns (stdout is a pipe).
inline lvtest::TerminalRun RunOnTerminal(const QString& name, const QStringList& args,
                                         const QString& configHome,
                                         const QMap<QString, QString>& env = {},
                                         int limitMs = 120000) {
    return lvtest::runWithStderrOnTerminal(lvtest::binPath(name), args,
                                           ProgramEnvironment(configHome, env), limitMs);
}

} // namespace clitest

// `pelmar scan`: the Auto Scan without a window.
#pragma once
#include <QMap>
#include <QStringList>
#include <QTextStream>
#include <lorvane/Progress.h>

namespace pelmar {

// args[0] is "scan"; options --ip LIST, --baud LIST, --firmware LIST (identifiers separated
// by "|"), --label TEXT, --command TEXT. Prints "row TAB status" per candidate and, when
// exactly one reader was found, its row text on a last line of its own. Returns 0 for one
// reader, 1 for none, 2 for several, 3 for a wrong command line. `progress` (when given)
// counts the candidates whose probing has ended.
int RunScanCommand(const QStringList& args, QTextStream& out, QTextStream& err,
                   lorvane::Progress* progress = nullptr);
// The same scan on options already parsed (name with its "--" -> value; pelmar's command
// table parses and checks them): the outputs and codes of RunScanCommand.
int RunScan(const QMap<QString, QString>& options, QTextStream& out, QTextStream& err,
            lorvane::Progress* progress = nullptr);
QString ScanUsage();

} // namespace pelmar

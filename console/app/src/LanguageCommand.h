// `pelmar language`: the console's own language-file tools.
//   pelmar language --write-english FILE   writes the complete English language file
//   pelmar language --list                 lists the language folder's files
#pragma once
#include "CliOptions.h"

#include <QStringList>
#include <QTextStream>

namespace pelmar::cli {

// `o` is the command line parsed with the command's rows (--write-english FILE, --list; one of
// them). Returns the exit code: 0 done, 1 the file could not be written or the folder not
// read, 2 wrong usage.
int RunLanguageCommand(const Options& o, QTextStream& out, QTextStream& err);
// The usage lines of the command.
QString LanguageUsage();

} // namespace pelmar::cli

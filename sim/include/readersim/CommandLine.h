// readersim's command line: one table of options (name, value, help, accepted range or form,
// and what the option sets), read with QCommandLineParser. The help, the man page
// (packaging/man/readersim.1.scd), the completion and docs/readersim.md list the same options.
#pragma once
#include "readersim/Reader.h"
#include "readersim/Session.h"
#include "readersim/Transport.h"

#include <QString>
#include <QStringList>
#include <climits>
#include <vector>

class QCommandLineParser;

namespace readersim {

// Exit codes of the program (the man page's EXIT STATUS).
enum ExitCode { ExitServed = 0, ExitTransport = 1, ExitUsage = 2 };

// What the command line asks for.
struct Config {
    ReaderState state;
    ReaderOptions reader;
    SessionOptions session;
    bool pty = false; // else TCP
    PtyOptions ptyOptions;
    TcpOptions tcpOptions;
    QString statePath;
    QString logPath;
    long records = -1; // records to generate once the seed is known (-1: keep the stored ones)
};

// The value of one option as its row reads it: the text, and the number of a Number or
// Rate row.
struct OptionValue {
    QString text;
    long number = 0;
    double rate = 0;
};

struct Option {
    enum Kind {
        Switch, // no value
        Text,   // any text
        Number, // a whole number (decimal, or hexadecimal with 0x) in min..max
        Rate,   // a chance 0-1
        Form,   // text of a fixed form; apply refuses what does not fit and `accepted` says it
    };
    const char* name = nullptr;
    Kind kind = Switch;
    const char* valueName = nullptr; // nullptr for a switch
    const char* help = nullptr;
    long min = LONG_MIN;
    long max = LONG_MAX;
    const char* accepted = nullptr; // a Form's accepted values in words
    bool (*apply)(Config&, const OptionValue&) = nullptr;
};

// The options in the order --help lists them and the command line applies them.
const std::vector<Option>& Options();

// What a bad value of the row is told: "0-255", "1 or more", "a whole number", "0-1", or the
// form in words.
QString AcceptedValues(const Option& o);

// Adds the table's options (and --help, --version) to the parser.
void AddOptions(QCommandLineParser& p);

// Reads the parsed command line into *cfg: the state file first (when given and present), then
// every option of the table in order. False with *error ("bad --machine-id 300 (accepted:
// 0-255)") on a usage error.
bool ReadCommandLine(const QCommandLineParser& p, Config* cfg, QString* error);

} // namespace readersim

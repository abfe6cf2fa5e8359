#include "DorlinCommandLine.h"

#include <QRegularExpression>

namespace dorlin::cli {
namespace {

const ExitRow kExits[] = {
    {ExitOk, "every step ran and succeeded"},
    {ExitStepFailed, "a step was turned down (an ERROR line), or a file transfer failed or was "
                     "cancelled"},
    {ExitUsage, "malformed command line, or an option value out of its range"},
    {ExitCannotOpen, "the port could not be opened (the reason is on stderr)"},
    {ExitLinkFailed, "the reader link failed in a step: no reply, bad checksum, overrun, port "
                     "closed,\n     connection reset"},
    {ExitReaderRefused, "the reader refused a step's command (its reply did not start with "
                        "\"A\")"},
};

const OptionRow kOptions[] = {
    {"--port", nullptr, "COMn|PATH", Check::Port, 0, 32767,
     "COMn (n from 0 to 32767), a device path, or COM0",
     "COMn (dorlin ports), a device path, or COM0: the device server"},
    {"--address", nullptr, "ADDR", Check::Text, 0, 0, "a host name or an IP address",
     "address of the serial device server"},
    {"--ip-port", nullptr, "N", Check::Range, 1, 65535, "1 to 65535",
     "TCP port of the serial device server"},
    {"--baud", nullptr, "N", Check::Range, 50, 4000000, "50 to 4000000 (bits per second)",
     "line speed (BaudRate)"},
    {"--settings", nullptr, "P,D,S", Check::LineSettings, 0, 0,
     "P,D,S: parity N, O, E, M or S, data bits 5 to 9, stop bits 1 or 2 (N,8,1)",
     "parity, data bits and stop bits (Settings)"},
    {"--timeout", nullptr, "MS", Check::Range, 1, 3600000, "1 to 3600000 (milliseconds)",
     "time-out of an Rnet exchange (RnetTimeout)"},
    {"--monitor", nullptr, nullptr, Check::Flag, 0, 0, nullptr,
     "every RnetMonitor event on stderr as MON INDEX MESSAGE, Login IDs masked"},
    {"--monitor-secrets", nullptr, nullptr, Check::Flag, 0, 0, nullptr,
     "--monitor with the Login IDs shown"},
    {"--quiet", nullptr, nullptr, Check::Flag, 0, 0, nullptr,
     "only errors on stderr: no progress line, summaries or warnings"},
    {"--help", "-h", nullptr, Check::Flag, 0, 0, nullptr, "this text"},
    {"--version", nullptr, nullptr, Check::Flag, 0, 0, nullptr, "the program's version"},
};

const CommandRow kCommands[] = {
    {"dispids", "the control's dispatch table: DISPID, kind, name, type"},
    {"ports", "the serial ports: COMn, device path, description"},
};

const OptionRow* FindOption(const QString& word) {
    for (const OptionRow& o : kOptions)
        if (word == QLatin1String(o.name) || (o.alias && word == QLatin1String(o.alias))) return &o;
    return nullptr;
}

bool Accepts(const OptionRow& o, const QString& v) {
    switch (o.check) {
    case Check::Flag:
        return true;
    case Check::Text:
        return !v.trimmed().isEmpty();
    case Check::Port: {
        // A number beyond CommPort's range would open another port (COM65537 is COM1).
        static const QRegularExpression com(QStringLiteral("^COM(\\d+)$"),
                                            QRegularExpression::CaseInsensitiveOption);
        const auto m = com.match(v);
        if (!m.hasMatch()) return !v.trimmed().isEmpty();
        bool ok = false;
        const long n = m.captured(1).toLong(&ok);
        return ok && n >= o.min && n <= o.max;
    }
    case Check::Range: {
        bool ok = false;
        const long n = v.toLong(&ok);
        return ok && n >= o.min && n <= o.max;
    }
    case Check::LineSettings: {
        static const QRegularExpression re(QStringLiteral("^[NOEMS],[5-9],[12]$"),
                                           QRegularExpression::CaseInsensitiveOption);
        return re.match(v).hasMatch();
    }
    }
    return false;
}

} // namespace

std::span<const ExitRow> ExitTable() {
    return kExits;
}
std::span<const OptionRow> OptionTable() {
    return kOptions;
}
std::span<const CommandRow> CommandTable() {
    return kCommands;
}

CommandLine Parse(const QStringList& args) {
    CommandLine c;
    if (args.size() == 1)
        for (const CommandRow& r : kCommands)
            if (args[0] == QLatin1String(r.name)) {
                c.command = args[0];
                return c;
            }
    qsizetype i = 0;
    for (; i < args.size() && args[i].startsWith(QLatin1Char('-')); ++i) {
        const OptionRow* o = FindOption(args[i]);
        if (!o) {
            c.error = QStringLiteral("unknown option: %1").arg(args[i]);
            return c;
        }
        const QString name = QLatin1String(o->name);
        if (o->check == Check::Flag) {
            c.flags << name;
            continue;
        }
        if (i + 1 >= args.size()) {
            c.error = QStringLiteral("%1 needs a value; accepted: %2").arg(name, o->accepted);
            return c;
        }
        const QString v = args[++i];
        if (!Accepts(*o, v)) {
            c.error = QStringLiteral("%1 %2: accepted: %3").arg(name, v, o->accepted);
            return c;
        }
        c.values[name] = v;
    }
    c.steps = args.mid(i);
    if (c.steps.isEmpty() && !c.Has("--port") && !c.Has("--help") && !c.Has("--version"))
        c.error = QStringLiteral("nothing to do: give --port or a STEP");
    return c;
}

QString HelpText() {
    QString t = QStringLiteral("usage: dorlin [OPTION...] STEP...\n"
                               "       STEP: call NAME [ARG...] | set NAME VALUE | "
                               "send-file PATH | recv-file PATH\n");
    for (const CommandRow& r : kCommands)
        t += QStringLiteral("       dorlin %1\n").arg(QLatin1String(r.name));
    t += QStringLiteral("commands:\n");
    for (const CommandRow& r : kCommands)
        t += QStringLiteral("  %1  %2\n")
                 .arg(QString::fromLatin1(r.name).leftJustified(20), QLatin1String(r.help));
    t += QStringLiteral("options:\n");
    for (const OptionRow& o : kOptions) {
        QString head = QLatin1String(o.name);
        if (o.alias) head += QStringLiteral(", ") + QLatin1String(o.alias);
        if (o.value) head += QLatin1Char(' ') + QLatin1String(o.value);
        t += QStringLiteral("  %1  %2").arg(head.leftJustified(20), QLatin1String(o.help));
        if (o.check == Check::Range || o.check == Check::LineSettings)
            t += QStringLiteral("\n      accepted: %1").arg(QLatin1String(o.accepted));
        t += QLatin1Char('\n');
    }
    t += QStringLiteral("exit status:\n");
    for (const ExitRow& e : kExits)
        t += QStringLiteral("  %1  %2\n").arg(e.code).arg(QString::fromLatin1(e.meaning));
    return t;
}

} // namespace dorlin::cli

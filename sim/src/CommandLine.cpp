// readersim's option table and the one loop that reads the command line through it.
#include "readersim/CommandLine.h"

#include "readersim/StateFile.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

namespace readersim {

namespace {

using V = const OptionValue&;

bool LoginId(Config& c, V v) {
    if (v.text.size() != 4 ||
        v.text.toStdString().find_first_not_of("0123456789ABCDEF") != std::string::npos)
        return false;
    c.state.loginId = v.text.toStdString();
    return true;
}

bool Register(Config& c, V v) {
    const QStringList kv = v.text.split('=');
    bool ok1 = false, ok2 = false;
    const uint a = kv.size() == 2 ? kv[0].toUInt(&ok1, 16) : 0;
    const uint val = kv.size() == 2 ? kv[1].toUInt(&ok2, 16) : 0;
    if (!ok1 || !ok2 || a > 255 || val > 255) return false;
    c.state.registers[a] = uint8_t(val);
    return true;
}

bool StoreFile(Config& c, V v) {
    const qsizetype eq = v.text.indexOf('=');
    QFile in(v.text.mid(eq + 1));
    if (eq < 1 || !in.open(QIODevice::ReadOnly)) return false;
    c.state.files[Reader::NormalPath(v.text.left(eq).toStdString())] = in.readAll().toStdString();
    return true;
}

bool CountFormat(Config& c, V v) {
    if (v.text != "hex" && v.text != "dec") return false;
    c.reader.hexCount = v.text == "hex";
    return true;
}

} // namespace

const std::vector<Option>& Options() {
    using O = Option;
    static const std::vector<Option> table = {
        {.name = "pty",
         .kind = O::Text,
         .valueName = "LINK",
         .help = "Serve on a pseudo-terminal and symlink its device to LINK.",
         .apply =
             [](Config& c, V v) {
                 c.pty = true;
                 c.ptyOptions.link = v.text.toStdString();
                 return true;
             }},
        {.name = "tcp",
         .kind = O::Number,
         .valueName = "PORT",
         .help = "Serve Rnet on TCP PORT, 0-65535 (0: any free port), like a serial device server.",
         .min = 0,
         .max = 65535,
         .apply =
             [](Config& c, V v) {
                 c.tcpOptions.port = int(v.number);
                 return true;
             }},
        {.name = "bind",
         .kind = O::Text,
         .valueName = "ADDR",
         .help = "Address of the TCP and configuration ports (default 127.0.0.1).",
         .apply =
             [](Config& c, V v) {
                 c.tcpOptions.bind = v.text.toStdString();
                 return true;
             }},
        {.name = "config-port",
         .kind = O::Number,
         .valueName = "PORT",
         .help = "UDP port for the device-server configuration commands, 0-65535 (default "
                 "65535).",
         .min = 0,
         .max = 65535,
         .apply =
             [](Config& c, V v) {
                 c.tcpOptions.configPort = int(v.number);
                 return true;
             }},
        {.name = "state",
         .kind = O::Text,
         .valueName = "FILE",
         .help = "Load the reader's state from FILE and write it back on exit.",
         .apply = [](Config&, V) { return true; }}, // read before all others
        {.name = "log",
         .kind = O::Text,
         .valueName = "FILE",
         .help = "Write every frame received and sent to FILE, one line each.",
         .apply =
             [](Config& c, V v) {
                 c.logPath = v.text;
                 return true;
             }},
        {.name = "login-id",
         .kind = O::Form,
         .valueName = "ID",
         .help = "Login ID, four characters 0-9 A-F (default 4826).",
         .accepted = "four characters 0-9 A-F",
         .apply = LoginId},
        {.name = "locked",
         .kind = O::Switch,
         .help = "Commands need a login first (default).",
         .apply =
             [](Config& c, V) {
                 c.state.locked = true;
                 return true;
             }},
        {.name = "unlocked",
         .kind = O::Switch,
         .help = "Commands work without a login.",
         .apply =
             [](Config& c, V) {
                 c.state.locked = false;
                 return true;
             }},
        {.name = "firmware",
         .kind = O::Text,
         .valueName = "TEXT",
         .help = "Firmware text answered to \"F\" (default \"KRN-A0102 V1.05\").",
         .apply =
             [](Config& c, V v) {
                 c.state.firmware = v.text.toStdString();
                 return true;
             }},
        {.name = "machine-id",
         .kind = O::Number,
         .valueName = "N",
         .help = "Machine ID, 0-255 (default 1).",
         .min = 0,
         .max = 255,
         .apply =
             [](Config& c, V v) {
                 c.state.machineId = uint8_t(v.number);
                 return true;
             }},
        {.name = "user-name",
         .kind = O::Text,
         .valueName = "TEXT",
         .help = "User name in registers 32-47 (default \"Front Door\").",
         .apply =
             [](Config& c, V v) {
                 c.state.SetUserName(v.text.toLatin1().toStdString());
                 return true;
             }},
        {.name = "register",
         .kind = O::Form,
         .valueName = "ADDR=VALUE",
         .help = "Set a register: ADDR=VALUE, both hexadecimal 0-FF (repeatable).",
         .accepted = "ADDR=VALUE, both hexadecimal 0-FF",
         .apply = Register},
        {.name = "date-mode",
         .kind = O::Number,
         .valueName = "N",
         .help = "Date-format register 26, 0-255: 255 year-first, 0 month-first, 1 day-first.",
         .min = 0,
         .max = 255,
         .apply =
             [](Config& c, V v) {
                 c.state.registers[reg::DateMode] = uint8_t(v.number);
                 return true;
             }},
        {.name = "clock-offset",
         .kind = O::Number,
         .valueName = "SECONDS",
         .help = "Seconds added to the PC clock for the reader's clock.",
         .apply =
             [](Config& c, V v) {
                 c.state.clockOffset = v.number;
                 return true;
             }},
        {.name = "records",
         .kind = O::Number,
         .valueName = "N",
         .help = "Generate N plausible records, 0-32767 (replacing stored ones).",
         .min = 0,
         .max = 32767,
         .apply =
             [](Config& c, V v) {
                 c.records = v.number; // generated with the final seed
                 return true;
             }},
        {.name = "seed",
         .kind = O::Number,
         .valueName = "N",
         .help = "Seed for generated records, challenges and faults (default 1).",
         .apply =
             [](Config& c, V v) {
                 c.reader.seed = uint32_t(v.number);
                 return true;
             }},
        {.name = "file",
         .kind = O::Form,
         .valueName = "NAME=PATH",
         .help = "Put a local file into the reader's file store: NAME=PATH (repeatable).",
         .accepted = "NAME=PATH of a readable file",
         .apply = StoreFile},
        {.name = "challenge",
         .kind = O::Switch,
         .help = "\"L\" with the right ID answers \"N\" and a challenge for LoginX.",
         .apply =
             [](Config& c, V) {
                 c.reader.challenge = true;
                 return true;
             }},
        {.name = "hicode",
         .kind = O::Number,
         .valueName = "N",
         .help = "HiCode of the challenge answer, 0-255 (default 0x5A).",
         .min = 0,
         .max = 255,
         .apply =
             [](Config& c, V v) {
                 c.reader.hiCode = uint8_t(v.number);
                 return true;
             }},
        {.name = "locode",
         .kind = O::Number,
         .valueName = "N",
         .help = "LoCode of the challenge answer, 0-255 (default 0xA5).",
         .min = 0,
         .max = 255,
         .apply =
             [](Config& c, V v) {
                 c.reader.loCode = uint8_t(v.number);
                 return true;
             }},
        {.name = "count-format",
         .kind = O::Form,
         .valueName = "dec|hex",
         .help = "Record count of \"N\": dec (default, four digits) or hex (four digits and a "
                 "checksum).",
         .accepted = "dec or hex",
         .apply = CountFormat},
        {.name = "record-checksums",
         .kind = O::Switch,
         .help = "Add a checksum to the replies of a plain \"G\" too.",
         .apply =
             [](Config& c, V) {
                 c.reader.recordChecksums = true;
                 return true;
             }},
        {.name = "refuse-version",
         .kind = O::Switch,
         .help = "Answer \"F\" (the version, the discovery probe) with \"N\".",
         .apply =
             [](Config& c, V) {
                 c.reader.refuseVersion = true;
                 return true;
             }},
        {.name = "no-reply-checksum",
         .kind = O::Switch,
         .help = "Send the replies of G + number, B, FI and a hex count without a checksum.",
         .apply =
             [](Config& c, V) {
                 c.reader.replyChecksums = false;
                 return true;
             }},
        {.name = "erase-ms",
         .kind = O::Number,
         .valueName = "MS",
         .help = "Milliseconds \"E\" and \"M\" take per record, 0-10000 (default 20).",
         .min = 0,
         .max = 10000,
         .apply =
             [](Config& c, V v) {
                 c.reader.eraseMsPerRecord = uint32_t(v.number);
                 return true;
             }},
        {.name = "recovery-limit",
         .kind = O::Number,
         .valueName = "N",
         .help = "Most records \"M\" brings back (default 2048).",
         .min = 0,
         .apply =
             [](Config& c, V v) {
                 c.reader.recoveryLimit = size_t(v.number);
                 return true;
             }},
        {.name = "punch-at-count",
         .kind = O::Number,
         .valueName = "N",
         .help = "A new punch arrives at the N-th record count request.",
         .min = 1,
         .apply =
             [](Config& c, V v) {
                 c.reader.punchAtCount = size_t(v.number);
                 return true;
             }},
        {.name = "xmodem-checksum",
         .kind = O::Switch,
         .help = "Ask for XMODEM checksum blocks instead of CRC-16.",
         .apply =
             [](Config& c, V) {
                 c.session.xmodemChecksum = true;
                 return true;
             }},
        {.name = "baud",
         .kind = O::Number,
         .valueName = "N",
         .help = "Pace every byte at 10 bits for N baud, 0-10000000 (default 0: no pacing).",
         .min = 0,
         .max = 10'000'000,
         .apply =
             [](Config& c, V v) {
                 c.session.baud = int(v.number);
                 return true;
             }},
        {.name = "slow",
         .kind = O::Number,
         .valueName = "MS",
         .help = "Answer every request MS milliseconds late, 0-4294967295.",
         .min = 0,
         .max = long(UINT32_MAX),
         .apply =
             [](Config& c, V v) {
                 c.session.slowMs = uint32_t(v.number);
                 return true;
             }},
        {.name = "silent",
         .kind = O::Switch,
         .help = "Never answer.",
         .apply =
             [](Config& c, V) {
                 c.session.silent = true;
                 return true;
             }},
        {.name = "noise",
         .kind = O::Rate,
         .valueName = "RATE",
         .help = "Chance (0-1) of random bytes in front of a reply.",
         .apply =
             [](Config& c, V v) {
                 c.session.noise = v.rate;
                 return true;
             }},
        {.name = "corrupt",
         .kind = O::Rate,
         .valueName = "RATE",
         .help = "Chance (0-1) of a wrong checksum on a reply that carries one.",
         .apply =
             [](Config& c, V v) {
                 c.session.corrupt = v.rate;
                 return true;
             }},
        {.name = "partial",
         .kind = O::Switch,
         .help = "Send replies without their CR.",
         .apply =
             [](Config& c, V) {
                 c.session.partial = true;
                 return true;
             }},
        {.name = "drop-after",
         .kind = O::Number,
         .valueName = "N",
         .help = "Vanish after N record replies (pty closes, TCP peer reset).",
         .min = 1,
         .apply =
             [](Config& c, V v) {
                 c.session.dropAfter = v.number;
                 return true;
             }},
    };
    return table;
}

QString AcceptedValues(const Option& o) {
    switch (o.kind) {
    case Option::Rate:
        return QStringLiteral("0-1");
    case Option::Form:
        return QString::fromUtf8(o.accepted);
    case Option::Number:
        if (o.min == LONG_MIN && o.max == LONG_MAX) return QStringLiteral("a whole number");
        if (o.max == LONG_MAX) return QStringLiteral("%1 or more").arg(o.min);
        return QStringLiteral("%1-%2").arg(o.min).arg(o.max);
    default:
        return QString();
    }
}

void AddOptions(QCommandLineParser& p) {
    p.setApplicationDescription(
        "A simulated card reader that speaks Rnet on a pseudo-terminal or over TCP.");
    p.addHelpOption();
    p.addVersionOption();
    for (const Option& o : Options()) {
        const QString name = QString::fromLatin1(o.name), help = QString::fromUtf8(o.help);
        p.addOption(o.valueName ? QCommandLineOption(name, help, QString::fromLatin1(o.valueName))
                                : QCommandLineOption(name, help));
    }
}

bool ReadCommandLine(const QCommandLineParser& p, Config* cfg, QString* error) {
    if (p.isSet("pty") == p.isSet("tcp")) {
        *error = QStringLiteral("give exactly one of --pty LINK and --tcp PORT");
        return false;
    }
    cfg->statePath = p.value("state");
    if (!cfg->statePath.isEmpty() && QFileInfo::exists(cfg->statePath)) {
        QString err;
        if (!LoadState(cfg->statePath, cfg->state, &err)) {
            *error = err;
            return false;
        }
    }
    for (const Option& o : Options()) {
        const QString name = QString::fromLatin1(o.name);
        if (!p.isSet(name)) continue;
        const QStringList values =
            o.kind == Option::Switch ? QStringList{QString()} : p.values(name);
        for (const QString& text : values) {
            OptionValue v{text};
            bool ok = true;
            if (o.kind == Option::Number) {
                v.number = text.toLong(&ok, 0); // decimal, or hexadecimal with 0x
                ok = ok && v.number >= o.min && v.number <= o.max;
            } else if (o.kind == Option::Rate) {
                v.rate = text.toDouble(&ok);
                ok = ok && v.rate >= 0 && v.rate <= 1;
            }
            if (!ok || !o.apply(*cfg, v)) {
                *error =
                    QStringLiteral("bad --%1 %2 (accepted: %3)").arg(name, text, AcceptedValues(o));
                return false;
            }
        }
    }
    if (cfg->records >= 0) {
        cfg->state.records = GenerateRecords(size_t(cfg->records), cfg->reader.seed);
        cfg->state.erased.clear();
    }
    cfg->session.seed = cfg->reader.seed + 1;
    return true;
}

} // namespace readersim

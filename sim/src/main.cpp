// readersim: one simulated reader on a pseudo-terminal or behind a simulated device server.
#include "readersim/Reader.h"
#include "readersim/Session.h"
#include "readersim/StateFile.h"
#include "readersim/Transport.h"

#include <lorvane/ProgramSupport.h>
#include <lorvane/Version.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

using namespace readersim;

namespace {

int Fail(const QString& text) {
    std::fprintf(stderr, "readersim: %s\n", qPrintable(text));
    return 2;
}

bool ToLong(const QString& s, long& out) {
    bool ok = false;
    long v = s.toLong(&ok, 0); // decimal, or hexadecimal with 0x
    if (ok) out = v;
    return ok;
}

bool ToRate(const QString& s, double& out) {
    bool ok = false;
    double v = s.toDouble(&ok);
    if (!ok || v < 0 || v > 1) return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    lorvane::QuietDeveloperWarnings();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("readersim");
    QCoreApplication::setApplicationVersion(LORVANE_VERSION);
    QCommandLineParser p;
    p.setApplicationDescription(
        "A simulated card reader that speaks Rnet on a pseudo-terminal or over TCP.");
    p.addHelpOption();
    p.addVersionOption();
    auto opt = [&](const QString& name, const QString& help, const QString& value = {}) {
        p.addOption(value.isEmpty() ? QCommandLineOption(name, help)
                                    : QCommandLineOption(name, help, value));
    };
    opt("pty", "Serve on a pseudo-terminal and symlink its device to LINK.", "LINK");
    opt("tcp", "Serve Rnet on TCP PORT (0: any free port), like a serial device server.", "PORT");
    opt("bind", "Address of the TCP and configuration ports (default 127.0.0.1).", "ADDR");
    opt("config-port", "UDP port for the device-server configuration commands (default 65535).",
        "PORT");
    opt("state", "Load the reader's state from FILE and write it back on exit.", "FILE");
    opt("log", "Write every frame received and sent to FILE, one line each.", "FILE");
    opt("login-id", "Login ID, four characters 0-9 A-F (default 4826).", "ID");
    opt("locked", "Commands need a login first (default).");
    opt("unlocked", "Commands work without a login.");
    opt("firmware", "Firmware text answered to \"F\" (default \"KRN-A0102 V1.05\").", "TEXT");
    opt("machine-id", "Machine ID, 0-255 (default 1).", "N");
    opt("user-name", "User name in registers 32-47 (default \"Front Door\").", "TEXT");
    opt("register", "Set a register: ADDR=VALUE, both hexadecimal (repeatable).", "ADDR=VALUE");
    opt("date-mode", "Date-format register 26: 255 year-first, 0 month-first, 1 day-first.", "N");
    opt("clock-offset", "Seconds added to the PC clock for the reader's clock.", "SECONDS");
    opt("records", "Generate N plausible records (replacing stored ones).", "N");
    opt("seed", "Seed for generated records, challenges and faults (default 1).", "N");
    opt("file", "Put a local file into the reader's file store: NAME=PATH (repeatable).",
        "NAME=PATH");
    opt("challenge", "\"L\" with the right ID answers \"N\" and a challenge for LoginX.");
    opt("hicode", "HiCode of the challenge answer (default 0x5A).", "N");
    opt("locode", "LoCode of the challenge answer (default 0xA5).", "N");
    opt("count-format",
        "Record count of \"N\": dec (default, four digits) or hex (four digits and a checksum).",
        "dec|hex");
    opt("record-checksums", "Add a checksum to the replies of a plain \"G\" too.");
    opt("refuse-version", "Answer \"F\" (the version, the discovery probe) with \"N\".");
    opt("no-reply-checksum", "Send the replies of G + number, B, FI and a hex count without a "
                             "checksum.");
    opt("erase-ms", "Milliseconds \"E\" and \"M\" take per record (default 20).", "MS");
    opt("recovery-limit", "Most records \"M\" brings back (default 2048).", "N");
    opt("punch-at-count", "A new punch arrives at the N-th record count request.", "N");
    opt("xmodem-checksum", "Ask for XMODEM checksum blocks instead of CRC-16.");
    opt("baud", "Pace every byte at 10 bits for N baud (default: no pacing).", "N");
    opt("slow", "Answer every request MS milliseconds late.", "MS");
    opt("silent", "Never answer.");
    opt("noise", "Chance (0-1) of random bytes in front of a reply.", "RATE");
    opt("corrupt", "Chance (0-1) of a wrong checksum on a reply that carries one.", "RATE");
    opt("partial", "Send replies without their CR.");
    opt("drop-after", "Vanish after N record replies (pty closes, TCP peer reset).", "N");
    // An unknown option is a malformed command line like any other (exit 2), not Qt's 1.
    if (!p.parse(QCoreApplication::arguments())) return Fail(p.errorText());
    if (p.isSet("help")) p.showHelp(0);
    if (p.isSet("version")) p.showVersion();

    if (p.isSet("pty") == p.isSet("tcp"))
        return Fail("give exactly one of --pty LINK and --tcp PORT");

    ReaderState state;
    QString err;
    QString statePath = p.value("state");
    if (!statePath.isEmpty() && QFileInfo::exists(statePath) && !LoadState(statePath, state, &err))
        return Fail(err);

    long v = 0;
    ReaderOptions ro;
    SessionOptions so;
    if (p.isSet("seed")) {
        if (!ToLong(p.value("seed"), v)) return Fail("bad --seed");
        ro.seed = uint32_t(v);
    }
    so.seed = ro.seed + 1;
    if (p.isSet("login-id")) {
        QString id = p.value("login-id");
        if (id.size() != 4 ||
            id.toStdString().find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return Fail("bad --login-id (four characters 0-9 A-F)");
        state.loginId = id.toStdString();
    }
    if (p.isSet("locked")) state.locked = true;
    if (p.isSet("unlocked")) state.locked = false;
    if (p.isSet("firmware")) state.firmware = p.value("firmware").toStdString();
    if (p.isSet("machine-id")) {
        if (!ToLong(p.value("machine-id"), v) || v < 0 || v > 255) return Fail("bad --machine-id");
        state.machineId = uint8_t(v);
    }
    if (p.isSet("user-name")) state.SetUserName(p.value("user-name").toLatin1().toStdString());
    for (const QString& r : p.values("register")) {
        QStringList kv = r.split('=');
        bool ok1 = false, ok2 = false;
        uint a = kv.size() == 2 ? kv[0].toUInt(&ok1, 16) : 0,
             val = kv.size() == 2 ? kv[1].toUInt(&ok2, 16) : 0;
        if (!ok1 || !ok2 || a > 255 || val > 255) return Fail("bad --register " + r);
        state.registers[a] = uint8_t(val);
    }
    if (p.isSet("date-mode")) {
        if (!ToLong(p.value("date-mode"), v) || v < 0 || v > 255) return Fail("bad --date-mode");
        state.registers[reg::DateMode] = uint8_t(v);
    }
    if (p.isSet("clock-offset")) {
        if (!ToLong(p.value("clock-offset"), v)) return Fail("bad --clock-offset");
        state.clockOffset = v;
    }
    if (p.isSet("records")) {
        if (!ToLong(p.value("records"), v) || v < 0 || v > 32767)
            return Fail("bad --records (0-32767)");
        state.records = GenerateRecords(size_t(v), ro.seed);
        state.erased.clear();
    }
    for (const QString& f : p.values("file")) {
        int eq = f.indexOf('=');
        QFile in(f.mid(eq + 1));
        if (eq < 1 || !in.open(QIODevice::ReadOnly)) return Fail("bad --file " + f);
        state.files[Reader::NormalPath(f.left(eq).toStdString())] = in.readAll().toStdString();
    }
    ro.challenge = p.isSet("challenge");
    if (p.isSet("hicode")) {
        if (!ToLong(p.value("hicode"), v) || v < 0 || v > 255) return Fail("bad --hicode");
        ro.hiCode = uint8_t(v);
    }
    if (p.isSet("locode")) {
        if (!ToLong(p.value("locode"), v) || v < 0 || v > 255) return Fail("bad --locode");
        ro.loCode = uint8_t(v);
    }
    if (p.isSet("count-format")) {
        QString f = p.value("count-format");
        if (f != "hex" && f != "dec") return Fail("bad --count-format (hex or dec)");
        ro.hexCount = f == "hex";
    }
    ro.replyChecksums = !p.isSet("no-reply-checksum");
    ro.recordChecksums = p.isSet("record-checksums");
    ro.refuseVersion = p.isSet("refuse-version");
    if (p.isSet("erase-ms")) {
        if (!ToLong(p.value("erase-ms"), v) || v < 0 || v > 10000) return Fail("bad --erase-ms");
        ro.eraseMsPerRecord = uint32_t(v);
    }
    if (p.isSet("punch-at-count")) {
        if (!ToLong(p.value("punch-at-count"), v) || v < 1) return Fail("bad --punch-at-count");
        ro.punchAtCount = size_t(v);
    }
    if (p.isSet("recovery-limit")) {
        if (!ToLong(p.value("recovery-limit"), v) || v < 0) return Fail("bad --recovery-limit");
        ro.recoveryLimit = size_t(v);
    }
    so.xmodemChecksum = p.isSet("xmodem-checksum");
    if (p.isSet("baud")) {
        if (!ToLong(p.value("baud"), v) || v < 0 || v > 10'000'000) return Fail("bad --baud");
        so.baud = int(v);
    }
    if (p.isSet("slow")) {
        if (!ToLong(p.value("slow"), v) || v < 0) return Fail("bad --slow");
        so.slowMs = uint32_t(v);
    }
    so.silent = p.isSet("silent");
    so.partial = p.isSet("partial");
    if (p.isSet("noise") && !ToRate(p.value("noise"), so.noise)) return Fail("bad --noise (0-1)");
    if (p.isSet("corrupt") && !ToRate(p.value("corrupt"), so.corrupt))
        return Fail("bad --corrupt (0-1)");
    if (p.isSet("drop-after")) {
        if (!ToLong(p.value("drop-after"), v) || v < 1) return Fail("bad --drop-after");
        so.dropAfter = v;
    }

    std::FILE* logFile = nullptr;
    if (p.isSet("log")) {
        logFile = std::fopen(qPrintable(p.value("log")), "w");
        if (!logFile) return Fail("cannot write " + p.value("log"));
    }
    Session::LogFn log;
    if (logFile)
        log = [logFile](const std::string& line) {
            std::fprintf(logFile, "%s\n", line.c_str());
            std::fflush(logFile);
        };

    Reader reader(state, ro);
    InstallStopSignals();
    std::string error;
    int rc = 0;
    if (p.isSet("pty")) {
        PtyOptions po;
        po.link = p.value("pty").toStdString();
        rc = ServePty(reader, so, po, log, stdout, &error);
    } else {
        TcpOptions to;
        if (p.isSet("bind")) to.bind = p.value("bind").toStdString();
        if (!ToLong(p.value("tcp"), v) || v < 0 || v > 65535) return Fail("bad --tcp");
        to.port = int(v);
        if (p.isSet("config-port")) {
            if (!ToLong(p.value("config-port"), v) || v < 0 || v > 65535)
                return Fail("bad --config-port");
            to.configPort = int(v);
        }
        rc = ServeTcp(reader, so, to, log, stdout, &error);
    }
    if (rc != 0) std::fprintf(stderr, "readersim: %s\n", error.c_str());
    if (!statePath.isEmpty() && !SaveState(statePath, reader.State(), &err)) {
        std::fprintf(stderr, "readersim: %s\n", qPrintable(err));
        rc = rc ? rc : 1;
    }
    if (logFile) std::fclose(logFile);
    return rc;
}

// The programs' shared start-up: the version line, the filter for developer notes of Qt, and
// how the built programs use them.
#include "lorvane/ProgramSupport.h"
#include "lorvane/Version.h"

#include "TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct NoiseCase {
    const char* name;
    const char* message;
    bool noise;
};
void PrintTo(const NoiseCase& c, std::ostream* os) {
    *os << c.name;
}

class DeveloperNoise : public testing::TestWithParam<NoiseCase> {};

TEST_P(DeveloperNoise, IsToldApartFromRealWarnings) {
    EXPECT_EQ(lorvane::IsDeveloperNoise(QString::fromUtf8(GetParam().message)), GetParam().noise);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DeveloperNoise,
    testing::Values(
        NoiseCase{"RuntimeDirUnset",
                  "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'",
                  true},
        NoiseCase{"OffscreenSizeHints", "This plugin does not support propagateSizeHints()", true},
        NoiseCase{"OffscreenRaise", "This plugin does not support raise()", true},
        // A runtime folder with the wrong owner or mode is the user's business.
        NoiseCase{"RuntimeDirPermissions",
                  "QStandardPaths: wrong permissions on runtime directory /run/user/0, 0755 "
                  "instead of 0700",
                  false},
        NoiseCase{"FontMissing", "QFont::fromString: Invalid description 'x'", false},
        NoiseCase{"Empty", "", false},
        NoiseCase{"QuotedInside", "port: QStandardPaths: XDG_RUNTIME_DIR not set", false}),
    [](const testing::TestParamInfo<NoiseCase>& i) { return std::string(i.param.name); });

QStringList g_seen;
void Capture(QtMsgType, const QMessageLogContext&, const QString& message) {
    g_seen << message;
}

TEST(QuietDeveloperWarnings, DropsNoiseAndPassesEverythingElseToTheHandlerBefore) {
    QtMessageHandler original = qInstallMessageHandler(Capture);
    lorvane::QuietDeveloperWarnings();
    g_seen.clear();
    qWarning("QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-x'");
    qWarning("Cannot open /dev/ttyUSB0");
    qInfo("This plugin does not support propagateSizeHints()");
    qDebug("a debug line");
    qInstallMessageHandler(original);
    EXPECT_EQ(g_seen, (QStringList{"Cannot open /dev/ttyUSB0", "a debug line"}));
}

TEST(VersionLine, IsTheProgramAndTheProjectVersion) {
    EXPECT_EQ(lorvane::VersionLine("pelmar"), QStringLiteral("pelmar " LORVANE_VERSION));
    // One place sets the version: it must look like one.
    EXPECT_TRUE(QString(LORVANE_VERSION).contains(QRegularExpression("^\\d+\\.\\d+(\\.\\d+)?$")))
        << LORVANE_VERSION;
}

struct Outcome {
    int code = -1;
    QString out, err;
};

// Runs a built program without a session (no XDG_RUNTIME_DIR) and without a display.
Outcome RunBuilt(const QString& name, const QStringList& args) {
    static QTemporaryDir config;
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.remove("XDG_RUNTIME_DIR");
    e.remove("DISPLAY");
    e.remove("LORVANE_LOGIN");
    e.insert("XDG_CONFIG_HOME", config.path());
    e.insert("LC_ALL", "C.UTF-8");
    e.insert("DORLIN_PORTS", "");
    p.setProcessEnvironment(e);
    p.start(lvtest::binPath(name), args);
    Outcome r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

class ProgramVersion : public testing::TestWithParam<const char*> {};

TEST_P(ProgramVersion, PrintsNameAndVersionOnStdout) {
    const QString name = QString::fromLatin1(GetParam());
    const Outcome r = RunBuilt(name, {"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, name + QStringLiteral(" " LORVANE_VERSION "\n"));
    EXPECT_EQ(r.err, QString());
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramVersion,
                         testing::Values("pelmar", "dorlin", "readersim", "launcher"));

// Each program's table of exit codes has one code for a malformed command line.
TEST(MalformedCommandLine, UnknownOptionExitsTwoWithTheReason) {
    const Outcome sim = RunBuilt("readersim", {"--pty", "/tmp/unused", "--no-such-option"});
    EXPECT_EQ(sim.code, 2);
    EXPECT_EQ(sim.err, QStringLiteral("readersim: Unknown option 'no-such-option'.\n"));
    const Outcome dorlin = RunBuilt("dorlin", {"--no-such-option"});
    EXPECT_EQ(dorlin.code, 2);
}

TEST(HeadlessRun, KeepsQtSessionNotesOffTheTerminalButKeepsTheFailure) {
    // A port that cannot exist: the console says so, and nothing else.
    const Outcome r =
        RunBuilt("pelmar", {"version", "--port", "/dev/lorvane-no-such-port", "--login", "4826"});
    EXPECT_NE(r.code, 0);
    EXPECT_FALSE(r.err.contains("QStandardPaths")) << qPrintable(r.err);
    EXPECT_FALSE(r.err.contains("This plugin")) << qPrintable(r.err);
    EXPECT_FALSE(r.err.isEmpty());
}

TEST(HeadlessRun, DorlinListsPortsWithoutNotes) {
    const Outcome r = RunBuilt("dorlin", {"ports"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, QString());
}

} // namespace

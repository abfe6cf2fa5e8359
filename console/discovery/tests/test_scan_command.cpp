// `pelmar scan`: one line per candidate (row TAB status), the chosen row on a last line of its
// own, and the exit status by the number of readers found.
#include "ScanTestSupport.h"

#include <QFileInfo>
#include <gtest/gtest.h>
#include <pelmar/discovery/ScanCommand.h>

namespace {

struct ScanRun {
    int rc = -1;
    QString out, err;
};

ScanRun Scan(const QStringList& options) {
    ScanRun r;
    QTextStream out(&r.out), err(&r.err);
    r.rc = pelmar::RunScanCommand(QStringList{"scan"} + options, out, err);
    out.flush();
    err.flush();
    return r;
}

// Our rows only: the machine may list serial ports of its own before them.
QStringList Lines(const QString& out, const QStringList& rows) {
    QStringList keep;
    for (const QString& l : out.split('\n', Qt::SkipEmptyParts))
        for (const QString& r : rows)
            if (l == r || l.startsWith(r + '\t')) keep << l;
    return keep;
}

TEST(ScanCommand, OneReaderFoundPrintsItLast) {
    lvtest::SimReader match({"--unlocked"});
    lvtest::SimReader other({"--unlocked", "--firmware", "ABC V1"});
    ASSERT_TRUE(match.ok() && other.ok());
    lvtest::SetPorts({{201, match.Link()}, {202, other.Link()}, {203, "/nonexistent/x"}});
    const ScanRun r = Scan({"--ip", "1.2.3,127.0.0.1"});
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(Lines(r.out, {"COM201", "COM202", "COM203", "IP:127.0.0.1:1001"}),
              QStringList({"COM201\tFound: KRN-A0102 V1.05", "COM202\tOther: ABC V1",
                           "COM203\tCan't open COM203",
                           "IP:127.0.0.1:1001\tCan't open IP: 127.0.0.1:1001", "COM201"}));
    EXPECT_TRUE(r.out.endsWith("\nCOM201\n")) << r.out.toStdString();
}

TEST(ScanCommand, FirmwareLabelAndCommandOptions) {
    lvtest::SimReader a({"--unlocked", "--firmware", "ABC V1"});
    lvtest::SimReader b({"--unlocked", "--firmware", "XYZ-9 V4"});
    ASSERT_TRUE(a.ok() && b.ok());
    lvtest::SetPorts({{211, a.Link()}, {212, b.Link()}});
    ScanRun r = Scan({"--firmware", "ABC|XYZ-9", "--baud=9600"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(Lines(r.out, {"COM211", "COM212"}),
              QStringList({"COM211\tFound: ABC V1", "COM212\tFound: XYZ-9 V4"}));

    r = Scan({"--firmware", "XYZ-9", "--label", "Gate "});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(Lines(r.out, {"COM211", "COM212"}),
              QStringList({"COM211\tOther: ABC V1", "COM212\tFound: Gate  V4", "COM212"}));

    // Any command may be the probe: "I" reads the machine ID.
    r = Scan({"--command", "I"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(Lines(r.out, {"COM211", "COM212"}),
              QStringList({"COM211\tOther: 01", "COM212\tOther: 01"}));
    EXPECT_EQ(a.Requests().last(), "<STX>I<CR>");
}

TEST(ScanCommand, NoReaderExitsWithOne) {
    lvtest::SimReader silent({"--silent"});
    ASSERT_TRUE(silent.ok());
    lvtest::SetPorts({{221, silent.Link()}});
    const ScanRun r = Scan({});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(Lines(r.out, {"COM221"}), QStringList({"COM221\tTimeout"}));
}

TEST(ScanCommand, WrongCommandLines) {
    lvtest::SetPorts({});
    for (const QStringList& args :
         {QStringList{"--bogus"}, QStringList{"--ip"}, QStringList{"--baud", "fast"}}) {
        const ScanRun r = Scan(args);
        EXPECT_EQ(r.rc, 3) << args.join(' ').toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_FALSE(r.err.isEmpty());
    }
    EXPECT_EQ(Scan({"--bogus"}).err, "unknown option: --bogus\n" + pelmar::ScanUsage());
    EXPECT_EQ(Scan({"--ip"}).err, "--ip needs a value\n" + pelmar::ScanUsage());
}

TEST(ScanCommand, ThePelmarProgram) {
    const QString pelmar = lvtest::binPath("pelmar");
    if (!QFileInfo(pelmar).isExecutable()) GTEST_SKIP() << "pelmar is not built";
    lvtest::SimReader match({"--unlocked"});
    ASSERT_TRUE(match.ok());
    lvtest::SetPorts({{231, match.Link()}});
    lvtest::ChildProcess p(pelmar, {"scan"});
    ASSERT_TRUE(p.started());
    EXPECT_EQ(p.wait(30000), 0);
    const QString out = QString::fromUtf8(p.readStdout());
    EXPECT_TRUE(out.contains("COM231\tFound: KRN-A0102 V1.05\n")) << out.toStdString();
    EXPECT_TRUE(out.endsWith("\nCOM231\n")) << out.toStdString();
}

} // namespace

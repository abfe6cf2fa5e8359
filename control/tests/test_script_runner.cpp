// The script runner of the link control: steps split from words, run on a control whose port
// is a pty with a scripted reader at the other end; the result lines, the failure lines and
// the outcome of each case exactly.
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "PtyPeer.h"
#include "TestStore.h"
#include "TestSupport.h"
#include "dorlin/CDorlinCtrl.h"
#include "dorlin/ScriptRunner.h"

using namespace dorlin;

namespace {

struct Case {
    const char* name;
    QStringList words;
    const char* error; // "" when the script parses
};

// What a run printed, and how it ended.
struct Ran {
    QByteArray out, err;
    ScriptResult result;
};

Ran RunScript(CDorlinCtrl& ctrl, const QStringList& words, bool monitor = false) {
    Ran ran;
    QList<ScriptStep> steps;
    QString error;
    EXPECT_TRUE(ParseScript(words, &steps, &error)) << error.toStdString();
    ScriptRunner runner(
        ctrl, [&](const QByteArray& l) { ran.out += l + '\n'; },
        [&](const QByteArray& l) { ran.err += l + '\n'; }, monitor);
    ran.result = runner.Run(steps);
    return ran;
}

std::unique_ptr<CDorlinCtrl> OpenOn(const lvtest::PtyPair& pty) {
    IsolateSettings();
    auto ctrl = std::make_unique<CDorlinCtrl>(nullptr, false);
    ctrl->SetExtPort(QString::fromStdString(pty.slavePath()));
    ctrl->SetExtPortOpen(true);
    return ctrl;
}

} // namespace

TEST(ScriptRunner, MalformedScriptsAreRefusedWithTheirReason) {
    const Case cases[] = {
        {"a word that is no step",
         {"fetch", "GetVersion"},
         "fetch is no step (call, set, send-file, recv-file)"},
        {"a call without its name", {"call"}, "call needs a NAME"},
        {"a put without its name", {"call", "RxCount", "set"}, "set needs a NAME"},
        {"a file step without its path", {"send-file"}, "send-file needs a PATH"},
        {"a file step with two paths", {"recv-file", "a", "b"}, "recv-file takes one PATH"},
        {"an empty script", {}, ""},
        {"arguments up to the next step word",
         {"call", "SendRnetCmd", "T", "TRUE", "FALSE", "set", "Text", "x", "send-file", "p"},
         ""},
    };
    for (const Case& c : cases) {
        QList<ScriptStep> steps;
        QString error;
        EXPECT_EQ(ParseScript(c.words, &steps, &error), *c.error == '\0') << c.name;
        EXPECT_EQ(error.toStdString(), c.error) << c.name;
    }
    QList<ScriptStep> steps;
    QString error;
    ASSERT_TRUE(ParseScript(
        {"call", "SendRnetCmd", "T", "TRUE", "FALSE", "set", "Text", "x", "send-file", "p"}, &steps,
        &error));
    ASSERT_EQ(steps.size(), 3);
    EXPECT_EQ(steps[0].Typed(), "call SendRnetCmd T TRUE FALSE");
    EXPECT_EQ(steps[1].args, QStringList{"x"});
    EXPECT_EQ(steps[2].name, "p");
}

TEST(ScriptRunner, TagsStandForTheirBytesAndResultsAreWrittenWithTags) {
    EXPECT_EQ(WireText("<STX>F<CR>"), QString("\x02"
                                              "F\r"));
    EXPECT_EQ(WireText("a<LF><7f><zz><STX"), QString("a\n\x7f<zz><STX"));
    EXPECT_EQ(ResultLine(QVariant(true)), "TRUE");
    EXPECT_EQ(ResultLine(QVariant(qlonglong(-7))), "-7");
    EXPECT_EQ(ResultLine(QVariant(QString("\x02"
                                          "A\r"))),
              "<STX>A<CR>");
    EXPECT_EQ(ResultLine(QVariant()), "");
    EXPECT_EQ(ErrorLine(383, "CTL_E_SETNOTSUPPORTED"), "ERROR 383 CTL_E_SETNOTSUPPORTED");
    EXPECT_EQ(ErrorLine(int(0x80020005), "DISP_E_TYPEMISMATCH"),
              "ERROR 0x80020005 DISP_E_TYPEMISMATCH");
}

TEST(ScriptRunner, RunsStepsInOrderAndNamesTheStepsThatFailed) {
    lvtest::PtyPair pty;
    PtyPeer peer(pty);
    peer.Answer([](const QByteArray& req) -> QByteArray {
        if (req == "\x02L4826\r")
            return "\x02"
                   "A\r";
        if (req == "\x02N\r") return "\x02N\r"; // refused
        return {};                              // silent
    });
    auto ctrl = OpenOn(pty);
    ASSERT_TRUE(ctrl->PortOpen());
    ctrl->SetRnetTimeout(200);
    const Ran r = RunScript(*ctrl, {"call", "Login", "4826", "call", "GetRecordCount", "call",
                                    "GetVersion", "set", "RxCount", "1", "call", "BaudRate"});
    EXPECT_EQ(r.out, "TRUE\n0\n\nERROR 383 CTL_E_SETNOTSUPPORTED\n19200\n");
    EXPECT_EQ(r.err, "dorlin: step 2 (call GetRecordCount): the reader refused it (N)\n"
                     "dorlin: step 3 (call GetVersion): no reply within 200 ms\n");
    EXPECT_TRUE(r.result.stepFailed);
    EXPECT_TRUE(r.result.linkFailed);
    EXPECT_TRUE(r.result.readerRefused);
    EXPECT_EQ(peer.Requests(), QList<QByteArray>({"\x02L4826\r", "\x02N\r",
                                                  "\x02"
                                                  "F\r"}));
}

TEST(ScriptRunner, StepsWithoutAPortFailAtOnceAndFileStepsUseTheGivenTransfer) {
    IsolateSettings();
    CDorlinCtrl ctrl(nullptr, false);
    ctrl.SetRnetTimeout(600000); // never waited out: there is no port
    QList<ScriptStep> steps;
    QString error;
    ASSERT_TRUE(ParseScript({"call", "GetVersion", "send-file", "/x/up.bin", "call", "AboutBox"},
                            &steps, &error));
    QByteArray out, err;
    QStringList transfers;
    ScriptRunner runner(
        ctrl, [&](const QByteArray& l) { out += l + '\n'; },
        [&](const QByteArray& l) { err += l + '\n'; });
    runner.SetTransfer([&](bool send, const QString& path) {
        transfers << (send ? "send " : "recv ") + path;
        return true;
    });
    const ScriptResult r = runner.Run(steps);
    EXPECT_EQ(out, "\nTRUE\nAbout Dorlin Control: Dorlin Control, Version 1.0\n");
    EXPECT_EQ(err, "dorlin: step 1 (call GetVersion): no port is open\n"
                   "dorlin: step 2 (send-file /x/up.bin): no port is open\n");
    EXPECT_EQ(transfers, QStringList{"send /x/up.bin"});
    EXPECT_TRUE(r.linkFailed);
    EXPECT_FALSE(r.stepFailed);
    EXPECT_EQ(ctrl.RnetTimeout(), 600000) << "the time-out comes back after each step";
}

TEST(ScriptRunner, TheMonitorMasksLoginIds) {
    lvtest::PtyPair pty;
    PtyPeer peer(pty);
    peer.Script({"\x02"
                 "A\r"});
    auto ctrl = OpenOn(pty);
    ASSERT_TRUE(ctrl->PortOpen());
    const Ran r = RunScript(*ctrl, {"call", "Login", "4826"}, true);
    EXPECT_EQ(r.out, "TRUE\n");
    EXPECT_EQ(r.err, "MON 1 <STX>L****<CR>\nMON 2 A\n");
    EXPECT_FALSE(r.result.stepFailed || r.result.linkFailed || r.result.readerRefused);
}

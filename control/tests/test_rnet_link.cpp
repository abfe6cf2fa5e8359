// The link without a window (dorlin::RnetLink) against a reader scripted on a pty: how each
// exchange ends (its reason, its text, the monitor), and a late reply that is dropped before
// the next request goes out instead of answering it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "PtyPeer.h"
#include "TestSupport.h"
#include "dorlin/RnetLink.h"

using namespace dorlin;

namespace {

struct LinkTest : ::testing::Test {
    lvtest::PtyPair pty;
    PtyPeer peer{pty};
    RnetLink link;
    QStringList monitor;

    void SetUp() override {
        link.pump = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
        link.monitor = [this](int i, const std::string& m) {
            monitor << QString::number(i) + " " +
                           QString::fromLatin1(m.data(), qsizetype(m.size()));
        };
        link.SetTimeoutMs(300);
    }
    RnetResult Ask(const char* text, bool rxChecksum = false, bool acceptedOnly = true) {
        RnetRequest r;
        r.text = text;
        r.rxChecksum = rxChecksum;
        r.checksumOnAcceptedOnly = acceptedOnly;
        return link.Exchange(r);
    }
};

} // namespace

TEST_F(LinkTest, EveryExchangeSaysHowItEnded) {
    ASSERT_TRUE(link.Open(QString::fromStdString(pty.slavePath())));
    struct Case {
        const char* name;
        QByteArray reply; // what the reader sends; empty: nothing
        bool rxChecksum, acceptedOnly;
        RnetReason reason;
        std::string text, raw;
        QString note; // the link's own monitor note, if any
    };
    const Case cases[] = {
        {"answered, checksum removed",
         "\x02"
         "A12340B\r",
         true,
         true,
         RnetReason::Answered,
         "A1234",
         "A12340B",
         {}},
        {"refused", "\x02N\r", true, true, RnetReason::Refused, "N", "N", {}},
        {"checksum error",
         "\x02"
         "A12340C\r",
         true, true, RnetReason::ChecksumError, "", "A12340C", "0 $CHKSUM ERROR"},
        {"a checked reply too short for a checksum, as the console reads it", "\x02N\r", true,
         false, RnetReason::ChecksumError, "", "N", "0 $CHKSUM ERROR"},
        {"an STX without its CR",
         "\x02"
         "A1",
         false, true, RnetReason::TimedOut, "", "", "0 $TIMEOUT"},
    };
    for (const Case& c : cases) {
        link.Forget(); // each case on a fresh line
        peer.Script({c.reply});
        monitor.clear();
        const RnetResult r = Ask("T", c.rxChecksum, c.acceptedOnly);
        EXPECT_EQ(r.reason, c.reason) << c.name << ": " << RnetReasonText(r.reason);
        EXPECT_EQ(r.text, c.text) << c.name;
        EXPECT_EQ(r.raw, c.raw) << c.name;
        EXPECT_EQ(monitor.first(), "1 \x02T\r") << c.name;
        if (!c.note.isEmpty()) {
            EXPECT_EQ(monitor.last(), c.note) << c.name;
        }
    }
    EXPECT_STREQ(RnetReasonText(RnetReason::Overflow), "overflow");
    link.Close();
    monitor.clear();
    const RnetResult closed = Ask("T");
    EXPECT_EQ(closed.reason, RnetReason::LinkLost);
    // Nothing went out, and nothing is shown as sent.
    EXPECT_EQ(monitor, QStringList({"0 $PORT CLOSED"}));
}

TEST_F(LinkTest, ALateReplyIsDroppedBeforeTheNextRequestAndTheReaderIsFollowed) {
    ASSERT_TRUE(link.Open(QString::fromStdString(pty.slavePath())));
    QElapsedTimer clock;
    clock.start();
    QList<qint64> asked;
    peer.Answer([&](const QByteArray& req) -> QByteArray {
        asked << clock.elapsed();
        if (req == "\x02T\r") {
            // 600 ms late: after the link's 300 ms wait
            QTimer::singleShot(600, [this] {
                pty.write("\x02"
                          "A20261207083005\r");
            });
            return {};
        }
        return "\x02"
               "AKRN V1.05\r";
    });
    const RnetResult t = Ask("T");
    EXPECT_EQ(t.reason, RnetReason::TimedOut);
    const RnetResult f = Ask("F");
    EXPECT_EQ(f.reason, RnetReason::Answered);
    EXPECT_EQ(f.text, "AKRN V1.05") << "not the clock's late reply";
    ASSERT_EQ(asked.size(), 2);
    EXPECT_GE(asked[1] - asked[0], 600) << "F went out only after the late reply came";
    EXPECT_EQ(monitor.filter("$LATE REPLY").size(), 1);
    // Every later wait is the late reply's time and a quarter more, plus 100 ms.
    EXPECT_GE(link.WidenedMs(), 600 + 150 + 100);
    EXPECT_LE(link.WidenedMs(), RnetLink::kMaxWaitMs);
    EXPECT_EQ(link.WaitFor(300), link.WidenedMs());
    // A new connection owes nothing and waits as asked.
    link.Forget();
    EXPECT_EQ(link.WaitFor(300), 300);
}

// The exchange without blocking (the discovery's probes): a repeated request is answered by
// the first reply to either copy, and the reply to the other copy is owed, so it never answers
// the next request; a request ended without its reply is owed too.
TEST_F(LinkTest, ARepeatedRequestIsAnsweredOnceAndItsSurplusReplyIsOwed) {
    ASSERT_TRUE(link.Open(QString::fromStdString(pty.slavePath())));
    peer.Answer([&](const QByteArray& req) -> QByteArray {
        if (req == "\x02"
                   "F\r") {
            QTimer::singleShot(200, [this] {
                pty.write("\x02"
                          "AKRN V1.05\r");
            });
            return {};
        }
        if (req == "\x02T\r")
            return "\x02"
                   "A20261207083005\r";
        return {};
    });
    RnetRequest probe;
    probe.text = "F";
    probe.crBeforeStxEnds = false;
    probe.timeoutMs = -1; // the caller ends the wait
    ASSERT_TRUE(link.Start(probe));
    ASSERT_TRUE(link.Repeat());
    EXPECT_TRUE(link.Pending());
    int bytes = 0, polls = 0;
    bool ended = false;
    QElapsedTimer clock;
    clock.start();
    while (!ended && clock.elapsed() < 3000) {
        int got = 0;
        ended = link.Poll(&got);
        bytes += got;
        ++polls;
        if (ended) break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        link.WaitForBytes(5);
    }
    ASSERT_TRUE(ended);
    EXPECT_GT(polls, 1) << "no wait limit of its own: it ran until the reply came";
    EXPECT_EQ(bytes, 12);
    const RnetResult f = link.Finish();
    EXPECT_EQ(f.reason, RnetReason::Answered);
    EXPECT_EQ(f.text, "AKRN V1.05");
    EXPECT_FALSE(link.Pending());
    EXPECT_TRUE(link.Owing()) << "the reply to the second copy may still come";
    monitor.clear();
    const RnetResult t = Ask("T");
    EXPECT_EQ(t.reason, RnetReason::Answered);
    EXPECT_EQ(t.text, "A20261207083005") << "not the second copy's reply";
    EXPECT_EQ(monitor.filter("$LATE REPLY").size(), 1);
    EXPECT_EQ(peer.Requests(), QList<QByteArray>({"\x02"
                                                  "F\r",
                                                  "\x02"
                                                  "F\r",
                                                  "\x02T\r"}));
}

TEST_F(LinkTest, AnExchangeEndedWithoutItsReplyIsOwedUntilTheLineIsNew) {
    ASSERT_TRUE(link.Open(QString::fromStdString(pty.slavePath())));
    peer.Answer([&](const QByteArray&) -> QByteArray {
        return "\x02"
               "A1";
    }); // no CR
    RnetRequest e;
    e.text = "E";
    e.timeoutMs = -1;
    ASSERT_TRUE(link.Start(e));
    ASSERT_TRUE(lvtest::waitFor(
        [&] {
            link.Poll();
            return link.ReplyBegun();
        },
        3000));
    EXPECT_FALSE(link.Poll()) << "a reply begun is not a reply";
    EXPECT_FALSE(link.Owing());
    const RnetResult r = link.Finish();
    EXPECT_EQ(r.reason, RnetReason::TimedOut);
    EXPECT_TRUE(link.Owing());
    // A request on a closed line sends nothing and owes nothing.
    link.Close();
    EXPECT_FALSE(link.Owing());
    monitor.clear();
    EXPECT_FALSE(link.Start(e));
    EXPECT_FALSE(link.Repeat());
    EXPECT_TRUE(link.Poll());
    EXPECT_EQ(link.Finish().reason, RnetReason::LinkLost);
    EXPECT_FALSE(link.Owing());
    EXPECT_EQ(monitor, QStringList({"0 $PORT CLOSED"}));
}

// The control surface: dispatch table and late-bound calls, read-only properties, saved
// properties, Settings parsing, port opening by COM number, notifications, About box,
// Dial and port enumeration.
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QTimer>
#include <cerrno>
#include <gtest/gtest.h>

#include "TestStore.h"
#include <set>
#include <termios.h>

#include "CJComm.h"
#include "ChannelEvent.h"
#include "PtyPeer.h"
#include "TestSupport.h"
#include "dorlin/CDorlinCtrl.h"
#include "dorlin/TickSource.h"
#include "platform/SerialDevicePosix.h"

using namespace dorlin;
using Kind = CDorlinCtrl::DispKind;

namespace {

QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Lorvane", "Lorvane");
}

class DorlinCtrl : public ::testing::Test {
protected:
    void SetUp() override {
        IsolateSettings();
        QSettings s = Store();
        s.remove("Dorlin");
        s.remove("Ports");
        qputenv("DORLIN_PORTS", "");
    }
    void TearDown() override { qputenv("DORLIN_PORTS", ""); }
};

QString Slave(const lvtest::PtyPair& p) {
    return QString::fromStdString(p.slavePath());
}

} // namespace

TEST_F(DorlinCtrl, DispatchTableHoldsTheFixedNumbers) {
    struct Case {
        int id;
        const char* kind;
        const char* name;
    };
    const Case cases[] = {
        {1, "property", "BaudRate"},
        {4, "property", "Settings"},
        {10, "property", "CommPort"},
        {15, "property", "RxCount"},
        {17, "property", "Text"},
        {26, "property", "LastPassword"},
        {29, "property", "PortOpen"},
        {-525, "property", "ReadyState"},
        {-514, "property", "Enabled"},
        {30, "method", "Cancel"},
        {33, "method", "ClareTxBuffer"},
        {35, "method", "SendRnetCmd"},
        {49, "method", "Dial"},
        {58, "method", "LoginX"},
        {59, "method", "EnumCommPort"},
        {60, "method", "GetRecordCount"},
        {-552, "method", "AboutBox"},
        {1, "event", "OnComm"},
        {2, "event", "OnTransfer"},
        {3, "event", "RnetMonitor"},
        {-609, "event", "ReadyStateChange"},
    };
    const auto table = CDorlinCtrl::DispatchTable();
    for (const Case& k : cases) {
        bool found = false;
        for (const auto& d : table)
            if (d.dispid == k.id && d.kind == k.kind && d.name == k.name) found = true;
        EXPECT_TRUE(found) << k.name;
    }
    // Properties and methods share one number space; events have their own.
    std::set<int> ids;
    int members = 0;
    for (const auto& d : table) {
        if (d.kind == "event") continue;
        ids.insert(d.dispid);
        ++members;
    }
    EXPECT_EQ(int(ids.size()), members);
    EXPECT_EQ(members, 29 + 2 + 31 + 1); // 1..29, two stock properties, 30..60, AboutBox
    for (int id = 1; id <= 60; ++id)
        EXPECT_TRUE(ids.count(id)) << id;
}

TEST_F(DorlinCtrl, ReadOnlyPropertiesRefuseAssignment) {
    CDorlinCtrl c(nullptr, false);
    const char* readOnly[] = {"RxCount", "TxSpace",      "CTSHolding",  "DSRHolding",
                              "CommID",  "CommEvent",    "CommError",   "RLSDHolding",
                              "Busy",    "LastPassword", "RINGHolding", "ReadyState"};
    for (const char* name : readOnly) {
        int err = 0;
        QString text;
        const QVariant r = c.InvokeByName(name, Kind::Put, {QVariant(1)}, &err, &text);
        EXPECT_FALSE(r.isValid()) << name;
        EXPECT_EQ(err, CTL_E_SETNOTSUPPORTED) << name;
        EXPECT_EQ(text, "CTL_E_SETNOTSUPPORTED") << name;
    }
    int readOnlyInTable = 0;
    for (const auto& d : CDorlinCtrl::DispatchTable())
        readOnlyInTable += d.readOnly ? 1 : 0;
    EXPECT_EQ(readOnlyInTable, int(std::size(readOnly)));
}

TEST_F(DorlinCtrl, DispatchReportsBadCalls) {
    CDorlinCtrl c(nullptr, false);
    struct Case {
        const char* what;
        int id;
        Kind kind;
        QVariantList args;
        int err;
    };
    const Case cases[] = {
        {"unknown member", 999, Kind::Method, {}, DISP_E_MEMBERNOTFOUND},
        {"put on a method", DISPID_GetVersion, Kind::Put, {1}, DISP_E_MEMBERNOTFOUND},
        {"too few arguments", DISPID_SendRnetCmd, Kind::Method, {"T"}, DISP_E_BADPARAMCOUNT},
        {"too many arguments", DISPID_Logout, Kind::Method, {1}, DISP_E_BADPARAMCOUNT},
        {"not a number", DISPID_Polling, Kind::Method, {"x1"}, DISP_E_TYPEMISMATCH},
        {"short overflow", DISPID_Polling, Kind::Method, {"40000"}, DISP_E_TYPEMISMATCH},
        {"not a Boolean",
         DISPID_SendRnetCmd,
         Kind::Method,
         {"T", "maybe", "0"},
         DISP_E_TYPEMISMATCH},
        {"put without value", DISPID_BaudRate, Kind::Put, {}, DISP_E_BADPARAMCOUNT},
    };
    for (const Case& k : cases) {
        int err = 0;
        c.Invoke(k.id, k.kind, k.args, &err);
        EXPECT_EQ(err, k.err) << k.what;
    }
    int err = 0;
    c.InvokeByName("NoSuchThing", Kind::Get, {}, &err);
    EXPECT_EQ(err, DISP_E_MEMBERNOTFOUND);
}

TEST_F(DorlinCtrl, PropertiesGoThroughDispatchWithConversions) {
    CDorlinCtrl c(nullptr, false);
    int err = 0;
    c.InvokeByName("baudrate", Kind::Put, {"9600"}, &err); // names are case-insensitive
    EXPECT_EQ(err, 0);
    EXPECT_EQ(c.BaudRate(), 9600);
    c.Invoke(DISPID_RTSEnable, Kind::Put, {"FALSE"}, &err);
    EXPECT_FALSE(c.RTSEnable());
    c.Invoke(DISPID_RTSEnable, Kind::Put, {"1"}, &err);
    EXPECT_TRUE(c.RTSEnable());
    EXPECT_EQ(c.Invoke(DISPID_Settings, Kind::Get, {}, &err), QVariant("N,8,1"));
    const QVariant b = c.Invoke(DISPID_PortOpen, Kind::Get, {}, &err);
    EXPECT_EQ(b.typeId(), QMetaType::Bool);
    EXPECT_FALSE(b.toBool());
    EXPECT_EQ(c.Invoke(DISPID_ReadyState, Kind::Get, {}, &err).toInt(), 4);
    // Scripting hosts read methods without arguments as properties.
    EXPECT_EQ(c.Invoke(DISPID_EnumCommPort, Kind::Get, {"-1"}, &err), QVariant(QString()));
    EXPECT_EQ(err, 0);
    // And stock Enabled maps to the widget's state.
    c.Invoke(DISPID_Enabled, Kind::Put, {"FALSE"}, &err);
    EXPECT_FALSE(c.isEnabled());
    EXPECT_EQ(c.Invoke(DISPID_Busy, Kind::Get, {}, &err), QVariant(false));
}

// TCP ports run to 65535; an older host passes a port above 32767 as the negative short of the
// same 16 bits.
TEST_F(DorlinCtrl, IPortTakesEveryTcpPortThroughTheDispatch) {
    CDorlinCtrl c(nullptr, false);
    struct Case {
        const char* value;
        int err;
        short stored;
    } cases[] = {
        {"47321", 0, short(-18215)},
        {"-18215", 0, short(-18215)},
        {"65535", 0, short(-1)},
        {"1", 0, 1},
        {"32767", 0, 32767},
        {"0", DISP_E_TYPEMISMATCH, 32767},
        {"65536", DISP_E_TYPEMISMATCH, 32767},
        {"-32769", DISP_E_TYPEMISMATCH, 32767},
        {"x", DISP_E_TYPEMISMATCH, 32767},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.value);
        int err = -1;
        c.Invoke(DISPID_iPort, Kind::Put, {k.value}, &err);
        EXPECT_EQ(err, k.err);
        EXPECT_EQ(c.iPort(), k.stored);
    }
}

// Two controls in one program are refused like two programs: the second finds the port busy.
TEST_F(DorlinCtrl, ASecondControlFindsThePortBusy) {
    lvtest::PtyPair pty;
    const QString path = QString::fromStdString(pty.slavePath());
    CDorlinCtrl a(nullptr, false), b(nullptr, false);
    a.SetExtPort(path);
    a.SetExtPortOpen(true);
    ASSERT_TRUE(a.PortOpen());
    EXPECT_EQ(a.PortErrorCode(), 0);
    EXPECT_EQ(a.PortErrorText(), "");
    b.SetExtPort(path);
    b.SetExtPortOpen(true);
    EXPECT_FALSE(b.PortOpen());
    EXPECT_EQ(b.PortErrorCode(), EBUSY);
    EXPECT_EQ(b.PortErrorText().toStdString(),
              (path + QStringLiteral(": port busy (held by dorlin_tests (pid %1))")
                          .arg(QCoreApplication::applicationPid()))
                  .toStdString());
    a.SetExtPortOpen(false);
    b.SetExtPortOpen(true);
    EXPECT_TRUE(b.PortOpen());
    EXPECT_EQ(b.PortErrorText(), "");
}

TEST_F(DorlinCtrl, DefaultsWithoutSavedProperties) {
    CDorlinCtrl c; // nothing saved: every property at its default
    EXPECT_EQ(c.CommPort(), 1);
    EXPECT_EQ(c.BaudRate(), 19200);
    EXPECT_EQ(c.Handshaking(), 0);
    EXPECT_TRUE(c.RTSEnable());
    EXPECT_TRUE(c.DTREnable());
    EXPECT_EQ(c.Settings(), "N,8,1");
    EXPECT_EQ(c.TxQueue(), 256);
    EXPECT_EQ(c.RxQueue(), 256);
    EXPECT_EQ(c.EventMask(), 1);
    EXPECT_EQ(c.RnetTimeout(), 3000);
    EXPECT_EQ(c.iAddress(), "127.0.0.1");
    EXPECT_EQ(c.iPort(), 1001);
    EXPECT_EQ(c.ExtPort(), "");
    EXPECT_EQ(c.LastPassword(), "");
    EXPECT_FALSE(c.Break());
    EXPECT_FALSE(c.PortOpen());
    EXPECT_EQ(c.CommID(), -1);
    EXPECT_EQ(c.size(), QSize(32, 32));
    EXPECT_FALSE(c.IsModified());
    c.ResetState();
    EXPECT_EQ(c.size(), QSize(48, 48));
}

TEST_F(DorlinCtrl, SavedPropertiesComeBackAndHandlersRunInOrder) {
    {
        CDorlinCtrl c(nullptr, false);
        c.SetCommPort(3);
        c.SetBaudRate(9600);
        c.SetHandshaking(2);
        c.SetRTSEnable(false);
        c.SetDTREnable(false);
        c.SetSettings("E,7,2");
        c.SetTxQueue(512);
        c.SetRxQueue(128);
        c.SetEventMask(9);
        c.SetRnetTimeout(1500);
        c.SetiAddress("10.0.0.7");
        c.SetiPort(4001);
        c.SetExtPort("/dev/null"); // not saved
        c.SaveProperties();
    }
    QSettings s = Store();
    EXPECT_EQ(s.value("Dorlin/Settings").toString(), "E,7,2");
    EXPECT_FALSE(s.contains("Dorlin/ExtPort"));
    EXPECT_FALSE(s.contains("Dorlin/Break"));

    CDorlinCtrl c(nullptr, false);
    QList<int> order;
    QObject::connect(&c, &CDorlinCtrl::PropertyChanged, [&](int id) { order << id; });
    c.LoadProperties();
    EXPECT_EQ(order,
              QList<int>({DISPID_CommPort, DISPID_BaudRate, DISPID_Handshaking, DISPID_RTSEnable,
                          DISPID_DTREnable, DISPID_Settings, DISPID_TxQueue, DISPID_RxQueue,
                          DISPID_EventMask, DISPID_RnetTimeout, DISPID_iPort, DISPID_iAddress}));
    EXPECT_EQ(c.CommPort(), 3);
    EXPECT_EQ(c.BaudRate(), 9600);
    EXPECT_EQ(c.Handshaking(), 2);
    EXPECT_FALSE(c.RTSEnable());
    EXPECT_FALSE(c.DTREnable());
    EXPECT_EQ(c.Settings(), "E,7,2");
    EXPECT_EQ(c.TxQueue(), 512);
    EXPECT_EQ(c.RxQueue(), 128);
    EXPECT_EQ(c.EventMask(), 9);
    EXPECT_EQ(c.RnetTimeout(), 1500);
    EXPECT_EQ(c.iAddress(), "10.0.0.7");
    EXPECT_EQ(c.iPort(), 4001);
    EXPECT_EQ(c.ExtPort(), "");
}

// One walk over the property table: the numbers are unique and the dispatch lists every
// property under its row; the twelve saved properties have distinct places in the load order,
// start at their defaults, are written as plain text and come back from the store unchanged.
TEST_F(DorlinCtrl, PropertyTableWalksSaveAndLoadEveryDefault) {
    const auto& table = CDorlinCtrl::Properties();
    std::set<int> ids, steps;
    int saved = 0;
    for (const auto& p : table) {
        EXPECT_TRUE(ids.insert(p.dispid).second) << p.name;
        EXPECT_EQ(CDorlinCtrl::DispIdOf(p.name), p.dispid) << p.name;
        if (p.loadOrder == 0) continue;
        ++saved;
        EXPECT_TRUE(steps.insert(p.loadOrder).second) << p.name;
        EXPECT_TRUE(p.def.isValid()) << p.name;
        EXPECT_TRUE(p.put) << p.name;
    }
    EXPECT_EQ(int(table.size()), 29 + 2);
    EXPECT_EQ(saved, 12);
    EXPECT_EQ(*steps.begin(), 1);
    EXPECT_EQ(*steps.rbegin(), 12);

    {
        CDorlinCtrl c(nullptr, false);
        for (const auto& p : table) {
            if (p.loadOrder > 0) {
                EXPECT_EQ(p.get(&c).toString(), p.def.toString()) << p.name;
            }
        }
        c.SaveProperties();
    }
    // The store's file holds each saved property as "name=text", numbers and flags as plain
    // text, and nothing else in the group.
    QFile file(Store().fileName());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    const qsizetype group = lines.indexOf("[Dorlin]");
    ASSERT_GE(group, 0);
    lines = lines.mid(group + 1);
    for (qsizetype i = 0; i < lines.size(); ++i)
        if (lines[i].startsWith('[')) lines = lines.first(i);
    QStringList keys;
    for (const auto& p : table)
        if (p.loadOrder > 0) keys << QString::fromLatin1(p.name);
    EXPECT_EQ(keys.size(), lines.size());
    lines.sort();
    EXPECT_EQ(lines, QStringList({"BaudRate=19200", "CommPort=1", "DTREnable=true", "EventMask=1",
                                  "Handshaking=0", "RTSEnable=true", "RnetTimeout=3000",
                                  "RxQueue=256", "Settings=\"N,8,1\"", "TxQueue=256",
                                  "iAddress=127.0.0.1", "iPort=1001"}));

    CDorlinCtrl loaded; // from the store
    for (const auto& p : table) {
        if (p.loadOrder > 0) {
            EXPECT_EQ(p.get(&loaded).toString(), p.def.toString()) << p.name;
        }
    }
}

TEST_F(DorlinCtrl, SavedRxQueueSizesTheReceiveQueue) {
    {
        QSettings s = Store();
        s.setValue("Dorlin/RxQueue", 16);
    }
    lvtest::PtyPair pty;
    CDorlinCtrl c;
    c.SetExtPort(Slave(pty));
    c.SetExtPortOpen(true);
    ASSERT_TRUE(c.PortOpen());
    pty.write(QByteArray(40, 'z'));
    ASSERT_TRUE(lvtest::waitFor([&] { return c.RxCount() == 16; }, 5000));
    EXPECT_EQ(c.Text(), QString(16, 'z'));
}

TEST_F(DorlinCtrl, InvalidSettingsFallBackWithoutTouchingThePort) {
    lvtest::PtyPair pty;
    CDorlinCtrl c(nullptr, false);
    c.SetExtPort(Slave(pty));
    c.SetExtPortOpen(true);
    ASSERT_TRUE(c.PortOpen());
    termios t{};
    const int fd = int(c.CommID());

    c.SetSettings("n,8,2");
    tcgetattr(fd, &t);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    c.SetSettings("N,8,1");
    tcgetattr(fd, &t);
    EXPECT_FALSE(t.c_cflag & CSTOPB);

    c.SetModifiedFlag(true);
    const char* invalid[] = {"X,8,2", "", "E", "E,8"};
    for (const char* text : invalid) {
        c.SetSettings(text);
        EXPECT_EQ(c.Settings(), "N,8,1") << text;
        EXPECT_FALSE(c.IsModified()) << text;
        tcgetattr(fd, &t);
        EXPECT_FALSE(t.c_cflag & CSTOPB) << text; // nothing was sent to the port
    }
    const char* valid[] = {"N,8,1", "o,7,1", "E,7,2", "m,8,1", "S,8,1"};
    for (const char* text : valid) {
        c.SetSettings(text);
        EXPECT_EQ(c.Settings(), text);
    }
}

TEST_F(DorlinCtrl, CommPortOpensThroughTheComNumber) {
    lvtest::PtyPair pty3, pty4;
    qputenv("DORLIN_PORTS", ("COM3=" + pty3.slavePath() + ",COM4=" + pty4.slavePath()).c_str());
    CDorlinCtrl c(nullptr, false);
    c.SetCommPort(4);
    c.SetPortOpen(true);
    ASSERT_TRUE(c.PortOpen());
    // Changing the port number while open closes the port.
    c.SetCommPort(3);
    EXPECT_FALSE(c.PortOpen());
    c.SetPortOpen(true);
    ASSERT_TRUE(c.PortOpen());
    c.SetText("hello");
    EXPECT_EQ(pty3.read(5000, "hello"), "hello");
    // Opening again while open reopens the same port.
    c.SetPortOpen(true);
    EXPECT_TRUE(c.PortOpen());
    c.SetPortOpen(false);
    EXPECT_FALSE(c.PortOpen());
    // An unknown number simply stays closed.
    c.SetCommPort(42);
    c.SetPortOpen(true);
    EXPECT_FALSE(c.PortOpen());
    // COM0 is the network path: nothing listens, so it stays closed.
    c.SetCommPort(0);
    c.SetPortOpen(true);
    EXPECT_FALSE(c.PortOpen());
}

TEST_F(DorlinCtrl, ExtPortOpenNeedsANameAndOpensIt) {
    lvtest::PtyPair pty;
    CDorlinCtrl c(nullptr, false);
    c.SetExtPortOpen(true); // no name: nothing happens
    EXPECT_FALSE(c.ExtPortOpen());
    c.SetExtPort(Slave(pty));
    c.SetExtPortOpen(true);
    EXPECT_TRUE(c.ExtPortOpen());
    EXPECT_TRUE(c.PortOpen());
    c.SetExtPortOpen(false);
    EXPECT_FALSE(c.ExtPortOpen());
}

TEST_F(DorlinCtrl, TextAndCharMoveRawBytes) {
    lvtest::PtyPair pty;
    CDorlinCtrl c(nullptr, false);
    c.SetExtPort(Slave(pty));
    c.SetExtPortOpen(true);
    ASSERT_TRUE(c.PortOpen());
    c.SetText(QString::fromLatin1("\x02T\xE9\r"));
    EXPECT_EQ(pty.read(5000, "\r"), QByteArray("\x02T\xE9\r"));
    c.SetChar(0x141); // the low byte only
    EXPECT_EQ(pty.read(5000, "A"), "A");

    pty.write("\xFF"
              "B");
    ASSERT_TRUE(lvtest::waitFor([&] { return c.RxCount() == 2; }, 5000));
    EXPECT_EQ(c.Char(), 0xFF);
    EXPECT_EQ(c.Char(), 'B');
    EXPECT_EQ(c.Char(), 0); // nothing left
    EXPECT_EQ(c.Text(), "");
    EXPECT_EQ(c.TxSpace(), 256);
}

TEST_F(DorlinCtrl, OnCommFollowsTheEventMaskAndCommEventClears) {
    lvtest::PtyPair pty;
    CDorlinCtrl c(nullptr, false);
    int onComm = 0;
    QObject::connect(&c, &CDorlinCtrl::OnComm, [&] { ++onComm; });
    c.SetExtPort(Slave(pty));
    c.SetExtPortOpen(true);
    pty.write("abc");
    ASSERT_TRUE(lvtest::waitFor([&] { return onComm > 0; }, 5000));
    EXPECT_EQ(c.CommEvent(), EVENT_RXCHAR);
    EXPECT_EQ(c.CommEvent(), 0);
    EXPECT_EQ(c.Text(), "abc");

    c.SetEventMask(EVENT_CTS); // received bytes no longer raise OnComm
    onComm = 0;
    pty.write("d");
    ASSERT_TRUE(lvtest::waitFor([&] { return c.RxCount() == 1; }, 5000));
    c.SetExtPortOpen(false); // joins the reader thread: nothing more can be posted
    QCoreApplication::sendPostedEvents(&c);
    EXPECT_EQ(onComm, 0);
    EXPECT_EQ(c.CommEvent(), EVENT_RXCHAR);
}

TEST_F(DorlinCtrl, ChannelCodesRouteToTheirEvents) {
    CDorlinCtrl c(nullptr, false);
    int onComm = 0;
    QList<QPair<short, long>> transfers;
    QObject::connect(&c, &CDorlinCtrl::OnComm, [&] { ++onComm; });
    QObject::connect(&c, &CDorlinCtrl::OnTransfer,
                     [&](short code, long v) { transfers << qMakePair(code, v); });
    for (int code = 0; code <= 9; ++code)
        QCoreApplication::postEvent(&c, new ChannelEvent(code, 100 + code, false));
    QCoreApplication::postEvent(&c, new ChannelEvent(0, 1, true)); // bytes of an exchange
    QCoreApplication::sendPostedEvents(&c);
    EXPECT_EQ(onComm, 1);
    ASSERT_EQ(transfers.size(), 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(transfers[i].first, i + 1);
        EXPECT_EQ(transfers[i].second, 101 + i);
    }
}

TEST_F(DorlinCtrl, PtyMasterClosingClosesThePortWithoutAHostCall) {
    lvtest::PtyPair pty;
    CDorlinCtrl c(nullptr, false);
    c.SetExtPort(Slave(pty));
    c.SetExtPortOpen(true);
    ASSERT_TRUE(c.PortOpen());
    pty.closeMaster();
    EXPECT_TRUE(lvtest::waitFor([&] { return !c.PortOpen(); }, 5000));
    EXPECT_EQ(c.CommID(), -1);
    EXPECT_FALSE(c.ExtPortOpen());
}

TEST_F(DorlinCtrl, AboutBoxShowsCaptionAndVersion) {
    CDorlinCtrl c(nullptr, false);
    QString caption, text;
    auto old = CDorlinCtrl::SetAboutBoxHook([&](const QString& cap, const QString& t) {
        caption = cap;
        text = t;
    });
    c.AboutBox();
    CDorlinCtrl::SetAboutBoxHook(old);
    EXPECT_EQ(caption, "About Dorlin Control");
    EXPECT_EQ(text, "Dorlin Control, Version 1.0");

    // Without a hook: a real modal box, closed here once it shows.
    QString shownTitle, shownText;
    QTimer poke;
    QObject::connect(&poke, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shownTitle = box->windowTitle();
            shownText = box->text();
            box->accept();
        }
    });
    poke.start(20);
    c.AboutBox();
    EXPECT_EQ(shownTitle, "About Dorlin Control");
    EXPECT_EQ(shownText, "Dorlin Control, Version 1.0");
}

TEST_F(DorlinCtrl, EnumCommPortListsKnownPortsThenEmpty) {
    qputenv("DORLIN_PORTS", "COM7=/tmp/reader7,COM8=/tmp/reader8");
    CDorlinCtrl c(nullptr, false);
    QStringList names;
    for (short i = 0; i < 64; ++i) {
        const QString n = c.EnumCommPort(i);
        if (n.isEmpty()) break;
        names << n;
    }
    EXPECT_TRUE(names.contains("COM7"));
    EXPECT_TRUE(names.contains("COM8"));
    EXPECT_EQ(c.EnumCommPort(short(names.size())), "");
    EXPECT_EQ(c.EnumCommPort(-1), "");
}

namespace {
// A fake clock for the 30-second dial wait: every sleep moves time on by a second.
struct FakeClock {
    FakeClock() {
        oldTick = SetTickSource([this] { return now.load(); });
        oldSleep = SetSleepHook([this](uint32_t) { now += 1000; });
    }
    ~FakeClock() {
        SetTickSource(oldTick);
        SetSleepHook(oldSleep);
    }
    std::atomic<uint32_t> now{0xFFFFF000u}; // close to the wrap
    TickFn oldTick;
    SleepFn oldSleep;
};
} // namespace

TEST_F(DorlinCtrl, DialSendsTheNumberAndGivesUpWithoutCarrier) {
    lvtest::PtyPair pty;
    CDorlinCtrl c(nullptr, false);
    QStringList mon;
    QObject::connect(&c, &CDorlinCtrl::RnetMonitor, [&](short i, const QString& m) {
        mon << QStringLiteral("%1 %2").arg(i).arg(m);
    });
    c.SetExtPort(Slave(pty));
    c.SetExtPortOpen(true);
    ASSERT_TRUE(c.PortOpen());
    bool result = true;
    uint32_t elapsed = 0;
    {
        FakeClock clock;
        const uint32_t start = clock.now;
        result = c.Dial("1234");
        elapsed = clock.now - start;
    }
    EXPECT_FALSE(result);
    EXPECT_GE(elapsed, 30000u); // it waited the whole 30 seconds of fake time
    EXPECT_EQ(pty.read(5000, "\r"), "ATDT1234\r");
    EXPECT_EQ(mon, QStringList({"0 Wait Dial Modem..."}));
}

TEST_F(DorlinCtrl, DialWithoutOpenPortReturnsFalse) {
    CDorlinCtrl c(nullptr, false);
    FakeClock clock;
    EXPECT_FALSE(c.Dial("5"));
}

TEST_F(DorlinCtrl, DialSucceedsWhenTheCarrierComes) {
    // A pty has no carrier line: a device that wraps it raises RLSD once the number is sent.
    struct CarrierDevice : SerialDevicePosix {
        int ModemStatus() override { return dialled ? MS_RLSD : 0; }
        long Write(const void* buf, size_t n) override {
            if (n == 1 && *static_cast<const char*>(buf) == '\r') dialled = true;
            return SerialDevicePosix::Write(buf, n);
        }
        std::atomic<bool> dialled{false};
    };
    CJComm::SetDeviceFactory([] { return std::make_unique<CarrierDevice>(); });
    lvtest::PtyPair pty;
    CDorlinCtrl c(nullptr, false);
    c.SetExtPort(Slave(pty));
    c.SetExtPortOpen(true);
    ASSERT_TRUE(c.PortOpen());
    EXPECT_FALSE(c.RLSDHolding());
    bool result = false;
    {
        FakeClock clock;
        result = c.Dial("99");
    }
    CJComm::SetDeviceFactory(nullptr);
    EXPECT_TRUE(result);
    EXPECT_TRUE(c.RLSDHolding());
    EXPECT_EQ(pty.read(5000, "\r"), "ATDT99\r");
}

// The Auto Scan window as the main window's "AUTO" entry opens it: what it shows, when it
// closes by itself, and what Select, double-click and Cancel hand back.
#include "ScanTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pelmar/discovery/frmAutoScan.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pelmar::discovery;
using lvtest::SimReader;

namespace {

// Runs `act` once the Auto Scan window is on screen; a window that never shows fails the
// test instead of hanging it.
void WhenShown(std::function<void(frmAutoScan*)> act) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, clock, act] {
        if (auto* w = qobject_cast<frmAutoScan*>(QApplication::activeModalWidget());
            w && w->isVisible()) {
            timer->stop();
            timer->deleteLater();
            act(w);
        } else if (clock->elapsed() > 15000) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "the Auto Scan window did not show";
        }
    });
    timer->start();
}

QTreeWidgetItem* Row(frmAutoScan* w, const QString& text) {
    for (int i = 0; i < w->lstView->topLevelItemCount(); ++i)
        if (w->lstView->topLevelItem(i)->text(0) == text) return w->lstView->topLevelItem(i);
    return nullptr;
}

bool Scan(QString& result, const QString& ips = {}) {
    return ShowAutoScan(nullptr, result, Kt9FirmwareList(), Kt9DeviceLabel(), Kt9ProbeCommand(),
                        Kt9BaudList(), ips);
}

TEST(AutoScanWindow, OneReaderIsChosenWithoutTheUser) {
    SimReader match({"--unlocked"});
    SimReader silent({"--silent"});
    ASSERT_TRUE(match.ok() && silent.ok());
    lvtest::SetPorts({{121, match.Link()}, {122, silent.Link()}});

    struct Seen {
        QString title, port, device, refresh, select, cancel, status121, key;
        bool selectEnabled = true;
    };
    auto seen = std::make_shared<Seen>();
    WhenShown([seen](frmAutoScan* w) {
        seen->title = w->windowTitle();
        seen->port = w->lstView->headerItem()->text(0);
        seen->device = w->lstView->headerItem()->text(1);
        seen->refresh = w->cmdRefresh->text();
        seen->select = w->cmdSelect->text();
        seen->cancel = w->cmdCancel->text();
        seen->selectEnabled = w->cmdSelect->isEnabled();
        if (QTreeWidgetItem* r = Row(w, "COM121")) {
            seen->status121 = r->text(1);
            seen->key = r->data(0, Qt::UserRole).toString();
        }
    });
    QString result = "unchanged";
    EXPECT_TRUE(Scan(result));
    EXPECT_EQ(result, "COM121");
    EXPECT_EQ(seen->title, " Auto Scan");
    EXPECT_EQ(seen->port, "Port");
    EXPECT_EQ(seen->device, "Device");
    EXPECT_EQ(seen->refresh, "Refresh");
    EXPECT_EQ(seen->select, "Select");
    EXPECT_EQ(seen->cancel, "Cancel");
    EXPECT_FALSE(seen->selectEnabled);
    // Seen at the earliest moment the window is up; on a busy machine the reply may be in.
    EXPECT_TRUE(seen->status121 == "Checking..." || seen->status121.startsWith("Check in") ||
                seen->status121 == "Found: KRN-A0102 V1.05")
        << seen->status121.toStdString();
    EXPECT_TRUE(seen->key.startsWith("Index=")) << seen->key.toStdString();
}

TEST(AutoScanWindow, NothingFoundClosesWithoutAChoice) {
    SimReader silent({"--silent"});
    ASSERT_TRUE(silent.ok());
    lvtest::SetPorts({{131, silent.Link()}, {132, "/nonexistent/port"}});
    auto last = std::make_shared<QStringList>();
    WhenShown([last](frmAutoScan* w) {
        // Keep what the rows show until the window goes.
        QObject::connect(w, &QDialog::finished, [w, last] {
            for (const char* r : {"COM131", "COM132"})
                if (QTreeWidgetItem* item = Row(w, r)) *last << item->text(1);
        });
    });
    QString result = "unchanged";
    EXPECT_FALSE(Scan(result));
    EXPECT_EQ(result, "unchanged");
    EXPECT_EQ(*last, QStringList({"Timeout", "Can't open COM132"}));
}

TEST(AutoScanWindow, TwoReadersWaitForTheUsersChoice) {
    SimReader a({"--unlocked"});
    SimReader b({"--unlocked", "--firmware", "KRN-A0102 V2.00"});
    SimReader other({"--unlocked", "--firmware", "XYZ"});
    ASSERT_TRUE(a.ok() && b.ok() && other.ok());
    lvtest::SetPorts({{141, a.Link()}, {142, b.Link()}, {143, other.Link()}});

    auto steps = std::make_shared<QStringList>();
    WhenShown([steps](frmAutoScan* w) {
        const bool both = lvtest::waitFor(
            [w] {
                QTreeWidgetItem* r1 = Row(w, "COM141");
                QTreeWidgetItem* r2 = Row(w, "COM142");
                return r1 && r2 && r1->text(1).startsWith("Found:") &&
                       r2->text(1).startsWith("Found:");
            },
            15000);
        if (!both) {
            w->cmdCancel->click();
            return;
        }
        // Let the scan end; the window must stay.
        lvtest::waitFor([w] { return !w->isVisible(); }, 3500);
        *steps << (w->isVisible() ? "waiting" : "closed");
        w->cmdSelect->click(); // nothing selected: nothing happens
        QApplication::processEvents();
        *steps << (w->isVisible() ? "still open" : "closed");
        w->lstView->setCurrentItem(Row(w, "COM143"));
        *steps << (w->cmdSelect->isEnabled() ? "other selectable" : "other not selectable");
        w->lstView->setCurrentItem(Row(w, "COM142"));
        *steps << (w->cmdSelect->isEnabled() ? "found selectable" : "found not selectable");
        // A window that failed to close on Select must not hang the test.
        QTimer::singleShot(5000, w, [w] { w->cmdCancel->click(); });
        w->cmdSelect->click();
    });
    QString result;
    EXPECT_TRUE(Scan(result));
    EXPECT_EQ(*steps,
              QStringList({"waiting", "still open", "other not selectable", "found selectable"}));
    EXPECT_EQ(result, "COM142");
}

TEST(AutoScanWindow, DoubleClickOnAFoundRowChoosesIt) {
    SimReader a({"--unlocked"});
    SimReader b({"--unlocked"});
    ASSERT_TRUE(a.ok() && b.ok());
    lvtest::SetPorts({{151, a.Link()}, {152, b.Link()}});
    WhenShown([](frmAutoScan* w) {
        if (!lvtest::waitFor(
                [w] { return Row(w, "COM151") && Row(w, "COM151")->text(1).startsWith("Found"); },
                15000)) {
            w->cmdCancel->click();
            return;
        }
        QTimer::singleShot(5000, w, [w] { w->cmdCancel->click(); });
        emit w->lstView->itemDoubleClicked(Row(w, "COM151"), 0);
    });
    QString result;
    EXPECT_TRUE(Scan(result));
    EXPECT_EQ(result, "COM151");
}

TEST(AutoScanWindow, CancelAndEscapeLeaveTheResultAlone) {
    SimReader match({"--unlocked", "--slow", "2500"});
    ASSERT_TRUE(match.ok());
    lvtest::SetPorts({{161, match.Link()}});
    WhenShown([](frmAutoScan* w) { w->cmdCancel->click(); });
    QString result = "unchanged";
    EXPECT_FALSE(Scan(result));
    EXPECT_EQ(result, "unchanged");

    WhenShown([](frmAutoScan* w) { QTest::keyClick(w, Qt::Key_Escape); });
    EXPECT_FALSE(Scan(result));
    EXPECT_EQ(result, "unchanged");

    WhenShown([](frmAutoScan* w) { w->close(); });
    EXPECT_FALSE(Scan(result));
    EXPECT_EQ(result, "unchanged");
}

TEST(AutoScanWindow, NetworkRowsFollowTheSerialRows) {
    lvtest::SetPorts({{171, "/nonexistent/a"}});
    auto rows = std::make_shared<QStringList>();
    WhenShown([rows](frmAutoScan* w) {
        for (int i = 0; i < w->lstView->topLevelItemCount(); ++i)
            *rows << w->lstView->topLevelItem(i)->text(0) + "|" +
                         w->lstView->topLevelItem(i)->text(1);
        w->cmdCancel->click();
    });
    QString result;
    EXPECT_FALSE(Scan(result, "010.000.000.001,1.2.3,0.0.0.0"));
    ASSERT_FALSE(rows->isEmpty());
    EXPECT_TRUE(rows->contains("COM171|Checking...") || rows->contains("COM171|Can't open COM171"));
    EXPECT_TRUE(rows->last().startsWith("IP:10.0.0.1:1001|")) << rows->last().toStdString();
    EXPECT_EQ(rows->filter("IP:").size(), 1);
}

// A device server whose accept queue is full: a connection attempt gets no answer, so the
// control waits for its connect time-out.
class StalledServer {
public:
    StalledServer() {
        address_ = lvtest::RandomLoopbackAddress();
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(1001);
        inet_pton(AF_INET, address_.toLatin1().constData(), &a.sin_addr);
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        filler_ = socket(AF_INET, SOCK_STREAM, 0);
        ok_ = listener_ >= 0 && filler_ >= 0 &&
              bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              listen(listener_, 0) == 0 &&
              connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~StalledServer() {
        if (filler_ >= 0) ::close(filler_);
        if (listener_ >= 0) ::close(listener_);
    }
    bool ok() const { return ok_; }
    QString Address() const { return address_; }

private:
    QString address_;
    int listener_ = -1, filler_ = -1;
    bool ok_ = false;
};

TEST(AutoScanWindow, CancelWhileADeviceServerIsConnectingClosesAfterwards) {
    StalledServer server;
    ASSERT_TRUE(server.ok());
    SimReader match({"--unlocked"});
    ASSERT_TRUE(match.ok());
    lvtest::SetPorts({{181, match.Link()}});
    auto steps = std::make_shared<QStringList>();
    const QString ipRow = "IP:" + server.Address() + ":1001";
    WhenShown([steps, ipRow](frmAutoScan* w) {
        // Watch without a wait loop of our own: the connection attempt runs one, and ours
        // would only return after it.
        auto* poll = new QTimer(w);
        poll->setInterval(10);
        QObject::connect(poll, &QTimer::timeout, [poll, steps, ipRow, w] {
            QTreeWidgetItem* serial = Row(w, "COM181");
            if (!serial || !serial->text(1).startsWith("Found")) return;
            poll->stop();
            // The serial reader was probed and found while the connection attempt waits.
            *steps << "serial found";
            *steps << (Row(w, ipRow) ? Row(w, ipRow)->text(1) : "no network row");
            w->cmdCancel->click();
            *steps << (w->isVisible() ? "close deferred" : "closed at once");
        });
        poll->start();
        // The window goes only once the attempt is over.
        QObject::connect(w, &QDialog::finished, [steps, ipRow, w] {
            *steps << (Row(w, ipRow) ? Row(w, ipRow)->text(1) : "no network row");
        });
        QTimer::singleShot(20000, w, [w] { w->done(QDialog::Rejected); });
    });
    QString result = "unchanged";
    EXPECT_FALSE(Scan(result, server.Address()));
    EXPECT_EQ(result, "unchanged");
    // The reader found meanwhile is not chosen: the user's Cancel stands.
    EXPECT_EQ(*steps, QStringList({"serial found", "Checking...", "close deferred",
                                   "Can't open IP: " + server.Address() + ":1001"}));
}

} // namespace

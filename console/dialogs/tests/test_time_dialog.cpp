// The clock dialog against the simulated reader (clock shown, set by hand and by Sync.,
// refused while the reader holds records, a reader that does not answer) and its ticking
// driven tick by tick.
#include "DialogDriver.h"
#include "ReaderLink.h"

#include <QDateEdit>
#include <QDateTimeEdit>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>
#include <pelmar/core/ReaderSession.h>
#include <pelmar/dialogs/frmTime.h>

using namespace pelmar;
using namespace pelmar::dialogs;
using dlgtest::Find;
using dlgtest::WhenModal;

namespace {

struct TimeOnReader : dlgtest::Kt9OnReader {
    QStringList ClockSets() const {
        QStringList out;
        for (const QString& l : sim->Log())
            if (l.startsWith("RX <STX>S")) out << l.mid(8).chopped(4);
        return out;
    }
    int ClockReads() const {
        return int(sim->Log().filter(QRegularExpression("^RX <STX>T<CR>$")).size());
    }
};

QString Colour(QLabel* l) {
    return l->styleSheet();
}

TEST_F(TimeOnReader, RecordsOnTheReaderLockTheClock) {
    Start({"--records", "3", "--clock-offset", "7200"});
    struct {
        QString msg, colour;
        bool date = true, time = true, sync = true, apply = true, ok = true, cancel = false;
        qint64 offset = 0;
    } seen;
    WhenModal<frmTime>([&](frmTime* d) {
        auto* msg = Find<QLabel>(d, "labMsg");
        seen.msg = msg->text();
        seen.colour = Colour(msg);
        seen.date = Find<QDateEdit>(d, "dtpDate")->isEnabled();
        seen.time = Find<QDateTimeEdit>(d, "dtpTime")->isEnabled();
        seen.sync = Find<QPushButton>(d, "cmdSync")->isEnabled();
        seen.apply = Find<QPushButton>(d, "cmdApply")->isEnabled();
        seen.ok = Find<QPushButton>(d, "cmdOK")->isEnabled();
        seen.cancel = Find<QPushButton>(d, "cmdCancel")->isEnabled();
        seen.offset =
            QDateTime::currentDateTime().secsTo(Find<QDateTimeEdit>(d, "dtpTime")->dateTime());
        // Even a forced Apply cannot set the clock.
        d->OnApply();
        d->OnSync();
        Find<QPushButton>(d, "cmdCancel")->click();
    });
    EXPECT_TRUE(ShowTime(*kt9));
    EXPECT_EQ(seen.msg, "Database not empty");
    EXPECT_EQ(seen.colour, "color: #ff0000;");
    EXPECT_FALSE(seen.date || seen.time || seen.sync || seen.apply || seen.ok);
    EXPECT_TRUE(seen.cancel);
    EXPECT_NEAR(double(seen.offset), 7200.0, 60.0) << "the reader's clock is shown";
    EXPECT_EQ(ClockSets(), QStringList()) << "no S command while records exist";
}

TEST_F(TimeOnReader, ApplySendsTheTypedDateAndTimeWithItsWeekday) {
    Start({"--records", "0"});
    QString msg, colour;
    WhenModal<frmTime>([&](frmTime* d) {
        Find<QDateEdit>(d, "dtpDate")->setDate(QDate(2025, 1, 5));
        auto* t = Find<QDateTimeEdit>(d, "dtpTime");
        t->setTime(QTime(9, 3, 7, 600));
        Find<QPushButton>(d, "cmdApply")->click();
        msg = Find<QLabel>(d, "labMsg")->text();
        colour = Colour(Find<QLabel>(d, "labMsg"));
        EXPECT_FALSE(Find<QPushButton>(d, "cmdApply")->isEnabled());
        Find<QDateEdit>(d, "dtpDate")->setDate(QDate(2026, 12, 31));
        t->setTime(QTime(23, 59, 59));
        Find<QPushButton>(d, "cmdOK")->click();
    });
    EXPECT_TRUE(ShowTime(*kt9));
    EXPECT_EQ(msg, "Set Date/Time OK");
    EXPECT_EQ(colour, "color: #0000ff;");
    EXPECT_EQ(ClockSets(), QStringList({"S202501050903070", "S202612312359594"}));
}

TEST_F(TimeOnReader, SyncSetsThePCClock) {
    Start({"--records", "0", "--clock-offset", "-5000"});
    const QDateTime fixed(QDate(2024, 1, 31), QTime(23, 59, 59));
    WhenModal<frmTime>([&](frmTime* d) {
        d->SetPcClock([fixed] { return fixed; });
        Find<QPushButton>(d, "cmdSync")->click();
        Find<QPushButton>(d, "cmdCancel")->click();
    });
    EXPECT_TRUE(ShowTime(*kt9)) << "Cancel after Sync. clears Applied";
    EXPECT_EQ(ClockSets(), QStringList({"S202401312359593"}));
}

TEST_F(TimeOnReader, RefusedWriteSaysNGAndOffersAnotherTry) {
    Start({"--records", "0"});
    QString msg;
    bool applyAgain = false;
    WhenModal<frmTime>([&](frmTime* d) {
        sim->Stop();
        Find<QDateTimeEdit>(d, "dtpTime")->setTime(QTime(10, 0, 0));
        Find<QPushButton>(d, "cmdApply")->click();
        msg = Find<QLabel>(d, "labMsg")->text();
        applyAgain = Find<QPushButton>(d, "cmdApply")->isEnabled();
        Find<QPushButton>(d, "cmdOK")->click();
    });
    EXPECT_FALSE(ShowTime(*kt9)) << "OK after a failed write";
    EXPECT_EQ(msg, "Set Date/Time NG");
    EXPECT_TRUE(applyAgain);
}

TEST_F(TimeOnReader, NoAnswerMeansNoDialog) {
    Start({"--silent"}, false);
    link.ctrl.SetRnetTimeout(200);
    bool shown = false;
    auto* guard = new QTimer;
    QObject::connect(guard, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<frmTime*>(QApplication::activeModalWidget())) {
            shown = true;
            d->reject();
        }
    });
    guard->start(10);
    EXPECT_FALSE(ShowTime(*kt9));
    delete guard;
    EXPECT_FALSE(shown);
}

TEST_F(TimeOnReader, TenthTickReadsTheReaderUnlessTheUserEdited) {
    Start({"--records", "2", "--clock-offset", "3600"});
    frmTime dlg(*kt9);
    ASSERT_TRUE(dlg.LoadFromReader());
    auto* t = Find<QDateTimeEdit>(&dlg, "dtpTime");
    // Records on the reader: Apply stays disabled and every tenth tick re-reads the clock.
    Find<QDateEdit>(&dlg, "dtpDate")->setDate(QDate(2020, 1, 1));
    t->setDateTime(QDateTime(QDate(2020, 1, 1), QTime(0, 0, 0)));
    const int before = ClockReads();
    for (int i = 0; i < 9; ++i)
        dlg.OnTick();
    EXPECT_EQ(t->dateTime(), QDateTime(QDate(2020, 1, 1), QTime(0, 0, 9)));
    EXPECT_EQ(ClockReads(), before);
    dlg.OnTick();
    EXPECT_EQ(ClockReads(), before + 1);
    EXPECT_NEAR(double(QDateTime::currentDateTime().secsTo(t->dateTime())), 3600.0, 60.0);
    EXPECT_EQ(Find<QDateEdit>(&dlg, "dtpDate")->date(), t->date()) << "the date read is taken";
}

TEST_F(TimeOnReader, AReaderGoneAtTheRereadKeepsTheClockTicking) {
    Start({"--records", "2"});
    link.ctrl.SetRnetTimeout(300);
    frmTime dlg(*kt9);
    ASSERT_TRUE(dlg.LoadFromReader());
    auto* t = Find<QDateTimeEdit>(&dlg, "dtpTime");
    const QDateTime start = t->dateTime();
    sim->Stop();
    for (int i = 0; i < 10; ++i)
        dlg.OnTick();
    EXPECT_EQ(t->dateTime(), start.addSecs(10)) << "neither the zero date nor a jump";
}

TEST_F(TimeOnReader, AnEditIsNotOverwrittenByTheReread) {
    Start({"--records", "0"});
    frmTime dlg(*kt9);
    ASSERT_TRUE(dlg.LoadFromReader());
    auto* t = Find<QDateTimeEdit>(&dlg, "dtpTime");
    const QDateTime edit(t->date(), QTime(6, 30, 0));
    t->setDateTime(edit);
    EXPECT_TRUE(Find<QPushButton>(&dlg, "cmdApply")->isEnabled());
    const int before = ClockReads();
    for (int i = 0; i < 10; ++i)
        dlg.OnTick();
    EXPECT_EQ(t->dateTime(), edit.addSecs(10));
    EXPECT_EQ(ClockReads(), before);
}

// Without a reader (closed link): the PC's clock with "Can't get time!!!".
struct TimeWidget : ::testing::Test {
    dlgtest::Link link;
    ReaderSession session{&link.link};
    modKt9 kt9{session};
    frmTime dlg{kt9};
};

TEST_F(TimeWidget, UnreadableClockShowsThePCClock) {
    const QDateTime fixed(QDate(2024, 6, 1), QTime(12, 0, 0));
    dlg.SetPcClock([fixed] { return fixed; });
    ASSERT_TRUE(dlg.LoadFromReader());
    EXPECT_EQ(Find<QLabel>(&dlg, "labMsg")->text(), "Can't get time!!!");
    EXPECT_EQ(Find<QDateTimeEdit>(&dlg, "dtpTime")->dateTime(), fixed);
    EXPECT_EQ(Find<QDateEdit>(&dlg, "dtpDate")->date(), fixed.date());
    EXPECT_TRUE(dlg.CanSet());
}

TEST_F(TimeWidget, MidnightRollsTheDateOver) {
    ASSERT_TRUE(dlg.LoadFromReader());
    Find<QDateEdit>(&dlg, "dtpDate")->setDate(QDate(2024, 2, 28));
    Find<QDateTimeEdit>(&dlg, "dtpTime")->setTime(QTime(23, 59, 59));
    dlg.OnTick();
    EXPECT_EQ(Find<QDateTimeEdit>(&dlg, "dtpTime")->time(), QTime(0, 0, 0));
    EXPECT_EQ(Find<QDateEdit>(&dlg, "dtpDate")->date(), QDate(2024, 2, 29));
}

TEST_F(TimeWidget, SyncIsDisabledWhileTheClocksAgree) {
    const QDateTime fixed(QDate(2024, 6, 1), QTime(12, 0, 0));
    dlg.SetPcClock([fixed] { return fixed; });
    ASSERT_TRUE(dlg.LoadFromReader());
    auto* sync = Find<QPushButton>(&dlg, "cmdSync");
    Find<QDateTimeEdit>(&dlg, "dtpTime")->setDateTime(fixed.addSecs(-1));
    dlg.OnTick();
    EXPECT_FALSE(sync->isEnabled());
    dlg.OnTick();
    EXPECT_TRUE(sync->isEnabled());
}

TEST_F(TimeWidget, TypingADigitPausesTheClock) {
    ASSERT_TRUE(dlg.LoadFromReader());
    auto* t = Find<QDateTimeEdit>(&dlg, "dtpTime");
    t->setTime(QTime(8, 0, 0));
    const QDateTime before = t->dateTime();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Home, Qt::NoModifier);
    QApplication::sendEvent(t, &press);
    QKeyEvent digit(QEvent::KeyPress, Qt::Key_1, Qt::NoModifier, "1");
    QCoreApplication::sendEvent(&dlg, &digit); // not the picker: no pause
    dlg.OnTick();
    EXPECT_EQ(t->dateTime(), before.addSecs(1));
    // A digit typed into the picker holds the ticks until the picker reports its change.
    t->installEventFilter(&dlg);
    QKeyEvent d2(QEvent::KeyPress, Qt::Key_2, Qt::NoModifier, "2");
    QApplication::sendEvent(t, &d2);
    const QDateTime typed = t->dateTime();
    dlg.OnTick();
    EXPECT_EQ(t->dateTime(), typed);
}

TEST_F(TimeWidget, CaptionAndTexts) {
    EXPECT_EQ(dlg.windowTitle(), " Lorvane Date/Time");
    EXPECT_EQ(Find<QPushButton>(&dlg, "cmdSync")->toolTip(), " Kt4 and PC time synchronization ");
    EXPECT_EQ(Find<QDateEdit>(&dlg, "dtpDate")->displayFormat(), "  yyyy / MM / dd  ddd");
    EXPECT_EQ(Find<QDateTimeEdit>(&dlg, "dtpTime")->displayFormat(), "     HH   :   mm   :   ss");
}

// The weekday after the date speaks the language chosen: German under a German language file,
// English without one, whatever the system's locale.
TEST(TimeDialogLanguage, WeekdayFollowsTheChosenLanguage) {
    const QString folder = QString::fromStdString(DialogTestDataDir()) + "/Language/";
    struct Case {
        const char* what;
        QByteArray file; // written as Deutsch.lng; empty: none
        QString weekday;
    };
    const Case cases[] = {
        {"German file", "[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n",
         QLocale(QLocale::German).dayName(1, QLocale::ShortFormat)},
        {"no file", {}, "Mon"},
    };
    for (const Case& c : cases) {
        QFile::remove(folder + "Deutsch.lng");
        if (!c.file.isEmpty()) {
            QFile f(folder + "Deutsch.lng");
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.file);
        }
        lvlang::ReleaseLanguageObject();
        lvlang::SaveSetting("Language", "DefaultLCID", "1031");
        lvlang::SaveSetting("Language", "Language", "Deutsch");
        {
            dlgtest::Link link;
            ReaderSession session{&link.link};
            modKt9 kt9{session};
            frmTime dlg{kt9};
            auto* date = Find<QDateEdit>(&dlg, "dtpDate");
            date->setDate(QDate(2026, 12, 7)); // a Monday
            EXPECT_TRUE(date->text().endsWith(c.weekday))
                << c.what << ": " << date->text().toStdString();
        }
        lvlang::ReleaseLanguageObject();
    }
    QFile::remove(folder + "Deutsch.lng");
    lvlang::ReleaseLanguageObject();
    lvlang::SaveSetting("Language", "DefaultLCID", "1033");
    lvlang::SaveSetting("Language", "Language", "English");
}

} // namespace

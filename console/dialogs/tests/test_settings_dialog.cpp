// The settings dialog against the simulated reader: what it shows for the registers the
// reader holds, the exact register writes an OK sends (only the changed settings, in their
// order), and the messages of a reader that stops answering. Pure widget cases use Fill().
#include "DialogDriver.h"
#include "ReaderLink.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimeEdit>
#include <pelmar/core/ReaderSession.h>
#include <pelmar/dialogs/frmSettings.h>
#include <pelmar/ui/QtPropertyHost.h>

using namespace pelmar;
using namespace pelmar::dialogs;
using dlgtest::Find;
using dlgtest::WhenModal;

namespace {

struct SettingsOnReader : dlgtest::Kt9OnReader {
    qsizetype logStart = 0;

    // Register writes the reader received since MarkLog(), as "reg=value" in hex.
    void MarkLog() { logStart = sim->Log().size(); }
    QStringList Writes() const {
        static const QRegularExpression re(
            QStringLiteral("^RX <STX>C([0-9A-F]{2}),([0-9A-F]{2})[0-9A-F]{2}<CR>$"));
        QStringList out;
        const QStringList log = sim->Log();
        for (qsizetype i = logStart; i < log.size(); ++i) {
            auto m = re.match(log[i]);
            if (m.hasMatch())
                out << m.captured(1) + "=" + m.captured(2);
            else if (log[i].startsWith("RX <STX>C"))
                out << "odd: " + log[i];
        }
        return out;
    }
    static QStringList NameWrites(const QByteArray& name16) {
        QStringList out;
        for (int i = 0; i < 16; ++i)
            out << QStringLiteral("%1=%2")
                       .arg(0x20 + i, 2, 16, QChar('0'))
                       .arg(uint8_t(name16[i]), 2, 16, QChar('0'))
                       .toUpper();
        return out;
    }
};

const QStringList kReaderArgs = {
    "--records",  "0",     "--machine-id", "7",     "--user-name", "Front Door",
    "--register", "12=01", "--register",   "10=78", "--register",  "11=00",
    "--register", "19=FF", "--register",   "1A=00", "--register",  "18=1E",
    "--register", "1C=00", "--register",   "1E=FF", "--register",  "1F=00",
    "--register", "1D=14", "--register",   "50=FF"};

TEST_F(SettingsOnReader, ShowsWhatTheReaderHoldsAndCancelWritesNothing) {
    Start(kReaderArgs);
    struct {
        QString mac, user, date, events, eventsTip, scanMode, scanTime;
        bool real = false, beep = false, fonts = true, lock = true, dateEnabled = false,
             okEnabled = true;
        QTime powerOff, lcdOff;
    } seen;
    MarkLog();
    WhenModal<frmSettings>([&](frmSettings* d) {
        seen.mac = Find<QLineEdit>(d, "txtMacID")->text();
        seen.user = Find<QLineEdit>(d, "txtUserName")->text();
        seen.real = Find<QRadioButton>(d, "optPower_0")->isChecked();
        seen.powerOff = Find<QTimeEdit>(d, "dtpPowerOffTime")->time();
        seen.beep = Find<QCheckBox>(d, "chkOpSound")->isChecked();
        seen.date = Find<QComboBox>(d, "cboDateFormat")->currentText();
        seen.dateEnabled = Find<QComboBox>(d, "cboDateFormat")->isEnabled();
        seen.lcdOff = Find<QTimeEdit>(d, "dtpLCDOffTime")->time();
        seen.fonts = Find<QCheckBox>(d, "chkLargeFonts")->isChecked();
        seen.events = Find<QComboBox>(d, "cboNumberOfEvent")->currentText();
        seen.eventsTip = Find<QComboBox>(d, "cboNumberOfEvent")->toolTip();
        seen.scanMode = Find<QComboBox>(d, "cboScanMode")->currentText();
        seen.lock = Find<QCheckBox>(d, "chkLockDateTime")->isChecked();
        seen.scanTime = Find<QLineEdit>(d, "txtRFIDScanTime")->text();
        seen.okEnabled = Find<QPushButton>(d, "cmdOK")->isEnabled();
        Find<QCheckBox>(d, "chkOpSound")->click(); // an edit, then Cancel
        Find<QPushButton>(d, "cmdCancel")->click();
    });
    EXPECT_TRUE(ShowSettings(*kt9, link.link));
    EXPECT_EQ(seen.mac, "07");
    EXPECT_EQ(seen.user, "Front Door");
    EXPECT_TRUE(seen.real) << "power mode 1 is Real Control";
    EXPECT_EQ(seen.powerOff, QTime(0, 2, 0));
    EXPECT_TRUE(seen.beep);
    EXPECT_EQ(seen.date, "MM/DD/YYYY");
    EXPECT_TRUE(seen.dateEnabled) << "no records on the reader";
    EXPECT_EQ(seen.lcdOff, QTime(0, 0, 30));
    EXPECT_FALSE(seen.fonts);
    EXPECT_EQ(seen.events, "10");
    EXPECT_EQ(seen.eventsTip, "Events from 0 to 9");
    EXPECT_EQ(seen.scanMode, "Continuous");
    EXPECT_FALSE(seen.lock);
    EXPECT_EQ(seen.scanTime, "20");
    EXPECT_FALSE(seen.okEnabled) << "nothing edited yet";
    EXPECT_EQ(Writes(), QStringList());
}

TEST_F(SettingsOnReader, OKWritesOnlyTheChangedSettingsInOrder) {
    Start(kReaderArgs);
    MarkLog();
    std::shared_ptr<dlgtest::Shown> done;
    WhenModal<frmSettings>([&](frmSettings* d) {
        // Typed as a person would: the user name, a scan time of 100 (a first digit below
        // the minimum of 5), three event options, beep off, lock on.
        auto* user = Find<QLineEdit>(d, "txtUserName");
        user->selectAll();
        QTest::keyClicks(user, "Gate 2");
        auto* scan = Find<QLineEdit>(d, "txtRFIDScanTime");
        scan->selectAll();
        QTest::keyClicks(scan, "100");
        Find<QComboBox>(d, "cboNumberOfEvent")->setCurrentIndex(2);
        Find<QCheckBox>(d, "chkOpSound")->click();
        Find<QCheckBox>(d, "chkLockDateTime")->click();
        done = dlgtest::AnswerMessage();
        Find<QPushButton>(d, "cmdOK")->click();
    });
    EXPECT_TRUE(ShowSettings(*kt9, link.link));
    ASSERT_TRUE(done && done->seen);
    EXPECT_EQ(done->text, "Apply Settings OK!");
    EXPECT_EQ(done->icon, QMessageBox::Information);
    EXPECT_EQ(done->title, "Kt5 Utility");
    QStringList expected = {"19=00", "1E=03", "1D=64", "50=00"};
    expected += NameWrites(QByteArray(10, '\0') + "Gate 2");
    EXPECT_EQ(Writes(), expected);
    EXPECT_EQ(link.ctrl.GetRegister(0x1D), "A64");
    EXPECT_EQ(kt9->GetKt9UserName(), "Gate 2");
}

TEST_F(SettingsOnReader, OnlyAChangedUserNameSendsOnlyTheNameRegisters) {
    Start(kReaderArgs);
    MarkLog();
    WhenModal<frmSettings>([&](frmSettings* d) {
        auto* user = Find<QLineEdit>(d, "txtUserName");
        QTest::keyClicks(user, "!");
        dlgtest::AnswerMessage();
        Find<QPushButton>(d, "cmdOK")->click();
    });
    EXPECT_TRUE(ShowSettings(*kt9, link.link));
    EXPECT_EQ(Writes(), NameWrites(QByteArray(5, '\0') + "Front Door!"));
}

TEST_F(SettingsOnReader, MachineIDAndDateFormatAndPowerMode) {
    Start(kReaderArgs);
    MarkLog();
    WhenModal<frmSettings>([&](frmSettings* d) {
        auto* mac = Find<QLineEdit>(d, "txtMacID");
        mac->selectAll();
        QTest::keyClicks(mac, "1f");
        Find<QComboBox>(d, "cboDateFormat")->setCurrentIndex(2);
        Find<QRadioButton>(d, "optPower_2")->click();
        dlgtest::AnswerMessage();
        Find<QPushButton>(d, "cmdOK")->click();
    });
    EXPECT_TRUE(ShowSettings(*kt9, link.link));
    EXPECT_EQ(Writes(), QStringList({"1A=01", "12=00"}));
    EXPECT_TRUE(sim->Log().contains("RX <STX>J1F<CR>")) << sim->Log().join('\n').toStdString();
    EXPECT_EQ(kt9->GetMacID(), "1F");
    EXPECT_EQ(kt9->GetDateMode(), 1);
}

// A reader holding a power-off time of one second and a scan time of 2: the dialog shows them
// brought into range and says so, and OK writes them only when the user confirms them or
// changes the field.
TEST_F(SettingsOnReader, ValuesBroughtIntoRangeAreShownAndWrittenOnlyWhenConfirmed) {
    QStringList args = kReaderArgs;
    args[args.indexOf("10=78")] = "10=01";
    args[args.indexOf("1D=14")] = "1D=02";
    struct Case {
        const char* what;
        std::function<void(frmSettings*)> act;
        QStringList writes;
    };
    const Case cases[] = {
        {"another field changed",
         [](frmSettings* d) { Find<QCheckBox>(d, "chkOpSound")->click(); },
         {"19=00"}},
        {"the values shown confirmed",
         [](frmSettings* d) { Find<QCheckBox>(d, "chkWriteAdjusted")->click(); },
         {"10=03", "11=00", "1D=05"}},
        {"confirmed, then taken back, then one field changed",
         [](frmSettings* d) {
             Find<QCheckBox>(d, "chkWriteAdjusted")->click();
             Find<QCheckBox>(d, "chkWriteAdjusted")->click();
             auto* scan = Find<QLineEdit>(d, "txtRFIDScanTime");
             scan->selectAll();
             QTest::keyClicks(scan, "7");
         },
         {"1D=07"}},
    };
    for (const Case& c : cases) {
        sim.reset();
        link.ctrl.SetExtPortOpen(false);
        Start(args);
        MarkLog();
        struct {
            bool noticeShown = false, okEnabled = true;
            QString notice, scan;
            QTime powerOff;
            QStringList adjusted;
        } seen;
        WhenModal<frmSettings>([&](frmSettings* d) {
            seen.noticeShown = Find<QWidget>(d, "fraAdjusted")->isVisible();
            seen.notice = Find<QLabel>(d, "labAdjusted")->text();
            seen.scan = Find<QLineEdit>(d, "txtRFIDScanTime")->text();
            seen.powerOff = Find<QTimeEdit>(d, "dtpPowerOffTime")->time();
            seen.okEnabled = Find<QPushButton>(d, "cmdOK")->isEnabled();
            seen.adjusted = d->Adjusted();
            c.act(d);
            dlgtest::AnswerMessage();
            Find<QPushButton>(d, "cmdOK")->click();
        });
        EXPECT_TRUE(ShowSettings(*kt9, link.link)) << c.what;
        EXPECT_TRUE(seen.noticeShown) << c.what;
        EXPECT_EQ(seen.notice,
                  "Brought into range when read (not written unless changed or "
                  "confirmed):\nAuto Power Off: the reader holds 00:01, shown as 00:03\n"
                  "RFID scan time: the reader holds 2, shown as 5")
            << c.what;
        EXPECT_EQ(seen.adjusted, QStringList({"PowerOffTime", "RFIDScanTime"})) << c.what;
        EXPECT_EQ(seen.scan, "5") << c.what;
        EXPECT_EQ(seen.powerOff, QTime(0, 0, 3)) << c.what;
        EXPECT_FALSE(seen.okEnabled) << c.what << ": nothing changed by the user yet";
        EXPECT_EQ(Writes(), c.writes) << c.what;
    }
}

TEST_F(SettingsOnReader, WithRecordsTheDateFormatIsLocked) {
    QStringList args = kReaderArgs;
    args[1] = "5";
    Start(args);
    bool enabled = true;
    WhenModal<frmSettings>([&](frmSettings* d) {
        enabled = Find<QComboBox>(d, "cboDateFormat")->isEnabled();
        Find<QPushButton>(d, "cmdCancel")->click();
    });
    EXPECT_TRUE(ShowSettings(*kt9, link.link));
    EXPECT_FALSE(enabled);
}

TEST_F(SettingsOnReader, PowerOffTimeLimitFollowsTheFirmware) {
    for (const auto& [firmware, limit] : {std::pair{QString("KRN-A0102 V1.05"), QTime(0, 4, 15)},
                                          std::pair{QString("KRN-A0103 V1.00"), QTime(0, 30, 0)}}) {
        sim.reset();
        link.ctrl.SetExtPortOpen(false);
        Start(kReaderArgs + QStringList{"--firmware", firmware});
        QTime shown;
        WhenModal<frmSettings>([&](frmSettings* d) {
            auto* t = Find<QTimeEdit>(d, "dtpPowerOffTime");
            t->setTime(QTime(0, 45, 0));
            shown = t->time();
            t->setTime(QTime(0, 0, 1));
            EXPECT_EQ(t->time(), QTime(0, 0, 3));
            Find<QPushButton>(d, "cmdCancel")->click();
        });
        EXPECT_TRUE(ShowSettings(*kt9, link.link));
        EXPECT_EQ(shown, limit) << firmware.toStdString();
    }
}

TEST_F(SettingsOnReader, AReaderGoneBeforeTheReadIsNamed) {
    Start(kReaderArgs);
    sim->Stop();
    auto shown = dlgtest::AnswerMessage();
    EXPECT_FALSE(ShowSettings(*kt9, link.link));
    EXPECT_TRUE(shown->seen);
    EXPECT_EQ(shown->icon, QMessageBox::Critical);
    EXPECT_EQ(shown->text, "Get MacID NG\nCan't connect to Lorvane!");
    EXPECT_EQ(shown->title, "Kt5 Utility");
}

TEST_F(SettingsOnReader, AReaderGoneBeforeOKNamesTheFirstWrite) {
    Start(kReaderArgs);
    std::shared_ptr<dlgtest::Shown> shown;
    WhenModal<frmSettings>([&](frmSettings* d) {
        Find<QCheckBox>(d, "chkLargeFonts")->click();
        Find<QCheckBox>(d, "chkLockDateTime")->click();
        sim->Stop();
        shown = dlgtest::AnswerMessage();
        Find<QPushButton>(d, "cmdOK")->click();
    });
    EXPECT_FALSE(ShowSettings(*kt9, link.link));
    ASSERT_TRUE(shown && shown->seen);
    EXPECT_EQ(shown->icon, QMessageBox::Critical);
    EXPECT_EQ(shown->text, "Set Large Fonts NG");
}

TEST_F(SettingsOnReader, NoCloseWhileTheWritesRun) {
    Start(kReaderArgs + QStringList{"--slow", "150"});
    MarkLog();
    int closeTries = 0;
    bool visibleAfterTries = false;
    std::shared_ptr<dlgtest::Shown> done;
    WhenModal<frmSettings>([&](frmSettings* d) {
        Find<QCheckBox>(d, "chkOpSound")->click();
        Find<QCheckBox>(d, "chkLargeFonts")->click();
        // Escape, Cancel and the frame, tried while the writes wait for the slow reader.
        auto* poke = new QTimer(d);
        QObject::connect(poke, &QTimer::timeout, d, [&, d] {
            ++closeTries;
            d->close();
            d->reject();
            QTest::keyClick(d, Qt::Key_Escape);
            visibleAfterTries = d->isVisible();
        });
        poke->start(20);
        done = dlgtest::AnswerMessage();
        Find<QPushButton>(d, "cmdOK")->click();
        poke->stop();
    });
    EXPECT_TRUE(ShowSettings(*kt9, link.link));
    EXPECT_GT(closeTries, 0) << "the writes let events run";
    EXPECT_TRUE(visibleAfterTries);
    ASSERT_TRUE(done && done->seen);
    EXPECT_EQ(done->text, "Apply Settings OK!");
    EXPECT_EQ(Writes(), QStringList({"19=00", "1C=FF"}));
}

// Widget behaviour without a reader.
struct SettingsWidget : ::testing::Test {
    dlgtest::Link link; // never opened
    ReaderSession session{&link.link};
    modKt9 kt9{session};
    frmSettings dlg{kt9, link.link};
    DeviceSettings Base() {
        DeviceSettings s;
        s.MacID = "01";
        s.UserName = "Desk";
        s.PowerMode = 0;
        s.PowerOffTime = 60;
        s.DateMode = 255;
        s.LCDOffTime = 20;
        s.OptionsOfEvent = 4;
        s.ScanMode = 255;
        s.RFIDScanTime = 10;
        return s;
    }
};

TEST_F(SettingsWidget, ChangingAValueAndBackDisablesOK) {
    dlg.Fill(Base());
    auto* ok = Find<QPushButton>(&dlg, "cmdOK");
    auto* beep = Find<QCheckBox>(&dlg, "chkOpSound");
    EXPECT_FALSE(ok->isEnabled());
    beep->click();
    EXPECT_TRUE(ok->isEnabled());
    EXPECT_TRUE(dlg.Edited().Beep);
    beep->click();
    EXPECT_FALSE(ok->isEnabled());
    auto* name = Find<QLineEdit>(&dlg, "txtUserName");
    QTest::keyClicks(name, "x");
    EXPECT_TRUE(ok->isEnabled());
    QTest::keyClick(name, Qt::Key_Backspace);
    EXPECT_FALSE(ok->isEnabled());
}

TEST_F(SettingsWidget, ValuesInRangeShowNoNotice) {
    dlg.Fill(Base());
    EXPECT_TRUE(dlg.Adjusted().isEmpty());
    EXPECT_TRUE(Find<QWidget>(&dlg, "fraAdjusted")->isHidden());
    // Unknown list codes count as brought into range too; the reader keeps them unless
    // confirmed.
    DeviceSettings s = Base();
    s.OptionsOfEvent = 0;
    s.ScanMode = 7;
    s.LCDOffTime = 600;
    dlg.Fill(s);
    EXPECT_EQ(dlg.Adjusted(), QStringList({"LCDOffTime", "OptionsOfEvent", "ScanMode"}));
    // Each in the units its control shows: the picker's minutes and seconds, the list's entry
    // (a code the list lacks as the number the reader holds).
    EXPECT_EQ(Find<QLabel>(&dlg, "labAdjusted")->text(),
              "Brought into range when read (not written unless changed or confirmed):\n"
              "LCD Back-Light Off Time: the reader holds 10:00, shown as 04:15\n"
              "Options of event: the reader holds 0, shown as 10\n"
              "Scan mode: the reader holds 7, shown as Button");
    EXPECT_EQ(dlg.Edited(), s);
    EXPECT_FALSE(Find<QPushButton>(&dlg, "cmdOK")->isEnabled());
    Find<QCheckBox>(&dlg, "chkWriteAdjusted")->click();
    EXPECT_EQ(dlg.Edited().LCDOffTime, 255);
    EXPECT_EQ(dlg.Edited().OptionsOfEvent, 255);
    EXPECT_EQ(dlg.Edited().ScanMode, 255);
    EXPECT_TRUE(Find<QPushButton>(&dlg, "cmdOK")->isEnabled());
    dlg.Fill(Base());
    EXPECT_FALSE(Find<QCheckBox>(&dlg, "chkWriteAdjusted")->isChecked());
}

TEST_F(SettingsWidget, ListsSelectByItemValue) {
    struct C {
        uint8_t events, scan;
        const char *eventsText, *scanText, *tip;
    };
    for (const C& c :
         {C{255, 0, "10", "Continuous", "Events from 0 to 9"},
          C{0, 255, "10", "Button", "Events from 0 to 9"}, C{1, 7, "1", "Button", "Event 0"},
          C{9, 0, "9", "Continuous", "Events from 0 to 8"}}) {
        DeviceSettings s = Base();
        s.OptionsOfEvent = c.events;
        s.ScanMode = c.scan;
        dlg.Fill(s);
        EXPECT_EQ(Find<QComboBox>(&dlg, "cboNumberOfEvent")->currentText(), c.eventsText);
        EXPECT_EQ(Find<QComboBox>(&dlg, "cboNumberOfEvent")->toolTip(), c.tip);
        EXPECT_EQ(Find<QComboBox>(&dlg, "cboScanMode")->currentText(), c.scanText);
    }
}

TEST_F(SettingsWidget, DateModesAndPowerModesMapBothWays) {
    struct C {
        int16_t mode;
        const char* text;
    };
    for (const C& c :
         {C{0, "MM/DD/YYYY"}, C{255, "YYYY/MM/DD"}, C{1, "DD/MM/YYYY"}, C{7, "YYYY/MM/DD"}}) {
        DeviceSettings s = Base();
        s.DateMode = c.mode;
        dlg.Fill(s);
        EXPECT_EQ(Find<QComboBox>(&dlg, "cboDateFormat")->currentText(), c.text);
    }
    struct P {
        int16_t mode;
        const char* option;
    };
    for (const P& p :
         {P{1, "optPower_0"}, P{255, "optPower_1"}, P{0, "optPower_2"}, P{9, "optPower_2"}}) {
        DeviceSettings s = Base();
        s.PowerMode = p.mode;
        dlg.Fill(s);
        EXPECT_TRUE(Find<QRadioButton>(&dlg, p.option)->isChecked()) << p.mode;
    }
    dlg.Fill(Base());
    Find<QRadioButton>(&dlg, "optPower_1")->click();
    EXPECT_EQ(dlg.Edited().PowerMode, 255);
    Find<QComboBox>(&dlg, "cboDateFormat")->setCurrentIndex(2);
    EXPECT_EQ(dlg.Edited().DateMode, 1);
}

// The spinner's arrows as a person clicks them: the upper arrow raises the scan time, the
// lower one lowers it, and neither leaves 5..254.
TEST_F(SettingsWidget, SpinnerArrowsStepTheScanTimeWithinItsRange) {
    dlg.Fill(Base());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    auto* spin = Find<QScrollBar>(&dlg, "UpDownScanTime");
    auto* txt = Find<QLineEdit>(&dlg, "txtRFIDScanTime");
    auto arrow = [spin](QStyle::SubControl which) {
        QStyleOptionSlider opt;
        opt.initFrom(spin);
        opt.orientation = spin->orientation();
        opt.minimum = spin->minimum();
        opt.maximum = spin->maximum();
        opt.sliderPosition = opt.sliderValue = spin->value();
        opt.singleStep = spin->singleStep();
        opt.pageStep = spin->pageStep();
        opt.upsideDown = spin->invertedAppearance();
        const QRect r = spin->style()->subControlRect(QStyle::CC_ScrollBar, &opt, which, spin);
        EXPECT_FALSE(r.isEmpty());
        return r.center();
    };
    const QPoint up = arrow(QStyle::SC_ScrollBarSubLine);
    const QPoint down = arrow(QStyle::SC_ScrollBarAddLine);
    ASSERT_LT(up.y(), down.y()) << "the upper arrow is above the lower one";
    struct Step {
        QString before;
        bool upper;
        QString after;
    };
    for (const Step& s : {Step{"10", true, "11"}, Step{"11", false, "10"}, Step{"254", true, "254"},
                          Step{"253", true, "254"}, Step{"5", false, "5"}, Step{"6", false, "5"}}) {
        txt->setText(s.before);
        QTest::mouseClick(spin, Qt::LeftButton, {}, s.upper ? up : down);
        EXPECT_EQ(txt->text(), s.after) << s.before.toStdString() << (s.upper ? " up" : " down");
        EXPECT_EQ(spin->value(), 1) << "the spinner rests in the middle again";
    }
    txt->setText("10");
    QTest::mouseClick(spin, Qt::LeftButton, {}, up);
    EXPECT_EQ(dlg.Edited().RFIDScanTime, 11);
}

TEST_F(SettingsWidget, CaptionAndTags) {
    EXPECT_EQ(dlg.windowTitle(), " Lorvane Settings");
    EXPECT_TRUE(ui::Tag(&dlg).startsWith("lng:{cap=16000}"));
    EXPECT_EQ(ui::Tag(Find<QComboBox>(&dlg, "cboScanMode")), "lng:{lst(0)=16013, lst(1)=16014}");
    EXPECT_EQ(ui::Tag(Find<QRadioButton>(&dlg, "optPower_2")), "lng:{cap=16010}");
    EXPECT_EQ(Find<QLineEdit>(&dlg, "txtMacID")->maxLength(), 2);
    EXPECT_EQ(Find<QLineEdit>(&dlg, "txtUserName")->maxLength(), 16);
}

} // namespace

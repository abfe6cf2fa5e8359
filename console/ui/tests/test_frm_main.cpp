// The main window driven as a person would, against the simulated reader on a pty: choose a
// port, log in, click the buttons and answer their message boxes, switch display modes, close
// during a download, lose the reader during a download.
#include "UiTestSupport.h"
#include "WindowDriver.h"
#include "pelmar/ui/QtPropertyHost.h"
#include "pelmar/ui/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>
#include <dorlin/CDorlinCtrl.h>
#include <gtest/gtest.h>
#include <lvlang/Settings.h>

using lvtest::SimReader;
using pelmar::ui::frmMain;
using uitest::ModalAnswerer;

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        lvlang::DeleteSetting("General");
        lvlang::DeleteSetting("File");
        lvlang::DeleteSetting("Security");
    }
    // The simulator listed as COM7, a window, and the port chosen with the given IDs.
    void Start(const QStringList& simArgs) {
        sim = std::make_unique<SimReader>(simArgs);
        ASSERT_TRUE(sim->ok());
        lvtest::SetPorts({{7, sim->Link()}});
        w = std::make_unique<frmMain>();
        w->SetShowFile([this](const QString& p) {
            shownFiles << p;
            return openable;
        });
        w->show();
        // Focus moves between the address fields only in the active window.
        w->activateWindow();
        QApplication::setActiveWindow(w.get());
        ASSERT_TRUE(lvtest::waitFor([&] { return w->isActiveWindow(); }, 5000));
    }
    void Choose(const QString& port) {
        const int i = w->cboPort->findText(port);
        ASSERT_GE(i, 0) << port.toStdString();
        w->cboPort->setCurrentIndex(i);
        emit w->cboPort->activated(i);
    }
    void Connect(const QString& id = "4826") {
        answers.loginIds.push_back(id);
        Choose("COM7");
    }
    int Rows() const { return w->fgData->model()->rowCount(); }
    QString Header(int c) const {
        return w->fgData->model()->headerData(c, Qt::Horizontal).toString();
    }
    bool ButtonsEnabled() const {
        for (int i : {0, 1, 2, 3, 4, 6, 8, 10})
            if (!w->cmdMSR[i]->isEnabled()) return false;
        return w->cmdDatabase->isEnabled();
    }
    void TearDown() override {
        if (w) {
            w->blnEnd = false;
            w->iExitSub_1 = 0;
            w->close();
            w.reset();
        }
        qunsetenv("DORLIN_PORTS");
    }

    std::unique_ptr<SimReader> sim;
    std::unique_ptr<frmMain> w;
    ModalAnswerer answers;
    QStringList shownFiles;
    bool openable = true; // whether the desktop has an application for a shown file
};

TEST_F(MainWindowTest, StartsWithThePortListAndEveryButtonDisabled) {
    Start({"--records", "3"});
    EXPECT_EQ(w->windowTitle(), "Lorvane");
    ASSERT_GE(w->cboPort->count(), 3);
    EXPECT_EQ(w->cboPort->itemText(0), "AUTO");
    EXPECT_EQ(w->cboPort->itemText(1), "TCP/IP");
    EXPECT_GE(w->cboPort->findText("COM7"), 2);
    EXPECT_EQ(w->cboPort->currentIndex(), -1);
    for (int i = 0; i < frmMain::kButtons; ++i)
        EXPECT_FALSE(w->cmdMSR[i]->isEnabled() && i != frmMain::kStop) << i;
    EXPECT_FALSE(w->cmdDatabase->isEnabled());
    EXPECT_TRUE(w->cboPort->isEnabled());
    EXPECT_TRUE(w->FrameIP->isEnabled());
    EXPECT_EQ(w->Label2->text(), "0 / 0");
    EXPECT_EQ(w->FrameIP->title(), "0.0.0.0");
    EXPECT_EQ(w->Frame1->title(), "Comm  Port");
    EXPECT_EQ(w->cmdMSR[10]->text(), "Change \nLogin ID");
    EXPECT_EQ(pelmar::ui::Tag(w->cmdMSR[0]), "lng:{cap=13000, tip=13001}");
    EXPECT_EQ(pelmar::ui::Tag(w->fgData),
              "lng:{TTMx(0,0)=11000,TTMx(0,1)=11001,TTMx(0,2)=11002,TTMx(0,3)=11003,"
              "TTMx(0,4)=11004,TTMx(0,5)=11004}");
    EXPECT_TRUE(w->mnuVersion->text().startsWith("Version 1.0R"))
        << w->mnuVersion->text().toStdString();
    EXPECT_TRUE(w->cmdMSR[frmMain::kUpload]->isVisibleTo(w.get()));
    EXPECT_FALSE(w->cmdMSR[frmMain::kStop]->isVisibleTo(w.get()));
}

TEST_F(MainWindowTest, LoginThenUploadFillsTheTable) {
    Start({"--records", "12"});
    Connect();
    EXPECT_EQ(w->windowTitle(), "Lorvane  -  Front Door");
    EXPECT_TRUE(ButtonsEnabled());
    EXPECT_FALSE(w->FrameIP->isEnabled());
    EXPECT_TRUE(answers.boxes.empty()) << answers.Texts().join("|").toStdString();

    w->cmdMSR[frmMain::kUpload]->click();
    EXPECT_EQ(Rows(), 12);
    EXPECT_EQ(w->Label2->text(), "12 / 12");
    EXPECT_EQ(w->fgData->model()->index(0, 0).data().toString(), "1");
    EXPECT_EQ(w->fgData->model()->index(11, 0).data().toString(), "12");
    EXPECT_FALSE(w->fgData->model()->index(0, 1).data().toString().isEmpty());
    EXPECT_TRUE(ButtonsEnabled());
    EXPECT_TRUE(w->picMsgBox->isHidden());
    EXPECT_TRUE(answers.boxes.empty()) << answers.Texts().join("|").toStdString();
}

TEST_F(MainWindowTest, WrongLoginIdAsksAgainThenCancelClosesQuietly) {
    Start({"--records", "1"});
    answers.loginIds = {"1111", ""};
    Choose("COM7");
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].icon, QMessageBox::Warning);
    EXPECT_EQ(answers.boxes[0].text, "The Login ID is invalid!\nPlease try again.");
    EXPECT_EQ(w->cboPort->currentIndex(), -1);
    EXPECT_FALSE(w->Link()->PortOpen());
    EXPECT_FALSE(ButtonsEnabled());
    EXPECT_EQ(w->windowTitle(), "Lorvane");
}

TEST_F(MainWindowTest, DisplayModesRebuildTheRows) {
    Start({"--records", "10"});
    Connect();
    w->cmdMSR[frmMain::kUpload]->click();
    ASSERT_EQ(Rows(), 10);
    const QString plain = w->fgData->model()->index(0, 1).data().toString();

    struct Case {
        QString mode, header, start, end;
        bool fieldsEnabled;
    } cases[] = {
        {"TK2 in Dec", "Track2", ";", "?", false}, {"TK1 in Hex", "Track1", "%", "?", false},
        {"TK3 in Dec", "Track3", "+", "?", false}, {"JIS2 in Hex", "JIS2", "\x7f", "\x7f", false},
        {"None", "Card ID", "", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode.toStdString());
        const int i = w->cboMagneticCompatible->findText(c.mode);
        w->cboMagneticCompatible->setCurrentIndex(i);
        emit w->cboMagneticCompatible->activated(i);
        EXPECT_EQ(Rows(), 10);
        EXPECT_EQ(Header(1), c.header);
        const QString id = w->fgData->model()->index(3, 1).data().toString();
        EXPECT_TRUE(id.startsWith(c.start) && id.endsWith(c.end)) << id.toStdString();
        EXPECT_EQ(w->chkFields[0]->isEnabled(), c.fieldsEnabled);
        EXPECT_EQ(w->chkFields[2]->isEnabled(), c.fieldsEnabled);
    }
    EXPECT_EQ(w->fgData->model()->index(0, 1).data().toString(), plain);

    // Field options hide and show their columns.
    w->chkFields[0]->click(); // Card Type off
    EXPECT_TRUE(w->fgData->isColumnHidden(2));
    w->chkFields[2]->click(); // Week off: the plain date column instead
    EXPECT_TRUE(w->fgData->isColumnHidden(4));
    EXPECT_FALSE(w->fgData->isColumnHidden(5));
    w->chkFields[0]->click();
    EXPECT_FALSE(w->fgData->isColumnHidden(2));
}

TEST_F(MainWindowTest, ButtonsShowTheirMessages) {
    Start({"--records", "5", "--firmware", "KRN-A0102 V1.05", "--erase-ms", "1"});
    Connect();

    w->cmdMSR[frmMain::kVersion]->click();
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes.back().icon, QMessageBox::Information);
    EXPECT_EQ(answers.boxes.back().text, "Card Reader Firmware: KRN-A0102 V1.05");

    w->cmdMSR[frmMain::kUpload]->click();
    ASSERT_EQ(Rows(), 5);
    answers.yes = false;
    w->cmdMSR[frmMain::kDelete]->click();
    EXPECT_EQ(answers.questions.back(), "Do you want to ERASE records?");
    EXPECT_EQ(Rows(), 5);
    EXPECT_EQ(answers.boxes.size(), 1u);

    answers.yes = true;
    w->cmdMSR[frmMain::kDelete]->click();
    ASSERT_EQ(answers.boxes.size(), 2u);
    EXPECT_EQ(answers.boxes.back().text, "ERASE records OK!");
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(w->Label2->text(), "0 / 0");
    EXPECT_TRUE(ButtonsEnabled());

    // The reader holds nothing now: the erase with progress ends after the question.
    w->cmdDatabase->click();
    EXPECT_EQ(answers.questions.size(), 3);
    EXPECT_EQ(answers.boxes.size(), 2u);
    EXPECT_TRUE(w->picMsgBox->isHidden());

    // Save with an empty table asks nothing.
    w->cmdMSR[frmMain::kSave]->click();
    EXPECT_EQ(answers.fileDialogs, 0);
    EXPECT_TRUE(ButtonsEnabled());
}

TEST_F(MainWindowTest, EraseWithProgressCountsUpAndClears) {
    Start({"--records", "40", "--erase-ms", "2"});
    Connect();
    w->cmdMSR[frmMain::kUpload]->click();
    ASSERT_EQ(Rows(), 40);
    w->cmdDatabase->click();
    EXPECT_EQ(answers.questions.value(0), "Do you want to ERASE records?");
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "ERASE records OK!");
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(w->prgBar->value(), w->prgBar->maximum());
    EXPECT_TRUE(w->picMsgBox->isHidden());
}

TEST_F(MainWindowTest, SaveWritesTheTableAndShowsTheFile) {
    Start({"--records", "4"});
    Connect();
    w->cmdMSR[frmMain::kUpload]->click();
    ASSERT_EQ(Rows(), 4);
    QTemporaryDir dir;
    answers.saveFile = dir.path() + "/out.csv";
    w->cmdMSR[frmMain::kSave]->click();
    EXPECT_EQ(answers.fileDialogs, 1);
    ASSERT_EQ(shownFiles.size(), 1);
    EXPECT_EQ(shownFiles[0], dir.path() + "/out.csv");
    QFile f(shownFiles[0]);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    EXPECT_GE(lines.size(), 4);
    EXPECT_TRUE(lines[0].contains(w->fgData->model()->index(0, 1).data().toString().toLatin1()));
    EXPECT_TRUE(ButtonsEnabled());
    EXPECT_TRUE(w->cmdMSR[frmMain::kUpload]->isVisibleTo(w.get()));
    // The file type shown in the dialog (Text, the first) is kept for the next save; the
    // name's extension chose the writer.
    EXPECT_EQ(w->iFilterIndex, 1);
}

TEST_F(MainWindowTest, SavedFileWithoutAnApplicationSaysWhereItWasSaved) {
    Start({"--records", "4"});
    Connect();
    QTest::mouseClick(w->cmdMSR[frmMain::kUpload], Qt::LeftButton);
    ASSERT_EQ(Rows(), 4);
    QTemporaryDir dir;
    answers.saveFile = dir.path() + "/out.txt";
    openable = false;
    QTest::mouseClick(w->cmdMSR[frmMain::kSave], Qt::LeftButton);
    ASSERT_EQ(shownFiles, QStringList({dir.path() + "/out.txt"}));
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].icon, QMessageBox::Information);
    EXPECT_EQ(answers.boxes[0].text, "The file was saved as " + dir.path() +
                                         "/out.txt.\nNo application is set up to open this "
                                         "type of file.");
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/out.txt"));
    EXPECT_TRUE(ButtonsEnabled());
}

TEST_F(MainWindowTest, CloseDuringDownloadWaitsForTheDownload) {
    Start({"--records", "200", "--slow", "3"});
    Connect();
    bool closedEarly = true, markedEnd = false;
    QTimer t;
    QObject::connect(&t, &QTimer::timeout, [&] {
        if (Rows() >= 5) {
            t.stop();
            w->close();
            closedEarly = !w->isVisible();
            markedEnd = w->blnEnd;
        }
    });
    t.start(5);
    w->cmdMSR[frmMain::kUpload]->click();
    EXPECT_FALSE(closedEarly);
    EXPECT_TRUE(markedEnd);
    EXPECT_EQ(Rows(), 200);
    EXPECT_TRUE(lvtest::waitFor([&] { return !w->isVisible(); }, 5000));
    // The close logged out and closed the link.
    EXPECT_FALSE(w->Link()->PortOpen());
}

TEST_F(MainWindowTest, StopKeepsTheRecordsReadSoFar) {
    Start({"--records", "200", "--slow", "3"});
    Connect();
    QTimer t;
    QObject::connect(&t, &QTimer::timeout, [&] {
        if (Rows() >= 7 && w->cmdMSR[frmMain::kStop]->isVisible()) {
            t.stop();
            w->cmdMSR[frmMain::kStop]->click();
        }
    });
    t.start(5);
    w->cmdMSR[frmMain::kUpload]->click();
    EXPECT_GE(Rows(), 7);
    EXPECT_LT(Rows(), 200);
    EXPECT_TRUE(w->cmdMSR[frmMain::kUpload]->isVisibleTo(w.get()));
    EXPECT_FALSE(w->cmdMSR[frmMain::kStop]->isVisibleTo(w.get()));
    EXPECT_TRUE(ButtonsEnabled());
}

TEST_F(MainWindowTest, ReaderVanishingDuringDownloadKeepsTheRecords) {
    Start({"--records", "60", "--drop-after", "15"});
    Connect();
    w->cmdMSR[frmMain::kUpload]->click();
    EXPECT_EQ(Rows(), 15);
    EXPECT_TRUE(w->cmdMSR[frmMain::kUpload]->isVisibleTo(w.get()));
    // The next click finds no reader: the caption says so and the buttons go off.
    w->cmdMSR[frmMain::kVersion]->click();
    EXPECT_EQ(w->windowTitle(), "Lorvane  -  [Disconnect]");
    EXPECT_FALSE(ButtonsEnabled());
    EXPECT_TRUE(w->cboPort->isEnabled());
    EXPECT_EQ(Rows(), 15);
}

TEST_F(MainWindowTest, TrafficMonitorListsTheExchangesAndSavesThem) {
    Start({"--records", "2"});
    w->mnuTraffic->trigger();
    ASSERT_NE(w->TrafficWindow(), nullptr);
    EXPECT_TRUE(w->TrafficWindow()->isVisible());
    Connect();
    const auto& entries = w->TrafficWindow()->Entries();
    ASSERT_GE(entries.size(), 2u);
    bool sawLogin = false;
    for (size_t i = 0; i + 1 < entries.size(); ++i)
        if (entries[i].direction == "send" && entries[i].text == "L4826" &&
            entries[i + 1].direction == "recv" && entries[i + 1].text == "A")
            sawLogin = true;
    EXPECT_TRUE(sawLogin);
    EXPECT_EQ(w->TrafficWindow()->lstTraffic->topLevelItemCount(), int(entries.size()));
    QTemporaryDir dir;
    ASSERT_TRUE(w->TrafficWindow()->SaveToFile(dir.path() + "/t.txt"));
    QFile f(dir.path() + "/t.txt");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    EXPECT_TRUE(all.startsWith("time\tdir\tstatus\ttext\tsum\traw\r\n"));
    // The Login ID is masked in the file unless asked for.
    EXPECT_TRUE(all.contains("\tsend\tno checksum\tL****\t\t<STX>L****<CR>\r\n"));
    EXPECT_FALSE(all.contains("4826"));
    ASSERT_TRUE(w->TrafficWindow()->SaveToFile(dir.path() + "/clear.txt", nullptr, true));
    EXPECT_TRUE(lvtest::readFile(dir.path() + "/clear.txt")
                    .contains("\tsend\tno checksum\tL4826\t\t<STX>L4826<CR>\r\n"));
}

// The stored settings come back at start-up and are written at close.
TEST_F(MainWindowTest, SettingsAreRestoredAndStored) {
    lvlang::SaveSetting("General", "MagneticCompatible", "tk2");
    lvlang::SaveSetting("General", "FieldOption(0)", "yes");
    lvlang::SaveSetting("General", "FieldOption(1)", "no");
    lvlang::SaveSetting("General", "FieldOption(2)", "t");
    lvlang::SaveSetting("Security", "IP1", "10");
    lvlang::SaveSetting("Security", "IP4", "5");
    lvlang::SaveSetting("File", "FilterIndex", "0");
    Start({"--records", "1"});
    EXPECT_EQ(w->cboMagneticCompatible->currentText(), "TK2 in Dec");
    EXPECT_EQ(Header(1), "Track2");
    EXPECT_TRUE(w->chkFields[0]->isChecked());
    EXPECT_FALSE(w->chkFields[1]->isChecked());
    EXPECT_TRUE(w->chkFields[2]->isChecked());
    EXPECT_FALSE(w->chkFields[0]->isEnabled());
    EXPECT_EQ(w->FrameIP->title(), "10.0.0.5");
    EXPECT_EQ(w->iFilterIndex, 1);

    w->txtIP[1]->setText("168");
    w->txtIP[1]->setFocus();
    w->txtIP[2]->setFocus(); // leaving the field rewrites the frame's address
    w->cboMagneticCompatible->setCurrentIndex(0);
    emit w->cboMagneticCompatible->activated(0);
    w->close();
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(lvlang::GetSetting("General", "MagneticCompatible"), "None");
    EXPECT_EQ(lvlang::GetSetting("General", "FieldOption(1)"), "False");
    EXPECT_EQ(lvlang::GetSetting("Security", "IP2"), "168");
    EXPECT_EQ(lvlang::GetSetting("Security", "CommPort"), "-1");
    EXPECT_EQ(lvlang::GetSetting("File", "FilterIndex"), "1");
}

TEST_F(MainWindowTest, AddressFieldsTakeDigitsAndMoveOn) {
    Start({"--records", "1"});
    QLineEdit* a = w->txtIP[0];
    a->setFocus();
    a->clear();
    QTest::keyClicks(a, "19x2");
    EXPECT_EQ(a->text(), "192");
    EXPECT_TRUE(lvtest::waitFor([&] { return w->focusWidget() == w->txtIP[1]; }, 2000));
    QTest::keyClicks(w->txtIP[1], "300");
    EXPECT_EQ(answers.Texts().value(0), "IP: 0 ~ 255");
    EXPECT_EQ(w->txtIP[1]->text(), "255");
    // The message box had the focus; the window gets it back.
    QApplication::setActiveWindow(w.get());
    ASSERT_TRUE(lvtest::waitFor([&] { return w->isActiveWindow(); }, 5000));
    w->txtIP[2]->setFocus();
    QTest::keyClick(w->txtIP[2], Qt::Key_Up);
    QTest::keyClick(w->txtIP[2], Qt::Key_Up);
    EXPECT_EQ(w->txtIP[2]->text(), "2");
    QTest::keyClick(w->txtIP[2], Qt::Key_Space);
    EXPECT_EQ(w->focusWidget(), w->txtIP[3]);
    EXPECT_EQ(w->FrameIP->title(), "192.255.2.0");
}

TEST_F(MainWindowTest, PortArrivalAndRemovalUpdateTheList) {
    Start({"--records", "1"});
    w->PortArrived("COM12");
    EXPECT_GE(w->cboPort->findText("COM12"), 0);
    w->PortArrived("COM12");
    int n = 0;
    for (int i = 0; i < w->cboPort->count(); ++i)
        n += w->cboPort->itemText(i) == "COM12";
    EXPECT_EQ(n, 1);
    w->PortRemoved("COM12");
    EXPECT_LT(w->cboPort->findText("COM12"), 0);
}

TEST_F(MainWindowTest, ReaderThatForgotTheLoginIsLoggedInAgain) {
    Start({"--records", "3"});
    Connect();
    ASSERT_TRUE(w->Link()->Logout()); // the reader now refuses commands until a login
    w->setWindowTitle("Lorvane");
    w->cmdMSR[frmMain::kVersion]->click();
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "Card Reader Firmware: KRN-A0102 V1.05");
    EXPECT_EQ(w->windowTitle(), "Lorvane  -  Front Door");
    EXPECT_TRUE(ButtonsEnabled());
}

// The reader vanishes while the Delete question is on screen: the erase fails as a lost
// connection and the table keeps its records.
TEST_F(MainWindowTest, ReaderVanishingDuringAQuestionEndsInAFailureMessage) {
    Start({"--records", "6"});
    Connect();
    w->cmdMSR[frmMain::kUpload]->click();
    ASSERT_EQ(Rows(), 6);
    answers.onQuestion = [&](const QString&) {
        sim->Stop();
        lvtest::waitFor([&] { return !QFile::exists(sim->Link()); }, 5000);
    };
    w->cmdMSR[frmMain::kDelete]->click();
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answers.boxes[0].text, "Can't ERASE records!\nCan't connect to RFID Reader!");
    EXPECT_EQ(Rows(), 6);
    answers.onQuestion = nullptr;
    w->cmdMSR[frmMain::kUpload]->click();
    EXPECT_EQ(w->windowTitle(), "Lorvane  -  [Disconnect]");
    EXPECT_EQ(Rows(), 6);
}

// The message panel and the table repaint while records arrive.
TEST_F(MainWindowTest, PanelAndTableUpdateDuringTheDownload) {
    Start({"--records", "80", "--slow", "4"});
    Connect();
    QStringList panelTexts;
    QList<int> rowsSeen;
    QTimer t;
    QObject::connect(&t, &QTimer::timeout, [&] {
        if (!w->picMsgBox->isHidden()) panelTexts << w->labMsgBox->text();
        rowsSeen << Rows();
    });
    t.start(10);
    w->cmdMSR[frmMain::kUpload]->click();
    t.stop();
    ASSERT_FALSE(panelTexts.isEmpty());
    EXPECT_TRUE(panelTexts.first().startsWith("Upload Record..."))
        << panelTexts.first().toStdString();
    EXPECT_TRUE(panelTexts.first().contains("Please wait!!!"));
    // Rows appeared one after another, not all at the end.
    int distinct = 0;
    for (int i = 1; i < rowsSeen.size(); ++i)
        distinct += rowsSeen[i] != rowsSeen[i - 1];
    EXPECT_GE(distinct, 3);
    EXPECT_TRUE(w->picMsgBox->isHidden());
}

TEST_F(MainWindowTest, CloseIsRefusedWhileACommandIsInFlight) {
    Start({"--records", "1"});
    w->Console().Session().iCmdBusy = 1;
    w->close();
    EXPECT_TRUE(w->isVisible());
    w->Console().Session().iCmdBusy = 0;
    w->close();
    EXPECT_FALSE(w->isVisible());
}

// "AUTO" hands the search to the discovery and connects to what it found.
TEST_F(MainWindowTest, AutoEntryConnectsToTheFoundPort) {
    Start({"--records", "2"});
    frmMain::AutoScanRequest asked;
    int scans = 0;
    QString result;
    w->SetAutoScan([&](QString& port, const frmMain::AutoScanRequest& r) {
        ++scans;
        asked = r;
        port = result;
        return !result.isEmpty();
    });
    w->txtIP[0]->setText("10");
    w->txtIP[0]->setFocus();
    w->txtIP[1]->setFocus();
    Choose("AUTO");
    EXPECT_EQ(scans, 1);
    EXPECT_EQ(asked.szAddress, "10.0.0.0");
    EXPECT_EQ(asked.szFirmwares, QString("KRN-A0102") + QChar(0) + "KRN-A0101,");
    EXPECT_EQ(asked.szDeviceName, "Kt9/Kt7 ");
    EXPECT_EQ(asked.szCommand, "F");
    EXPECT_EQ(asked.szBaudRates, "19200");
    EXPECT_EQ(w->cboPort->currentIndex(), -1); // nothing found: nothing chosen
    EXPECT_FALSE(w->Link()->PortOpen());

    result = "COM7";
    answers.loginIds.push_back("4826");
    Choose("AUTO");
    EXPECT_EQ(w->cboPort->currentText(), "COM7");
    EXPECT_EQ(w->windowTitle(), "Lorvane  -  Front Door");
    EXPECT_TRUE(ButtonsEnabled());
}

} // namespace

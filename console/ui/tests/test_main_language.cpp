// The main window in another language: every control from its tag at start-up, the caption
// suffix kept, and a switch through the language dialog reaching every open window.
#include "UiTestSupport.h"
#include "WindowDriver.h"
#include "pelmar/ui/QtPropertyHost.h"
#include "pelmar/ui/frmMain.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>

using pelmar::ui::frmMain;

namespace {

const QByteArray kGerman = "[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n"
                           "[LANGUGAE]\r\n10000=Lorvane DE\r\n10002=Fassung\r\n10003=Optionen\r\n"
                           "12000=Anschluss\r\n12001=AUTOMATISCH\r\n13000=Hochladen\r\n"
                           "13001=Alle Datens\xE4tze laden\r\n11001=Kartennummer\r\n"
                           "11006=Spur 2\r\n12105=SP2 dezimal\r\n19000=Datenverkehr\r\n";
const QByteArray kOther = "[INFO]\r\nVersion=1.0\r\nLanguageID=2057\r\nLanguage=Testlish\r\n"
                          "[LANGUGAE]\r\n10000=Lorvane T\r\n10002=Release\r\n13000=Fetch\r\n"
                          "11001=Badge\r\n";

TEST(MainWindowLanguage, TagsTranslateEveryControlAndTheDialogSwitchesAllWindows) {
    uitest::WriteLanguageFile("de.lng", kGerman);
    uitest::WriteLanguageFile("test.lng", kOther);
    lvlang::SaveSetting("Language", "DefaultLCID", "1031");
    lvlang::SaveSetting("Language", "Language", "Deutsch");
    lvtest::SimReader sim({"--records", "2"});
    ASSERT_TRUE(sim.ok());
    lvtest::SetPorts({{7, sim.Link()}});
    uitest::ModalAnswerer answers;

    frmMain w;
    w.show();
    EXPECT_EQ(w.windowTitle(), "Lorvane DE");
    EXPECT_EQ(w.Title(), "Lorvane DE");
    EXPECT_EQ(w.cmdMSR[0]->text(), "Hochladen");
    EXPECT_EQ(w.cmdMSR[0]->toolTip(), QString::fromUtf8("Alle Datensätze laden"));
    EXPECT_EQ(w.cmdMSR[1]->text(), "Save"); // no key 13002: the designed text stays
    EXPECT_EQ(w.Frame1->title(), "Anschluss");
    EXPECT_EQ(w.cboPort->itemText(0), "AUTOMATISCH");
    EXPECT_EQ(w.mnuOptions->title(), "Optionen");
    EXPECT_EQ(w.mnuTraffic->text(), "Datenverkehr");
    EXPECT_EQ(w.mnuVersion->text(), "Fassung 1.0R0");
    EXPECT_EQ(w.fgData->model()->headerData(1, Qt::Horizontal).toString(), "Kartennummer");
    EXPECT_EQ(w.cboMagneticCompatible->itemText(3), "SP2 dezimal");
    // A display mode's header id follows the mode.
    w.cboMagneticCompatible->setCurrentIndex(3);
    emit w.cboMagneticCompatible->activated(3);
    EXPECT_EQ(w.fgData->model()->headerData(1, Qt::Horizontal).toString(), "Spur 2");
    w.cboMagneticCompatible->setCurrentIndex(0);
    emit w.cboMagneticCompatible->activated(0);

    // Logged in: the translated title keeps the user name behind it.
    answers.loginIds.push_back("4826");
    const int port = w.cboPort->findText("COM7");
    w.cboPort->setCurrentIndex(port);
    emit w.cboPort->activated(port);
    EXPECT_EQ(w.windowTitle(), "Lorvane DE  -  Front Door");

    w.mnuTraffic->trigger();
    ASSERT_NE(w.TrafficWindow(), nullptr);
    pelmar::ui::SetTag(w.TrafficWindow(), "lng:{cap=10000}");

    answers.language = "Testlish";
    w.mnuLanguage->trigger();
    EXPECT_EQ(w.windowTitle(), "Lorvane T  -  Front Door");
    EXPECT_EQ(w.cmdMSR[0]->text(), "Fetch");
    EXPECT_EQ(w.Frame1->title(), "Anschluss"); // not in the new file: the last text stays
    EXPECT_EQ(w.mnuVersion->text(), "Release 1.0R0");
    EXPECT_EQ(w.fgData->model()->headerData(1, Qt::Horizontal).toString(), "Badge");
    EXPECT_EQ(w.TrafficWindow()->windowTitle(), "Lorvane T");

    w.close();
    EXPECT_FALSE(w.isVisible());
    lvlang::ReleaseLanguageObject();
    EXPECT_EQ(lvlang::GetSetting("Language", "Language"), "Testlish");
    qunsetenv("DORLIN_PORTS");
}

// The card-ID display mode survives a change of language: the store holds the English text,
// and a text stored by an older version under another language is still recognised through
// the installed language files.
TEST(MainWindowLanguage, DisplayModeIsStoredIndependentlyOfTheLanguage) {
    uitest::WriteLanguageFile("de.lng", kGerman);
    uitest::WriteLanguageFile("test.lng", kOther);
    struct Case {
        const char* what;
        QString lcid, stored;
        QString shown;       // the list's text at start
        QString storedAfter; // what closing the window stores
    };
    const Case cases[] = {
        {"old German text, now Testlish", "2057", "SP2 dezimal", "TK2 in Dec", "TK2 in Dec"},
        {"English text, now German", "1031", "TK2 in Dec", "SP2 dezimal", "TK2 in Dec"},
        {"old German text any case, German", "1031", "sp2 DEZIMAL", "SP2 dezimal", "TK2 in Dec"},
        {"part of an English text, as before", "1031", "tk3", "TK3 in Dec", "TK3 in Dec"},
        {"nothing matches", "2057", "Spur 9", "None", "None"},
    };
    for (const Case& c : cases) {
        lvlang::ReleaseLanguageObject(); // it stores its choice: before the new one
        lvlang::SaveSetting("Language", "DefaultLCID", c.lcid);
        lvlang::SaveSetting("General", "MagneticCompatible", c.stored);
        {
            frmMain w;
            EXPECT_EQ(w.cboMagneticCompatible->currentText(), c.shown) << c.what;
            w.close();
        }
        EXPECT_EQ(lvlang::GetSetting("General", "MagneticCompatible"), c.storedAfter) << c.what;
    }
    lvlang::ReleaseLanguageObject();
}

} // namespace

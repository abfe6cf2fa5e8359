// The language dialog with two language files in the program's language folder: what it
// lists and shows, OK switching every open window at once, Cancel leaving them alone, and
// the choice kept for the next start.
#include "DialogDriver.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>
#include <pelmar/dialogs/frmLanguage.h>
#include <pelmar/dialogs/frmLogin.h>
#include <pelmar/dialogs/frmSaveOptions.h>

using namespace pelmar::dialogs;
using dlgtest::Find;
using dlgtest::WhenModal;

namespace {

void WriteLang(const QString& name, const QByteArray& text) {
    QFile f(QString::fromStdString(DialogTestDataDir()) + "/Language/" + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

struct LanguageDialog : ::testing::Test {
    void SetUp() override {
        // Written before anything creates the shared language object in this process.
        WriteLang("English.lng",
                  "[INFO]\r\nVersion=1.0\r\nLanguageID=0x0409\r\nLanguage=English\r\n"
                  "[LANGUGAE]\r\n15000=Login\r\n15001=Enter Login ID :\r\n"
                  "1000=OK\r\n1001=Cancel\r\n18001=Assign Events\r\n");
        WriteLang("Deutsch.lng", "[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n"
                                 "[LANGUGAE]\r\n15000=Anmeldung\r\n15001=Login-ID eingeben :\r\n"
                                 "1000=OK\r\n1001=Abbrechen\r\n18001=Ereignisse zuordnen\r\n"
                                 "18000=\" Speicheroptionen\"\r\n");
        lvlang::SaveSetting("Language", "DefaultLCID", "1033");
        lvlang::SaveSetting("Language", "Language", "English");
    }
};

TEST_F(LanguageDialog, ListsTheFilesAndShowsTheSystemLanguage) {
    QStringList items;
    QString current, system, systemId;
    WhenModal<frmLanguage>([&](frmLanguage* d) {
        auto* box = Find<QComboBox>(d, "cboLanguage");
        for (int i = 0; i < box->count(); ++i)
            items << box->itemText(i) + "=" + QString::number(box->itemData(i).toInt());
        current = box->currentText();
        system = Find<QLabel>(d, "labLanguage")->text();
        systemId = Find<QLabel>(d, "labLangID")->text();
        Find<QPushButton>(d, "cmdCancel")->click();
    });
    EXPECT_FALSE(ShowLanguageChange());
    items.sort();
    EXPECT_EQ(items, QStringList({"Deutsch=1031", "English=1033"}));
    EXPECT_EQ(current, "English");
    EXPECT_EQ(system, lvlang::LangSystemLanguageName());
    EXPECT_EQ(systemId, LcidText(lvlang::LangSystemDefaultLCID()));
}

TEST(LcidText, FourUpperCaseDigits) {
    EXPECT_EQ(LcidText(1033), "0x0409");
    EXPECT_EQ(LcidText(1041), "0x0411");
    EXPECT_EQ(LcidText(0), "0x0000");
    EXPECT_EQ(LcidText(0x2C0A), "0x2C0A");
}

TEST_F(LanguageDialog, OKSwitchesEveryOpenWindowAtOnce) {
    frmLogin login;
    clsSaveOptions options;
    frmSaveOptions saveOptions(options, "/nonexistent/Format.ini");
    login.show();
    saveOptions.show();
    ASSERT_EQ(login.windowTitle(), "Login");
    QSignalSpy changed(&LanguageEvents::Instance(), &LanguageEvents::LanguageChanged);
    WhenModal<frmLanguage>([](frmLanguage* d) {
        auto* box = Find<QComboBox>(d, "cboLanguage");
        box->setCurrentIndex(box->findText("Deutsch"));
        Find<QPushButton>(d, "cmdOK")->click();
    });
    EXPECT_TRUE(ShowLanguageChange());
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(login.windowTitle(), "Anmeldung");
    EXPECT_EQ(Find<QLabel>(&login, "Label1")->text(), "Login-ID eingeben :");
    EXPECT_EQ(Find<QPushButton>(&login, "cmdCancel")->text(), "Abbrechen");
    EXPECT_EQ(Find<QLabel>(&login, "labMsg")->text(),
              "Login ID have to be 4 digital numbers\r\nThe default setting is 4826")
        << "an id missing from the file keeps the current text";
    EXPECT_EQ(saveOptions.windowTitle(), " Speicheroptionen");
    EXPECT_EQ(Find<QWidget>(&saveOptions, "fraEvents")->property("title").toString(),
              "Ereignisse zuordnen");
    // A dialog opened afterwards starts in the new language.
    frmLogin later;
    EXPECT_EQ(later.windowTitle(), "Anmeldung");
    // The choice is stored when the language object goes at program end.
    lvlang::ReleaseLanguageObject();
    EXPECT_EQ(lvlang::GetSetting("Language", "DefaultLCID"), "1031");
    EXPECT_EQ(lvlang::GetSetting("Language", "Language"), "Deutsch");
}

TEST_F(LanguageDialog, CancelLeavesTheWindowsAlone) {
    frmLogin login;
    login.show();
    QSignalSpy changed(&LanguageEvents::Instance(), &LanguageEvents::LanguageChanged);
    WhenModal<frmLanguage>([](frmLanguage* d) {
        auto* box = Find<QComboBox>(d, "cboLanguage");
        box->setCurrentIndex(box->findText("Deutsch"));
        QTest::keyClick(box, Qt::Key_Escape);
        if (d->isVisible()) Find<QPushButton>(d, "cmdCancel")->click();
    });
    EXPECT_FALSE(ShowLanguageChange());
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(login.windowTitle(), "Login");
    EXPECT_EQ(Find<QPushButton>(&login, "cmdCancel")->text(), "Cancel");
    lvlang::ReleaseLanguageObject();
    EXPECT_EQ(lvlang::GetSetting("Language", "DefaultLCID"), "1033");
}

} // namespace

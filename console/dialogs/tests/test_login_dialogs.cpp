// The Login ID dialogs typed into as a person would, the Qt prompt's message boxes, and the
// login and Login ID change of the reader logic answered through the dialogs against the
// simulated reader.
#include "DialogDriver.h"
#include "ReaderLink.h"
#include <QFile>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <pelmar/core/ReaderConsole.h>
#include <pelmar/dialogs/DialogUserPrompt.h>
#include <pelmar/dialogs/frmLogin.h>
#include <pelmar/ui/QtPropertyHost.h>

using namespace pelmar;
using namespace pelmar::dialogs;
using dlgtest::Find;
using dlgtest::WhenModal;

namespace {

struct LoginCase {
    const char* name;
    QString keys;
    bool pressEnter;
    QString shown;    // what the box holds after typing
    QString returned; // what GetLoginID returns
};

class LoginTyping : public ::testing::TestWithParam<LoginCase> {};

TEST_P(LoginTyping, ReturnsTheTypedID) {
    const LoginCase& c = GetParam();
    QString shown;
    bool okEnabled = false;
    WhenModal<frmLogin>([&](frmLogin* dlg) {
        auto* txt = Find<QLineEdit>(dlg, "txtID");
        auto* ok = Find<QPushButton>(dlg, "cmdOK");
        QTest::keyClicks(txt, c.keys);
        shown = txt->text();
        okEnabled = ok->isEnabled();
        if (c.pressEnter) QTest::keyClick(txt, Qt::Key_Return);
        // Enter with fewer than four characters leaves the dialog open: cancel it.
        if (dlg->isVisible()) Find<QPushButton>(dlg, "cmdCancel")->click();
    });
    EXPECT_EQ(GetLoginID(), c.returned);
    EXPECT_EQ(shown, c.shown);
    EXPECT_EQ(okEnabled, c.shown.size() == 4);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, LoginTyping,
    ::testing::Values(LoginCase{"DefaultID", "4826", true, "4826", "4826"},
                      LoginCase{"LowerCaseBecomesUpper", "ab1f", true, "AB1F", "AB1F"},
                      LoginCase{"LettersBeyondFIgnored", "4g8x2z6", true, "4826", "4826"},
                      LoginCase{"FifthCharacterIgnored", "12345", true, "1234", "1234"},
                      LoginCase{"EnterWithThreeDoesNothing", "482", true, "482", ""},
                      LoginCase{"BlanksIgnored", " 4 8 2 6", true, "4826", "4826"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LoginDialog, CancelEscapeAndFrameCloseReturnEmpty) {
    const std::vector<std::function<void(frmLogin*)>> leaves = {
        [](frmLogin* d) { Find<QPushButton>(d, "cmdCancel")->click(); },
        [](frmLogin* d) { QTest::keyClick(Find<QLineEdit>(d, "txtID"), Qt::Key_Escape); },
        [](frmLogin* d) { d->close(); },
    };
    for (size_t i = 0; i < leaves.size(); ++i) {
        WhenModal<frmLogin>([&, i](frmLogin* d) {
            QTest::keyClicks(Find<QLineEdit>(d, "txtID"), "4826");
            leaves[i](d);
        });
        EXPECT_EQ(GetLoginID(), "") << "way out " << i;
    }
}

TEST(LoginDialog, EveryCallStartsEmptyAndMasked) {
    for (int round = 0; round < 2; ++round) {
        QString start;
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        WhenModal<frmLogin>([&](frmLogin* d) {
            auto* txt = Find<QLineEdit>(d, "txtID");
            start = txt->text();
            echo = txt->echoMode();
            QTest::keyClicks(txt, "4826");
            Find<QPushButton>(d, "cmdOK")->click();
        });
        EXPECT_EQ(GetLoginID(), "4826");
        EXPECT_EQ(start, "");
        EXPECT_EQ(echo, QLineEdit::Password);
    }
}

TEST(LoginDialog, ControlsCarryTheirTexts) {
    frmLogin dlg;
    EXPECT_EQ(dlg.windowTitle(), "Login");
    EXPECT_TRUE(ui::Tag(&dlg).startsWith("lng:{cap=15000}")) << ui::Tag(&dlg).toStdString();
    struct C {
        const char* name;
        const char* text;
        const char* tag;
    };
    for (const C& c :
         {C{"Label1", "Enter Login ID :", "lng:{cap=15001}"},
          C{"labMsg", "Login ID have to be 4 digital numbers\r\nThe default setting is 4826",
            "lng:{cap=15002}"}}) {
        auto* l = Find<QLabel>(&dlg, c.name);
        EXPECT_EQ(l->text(), c.text);
        EXPECT_EQ(ui::Tag(l), c.tag);
    }
    EXPECT_EQ(Find<QPushButton>(&dlg, "cmdOK")->text(), "OK");
    EXPECT_EQ(ui::Tag(Find<QPushButton>(&dlg, "cmdOK")), "lng:{cap=1000}");
    EXPECT_EQ(ui::Tag(Find<QPushButton>(&dlg, "cmdCancel")), "lng:{cap=1001}");
    EXPECT_FALSE(Find<QPushButton>(&dlg, "cmdOK")->isEnabled());
}

TEST(ChangeIDDialog, DifferentEntriesShowTheNoteAndCorrectingHidesIt) {
    struct Seen {
        bool diffAfterMismatch, okAfterMismatch, diffAfterFix, okAfterFix, diffWhileShort;
    } seen{};
    WhenModal<frmChgID>([&](frmChgID* d) {
        auto* a = Find<QLineEdit>(d, "txtID_0");
        auto* b = Find<QLineEdit>(d, "txtID_1");
        auto* diff = Find<QLabel>(d, "labDiff");
        auto* ok = Find<QPushButton>(d, "cmdOK");
        QTest::keyClicks(a, "12ab");
        QTest::keyClicks(b, "12a");
        seen.diffWhileShort = diff->isVisible();
        QTest::keyClicks(b, "c");
        seen.diffAfterMismatch = diff->isVisible();
        seen.okAfterMismatch = ok->isEnabled();
        QTest::keyClick(b, Qt::Key_Return); // OK refuses the mismatch
        QTest::keyClick(b, Qt::Key_Backspace);
        QTest::keyClicks(b, "B");
        seen.diffAfterFix = diff->isVisible();
        seen.okAfterFix = ok->isEnabled();
        ok->click();
    });
    EXPECT_EQ(GetChgID(), "12AB");
    EXPECT_FALSE(seen.diffWhileShort);
    EXPECT_TRUE(seen.diffAfterMismatch);
    EXPECT_FALSE(seen.okAfterMismatch);
    EXPECT_FALSE(seen.diffAfterFix);
    EXPECT_TRUE(seen.okAfterFix);
}

TEST(ChangeIDDialog, CancelAndEscapeReturnEmpty) {
    WhenModal<frmChgID>([](frmChgID* d) {
        QTest::keyClicks(Find<QLineEdit>(d, "txtID_0"), "1111");
        QTest::keyClicks(Find<QLineEdit>(d, "txtID_1"), "1111");
        QTest::keyClick(Find<QLineEdit>(d, "txtID_1"), Qt::Key_Escape);
    });
    EXPECT_EQ(GetChgID(), "");
    WhenModal<frmChgID>([](frmChgID* d) { d->close(); });
    EXPECT_EQ(GetChgID(), "");
}

TEST(DialogPrompt, MessageKindsGiveTheirIconsAndTitle) {
    DialogUserPrompt prompt;
    struct K {
        MsgKind kind;
        QMessageBox::Icon icon;
    };
    for (const K& k : {K{MsgKind::Critical, QMessageBox::Critical},
                       K{MsgKind::Exclamation, QMessageBox::Warning},
                       K{MsgKind::Information, QMessageBox::Information},
                       K{MsgKind::Plain, QMessageBox::NoIcon}}) {
        auto shown = dlgtest::AnswerMessage();
        prompt.ShowMessage(k.kind, "Change Login ID OK");
        EXPECT_TRUE(shown->seen);
        EXPECT_EQ(shown->icon, k.icon);
        EXPECT_EQ(shown->text, "Change Login ID OK");
        EXPECT_EQ(shown->title, "Lorvane");
    }
    auto shown = dlgtest::AnswerMessage();
    prompt.ShowMessage(MsgKind::Critical, "x", "Comm  Port  : COM3");
    EXPECT_EQ(shown->title, "Comm  Port  : COM3");
}

TEST(DialogPrompt, YesNoQuestion) {
    DialogUserPrompt prompt;
    auto yes = dlgtest::AnswerMessage(QMessageBox::Yes);
    EXPECT_TRUE(prompt.AskYesNo("Erase all records?"));
    EXPECT_EQ(yes->icon, QMessageBox::Question);
    EXPECT_EQ(yes->text, "Erase all records?");
    auto no = dlgtest::AnswerMessage(QMessageBox::No);
    EXPECT_FALSE(prompt.AskYesNo("Erase all records?"));
    EXPECT_TRUE(no->seen);
}

// The buttons of a confirmation box speak the language file's language; a click on the
// translated "No" answers No.
TEST(DialogPrompt, YesNoButtonsFromTheLanguageFile) {
    const QString file = QString::fromStdString(DialogTestDataDir()) + "/Language/Deutsch.lng";
    struct Case {
        const char* what;
        QByteArray lng; // empty: no language file
        QString yes, no, ok;
    };
    const Case cases[] = {
        {"German",
         "[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n"
         "[LANGUGAE]\r\n19100=&Ja\r\n19101=&Nein\r\n1000=Gut\r\n",
         "&Ja", "&Nein", "Gut"},
        {"no language file", {}, "&Yes", "&No", "OK"},
    };
    for (const Case& c : cases) {
        QFile::remove(file);
        if (!c.lng.isEmpty()) {
            QFile f(file);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.lng);
        }
        lvlang::ReleaseLanguageObject(); // it stores its choice: before the new one
        lvlang::SaveSetting("Language", "DefaultLCID", "1031");
        QStringList texts;
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            for (QAbstractButton* b : box->buttons())
                texts << b->text();
            QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
        });
        DialogUserPrompt prompt;
        EXPECT_FALSE(prompt.AskYesNo("Erase all records?")) << c.what;
        texts.sort();
        QStringList expected{c.yes, c.no};
        expected.sort();
        EXPECT_EQ(texts, expected) << c.what;
        QString ok;
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            ok = box->button(QMessageBox::Ok)->text();
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        prompt.ShowMessage(MsgKind::Information, "Done");
        EXPECT_EQ(ok, c.ok) << c.what;
    }
    QFile::remove(file);
    lvlang::ReleaseLanguageObject();
    lvlang::SaveSetting("Language", "DefaultLCID", "1033");
}

// The reader logic logging in through the dialogs.
struct LoginOnReader : ::testing::Test {
    std::unique_ptr<lvtest::SimReader> sim;
    dlgtest::Link link;
    DialogUserPrompt prompt;
    std::unique_ptr<ReaderConsole> console;
    void Start(const QStringList& args) {
        sim = std::make_unique<lvtest::SimReader>(args);
        ASSERT_TRUE(sim->ok());
        console = std::make_unique<ReaderConsole>(&link.link, prompt);
    }
    static void TypeLogin(const QString& keys, std::function<void()> then = {}) {
        WhenModal<frmLogin>([keys, then](frmLogin* d) {
            if (then) then();
            auto* txt = Find<QLineEdit>(d, "txtID");
            QTest::keyClicks(txt, keys);
            QTest::keyClick(txt, Qt::Key_Return);
        });
    }
};

TEST_F(LoginOnReader, TypedLowerCaseIDLogsIn) {
    Start({"--login-id", "AB12", "--records", "0"});
    TypeLogin("ab12");
    EXPECT_EQ(console->OpenReader(sim->Link()), ConnectResult::Connected);
    EXPECT_EQ(console->szLoginID, "AB12");
}

TEST_F(LoginOnReader, WrongIDIsRefusedAndAskedAgain) {
    Start({"--records", "0"});
    std::shared_ptr<dlgtest::Shown> refusal;
    TypeLogin("1234", [&] {
        // After the reader refuses the first ID the exclamation box comes, then the login
        // dialog again.
        refusal = dlgtest::AnswerMessage(QMessageBox::Ok, [] { TypeLogin("4826"); });
    });
    EXPECT_EQ(console->OpenReader(sim->Link()), ConnectResult::Connected);
    ASSERT_TRUE(refusal);
    EXPECT_TRUE(refusal->seen);
    EXPECT_EQ(refusal->icon, QMessageBox::Warning);
    EXPECT_EQ(refusal->text, "The Login ID is invalid!\nPlease try again.");
    EXPECT_EQ(console->szLoginID, "4826");
}

TEST_F(LoginOnReader, CancelledLoginClosesTheLink) {
    Start({"--records", "0"});
    WhenModal<frmLogin>([](frmLogin* d) { Find<QPushButton>(d, "cmdCancel")->click(); });
    EXPECT_EQ(console->OpenReader(sim->Link()), ConnectResult::Cancelled);
    EXPECT_FALSE(link.ctrl.PortOpen());
}

TEST_F(LoginOnReader, ChangedIDIsTheOneTheReaderTakesNext) {
    Start({"--records", "0"});
    TypeLogin("4826");
    ASSERT_EQ(console->OpenReader(sim->Link()), ConnectResult::Connected);
    std::shared_ptr<dlgtest::Shown> done;
    WhenModal<frmChgID>([&](frmChgID* d) {
        QTest::keyClicks(Find<QLineEdit>(d, "txtID_0"), "beef");
        QTest::keyClicks(Find<QLineEdit>(d, "txtID_1"), "BEEF");
        done = dlgtest::AnswerMessage();
        Find<QPushButton>(d, "cmdOK")->click();
    });
    EXPECT_EQ(console->ChangeLoginId(), OpResult::OK);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->text, "Change Login ID OK");
    EXPECT_EQ(done->icon, QMessageBox::Information);
    EXPECT_TRUE(sim->Log().join('\n').contains("PBEEF")) << sim->Log().join('\n').toStdString();
    link.ctrl.Logout();
    EXPECT_FALSE(link.ctrl.Login("4826"));
    EXPECT_TRUE(link.ctrl.Login("BEEF"));
}

} // namespace

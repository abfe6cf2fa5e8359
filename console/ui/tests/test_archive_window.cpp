// The window's Archive menu driven with real clicks against the simulated reader: "Save to
// archive" after an Upload (each punch once), and "Browse archive..." with its filters and an
// export through the save dialog.
#include "UiTestSupport.h"
#include "WindowDriver.h"
#include "pelarchive/Archive.h"
#include "pelmar/ui/frmArchive.h"
#include "pelmar/ui/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <lvlang/Settings.h>

using lvtest::SimReader;
using pelmar::ui::frmArchive;
using pelmar::ui::frmMain;

namespace {

struct ArchiveWindow : ::testing::Test {
    QTemporaryDir dir;
    std::unique_ptr<SimReader> sim;
    std::unique_ptr<frmMain> w;
    uitest::ModalAnswerer answers;

    void SetUp() override {
        lvlang::SaveSetting("Archive", "Url", dir.filePath("archive.sqlite"));
        sim = std::make_unique<SimReader>(QStringList{"--records", "40", "--erase-ms", "1"});
        ASSERT_TRUE(sim->ok());
        lvtest::SetPorts({{7, sim->Link()}});
        w = std::make_unique<frmMain>();
        w->SetShowFile([](const QString&) {});
        w->show();
        w->activateWindow();
        QApplication::setActiveWindow(w.get());
        ASSERT_TRUE(lvtest::waitFor([&] { return w->isActiveWindow(); }, 5000));
        answers.loginIds.push_back("4826");
        const int i = w->cboPort->findText("COM7");
        ASSERT_GE(i, 0);
        w->cboPort->setCurrentIndex(i);
        emit w->cboPort->activated(i);
        ASSERT_TRUE(w->cmdMSR[frmMain::kUpload]->isEnabled());
    }
    // Every record of the window's archive, read back through a connection of the test's own.
    bool ArchivedRows(QList<pelarchive::ArchivedRecord>& rows) {
        pelarchive::Archive a;
        pelarchive::ArchiveLocation l;
        l.path = dir.filePath("archive.sqlite");
        QString error;
        return a.Open(l, &error) && a.Records({}, rows, &error);
    }
    void TearDown() override {
        if (w) {
            w->blnEnd = false;
            w->iExitSub_1 = 0;
            w->close();
            w.reset();
        }
        lvlang::DeleteSetting("Archive");
        qunsetenv("DORLIN_PORTS");
    }
    // Opens the Archive menu with a click on the menu bar and clicks one of its entries.
    void ClickArchiveMenu(QAction* item) {
        QMenuBar* bar = w->menuBar();
        const QRect title = bar->actionGeometry(w->mnuArchive->menuAction());
        ASSERT_FALSE(title.isEmpty());
        QTest::mouseClick(bar, Qt::LeftButton, {}, title.center());
        ASSERT_TRUE(lvtest::waitFor([&] { return w->mnuArchive->isVisible(); }, 5000));
        const QRect entry = w->mnuArchive->actionGeometry(item);
        ASSERT_FALSE(entry.isEmpty());
        QTest::mouseClick(w->mnuArchive, Qt::LeftButton, {}, entry.center());
    }
};

TEST_F(ArchiveWindow, SaveToArchiveFilesEachPunchOnce) {
    ClickArchiveMenu(w->mnuArchiveSave);
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].text, "No records to archive: Upload first.");
    QTest::mouseClick(w->cmdMSR[frmMain::kUpload], Qt::LeftButton);
    ASSERT_EQ(w->fgData->model()->rowCount(), 40);
    ClickArchiveMenu(w->mnuArchiveSave);
    ASSERT_EQ(answers.boxes.size(), 2u);
    EXPECT_EQ(answers.boxes[1].icon, QMessageBox::Information);
    EXPECT_EQ(answers.boxes[1].text, "40 new, 0 already archived");
    ClickArchiveMenu(w->mnuArchiveSave);
    ASSERT_EQ(answers.boxes.size(), 3u);
    EXPECT_EQ(answers.boxes[2].text, "0 new, 40 already archived");
    // Filed under the device behind COM7 and the reader's machine ID, each record as the table
    // holds it.
    QList<pelarchive::ArchivedRecord> rows;
    ASSERT_TRUE(ArchivedRows(rows));
    ASSERT_EQ(rows.size(), 40);
    EXPECT_EQ(rows[0].reader, QFileInfo(sim->Link()).canonicalFilePath() + "#01");
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(rows[i].text, w->Records().Records()[i]);
}

TEST_F(ArchiveWindow, BrowseFiltersAndExportsThroughTheSaveDialog) {
    QTest::mouseClick(w->cmdMSR[frmMain::kUpload], Qt::LeftButton);
    ClickArchiveMenu(w->mnuArchiveSave);
    ASSERT_EQ(answers.boxes.size(), 1u);
    const QString card = w->fgData->model()->index(2, 1).data().toString();
    ASSERT_FALSE(card.isEmpty());
    EXPECT_NE(card, card.toLower()) << "a card ID with hexadecimal letters";
    int listed = -1, byCard = -1, inRange = -1, exported = -1;
    QStringList readers, cards;
    const QString out = dir.filePath("browse.csv");
    // The browser is modal: it is driven from inside its own event loop.
    QTimer::singleShot(0, [&] {
        frmArchive* b = nullptr;
        ASSERT_TRUE(lvtest::waitFor(
            [&] {
                for (QWidget* t : QApplication::topLevelWidgets())
                    if ((b = qobject_cast<frmArchive*>(t)) && b->isVisible()) return true;
                return false;
            },
            5000));
        listed = b->fgArchive->model()->rowCount();
        // The picture of docs/archive.md.
        if (qEnvironmentVariableIsSet("LORVANE_ARCHIVE_SCREENSHOT"))
            b->grab().save(qEnvironmentVariable("LORVANE_ARCHIVE_SCREENSHOT"));
        for (int i = 0; i < b->cboReader->count(); ++i)
            readers << b->cboReader->itemText(i);
        // The card in lower case: the search ignores the case.
        QTest::keyClicks(b->txtCard, card.toLower());
        QTest::mouseClick(b->cmdSearch, Qt::LeftButton);
        byCard = b->fgArchive->model()->rowCount();
        for (int i = 0; i < byCard; ++i)
            cards << b->fgArchive->model()->index(i, 1).data().toString();
        // A range that ends before the first punch finds nothing.
        b->txtCard->clear();
        QTest::mouseClick(b->chkUntil, Qt::LeftButton, {}, QPoint(5, b->chkUntil->height() / 2));
        b->dtpUntil->setDateTime(QDateTime(QDate(2000, 1, 1), QTime(0, 0, 0)));
        QTest::mouseClick(b->cmdSearch, Qt::LeftButton);
        inRange = b->fgArchive->model()->rowCount();
        EXPECT_FALSE(b->cmdExport->isEnabled());
        QTest::mouseClick(b->chkUntil, Qt::LeftButton, {}, QPoint(5, b->chkUntil->height() / 2));
        QTest::keyClicks(b->txtCard, card);
        QTest::mouseClick(b->cmdSearch, Qt::LeftButton);
        answers.saveFile = out;
        QTest::mouseClick(b->cmdExport, Qt::LeftButton);
        exported = int(answers.boxes.size());
        QTest::mouseClick(b->cmdClose, Qt::LeftButton);
    });
    ClickArchiveMenu(w->mnuArchiveBrowse);
    EXPECT_EQ(listed, 40);
    EXPECT_EQ(readers,
              QStringList({"(all readers)", QFileInfo(sim->Link()).canonicalFilePath() + "#01"}));
    ASSERT_GE(byCard, 1);
    EXPECT_EQ(cards, QStringList(QList<QString>(byCard, card)));
    EXPECT_EQ(inRange, 0);
    EXPECT_EQ(answers.fileDialogs, 1);
    ASSERT_EQ(exported, 2);
    EXPECT_EQ(answers.boxes[1].text, QString("%1 records written to %2").arg(byCard).arg(out));
    const QList<QByteArray> lines = lvtest::readFile(out).split('\n');
    ASSERT_EQ(lines.size(), byCard + 1); // CR LF after each row
    for (int i = 0; i < byCard; ++i)
        EXPECT_TRUE(lines[i].startsWith("\"" + card.toLatin1() + "\"")) << lines[i].toStdString();
}

bool Erased(const SimReader& s) {
    return s.Requests().contains("<STX>E<CR>");
}

// With an archive set, the Erase button archives and checks before it erases.
TEST_F(ArchiveWindow, EraseArchivesFirstWhenAnArchiveIsSet) {
    QTest::mouseClick(w->cmdDatabase, Qt::LeftButton);
    EXPECT_EQ(answers.questions, QStringList({"Do you want to ERASE records?"}));
    ASSERT_EQ(answers.boxes.size(), 2u);
    EXPECT_EQ(answers.boxes[0].icon, QMessageBox::Information);
    EXPECT_EQ(answers.boxes[0].text, "40 new, 0 already archived");
    EXPECT_EQ(answers.boxes[1].text, "ERASE records OK!");
    EXPECT_TRUE(Erased(*sim));
    QList<pelarchive::ArchivedRecord> rows;
    ASSERT_TRUE(ArchivedRows(rows));
    EXPECT_EQ(rows.size(), 40);
}

TEST_F(ArchiveWindow, SafeEraseLeavesTheReaderWhenTheArchiveFails) {
    ASSERT_TRUE(lvtest::writeFile(dir.filePath("file"), "not a folder"));
    lvlang::SaveSetting("Archive", "Url", dir.filePath("file/archive.sqlite"));
    ClickArchiveMenu(w->mnuArchiveSafeErase);
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answers.boxes[0].text,
              "Can't archive: can't make the archive folder " + dir.filePath("file"));
    EXPECT_TRUE(answers.questions.isEmpty());
    EXPECT_FALSE(Erased(*sim));
    EXPECT_TRUE(w->cmdDatabase->isEnabled());
}

} // namespace

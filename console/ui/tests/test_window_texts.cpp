// Every window of the console as a user meets it, in English and in German from the language
// files the build writes: no caption, check box, label, group title or column header is cut
// (its text, measured with the control's font, fits the room the control gives it), the
// columns of fixed words hold their cells whole, and the archive's texts are German in German.
#include "UiTestSupport.h"
#include "WindowGallery.h"
#include "pelmar/ui/frmArchive.h"
#include "pelmar/ui/frmMain.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOption>
#include <QTableView>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <lvlang/modLanguage.h>

namespace {

struct Cut {
    QString control, text;
    int need, room;
};

int TextWidth(const QFontMetrics& fm, QString text) {
    text.remove(QLatin1Char('&'));
    int w = 0;
    for (const QString& line : text.split(QRegularExpression("\r\n|\n|\r")))
        w = std::max(w, fm.horizontalAdvance(line));
    return w;
}

QString Name(const QWidget* w) {
    return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                     : w->objectName();
}

// What of the window's visible texts does not fit.
std::vector<Cut> CutTexts(QWidget* window) {
    std::vector<Cut> cuts;
    auto check = [&](const QWidget* w, const QString& what, const QString& text, int need,
                     int room) {
        if (!text.isEmpty() && need > room) cuts.push_back({Name(w) + what, text, need, room});
    };
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window) || w->width() <= 0) continue;
        QStyle* st = w->style();
        const QFontMetrics fm(w->font());
        // Buttons: the room is the part of the control the style draws the text in.
        auto room = [&](QAbstractButton* b, QStyle::SubElement part) {
            QStyleOptionButton o;
            o.initFrom(b);
            o.text = b->text();
            return st->subElementRect(part, &o, b).width();
        };
        if (auto* b = qobject_cast<QPushButton*>(w)) {
            check(b, {}, b->text(), TextWidth(fm, b->text()),
                  room(b, QStyle::SE_PushButtonContents));
        } else if (auto* c = qobject_cast<QCheckBox*>(w)) {
            check(c, {}, c->text(), TextWidth(fm, c->text()), room(c, QStyle::SE_CheckBoxContents));
        } else if (auto* r = qobject_cast<QRadioButton*>(w)) {
            check(r, {}, r->text(), TextWidth(fm, r->text()),
                  room(r, QStyle::SE_RadioButtonContents));
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            if (l->wordWrap() || l->text().isEmpty() || !l->pixmap().isNull()) continue;
            check(l, {}, l->text(), TextWidth(fm, l->text()),
                  l->contentsRect().width() - 2 * l->margin());
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            check(g, {}, g->title(), TextWidth(fm, g->title()),
                  g->width() - fm.horizontalAdvance(QLatin1Char('M')));
        } else if (auto* h = qobject_cast<QHeaderView*>(w)) {
            if (h->orientation() != Qt::Horizontal) continue;
            const int margin = 2 * st->pixelMetric(QStyle::PM_HeaderMargin, nullptr, h);
            for (int s = 0; s < h->count(); ++s) {
                if (h->isSectionHidden(s)) continue;
                const QString text = h->model()->headerData(s, Qt::Horizontal).toString();
                check(h, QStringLiteral(" column %1").arg(s), text, TextWidth(fm, text) + margin,
                      h->sectionSize(s));
            }
        }
    }
    return cuts;
}

// Cells of the given columns that do not fit (texts of fixed words: directions, outcomes).
std::vector<Cut> CutCells(QAbstractItemView* view, const QList<int>& columns) {
    std::vector<Cut> cuts;
    const QFontMetrics fm(view->font());
    const int margin = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1);
    for (int r = 0; r < view->model()->rowCount(); ++r)
        for (int c : columns) {
            const QModelIndex i = view->model()->index(r, c);
            const QString text = i.data().toString();
            const int need = fm.horizontalAdvance(text) + margin;
            if (need > view->visualRect(i).width())
                cuts.push_back({Name(view) + QStringLiteral(" cell %1,%2").arg(r).arg(c), text,
                                need, view->visualRect(i).width()});
        }
    return cuts;
}

std::string Describe(const std::vector<Cut>& cuts) {
    std::string s;
    for (const Cut& c : cuts)
        s += QStringLiteral("  %1: \"%2\" needs %3 px, has %4\n")
                 .arg(c.control, c.text)
                 .arg(c.need)
                 .arg(c.room)
                 .toStdString();
    return s;
}

class WindowTexts : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(uitest::UseBuildData()); }
    void SetUp() override { uitest::ChooseLanguage(GetParam()); }
    void TearDown() override { lvlang::ReleaseLanguageObject(); }
};

TEST_P(WindowTexts, NoWindowCutsItsTexts) {
    uitest::WindowGallery gallery;
    for (const QString& name : uitest::WindowGallery::Names()) {
        QWidget* w = gallery.Show(name);
        ASSERT_NE(w, nullptr) << name.toStdString() << ": " << gallery.Why().toStdString();
        EXPECT_EQ(gallery.Why(), "") << name.toStdString();
        const std::vector<Cut> cuts = CutTexts(w);
        EXPECT_TRUE(cuts.empty()) << name.toStdString() << " cuts:\n" << Describe(cuts);
        if (auto* t = w->findChild<QTreeWidget*>("lstTraffic")) {
            const auto cells = CutCells(t, {0, 1, 2, 4});
            EXPECT_TRUE(cells.empty()) << Describe(cells);
            EXPECT_GE(t->topLevelItemCount(), 10);
        }
        if (auto* s = w->findChild<QTreeWidget*>("lstView")) {
            const auto cells = CutCells(s, {0, 1});
            EXPECT_TRUE(cells.empty()) << Describe(cells);
            // Its columns fit the list: no needless scroll bar.
            EXPECT_FALSE(s->horizontalScrollBar()->isVisible());
            // The simulated readers' rows with their outcomes (the machine's own serial
            // ports may add rows of their own).
            QStringList rows;
            for (int i = 0; i < s->topLevelItemCount(); ++i)
                if (QStringList({"COM3", "COM4", "COM5", "COM7"})
                        .contains(s->topLevelItem(i)->text(0)))
                    rows << s->topLevelItem(i)->text(0) + ": " + s->topLevelItem(i)->text(1);
            EXPECT_EQ(
                rows,
                GetParam() == 1031
                    ? QStringList({"COM3: Gefunden: KRN-A0102 V1.05", "COM4: Anderes Gerät: XYZ",
                                   QString::fromUtf8("COM5: COM5 lässt sich nicht öffnen"),
                                   "COM7: COM7 ist belegt"})
                    : QStringList({"COM3: Found: KRN-A0102 V1.05", "COM4: Other: XYZ",
                                   "COM5: Can't open COM5", "COM7: COM7 is in use"}));
        }
    }
}

std::string LanguageName(const ::testing::TestParamInfo<int>& param) {
    return param.param == 1031 ? "German" : "English";
}
INSTANTIATE_TEST_SUITE_P(EnglishAndGerman, WindowTexts, ::testing::Values(1033, 1031),
                         LanguageName);

// The archive in German: the menu, the browser and the summary box.
TEST(ArchiveInGerman, MenuBrowserAndSummarySpeakGerman) {
    ASSERT_TRUE(uitest::UseBuildData());
    uitest::ChooseLanguage(1031);
    {
        uitest::WindowGallery gallery;
        auto* main = qobject_cast<pelmar::ui::frmMain*>(gallery.Show("records"));
        ASSERT_NE(main, nullptr) << gallery.Why().toStdString();
        EXPECT_EQ(main->mnuArchive->title(), "&Archiv");
        EXPECT_EQ(main->mnuArchiveSave->text(), "Ins Archiv speichern");
        EXPECT_EQ(main->mnuArchiveBrowse->text(), QString::fromUtf8("Archiv durchsuchen…"));
        EXPECT_EQ(main->mnuArchiveSafeErase->text(), "Sicher löschen");
        EXPECT_EQ(main->cmdMSR[pelmar::ui::frmMain::kDelete]->toolTip(),
                  QString::fromUtf8("Alle Datensätze im Leser löschen"));
        auto* b = qobject_cast<pelmar::ui::frmArchive*>(gallery.Show("archive"));
        ASSERT_NE(b, nullptr) << gallery.Why().toStdString();
        EXPECT_EQ(b->cboReader->itemText(0), "(alle Leser)");
        EXPECT_EQ(b->labReader->text(), "Leser");
        EXPECT_EQ(b->chkFrom->text(), "Von");
        EXPECT_EQ(b->cmdSearch->text(), "Suchen");
        EXPECT_EQ(b->cmdExport->text(), "Exportieren...");
        EXPECT_EQ(b->cmdClose->text(), QString::fromUtf8("Schließen"));
        EXPECT_EQ(b->labCount->text(), QString::fromUtf8("40 Datensätze"));
        EXPECT_EQ(b->fgArchive->model()->headerData(4, Qt::Horizontal).toString(), "Stempelzeit");
        EXPECT_TRUE(b->windowTitle().startsWith("Archiv - ")) << b->windowTitle().toStdString();
        // A second "Save to archive" says what it found, in German.
        auto& boxes = gallery.Answers().boxes;
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "40 neu, 0 schon im Archiv");
        main->mnuArchiveSave->trigger();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[1].text, "0 neu, 40 schon im Archiv");
    }
    lvlang::ReleaseLanguageObject();
}

} // namespace

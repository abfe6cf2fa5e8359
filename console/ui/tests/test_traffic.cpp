// Decoding of the link control's monitor events for the traffic monitor.
#include "TestSupport.h"
#include "UiTestSupport.h"
#include "pelmar/ui/frmTraffic.h"

#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>

using pelmar::ui::DecodeMonitorEvent;
using pelmar::ui::TrafficEntry;

namespace {

const QDateTime kWhen(QDate(2026, 12, 7), QTime(8, 30, 5, 120));

TEST(TrafficDecode, FramesNotesAndReplies) {
    struct Case {
        const char* name;
        short index;
        QString message;
        QString direction, text, checksum, status;
        bool fault;
    } cases[] = {
        {"request without checksum", 1, "\x02L4826\r", "send", "L4826", "", "no checksum", false},
        {"request with checksum", 1, "\x02N4E\r", "send", "N", "4E", "OK", false},
        {"request without STX", 1, "N4E\r", "send", "N", "4E", "no STX", true},
        {"request cut before CR", 1, "\x02R46", "send", "R46", "", "no CR", true},
        {"accepted reply with checksum", 2, "A010002", "recv", "A0100", "02", "OK", false},
        {"accepted reply without checksum", 2, "AKRN-A0102 V1.05", "recv", "AKRN-A0102 V1.05", "",
         "accepted", false},
        {"short accepted reply", 2, "A", "recv", "A", "", "accepted", false},
        {"refusal", 2, "N01", "recv", "N01", "", "refused", false},
        {"login refused", 2, "I", "recv", "I", "", "reply", false},
        {"time-out", 0, "$TIMEOUT", "note", "$TIMEOUT", "", "time-out", true},
        {"checksum error", 0, "$CHKSUM ERROR", "note", "$CHKSUM ERROR", "", "checksum error", true},
        {"modem note", 0, "Wait Dial Modem...", "note", "Wait Dial Modem...", "", "note", false},
        {"unknown kind", 7, "x", "7", "x", "", "unknown kind", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TrafficEntry e = DecodeMonitorEvent(c.index, c.message, kWhen);
        EXPECT_EQ(e.direction, c.direction);
        EXPECT_EQ(e.text, c.text);
        EXPECT_EQ(e.checksum, c.checksum);
        EXPECT_EQ(e.status, c.status);
        EXPECT_EQ(e.fault, c.fault);
    }
}

TEST(TrafficDecode, LineForTheSavedList) {
    const TrafficEntry e = DecodeMonitorEvent(1, "\x02R46BC\r", kWhen);
    EXPECT_EQ(pelmar::ui::TrafficLine(e),
              "2026-12-07 08:30:05.120\tsend\tOK\tR46\tBC\t<STX>R46BC<CR>");
}

// The checksum note marks the reply it belongs to; the saved file holds every event.
TEST(TrafficWindow, ChecksumNoteMarksTheReplyAndTheListIsSaved) {
    pelmar::ui::frmTraffic w;
    w.AddEvent(1, "\x02R46BC\r");
    w.AddEvent(2, "A00FF");
    w.AddEvent(0, "$CHKSUM ERROR");
    w.AddEvent(1, "\x02G\r");
    w.AddEvent(0, "$TIMEOUT");
    ASSERT_EQ(w.Entries().size(), 5u);
    EXPECT_EQ(w.Entries()[1].status, "checksum error");
    EXPECT_TRUE(w.Entries()[1].fault);
    EXPECT_EQ(w.FaultCount(), 3);
    EXPECT_EQ(w.lstTraffic->topLevelItem(1)->text(2), "checksum error");
    EXPECT_EQ(w.labSummary->text(), "5 events, 3 faults");

    QTemporaryDir dir;
    const QString path = dir.path() + "/traffic.txt";
    ASSERT_TRUE(w.SaveToFile(path));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    ASSERT_EQ(lines.size(), 7); // header, five events, the empty rest after the last CR LF
    EXPECT_TRUE(lines[2].endsWith("\trecv\tchecksum error\tA00FF\t\tA00FF\r"));
    EXPECT_TRUE(lines[5].endsWith("\tnote\ttime-out\t$TIMEOUT\t\t$TIMEOUT\r"));

    // Login and change-ID frames: the ID is masked in the file unless asked for.
    w.AddEvent(1, "\x02L4826\r");
    w.AddEvent(1, "\x02P1A2B36\r"); // "P1A2B" with its checksum 36
    w.AddEvent(1, "\x02T\r");
    ASSERT_TRUE(w.SaveToFile(path));
    QByteArray masked = lvtest::readFile(path);
    EXPECT_TRUE(masked.contains("\tsend\tno checksum\tL****\t\t<STX>L****<CR>\r\n"));
    EXPECT_TRUE(masked.contains("\tP****\t**\t<STX>P******<CR>\r\n")) << masked.toStdString();
    EXPECT_FALSE(masked.contains("4826") || masked.contains("1A2B"));
    EXPECT_TRUE(masked.contains("\tT\t\t<STX>T<CR>\r\n"));
    ASSERT_TRUE(w.SaveToFile(path, nullptr, true));
    EXPECT_TRUE(lvtest::readFile(path).contains("<STX>L4826<CR>"));
    EXPECT_TRUE(lvtest::readFile(path).contains("<STX>P1A2B36<CR>"));

    QString why;
    EXPECT_FALSE(w.SaveToFile(dir.path() + "/no/such/folder/t.txt", &why));
    EXPECT_FALSE(why.isEmpty());
    w.Clear();
    EXPECT_EQ(w.lstTraffic->topLevelItemCount(), 0);
    EXPECT_EQ(w.FaultCount(), 0);
}

// Under the shipped German language file the window, its list and its buttons speak German,
// the status column holds its longest word whole, and the saved list keeps the English words.
TEST(TrafficWindow, TranslatedAndTheStatusColumnFitsItsWords) {
    QFile shipped(QStringLiteral(LORVANE_DATA_DIR) + "/Language/Deutsch.lng");
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    const QString file = uitest::WriteLanguageFile("Deutsch.lng", shipped.readAll());
    lvlang::ReleaseLanguageObject(); // it stores its choice: before the new one
    lvlang::SaveSetting("Language", "DefaultLCID", "1031");
    {
        pelmar::ui::frmTraffic w;
        w.AddEvent(2, "A00FF");
        w.AddEvent(0, "$CHKSUM ERROR");
        w.AddEvent(1, "G");
        w.show();
        EXPECT_EQ(w.windowTitle(), "Datenverkehr");
        EXPECT_EQ(w.lstTraffic->headerItem()->text(2), "Status");
        EXPECT_EQ(w.lstTraffic->headerItem()->text(5), "Rohdaten");
        EXPECT_EQ(w.cmdClose->text(), QString::fromUtf8("Schließen"));
        EXPECT_EQ(w.lstTraffic->topLevelItem(0)->text(1), "empfangen");
        EXPECT_EQ(w.lstTraffic->topLevelItem(0)->text(2), QString::fromUtf8("Prüfsummenfehler"));
        EXPECT_EQ(w.lstTraffic->topLevelItem(2)->text(2), "ohne STX, ohne CR");
        EXPECT_EQ(w.labSummary->text(), "3 Ereignisse, 3 Fehler");
        const QFontMetrics fm(w.lstTraffic->font());
        for (const char* word : {"Prüfsummenfehler", "Zeitüberschreitung", "ohne STX, ohne CR"})
            EXPECT_GT(w.lstTraffic->columnWidth(2), fm.horizontalAdvance(QString::fromUtf8(word)))
                << word;
        QTemporaryDir dir;
        ASSERT_TRUE(w.SaveToFile(dir.path() + "/t.txt"));
        QFile saved(dir.path() + "/t.txt");
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        EXPECT_TRUE(saved.readAll().contains("\trecv\tchecksum error\tA00FF"));
    }
    QFile::remove(file);
    lvlang::ReleaseLanguageObject();
    lvlang::SaveSetting("Language", "DefaultLCID", "1033");
    // English: the column still fits "checksum error", which the old width cut short.
    pelmar::ui::frmTraffic w;
    w.show();
    const QFontMetrics fm(w.lstTraffic->font());
    EXPECT_GT(w.lstTraffic->columnWidth(2), fm.horizontalAdvance("checksum error"));
    EXPECT_EQ(w.windowTitle(), "Traffic Monitor");
}

} // namespace

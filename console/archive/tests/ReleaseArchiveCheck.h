// What the archives of earlier releases (ReleaseArchiveSql, Release3ArchiveSql) must hold
// once brought forward, on SQLite and PostgreSQL alike.
#pragma once
#include "ArchiveTestRecords.h"
#include "pelarchive/Archive.h"

#include <gtest/gtest.h>

namespace archivetest {

using namespace pelarchive;

inline void ExpectReleaseArchiveCarried(Archive& a) {
    QList<ArchivedRecord> rows;
    QString error;
    ASSERT_TRUE(a.Records({}, rows, &error)) << error.toStdString();
    // The month-first and year-first copies of each punch are one row: the first archived.
    ASSERT_EQ(rows.size(), 4);
    const char* punches[] = {"2026-03-02 07:00:00", "2026-03-02 07:00:07", "2026-03-02 07:00:14",
                             "2026-03-05 09:15:00"};
    const qint64 ids[] = {1, 2, 3, 7};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[i].punchText, punches[i]) << i;
        EXPECT_EQ(rows[i].id, ids[i]) << i;
        EXPECT_TRUE(rows[i].rawDate.isEmpty()) << i;
    }
    EXPECT_EQ(rows[0].cardId, "3D9944821");
    EXPECT_EQ(rows[0].cardType, "1K");
    EXPECT_EQ(rows[0].archivedText, "2026-03-03 10:00:00");
    EXPECT_EQ(rows[3].cardType, "EM");
    // The marks: /pay/a.txt had the first download (so the merged copies too); /pay/b.txt had
    // the one punch up to its --until.
    Archive::TargetState t;
    bool busy = false;
    ASSERT_TRUE(a.TakeTarget("/pay/a.txt", 0, &t, &busy, &error)) << error.toStdString();
    EXPECT_EQ(t.doneThrough, 3);
    ASSERT_TRUE(a.Unsent(t, {}, rows, &error));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].id, 7);
    ASSERT_TRUE(a.TakeTarget("/pay/b.txt", 0, &t, &busy, &error)) << error.toStdString();
    ASSERT_TRUE(a.Unsent(t, {}, rows, &error));
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0].id, 2);
    a.ReleaseTarget();
    // Filing the reader again in either date format adds nothing.
    ReaderIdentity gate;
    gate.name = "Gate 1";
    DownloadOutcome d;
    d.outcome = "complete";
    d.dateMode = 0;
    StoreResult r =
        a.StoreDownload(gate, d,
                        {archivetest::RecordText(1, '1', '1', "3d9944821",
                                                 QDateTime(QDate(2026, 3, 2), QTime(7, 0, 0)))
                             .replace("2026/03/02", "03/02/2026")});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 0);
    EXPECT_EQ(r.already, 1);
}

// A version 3 archive brought forward: the same rows, ids and target, the page indexes made
// and the card's own index gone (indexNamed counts the indexes of that name), and filing goes
// on as before.
template <typename IndexNamed>
void ExpectRelease3ArchiveCarried(Archive& a, IndexNamed indexNamed) {
    EXPECT_EQ(a.SchemaVersion(), 4);
    for (const char* name : {"records_day_card", "records_reader_day_card", "records_card_day",
                             "records_once", "records_punch"})
        EXPECT_EQ(indexNamed(name), 1) << name;
    EXPECT_EQ(indexNamed("records_card"), 0);
    QList<ArchivedRecord> rows;
    QString error;
    ASSERT_TRUE(a.Records({}, rows, &error)) << error.toStdString();
    ASSERT_EQ(rows.size(), 4);
    const char* punches[] = {"2026-03-02 07:00:00", "2026-03-02 07:00:00", "2026-03-05 09:15:00",
                             ""};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[i].id, i + 1) << i;
        EXPECT_EQ(rows[i].punchText, punches[i]) << i;
    }
    EXPECT_EQ(rows[1].occurrence, 2);
    EXPECT_EQ(rows[2].reader, "Gate 2");
    EXPECT_EQ(rows[3].rawDate, "99999999083005");
    EXPECT_EQ(rows[3].cardType, "EM");
    RecordQuery card;
    card.card = "3d9944821";
    ASSERT_TRUE(a.Records(card, rows, &error)) << error.toStdString();
    EXPECT_EQ(rows.size(), 2);
    Archive::TargetState t;
    bool busy = false;
    ASSERT_TRUE(a.TakeTarget("/pay/a.txt", 0, &t, &busy, &error)) << error.toStdString();
    EXPECT_EQ(t.doneThrough, 1);
    ASSERT_TRUE(a.Unsent(t, {}, rows, &error));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].id, 2);
    EXPECT_EQ(rows[1].id, 4);
    a.ReleaseTarget();
    // The twin punch again adds nothing; a new one numbers on after the carried rows.
    ReaderIdentity gate;
    gate.name = "Gate 1";
    DownloadOutcome d;
    d.outcome = "complete";
    const QString twin =
        RecordText(1, '1', '1', "3D9944821", QDateTime(QDate(2026, 3, 2), QTime(7, 0, 0), Qt::UTC));
    StoreResult r = a.StoreDownload(gate, d, {twin, twin});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 0);
    EXPECT_EQ(r.already, 2);
    r = a.StoreDownload(gate, d, {twin, twin, twin});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 1);
    ASSERT_TRUE(a.Records({}, rows, &error));
    ASSERT_EQ(rows.size(), 5);
    EXPECT_EQ(rows[4].occurrence, 3);
    EXPECT_GT(rows[4].id, 4);
}

} // namespace archivetest

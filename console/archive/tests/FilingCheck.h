// Filing many rows per statement, on SQLite and PostgreSQL alike: the counts of a download
// (new, already archived, undated) are exact whatever mix of held and new rows a statement
// carries, across statement boundaries and with twin punches.
#pragma once
#include "ArchiveTestRecords.h"
#include "pelarchive/Archive.h"

#include <gtest/gtest.h>

namespace archivetest {

using namespace pelarchive;

// 257 dated records (twins at 99 and 199), then four whose date digits are no date: BAD1,
// BAD2 twice, BAD3.
inline QStringList MixedMemory() {
    QStringList m = ReaderMemory(257);
    for (const char* card : {"BAD1", "BAD2", "BAD2", "BAD3"})
        m << QStringLiteral("A0000,\x01") + "110" + card + QChar(4) + "99/99/9999 08:30:05";
    return m;
}

// Files every third record, then all, then all again; `count` runs an SQL count on the archive.
template <typename Count> void ExpectExactCountsAcrossStatements(Archive& a, Count count) {
    const QStringList all = MixedMemory();
    QStringList third;
    for (int i = 0; i < all.size(); i += 3)
        third << all[i];
    ReaderIdentity gate;
    gate.name = "Gate 7";
    DownloadOutcome d;
    d.outcome = "complete";
    StoreResult r = a.StoreDownload(gate, d, third);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 87);
    EXPECT_EQ(r.already, 0);
    EXPECT_EQ(r.undated, 1); // the first BAD2
    // Record 99 (filed alone) is record 98's punch; 99 is then its second occurrence.
    r = a.StoreDownload(gate, d, all);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 174);
    EXPECT_EQ(r.already, 87);
    EXPECT_EQ(r.undated, 3);
    r = a.StoreDownload(gate, d, all);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 0);
    EXPECT_EQ(r.already, 261);
    EXPECT_EQ(r.undated, 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM records"), 261);
    EXPECT_EQ(count("SELECT COUNT(*) FROM records WHERE occurrence = 2"), 3);
    EXPECT_EQ(count("SELECT COUNT(*) FROM records WHERE raw_date = '99999999083005'"), 4);
    long held = 0;
    QString error;
    ASSERT_TRUE(a.CountHeld("Gate 7", all, 255, &held, &error)) << error.toStdString();
    EXPECT_EQ(held, 261);
}

} // namespace archivetest

// A writer for the archive tests, run as a child process: files the memory of one reader as
// it grows, one download per batch ("archive_writer URL READER TOTAL BATCH"), and prints
// "stored N added A already B" after each commit. Exit 0 when all were stored, 1 on a failure
// (the error on stderr).
#include "ArchiveTestRecords.h"
#include "pelarchive/Archive.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() != 5) {
        std::fprintf(stderr, "usage: archive_writer URL READER TOTAL BATCH\n");
        return 2;
    }
    pelarchive::ArchiveLocation where;
    QString error;
    if (!pelarchive::ParseArchiveUrl(a[1], where, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    pelarchive::Archive archive;
    if (!archive.Open(where, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const int total = a[3].toInt(), batch = a[4].toInt();
    const QStringList memory = archivetest::ReaderMemory(total);
    pelarchive::ReaderIdentity reader;
    reader.name = a[2];
    for (int n = batch; n <= total; n += batch) {
        pelarchive::DownloadOutcome d;
        d.started = d.ended = QDateTime::currentDateTime();
        d.read = d.reported = n;
        d.outcome = QStringLiteral("complete");
        pelarchive::StoreResult r = archive.StoreDownload(reader, d, memory.mid(0, n));
        if (!r.ok) {
            std::fprintf(stderr, "%s\n", qPrintable(r.error));
            return 1;
        }
        std::printf("stored %d added %ld already %ld\n", n, r.added, r.already);
        std::fflush(stdout);
    }
    return 0;
}

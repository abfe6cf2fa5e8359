// An exporter for the export-target tests, run as a child process (two at once, kill -9 at
// any moment): "export_runner ARCHIVE FILE WAIT_MS" exports the records FILE has not received
// and prints "written N", or the error on stderr with exit 1 (3 when another export held the
// target).
#include "pelarchive/ExportTarget.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() != 4) {
        std::fprintf(stderr, "usage: export_runner ARCHIVE FILE WAIT_MS\n");
        return 2;
    }
    pelarchive::ArchiveLocation where;
    QString error;
    pelarchive::Archive archive;
    if (!pelarchive::ParseArchiveUrl(a[1], where, &error) || !archive.Open(where, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    pelarchive::ExportRequest request;
    request.file = a[2];
    request.waitMs = a[3].toInt();
    const pelarchive::ExportResult r = pelarchive::ExportUnsent(archive, request);
    if (!r.ok) {
        std::fprintf(stderr, "%s\n", qPrintable(r.error));
        return r.busy ? 3 : 1;
    }
    std::printf("written %ld\n", r.written);
    return 0;
}

// Readers files of `pelmar collect` from arbitrary bytes, read as the file is read. Besides
// memory errors it checks what a round relies on: an accepted file names at least one reader,
// every reader has a name and a device of its own (ports compare as the devices they name: COM
// names without case, paths as the file system has them), a Baud given is
// a positive rate, and a Login ID is four characters 0-9 / A-F or the reader says why not.
#include "ReadersFile.h"
#include "pelarchive/ReaderArchive.h"

#include <QSet>
#include <cstdint>
#include <cstdlib>

using namespace pelmar::cli;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool IsLoginId(const QString& id) {
    if (id.size() != 4) return false;
    for (QChar ch : id)
        if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QList<ReaderEntry> readers;
    bool holdsLogin = false;
    QString error;
    // Sections without a Login key take this one (LORVANE_LOGIN).
    const QString envLogin = QStringLiteral("12ab");
    if (!ParseReaders(text, QStringLiteral("r.ini"), envLogin, readers, &holdsLogin, &error)) {
        Check(!error.isEmpty());
        return 0;
    }
    Check(!readers.isEmpty());
    QSet<QString> ports;
    for (const ReaderEntry& r : readers) {
        Check(!r.name.isEmpty());
        Check(!r.port.isEmpty() && r.port == r.port.trimmed());
        const QString device = pelarchive::DeviceIdentity(r.port);
        Check(!ports.contains(device));
        ports.insert(device);
        Check(r.baud.isEmpty() || r.baud.toLong() > 0);
        if (r.login.isEmpty())
            Check(holdsLogin &&
                  r.problem == QStringLiteral("Login ID have to be 4 digital numbers"));
        else
            Check(IsLoginId(r.login) && r.problem.isEmpty());
    }
    return 0;
}

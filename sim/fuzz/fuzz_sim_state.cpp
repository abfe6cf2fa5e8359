// libFuzzer target: the simulator's state file. Arbitrary bytes as the JSON document that
// resumes a session; a document that loads must write back to a document that loads to the
// same state, and the reader must answer requests over whatever state it was given.
#include "readersim/Reader.h"
#include "readersim/StateFile.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace readersim;

namespace {

// A broken promise ends the run with the line that states it.
#define Check(ok)                                                                                  \
    do {                                                                                           \
        if (!(ok)) {                                                                               \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #ok);                  \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

bool SameState(const ReaderState& a, const ReaderState& b) {
    return a.loginId == b.loginId && a.locked == b.locked && a.firmware == b.firmware &&
           a.machineId == b.machineId && a.registers == b.registers &&
           a.clockOffset == b.clockOffset && a.records == b.records && a.erased == b.erased &&
           a.files == b.files && a.dirs == b.dirs && a.line == b.line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    const QByteArray json(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    ReaderState state;
    QString error;
    const bool ok = StateFromJson(json, state, &error);
    Check(ok == error.isEmpty());
    if (!ok) {
        // A refused document leaves the state as it was.
        Check(SameState(state, ReaderState()));
        return 0;
    }
    const QByteArray saved = StateToJson(state);
    ReaderState again;
    Check(StateFromJson(saved, again, &error));
    Check(SameState(state, again));
    Check(StateToJson(again) == saved);

    // The reader serves the loaded state: log in, count, read a few records and registers.
    Reader reader(state);
    reader.SetPcClock([] { return QDateTime(QDate(2026, 12, 7), QTime(8, 30, 5)); });
    for (const char* request : {"V", "N", "G", "G", "R00", "R1A", "FC", "FI/", "T"})
        (void)reader.Handle(request);
    (void)reader.Handle("L" + state.loginId);
    for (const char* request : {"N", "G", "G", "G", "R20", "T", "FC", "B"})
        (void)reader.Handle(request);
    return 0;
}

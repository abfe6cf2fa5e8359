// Feeds arbitrary templates and records to ParseFormat/ApplyFormat and the date formatter.
// Besides memory errors it checks the promises that bound the output: no field item writes
// more than the width cap plus its value, and an invalid template returns the record as it is.
#include <pelexport/FmtData.h>

#include <QByteArray>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray in(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype cut = in.indexOf('\x1f');
    const QString tmpl = QString::fromUtf8(cut < 0 ? in : in.left(cut));
    QString record = cut < 0 ? QString() : QString::fromUtf8(in.mid(cut + 1));
    record.replace(QLatin1Char('|'), QChar(0));

    pelmar::FmtData f;
    const bool valid = f.ParseFormat(tmpl);
    const QString line = f.ApplyFormat(record);
    if (!valid && line != record) abort();
    if (valid) {
        // Every item writes at most its literal plus max(width cap, value, pattern) characters
        // (dates: a few characters per pattern letter).
        qsizetype bound = record.size();
        for (const auto& item : f.items())
            bound += item.szLiteral.size() + pelmar::kFmtMaxWidth + record.size() +
                     10 * item.szPattern.size() + item.mapTexts.join(QString()).size() +
                     item.entries.join(QString()).size();
        if (line.size() > bound) abort();
    }
    pelmar::FmtDateTime dt;
    pelmar::ParseRecordDateTime(record, &dt);
    (void)pelmar::FormatRecordDate(dt, tmpl.left(4096));
    (void)pelmar::FmtHexToDec(tmpl.left(256));
    (void)pelmar::FmtDecToHex(tmpl.left(256));
    return 0;
}

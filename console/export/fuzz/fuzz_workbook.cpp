// Feeds arbitrary bytes as an existing workbook: opening it, adding a sheet and writing the
// package must never crash, whatever the zip archive and its XML parts hold.
#include <pelexport/Workbook.h>

#include <QBuffer>
#include <QByteArray>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0; // empty bytes mean "new workbook"
    const QByteArray in(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    pelmar::ExcelWorkbook book;
    if (!book.OpenPackage(in)) return 0;
    book.ExcelWriteFormattedRow({{QStringLiteral("00A1B2C3"), pelmar::kXlFmtText},
                                 {QStringLiteral("2026/12/07 08:30:05"), pelmar::kXlFmtDateTime}});
    book.ExcelFinish();
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    book.WritePackage(out);
    return 0;
}

// Feeds hostile workbooks to the writer: opening one, adding a sheet and writing the package
// must never crash, whatever the zip archive and its XML parts hold.
// Input: a first byte "Z" and then a whole package; or else the parts of a package
// ([Content_Types].xml, _rels/.rels, xl/workbook.xml, xl/_rels/workbook.xml.rels,
// xl/styles.xml, docProps/app.xml) separated by 0x1F, which the harness zips up itself so
// that the mutations reach the XML rather than break the compressed data.
#include "XlsxPackage.h"

#include <pelexport/Workbook.h>

#include <QBuffer>
#include <QByteArray>
#include <QList>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    QByteArray in(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QByteArray package;
    if (in.front() == 'Z') {
        package = in.mid(1);
    } else {
        static const char* const names[] = {"[Content_Types].xml", "_rels/.rels",
                                            "xl/workbook.xml",     "xl/_rels/workbook.xml.rels",
                                            "xl/styles.xml",       "docProps/app.xml"};
        const QList<QByteArray> parts = in.split('\x1f');
        pelmar::xlsx::Package pkg;
        if (!pkg.open(QByteArray())) return 0;
        for (int i = 0; i < 6 && i < parts.size(); ++i)
            pkg.put(QString::fromLatin1(names[i]), parts[i]);
        if (!pkg.finish(&package)) return 0;
    }
    pelmar::ExcelWorkbook book;
    if (!book.OpenPackage(package)) return 0;
    book.ExcelWriteFormattedRow({{QStringLiteral("00A1B2C3"), pelmar::kXlFmtText},
                                 {QStringLiteral("2026/12/07 08:30:05"), pelmar::kXlFmtDateTime}});
    book.ExcelFinish();
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    book.WritePackage(out);
    return 0;
}

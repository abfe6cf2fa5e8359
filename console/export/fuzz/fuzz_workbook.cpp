// Feeds hostile workbooks to the writer: opening one, adding a sheet and writing the package
// must never crash, whatever the zip archive and its XML parts hold.
// Input: a first byte "Z" and then a whole package; or else the parts of a package
// ([Content_Types].xml, _rels/.rels, xl/workbook.xml, xl/_rels/workbook.xml.rels,
// xl/styles.xml, docProps/app.xml) separated by 0x1F, which the harness zips up itself so
// that the mutations reach the XML rather than break the compressed data. It stores them
// uncompressed: setting up a deflate stream per part took most of each run.
#include <pelexport/Workbook.h>

#include <QBuffer>
#include <QByteArray>
#include <QList>
#include <array>
#include <cstdint>

namespace {

quint32 Crc32(const QByteArray& b) {
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    quint32 c = 0xFFFFFFFFu;
    for (char ch : b)
        c = table[(c ^ quint8(ch)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void Le(QByteArray& out, quint32 v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += char((v >> (8 * i)) & 0xFF);
}

// A zip archive of stored (uncompressed) entries.
QByteArray StoredZip(const QList<QByteArray>& names, const QList<QByteArray>& parts) {
    QByteArray zip, dir;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const quint32 crc = Crc32(parts[i]), size = quint32(parts[i].size());
        const quint32 offset = quint32(zip.size());
        Le(zip, 0x04034b50, 4); // local header: version, flags, method 0, time, date
        Le(zip, 20, 2), Le(zip, 0, 2), Le(zip, 0, 2), Le(zip, 0, 2), Le(zip, 0x21, 2);
        Le(zip, crc, 4), Le(zip, size, 4), Le(zip, size, 4);
        Le(zip, quint32(names[i].size()), 2), Le(zip, 0, 2);
        zip += names[i];
        zip += parts[i];
        Le(dir, 0x02014b50, 4); // central directory entry
        Le(dir, 20, 2), Le(dir, 20, 2), Le(dir, 0, 2), Le(dir, 0, 2), Le(dir, 0, 2);
        Le(dir, 0x21, 2), Le(dir, crc, 4), Le(dir, size, 4), Le(dir, size, 4);
        Le(dir, quint32(names[i].size()), 2), Le(dir, 0, 2), Le(dir, 0, 2), Le(dir, 0, 2);
        Le(dir, 0, 2), Le(dir, 0, 4), Le(dir, offset, 4);
        dir += names[i];
    }
    const quint32 dirOffset = quint32(zip.size());
    zip += dir;
    Le(zip, 0x06054b50, 4), Le(zip, 0, 2), Le(zip, 0, 2);
    Le(zip, quint32(parts.size()), 2), Le(zip, quint32(parts.size()), 2);
    Le(zip, quint32(dir.size()), 4), Le(zip, dirOffset, 4), Le(zip, 0, 2);
    return zip;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    QByteArray in(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QByteArray package;
    if (in.front() == 'Z') {
        package = in.mid(1);
    } else {
        static const QList<QByteArray> names = {"[Content_Types].xml", "_rels/.rels",
                                                "xl/workbook.xml",     "xl/_rels/workbook.xml.rels",
                                                "xl/styles.xml",       "docProps/app.xml"};
        const QList<QByteArray> parts = in.split('\x1f').mid(0, 6);
        package = StoredZip(names.mid(0, parts.size()), parts);
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

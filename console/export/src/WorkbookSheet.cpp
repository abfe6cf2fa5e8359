// The new sheet's worksheet part: dimension, column widths and the cells as inline strings or
// numbers with their style index.
#include "WorkbookParts.h"

#include <algorithm>
#include <cctype>

namespace pelmar::workbook {

namespace {

QString ColumnName(int col) { // 1 -> A
    QString s;
    for (int c = col; c > 0; c = (c - 1) / 26)
        s.prepend(QChar('A' + (c - 1) % 26));
    return s;
}

bool IsXmlChar(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Escapes text for a cell: markup characters as entities; characters XML cannot hold as
// _xHHHH_ (and a literal "_x" that looks like such an escape gets its "_" escaped).
void AppendCellText(QByteArray& out, const QString& s) {
    QString e;
    e.reserve(s.size() + 8);
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (c == QLatin1Char('&')) {
            e += QLatin1String("&amp;");
        } else if (c == QLatin1Char('<')) {
            e += QLatin1String("&lt;");
        } else if (c == QLatin1Char('>')) {
            e += QLatin1String("&gt;");
        } else if (c == QLatin1Char('_') && i + 6 < s.size() && s[i + 1] == QLatin1Char('x') &&
                   s[i + 6] == QLatin1Char('_')) {
            bool hex = true;
            for (int k = 2; k < 6; ++k)
                if (!isxdigit(s[i + k].toLatin1())) hex = false;
            e += hex ? QLatin1String("_x005F_") : QLatin1String("_");
        } else if (c.isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
            e += c;
            e += s[++i];
        } else if (c.isSurrogate() || !IsXmlChar(c.unicode())) {
            e += QStringLiteral("_x%1_")
                     .arg(c.unicode(), 4, 16, QLatin1Char('0'))
                     .toUpper()
                     .replace(QLatin1String("_X"), QLatin1String("_x"));
        } else {
            e += c;
        }
    }
    out += e.toUtf8();
}

} // namespace

QByteArray SheetXml(const std::vector<std::vector<XCell>>& rows, const std::vector<int>& widths,
                    const int styleOf[XfCount]) {
    QByteArray x;
    x.reserve(static_cast<qsizetype>(rows.size()) * 200 + 1024);
    x += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<worksheet xmlns=\"";
    x += kNsMain;
    x += "\" xmlns:r=\"";
    x += kNsRel;
    x += "\">";
    size_t lastCol = 0;
    for (const auto& r : rows)
        lastCol = std::max(lastCol, r.size());
    x += "<dimension ref=\"A1";
    if (!rows.empty() && lastCol > 0) {
        x += ':';
        x += ColumnName(static_cast<int>(lastCol)).toLatin1();
        x += QByteArray::number(static_cast<qsizetype>(rows.size()));
    }
    x += "\"/><sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>"
         "<sheetFormatPr defaultRowHeight=\"15\"/>";
    bool anyWidth = false;
    for (int w : widths)
        anyWidth = anyWidth || w > 0;
    if (anyWidth) {
        x += "<cols>";
        for (size_t c = 0; c < widths.size(); ++c) {
            if (widths[c] <= 0) continue;
            const QByteArray n = QByteArray::number(static_cast<qsizetype>(c + 1));
            const double width = std::min(255.0, widths[c] + 2.7109375);
            x += "<col min=\"" + n + "\" max=\"" + n + "\" width=\"" +
                 QByteArray::number(width, 'g', 10) + "\" bestFit=\"1\" customWidth=\"1\"/>";
        }
        x += "</cols>";
    }
    std::vector<QByteArray> colNames(lastCol);
    for (size_t c = 0; c < lastCol; ++c)
        colNames[c] = ColumnName(static_cast<int>(c + 1)).toLatin1();
    x += "<sheetData>";
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        bool any = false;
        for (const XCell& c : r)
            any = any || c.isSet;
        if (!any) continue;
        const QByteArray rn = QByteArray::number(static_cast<qsizetype>(i + 1));
        x += "<row r=\"" + rn + "\">";
        for (size_t c = 0; c < r.size(); ++c) {
            const XCell& cell = r[c];
            if (!cell.isSet) continue;
            x += "<c r=\"" + colNames[c] + rn + "\"";
            if (styleOf[cell.fmt] != 0) x += " s=\"" + QByteArray::number(styleOf[cell.fmt]) + "\"";
            if (cell.isNumber) {
                x += "><v>" + QByteArray::number(cell.number, 'g', 17) + "</v></c>";
            } else {
                const bool keepBlanks = !cell.text.isEmpty() &&
                                        (cell.text.front().isSpace() || cell.text.back().isSpace());
                x += keepBlanks ? " t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                                : " t=\"inlineStr\"><is><t>";
                AppendCellText(x, cell.text);
                x += "</t></is></c>";
            }
        }
        x += "</row>";
    }
    x += "</sheetData><pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" "
         "header=\"0.3\" footer=\"0.3\"/></worksheet>";
    return x;
}

} // namespace pelmar::workbook

#include "pelexport/Workbook.h"

#include "XlsxPackage.h"
#include "pelexport/FmtData.h"
#include "pelexport/RecordWriter.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QSet>
#include <algorithm>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <vector>

namespace pelmar {

namespace {

const char* const kNsMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const char* const kNsRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const char* const kRelOfficeDoc =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
const char* const kRelWorksheet =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";
const char* const kRelStyles =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";
const char* const kCtWorksheet =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
const char* const kCtStyles =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml";

// Existing workbook files above this size are not read into memory.
constexpr qint64 kMaxWorkbookBytes = 1024ll * 1024 * 1024;

// Cell number formats of this writer; the style index of each is settled when saving.
enum Fmt { XfGeneral = 0, XfText, XfDate, XfTime, XfDateTime, XfDateWeek, XfDateTimeWeek, XfCount };

struct XCell {
    bool isNumber = false;
    bool isSet = false;
    QString text;
    double number = 0;
    Fmt fmt = XfGeneral;
    int shownLength = 0; // characters the cell shows, for the column widths
};

// ---- small libxml2 helpers -------------------------------------------------------------

struct XmlDoc {
    xmlDocPtr doc = nullptr;
    XmlDoc() = default;
    explicit XmlDoc(const QByteArray& bytes) {
        // No network, no entity expansion: parts of a workbook are data, not programs.
        doc = xmlReadMemory(bytes.constData(), static_cast<int>(bytes.size()), "part.xml", nullptr,
                            XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    }
    ~XmlDoc() {
        if (doc) xmlFreeDoc(doc);
    }
    XmlDoc(const XmlDoc&) = delete;
    XmlDoc& operator=(const XmlDoc&) = delete;
    xmlNodePtr root() const { return doc ? xmlDocGetRootElement(doc) : nullptr; }
    QByteArray bytes() const {
        xmlChar* mem = nullptr;
        int size = 0;
        xmlDocDumpMemoryEnc(doc, &mem, &size, "UTF-8");
        QByteArray out(reinterpret_cast<const char*>(mem), size);
        xmlFree(mem);
        return out;
    }
};

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

bool Is(xmlNodePtr n, const char* localName) {
    return n && n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, X(localName));
}

std::vector<xmlNodePtr> Children(xmlNodePtr parent, const char* localName) {
    std::vector<xmlNodePtr> out;
    if (!parent) return out;
    for (xmlNodePtr n = parent->children; n; n = n->next)
        if (Is(n, localName)) out.push_back(n);
    return out;
}

xmlNodePtr Child(xmlNodePtr parent, const char* localName) {
    auto all = Children(parent, localName);
    return all.empty() ? nullptr : all.front();
}

QString Attr(xmlNodePtr n, const char* name) {
    xmlChar* v = xmlGetProp(n, X(name));
    if (!v) return QString();
    QString s = QString::fromUtf8(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

void SetAttr(xmlNodePtr n, const char* name, const QString& value) {
    xmlSetProp(n, X(name), X(value.toUtf8().constData()));
}

// A new element in its parent's namespace, appended after the last child.
xmlNodePtr Append(xmlNodePtr parent, const char* localName) {
    return xmlNewChild(parent, parent->ns, X(localName), nullptr);
}

QString PartDir(const QString& part) {
    const qsizetype slash = part.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : part.left(slash + 1);
}

QString RelsPathOf(const QString& part) {
    const qsizetype slash = part.lastIndexOf(QLatin1Char('/'));
    return PartDir(part) + QLatin1String("_rels/") + part.mid(slash + 1) + QLatin1String(".rels");
}

// Resolves a relationship target against the folder of its source part.
QString ResolveTarget(const QString& sourceDir, const QString& target) {
    QString path = target.startsWith(QLatin1Char('/')) ? target.mid(1) : sourceDir + target;
    QStringList out;
    for (const QString& seg : path.split(QLatin1Char('/'))) {
        if (seg == QLatin1String("..")) {
            if (!out.isEmpty()) out.removeLast();
        } else if (!seg.isEmpty() && seg != QLatin1String(".")) {
            out << seg;
        }
    }
    return out.join(QLatin1Char('/'));
}

// ---- text of the new sheet ---------------------------------------------------------------

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

double DateSerial(const QDate& d, const QTime& t, bool date1904) {
    const QDate base = date1904 ? QDate(1904, 1, 1) : QDate(1899, 12, 30);
    double days = d.isValid() ? static_cast<double>(base.daysTo(d)) : 0.0;
    if (t.isValid()) days += (t.hour() * 3600 + t.minute() * 60 + t.second()) / 86400.0;
    return days;
}

// A table date "YYYY/MM/DD" (withTime: "YYYY/MM/DD hh:mm:ss") followed by a blank and the
// weekday the reader recorded. Taken as a date only when that weekday is the date's own in the
// program's language or in English: a weekday that disagrees (a reader clock set wrong, or
// "Error") is kept as it was shown, as text.
bool ParseWeekdayDate(const QString& value, bool withTime, FmtDateTime* out) {
    const QString s = value.trimmed();
    const qsizetype stampLength = withTime ? 19 : 10;
    if (s.size() < stampLength + 2 || s[stampLength] != QLatin1Char(' ')) return false;
    FmtDateTime dt;
    if (!ParseRecordDateTime(s.left(stampLength), &dt) || !dt.bHasDate || dt.bHasTime != withTime)
        return false;
    const QString weekday = s.mid(stampLength + 1).trimmed();
    const int day = QDate(dt.year, dt.month, dt.day).dayOfWeek();
    if (weekday.compare(QLocale().dayName(day, QLocale::ShortFormat), Qt::CaseInsensitive) != 0 &&
        weekday.compare(QLocale::c().dayName(day, QLocale::ShortFormat), Qt::CaseInsensitive) != 0)
        return false;
    *out = dt;
    return true;
}

const char* FormatCode(Fmt f) {
    switch (f) {
    case XfText:
        return kXlFmtText;
    case XfDate:
        return kXlFmtDate;
    case XfTime:
        return kXlFmtTime;
    case XfDateTime:
        return kXlFmtDateTime;
    case XfDateWeek:
        return kXlFmtDateWeek;
    case XfDateTimeWeek:
        return kXlFmtDateTimeWeek;
    default:
        return "General";
    }
}

const char* const kNewContentTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Override PartName=\"/xl/workbook.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
    "<Override PartName=\"/xl/styles.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
    "</Types>";
const char* const kNewRootRels =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"xl/workbook.xml\"/></Relationships>";
const char* const kNewWorkbook =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
    "<bookViews><workbookView/></bookViews><sheets></sheets></workbook>";
const char* const kNewWorkbookRels =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
    "Target=\"styles.xml\"/></Relationships>";
const char* const kNewStyles =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/><family val=\"2\"/></font>"
    "</fonts><fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill><fill>"
    "<patternFill patternType=\"gray125\"/></fill></fills><borders count=\"1\"><border><left/>"
    "<right/><top/><bottom/><diagonal/></border></borders><cellStyleXfs count=\"1\"><xf "
    "numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs><cellXfs "
    "count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
    "</cellXfs><cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/>"
    "</cellStyles></styleSheet>";

} // namespace

bool ExcelAvailable() {
    return true;
}

struct ExcelWorkbook::Impl {
    QString fileName;
    QString error;
    QByteArray package; // the existing package, or empty for a new workbook
    bool opened = false;
    bool date1904 = false;
    QString sheetName;
    std::vector<std::vector<XCell>> rows;
    int nextRow = 1;
    std::vector<int> widths; // characters per column

    bool fail(const QString& e) {
        error = e;
        return false;
    }

    void setCell(int row, int col, XCell cell) {
        if (static_cast<int>(rows.size()) < row) rows.resize(row);
        auto& r = rows[row - 1];
        if (static_cast<int>(r.size()) < col) r.resize(col);
        r[col - 1] = std::move(cell);
    }

    // Rows whose first three cells hold something (after trimming) are never overwritten.
    void skipUsedRows() {
        while (nextRow <= static_cast<int>(rows.size())) {
            const auto& r = rows[nextRow - 1];
            bool blank = true;
            for (size_t c = 0; c < std::min<size_t>(3, r.size()); ++c)
                if (r[c].isSet && (r[c].isNumber || !r[c].text.trimmed().isEmpty())) blank = false;
            if (blank) break;
            ++nextRow;
        }
    }

    bool build(QByteArray* out);
    QByteArray sheetXml(const int styleOf[XfCount]) const;
    bool addStyles(QByteArray* stylesBytes, int styleOf[XfCount]);
};

ExcelWorkbook::ExcelWorkbook() : d(std::make_unique<Impl>()) {}
ExcelWorkbook::~ExcelWorkbook() = default;

QString ExcelWorkbook::errorString() const {
    return d->error;
}
QString ExcelWorkbook::sheetName() const {
    return d->sheetName;
}
int ExcelWorkbook::rowCount() const {
    return static_cast<int>(d->rows.size());
}

bool ExcelWorkbook::ExcelOpen(const QString& szFileName, const QString& szSheetName) {
    d->fileName = szFileName;
    QByteArray bytes;
    QFileInfo fi(szFileName);
    if (fi.exists()) {
        if (!fi.isFile()) return d->fail(QString::fromLatin1(kInUseMessage));
        if (fi.size() > kMaxWorkbookBytes)
            return d->fail(QStringLiteral("The workbook is too large to add a sheet to."));
        QFile f(szFileName);
        if (!f.open(QIODevice::ReadOnly)) return d->fail(QString::fromLatin1(kInUseMessage));
        bytes = f.readAll();
        if (bytes.isEmpty() && fi.size() > 0) return d->fail(QString::fromLatin1(kInUseMessage));
    }
    return OpenPackage(bytes, szSheetName);
}

bool ExcelWorkbook::OpenPackage(const QByteArray& package, const QString& szSheetName) {
    const QString fileName = d->fileName;
    d = std::make_unique<Impl>();
    d->fileName = fileName;
    d->package = package;
    QStringList taken;
    if (!package.isEmpty()) {
        const QString notBook =
            QStringLiteral("The file is not a workbook this program can add a sheet to; "
                           "please use other file name and save again!");
        xlsx::Package pkg;
        if (!pkg.open(package)) return d->fail(notBook);
        QByteArray rootRels, wbBytes;
        if (!pkg.read(QStringLiteral("_rels/.rels"), &rootRels)) return d->fail(notBook);
        XmlDoc rels(rootRels);
        QString wbPath;
        for (xmlNodePtr n : Children(rels.root(), "Relationship"))
            if (Attr(n, "Type") == QLatin1String(kRelOfficeDoc))
                wbPath = ResolveTarget(QString(), Attr(n, "Target"));
        if (wbPath.isEmpty() || !pkg.read(wbPath, &wbBytes)) return d->fail(notBook);
        XmlDoc wb(wbBytes);
        if (!Is(wb.root(), "workbook") || !Child(wb.root(), "sheets")) return d->fail(notBook);
        for (xmlNodePtr s : Children(Child(wb.root(), "sheets"), "sheet"))
            taken << Attr(s, "name").toUpper();
        const QString d1904 = Attr(Child(wb.root(), "workbookPr"), "date1904");
        d->date1904 = d1904 == QLatin1String("1") || d1904 == QLatin1String("true");
    }
    // The new sheet's name: sheet names are unique regardless of case, at most 31 characters
    // and without []:*?/\ .
    QString name;
    if (szSheetName.trimmed().isEmpty()) {
        for (int n = static_cast<int>(taken.size()) + 1;; ++n) {
            name = QStringLiteral("Sheet%1").arg(n);
            if (!taken.contains(name.toUpper())) break;
        }
    } else {
        QString base = szSheetName.trimmed();
        for (QChar& c : base)
            if (QStringLiteral("[]:*?/\\").contains(c) || c.unicode() < 0x20) c = QLatin1Char('_');
        base.truncate(31);
        name = base;
        for (int n = 2; taken.contains(name.toUpper()); ++n) {
            const QString suffix = QStringLiteral(" (%1)").arg(n);
            name = base.left(31 - suffix.size()) + suffix;
        }
    }
    d->sheetName = name;
    d->opened = true;
    return true;
}

void ExcelWorkbook::ExcelWriteRow(const QList<QVariant>& values) {
    if (!d->opened) return;
    d->skipUsedRows();
    int col = 1;
    for (const QVariant& v : values) {
        XCell cell;
        const int type = v.typeId();
        if (type == QMetaType::QDateTime || type == QMetaType::QDate || type == QMetaType::QTime) {
            const QDate date = type == QMetaType::QDateTime ? v.toDateTime().date()
                               : type == QMetaType::QDate   ? v.toDate()
                                                            : QDate();
            const QTime time = type == QMetaType::QDateTime ? v.toDateTime().time()
                               : type == QMetaType::QTime   ? v.toTime()
                                                            : QTime();
            cell.isSet = true;
            cell.isNumber = true;
            cell.number = DateSerial(date, time, d->date1904);
            cell.fmt = type == QMetaType::QDate   ? XfDate
                       : type == QMetaType::QTime ? XfTime
                                                  : XfDateTime;
            cell.shownLength = static_cast<int>(strlen(FormatCode(cell.fmt)));
        } else if (!v.isNull()) {
            cell.text = v.toString();
            cell.isSet = !cell.text.isEmpty();
            cell.shownLength = static_cast<int>(cell.text.size());
        }
        if (cell.isSet) d->setCell(d->nextRow, col, std::move(cell));
        ++col;
    }
    if (static_cast<int>(d->rows.size()) < d->nextRow) d->rows.resize(d->nextRow);
    ++d->nextRow;
}

void ExcelWorkbook::ExcelWriteFormattedRow(const QList<std::pair<QString, QString>>& pairs) {
    if (!d->opened) return;
    d->skipUsedRows();
    int col = 1;
    for (const auto& [value, format] : pairs) {
        XCell cell;
        cell.fmt = format == QLatin1String(kXlFmtText)           ? XfText
                   : format == QLatin1String(kXlFmtDate)         ? XfDate
                   : format == QLatin1String(kXlFmtTime)         ? XfTime
                   : format == QLatin1String(kXlFmtDateTime)     ? XfDateTime
                   : format == QLatin1String(kXlFmtDateWeek)     ? XfDateWeek
                   : format == QLatin1String(kXlFmtDateTimeWeek) ? XfDateTimeWeek
                                                                 : XfGeneral;
        FmtDateTime dt;
        const bool week = cell.fmt == XfDateWeek || cell.fmt == XfDateTimeWeek;
        const bool wantDate = cell.fmt == XfDate || cell.fmt == XfTime || cell.fmt == XfDateTime;
        if ((wantDate && ParseRecordDateTime(value, &dt) &&
             value.trimmed().size() == (dt.bHasDate && dt.bHasTime ? 19
                                        : dt.bHasDate              ? 10
                                                                   : 8)) ||
            (week && ParseWeekdayDate(value, cell.fmt == XfDateTimeWeek, &dt))) {
            cell.isNumber = true;
            cell.number = DateSerial(dt.bHasDate ? QDate(dt.year, dt.month, dt.day) : QDate(),
                                     dt.bHasTime ? QTime(dt.hour, dt.minute, dt.second) : QTime(),
                                     d->date1904);
            cell.shownLength = static_cast<int>(strlen(FormatCode(cell.fmt)));
            cell.isSet = true;
        } else {
            cell.text = value;
            cell.isSet = !value.isEmpty();
            cell.shownLength = static_cast<int>(value.size());
        }
        if (cell.isSet) d->setCell(d->nextRow, col, std::move(cell));
        ++col;
    }
    if (static_cast<int>(d->rows.size()) < d->nextRow) d->rows.resize(d->nextRow);
    ++d->nextRow;
}

void ExcelWorkbook::ExcelFinish() {
    d->widths.clear();
    for (const auto& r : d->rows) {
        if (d->widths.size() < r.size()) d->widths.resize(r.size(), 0);
        for (size_t c = 0; c < r.size(); ++c)
            if (r[c].isSet) d->widths[c] = std::max(d->widths[c], r[c].shownLength);
    }
}

void ExcelWorkbook::ExcelClose() {
    const QString fileName = d->fileName;
    d = std::make_unique<Impl>();
    d->fileName = fileName;
}

QByteArray ExcelWorkbook::Impl::sheetXml(const int styleOf[XfCount]) const {
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

// Adds the number formats and cell formats the new sheet needs to a styles part, leaving
// every existing entry (and so every index the other sheets use) where it was.
bool ExcelWorkbook::Impl::addStyles(QByteArray* stylesBytes, int styleOf[XfCount]) {
    XmlDoc doc(*stylesBytes);
    xmlNodePtr root = doc.root();
    if (!Is(root, "styleSheet"))
        return fail(QStringLiteral("The workbook's styles cannot be read."));

    // Element order inside styleSheet is fixed; new containers go before the first later one.
    auto insertContainer = [&](const char* name, std::initializer_list<const char*> later) {
        for (xmlNodePtr n = root->children; n; n = n->next)
            for (const char* l : later)
                if (Is(n, l)) {
                    xmlNodePtr c = xmlNewDocNode(doc.doc, root->ns, X(name), nullptr);
                    return xmlAddPrevSibling(n, c);
                }
        return Append(root, name);
    };
    xmlNodePtr numFmts = Child(root, "numFmts");
    if (!numFmts)
        numFmts =
            insertContainer("numFmts", {"fonts", "fills", "borders", "cellStyleXfs", "cellXfs",
                                        "cellStyles", "dxfs", "tableStyles", "colors", "extLst"});
    int maxId = 163;
    for (xmlNodePtr f : Children(numFmts, "numFmt"))
        maxId = std::max(maxId, Attr(f, "numFmtId").toInt());
    int fmtId[XfCount] = {0, 49, 0, 0, 0, 0, 0};
    for (Fmt f : {XfDate, XfTime, XfDateTime, XfDateWeek, XfDateTimeWeek}) {
        const QString code = QString::fromLatin1(FormatCode(f));
        for (xmlNodePtr n : Children(numFmts, "numFmt"))
            if (Attr(n, "formatCode") == code) fmtId[f] = Attr(n, "numFmtId").toInt();
        if (fmtId[f] == 0) {
            fmtId[f] = ++maxId;
            xmlNodePtr n = Append(numFmts, "numFmt");
            SetAttr(n, "numFmtId", QString::number(fmtId[f]));
            SetAttr(n, "formatCode", code);
        }
    }
    SetAttr(numFmts, "count", QString::number(Children(numFmts, "numFmt").size()));

    xmlNodePtr cellXfs = Child(root, "cellXfs");
    if (!cellXfs)
        cellXfs =
            insertContainer("cellXfs", {"cellStyles", "dxfs", "tableStyles", "colors", "extLst"});
    auto xfs = Children(cellXfs, "xf");
    if (xfs.empty()) {
        xmlNodePtr n = Append(cellXfs, "xf");
        for (const char* a : {"numFmtId", "fontId", "fillId", "borderId", "xfId"})
            SetAttr(n, a, QStringLiteral("0"));
        xfs.push_back(n);
    }
    auto zeroOrAbsent = [](xmlNodePtr n, const char* a) {
        const QString v = Attr(n, a);
        return v.isEmpty() || v == QLatin1String("0");
    };
    styleOf[XfGeneral] = 0;
    for (Fmt f : {XfText, XfDate, XfTime, XfDateTime, XfDateWeek, XfDateTimeWeek}) {
        styleOf[f] = -1;
        for (size_t i = 0; i < xfs.size(); ++i) {
            xmlNodePtr n = xfs[i];
            if (Attr(n, "numFmtId").toInt() == fmtId[f] && zeroOrAbsent(n, "fontId") &&
                zeroOrAbsent(n, "fillId") && zeroOrAbsent(n, "borderId") &&
                !xmlFirstElementChild(n)) {
                styleOf[f] = static_cast<int>(i);
                break;
            }
        }
        if (styleOf[f] < 0) {
            xmlNodePtr n = Append(cellXfs, "xf");
            SetAttr(n, "numFmtId", QString::number(fmtId[f]));
            for (const char* a : {"fontId", "fillId", "borderId", "xfId"})
                SetAttr(n, a, QStringLiteral("0"));
            SetAttr(n, "applyNumberFormat", QStringLiteral("1"));
            styleOf[f] = static_cast<int>(xfs.size());
            xfs.push_back(n);
        }
    }
    SetAttr(cellXfs, "count", QString::number(xfs.size()));
    *stylesBytes = doc.bytes();
    return true;
}

bool ExcelWorkbook::Impl::build(QByteArray* out) {
    xlsx::Package pkg;
    const bool isNew = package.isEmpty();
    if (!pkg.open(package))
        return fail(QStringLiteral("The workbook cannot be read: ") + pkg.error());
    // A new workbook starts from a small package without sheets and then takes the same
    // road as an existing one.
    if (isNew && !pkg.put(QStringLiteral("_rels/.rels"), kNewRootRels))
        return fail(QStringLiteral("The workbook could not be made: ") + pkg.error());
    const QString broken =
        QStringLiteral("The workbook cannot be read: a part is missing or damaged.");
    auto readPart = [&](const QString& name, QByteArray* bytes) {
        if (isNew) {
            if (name == QLatin1String("[Content_Types].xml"))
                *bytes = kNewContentTypes;
            else if (name == QLatin1String("_rels/.rels"))
                *bytes = kNewRootRels;
            else if (name == QLatin1String("xl/workbook.xml"))
                *bytes = kNewWorkbook;
            else if (name == QLatin1String("xl/_rels/workbook.xml.rels"))
                *bytes = kNewWorkbookRels;
            else if (name == QLatin1String("xl/styles.xml"))
                *bytes = kNewStyles;
            else
                return false;
            return true;
        }
        return pkg.read(name, bytes);
    };

    QByteArray ctBytes, rootRelsBytes, wbBytes, wbRelsBytes;
    if (!readPart(QStringLiteral("[Content_Types].xml"), &ctBytes) ||
        !readPart(QStringLiteral("_rels/.rels"), &rootRelsBytes))
        return fail(broken);
    XmlDoc rootRels(rootRelsBytes);
    QString wbPath;
    for (xmlNodePtr n : Children(rootRels.root(), "Relationship"))
        if (Attr(n, "Type") == QLatin1String(kRelOfficeDoc))
            wbPath = ResolveTarget(QString(), Attr(n, "Target"));
    if (wbPath.isEmpty() || !readPart(wbPath, &wbBytes)) return fail(broken);
    const QString wbDir = PartDir(wbPath);
    const QString wbRelsPath = RelsPathOf(wbPath);
    if (!readPart(wbRelsPath, &wbRelsBytes)) {
        wbRelsBytes = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                      "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                      "relationships\"></Relationships>";
    }
    XmlDoc ct(ctBytes), wb(wbBytes), wbRels(wbRelsBytes);
    xmlNodePtr sheets = Child(wb.root(), "sheets");
    if (!Is(ct.root(), "Types") || !sheets || !Is(wbRels.root(), "Relationships"))
        return fail(broken);

    // A relationship id and a part name nobody uses yet.
    QSet<QString> ids;
    for (xmlNodePtr n : Children(wbRels.root(), "Relationship"))
        ids.insert(Attr(n, "Id"));
    auto newRelId = [&]() {
        for (int i = static_cast<int>(ids.size()) + 1;; ++i) {
            const QString id = QStringLiteral("rId%1").arg(i);
            if (!ids.contains(id)) {
                ids.insert(id);
                return id;
            }
        }
    };
    auto addOverride = [&](const QString& part, const char* type) {
        const QString partName = QLatin1Char('/') + part;
        for (xmlNodePtr n : Children(ct.root(), "Override"))
            if (Attr(n, "PartName").compare(partName, Qt::CaseInsensitive) == 0) return;
        xmlNodePtr o = Append(ct.root(), "Override");
        SetAttr(o, "PartName", partName);
        SetAttr(o, "ContentType", QString::fromLatin1(type));
    };
    auto addRel = [&](const char* type, const QString& target) {
        const QString id = newRelId();
        xmlNodePtr r = Append(wbRels.root(), "Relationship");
        SetAttr(r, "Id", id);
        SetAttr(r, "Type", QString::fromLatin1(type));
        SetAttr(r, "Target", target);
        return id;
    };

    // Styles: the workbook's own part, or a new one when it has none.
    QString stylesPath;
    for (xmlNodePtr n : Children(wbRels.root(), "Relationship"))
        if (Attr(n, "Type") == QLatin1String(kRelStyles))
            stylesPath = ResolveTarget(wbDir, Attr(n, "Target"));
    QByteArray stylesBytes;
    if (stylesPath.isEmpty() || !readPart(stylesPath, &stylesBytes)) {
        if (stylesPath.isEmpty()) {
            stylesPath = wbDir + QLatin1String("styles.xml");
            for (int i = 2; pkg.has(stylesPath); ++i)
                stylesPath = wbDir + QStringLiteral("styles%1.xml").arg(i);
            addRel(kRelStyles, stylesPath.mid(wbDir.size()));
        }
        stylesBytes = kNewStyles;
        addOverride(stylesPath, kCtStyles);
    }
    int styleOf[XfCount];
    if (!addStyles(&stylesBytes, styleOf)) return false;

    // The new worksheet part, its relationship, content type and entry in the workbook.
    QString sheetPath;
    for (int i = 1;; ++i) {
        sheetPath = wbDir + QStringLiteral("worksheets/sheet%1.xml").arg(i);
        if (!pkg.has(sheetPath)) break;
    }
    const QString relId = addRel(kRelWorksheet, sheetPath.mid(wbDir.size()));
    addOverride(sheetPath, kCtWorksheet);
    int maxSheetId = 0;
    for (xmlNodePtr s : Children(sheets, "sheet"))
        maxSheetId = std::max(maxSheetId, Attr(s, "sheetId").toInt());
    xmlNodePtr sheet = Append(sheets, "sheet");
    SetAttr(sheet, "name", sheetName);
    SetAttr(sheet, "sheetId", QString::number(maxSheetId + 1));
    xmlNsPtr relNs = xmlSearchNsByHref(wb.doc, wb.root(), X(kNsRel));
    if (!relNs) {
        QByteArray prefix = "r";
        for (int i = 1; xmlSearchNs(wb.doc, wb.root(), X(prefix.constData())); ++i)
            prefix = "r" + QByteArray::number(i);
        relNs = xmlNewNs(wb.root(), X(kNsRel), X(prefix.constData()));
    }
    xmlNewNsProp(sheet, relNs, X("id"), X(relId.toUtf8().constData()));

    // docProps/app.xml lists the sheet names; keep it in step when it does.
    QByteArray appBytes;
    QString appPath;
    for (xmlNodePtr n : Children(rootRels.root(), "Relationship"))
        if (Attr(n, "Type").endsWith(QLatin1String("/extended-properties")))
            appPath = ResolveTarget(QString(), Attr(n, "Target"));
    if (!isNew && !appPath.isEmpty() && pkg.read(appPath, &appBytes)) {
        XmlDoc app(appBytes);
        xmlNodePtr pairs = Child(Child(app.root(), "HeadingPairs"), "vector");
        xmlNodePtr titles = Child(Child(app.root(), "TitlesOfParts"), "vector");
        if (pairs && titles) {
            auto variants = Children(pairs, "variant");
            int before = 0;
            xmlNodePtr countNode = nullptr;
            for (size_t i = 0; i + 1 < variants.size(); i += 2) {
                xmlNodePtr nameNode = Child(variants[i], "lpstr");
                xmlNodePtr numNode = xmlFirstElementChild(variants[i + 1]);
                if (!nameNode || !numNode) break;
                xmlChar* txt = xmlNodeGetContent(numNode);
                const int count = QString::fromUtf8(reinterpret_cast<const char*>(txt)).toInt();
                xmlFree(txt);
                xmlChar* nm = xmlNodeGetContent(nameNode);
                const bool isSheets =
                    QString::fromUtf8(reinterpret_cast<const char*>(nm))
                        .compare(QLatin1String("Worksheets"), Qt::CaseInsensitive) == 0;
                xmlFree(nm);
                before += count;
                if (isSheets) {
                    countNode = numNode;
                    break;
                }
            }
            auto titleNodes = Children(titles, "lpstr");
            if (countNode && before <= static_cast<int>(titleNodes.size())) {
                xmlChar* txt = xmlNodeGetContent(countNode);
                const int count = QString::fromUtf8(reinterpret_cast<const char*>(txt)).toInt();
                xmlFree(txt);
                xmlNodeSetContent(countNode, X(QByteArray::number(count + 1).constData()));
                xmlNodePtr t = xmlNewDocNode(app.doc, titles->ns, X("lpstr"), nullptr);
                xmlNodeAddContent(t, X(sheetName.toUtf8().constData()));
                if (before < static_cast<int>(titleNodes.size()))
                    xmlAddPrevSibling(titleNodes[before], t);
                else
                    xmlAddChild(titles, t);
                SetAttr(titles, "size", QString::number(titleNodes.size() + 1));
                pkg.put(appPath, app.bytes());
            }
        }
    }

    const bool ok = pkg.put(sheetPath, sheetXml(styleOf)) && pkg.put(stylesPath, stylesBytes) &&
                    pkg.put(wbPath, wb.bytes()) && pkg.put(wbRelsPath, wbRels.bytes()) &&
                    pkg.put(QStringLiteral("[Content_Types].xml"), ct.bytes());
    if (!ok || !pkg.finish(out))
        return fail(QStringLiteral("The workbook could not be made: ") + pkg.error());
    return true;
}

bool ExcelWorkbook::WritePackage(QIODevice& out) {
    if (!d->opened) return d->fail(QStringLiteral("No workbook is open."));
    QByteArray bytes;
    if (!d->build(&bytes)) return false;
    if (out.write(bytes) != bytes.size())
        return d->fail(QStringLiteral("The file could not be written (%1); it was left as it was "
                                      "before the save.")
                           .arg(out.errorString()));
    return true;
}

bool ExcelWorkbook::ExcelSave(const QString& szFileName,
                              const std::function<std::unique_ptr<QIODevice>(QIODevice*)>& wrap) {
    const QString name = szFileName.isEmpty() ? d->fileName : szFileName;
    if (!d->opened) return d->fail(QStringLiteral("No workbook is open."));
    QByteArray bytes;
    if (!d->build(&bytes)) return false;
    // The workbook goes to a temporary file beside the target and replaces it only once
    // complete, so a failure leaves the user's file as it was.
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly)) return d->fail(QString::fromLatin1(kInUseMessage));
    std::unique_ptr<QIODevice> wrapped = wrap ? wrap(&file) : nullptr;
    if (wrapped && !wrapped->isOpen()) wrapped->open(QIODevice::WriteOnly);
    QIODevice* dev = wrapped ? wrapped.get() : static_cast<QIODevice*>(&file);
    // Written in pieces so that a short write shows up as soon as it happens.
    constexpr qsizetype kChunk = 64 * 1024;
    for (qsizetype at = 0; at < bytes.size(); at += kChunk) {
        const qsizetype n = std::min(kChunk, bytes.size() - at);
        if (dev->write(bytes.constData() + at, n) != n) {
            const QString reason = dev->errorString();
            file.cancelWriting();
            return d->fail(QStringLiteral("The file could not be written (%1); it was left as it "
                                          "was before the save.")
                               .arg(reason));
        }
    }
    wrapped.reset();
    if (!file.commit())
        return d->fail(QStringLiteral("The file could not be written (%1); it was left as it was "
                                      "before the save.")
                           .arg(file.errorString()));
    return true;
}

} // namespace pelmar

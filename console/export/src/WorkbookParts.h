// The parts of a workbook file this writer makes or changes: the libxml2 helpers the parts
// share, the styles part (number and cell formats), the new sheet's XML and the package edit
// that adds the sheet to a new or an existing workbook. ExcelWorkbook (Workbook.cpp) collects
// the rows and calls BuildPackage when it saves.
#pragma once
#include <QByteArray>
#include <QString>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <vector>

namespace pelmar::workbook {

inline constexpr const char* kNsMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr const char* kNsRel =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr const char* kRelOfficeDoc =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
inline constexpr const char* kRelWorksheet =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";
inline constexpr const char* kRelStyles =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";
inline constexpr const char* kCtWorksheet =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
inline constexpr const char* kCtStyles =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml";

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

// ---- small libxml2 helpers (WorkbookXml.cpp) -------------------------------------------

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

const xmlChar* X(const char* s);
bool Is(xmlNodePtr n, const char* localName);
std::vector<xmlNodePtr> Children(xmlNodePtr parent, const char* localName);
xmlNodePtr Child(xmlNodePtr parent, const char* localName);
QString Attr(xmlNodePtr n, const char* name);
void SetAttr(xmlNodePtr n, const char* name, const QString& value);

// A new element in its parent's namespace, appended after the last child.
xmlNodePtr Append(xmlNodePtr parent, const char* localName);
QString PartDir(const QString& part);
QString RelsPathOf(const QString& part);

// Resolves a relationship target against the folder of its source part.
QString ResolveTarget(const QString& sourceDir, const QString& target);

// ---- the parts -------------------------------------------------------------------------

// The number format code of a cell format ("General" for XfGeneral).
const char* FormatCode(Fmt f);

// The new sheet's worksheet part; styleOf maps each cell format to its style index
// (WorkbookSheet.cpp).
QByteArray SheetXml(const std::vector<std::vector<XCell>>& rows, const std::vector<int>& widths,
                    const int styleOf[XfCount]);

// Adds the number formats and cell formats the new sheet needs to a styles part, leaving
// every existing entry (and so every index the other sheets use) where it was; false with
// *error when the part cannot be read (WorkbookStyles.cpp).
bool AddStyles(QByteArray* stylesBytes, int styleOf[XfCount], QString* error);

// The workbook package with the new sheet added: package holds the existing workbook, or is
// empty for a new one. False with *error when a part is missing or damaged or the package
// cannot be written (WorkbookPackage.cpp).
bool BuildPackage(const QByteArray& package, const QString& sheetName,
                  const std::vector<std::vector<XCell>>& rows, const std::vector<int>& widths,
                  QByteArray* out, QString* error);

} // namespace pelmar::workbook

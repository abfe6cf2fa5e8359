// The package edit: the workbook's parts read (or a new workbook's made), the styles placed,
// the new worksheet added to the workbook, its relationships and content types, and the
// sheet list of docProps/app.xml kept in step; then the package written out.
#include "WorkbookParts.h"
#include "XlsxPackage.h"

#include <QSet>
#include <algorithm>
#include <memory>

namespace pelmar::workbook {

namespace {

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

// A new workbook starts from a small package without sheets and then takes the same road as
// an existing one.
const char* NewWorkbookPart(const QString& name) {
    struct Part {
        const char* name;
        const char* bytes;
    };
    static const Part parts[] = {
        {"[Content_Types].xml", kNewContentTypes},
        {"_rels/.rels", kNewRootRels},
        {"xl/workbook.xml", kNewWorkbook},
        {"xl/_rels/workbook.xml.rels", kNewWorkbookRels},
        {"xl/styles.xml", kNewStyles},
    };
    for (const Part& p : parts)
        if (name == QLatin1String(p.name)) return p.bytes;
    return nullptr;
}

QString XmlText(xmlNodePtr n) {
    xmlChar* txt = xmlNodeGetContent(n);
    const QString s = QString::fromUtf8(reinterpret_cast<const char*>(txt));
    xmlFree(txt);
    return s;
}

class PackageEdit {
public:
    bool open(const QByteArray& package, QString* error);
    bool placeStyles(int styleOf[XfCount], QString* error);
    void addSheet(const QString& sheetName);
    void listSheetInAppProps(const QString& sheetName);
    bool finish(const QByteArray& sheetXml, QByteArray* out, QString* error);

private:
    bool readPart(const QString& name, QByteArray* bytes) const;
    QString newRelId();
    void addOverride(const QString& part, const char* type);
    QString addRel(const char* type, const QString& target);

    xlsx::Package pkg_;
    bool isNew_ = false;
    QString wbPath_, wbDir_, wbRelsPath_, stylesPath_, sheetPath_;
    QByteArray stylesBytes_;
    std::unique_ptr<XmlDoc> ct_, rootRels_, wb_, wbRels_;
    QSet<QString> ids_; // relationship ids of the workbook taken so far
};

bool PackageEdit::readPart(const QString& name, QByteArray* bytes) const {
    if (!isNew_) return pkg_.read(name, bytes);
    const char* part = NewWorkbookPart(name);
    if (!part) return false;
    *bytes = part;
    return true;
}

// The workbook's content types, root relationships, workbook part and its relationships.
bool PackageEdit::open(const QByteArray& package, QString* error) {
    isNew_ = package.isEmpty();
    if (!pkg_.open(package)) {
        *error = QStringLiteral("The workbook cannot be read: ") + pkg_.error();
        return false;
    }
    if (isNew_ && !pkg_.put(QStringLiteral("_rels/.rels"), kNewRootRels)) {
        *error = QStringLiteral("The workbook could not be made: ") + pkg_.error();
        return false;
    }
    auto broken = [error] {
        *error = QStringLiteral("The workbook cannot be read: a part is missing or damaged.");
        return false;
    };
    QByteArray ctBytes, rootRelsBytes, wbBytes, wbRelsBytes;
    if (!readPart(QStringLiteral("[Content_Types].xml"), &ctBytes) ||
        !readPart(QStringLiteral("_rels/.rels"), &rootRelsBytes))
        return broken();
    rootRels_ = std::make_unique<XmlDoc>(rootRelsBytes);
    for (xmlNodePtr n : Children(rootRels_->root(), "Relationship"))
        if (Attr(n, "Type") == QLatin1String(kRelOfficeDoc))
            wbPath_ = ResolveTarget(QString(), Attr(n, "Target"));
    if (wbPath_.isEmpty() || !readPart(wbPath_, &wbBytes)) return broken();
    wbDir_ = PartDir(wbPath_);
    wbRelsPath_ = RelsPathOf(wbPath_);
    if (!readPart(wbRelsPath_, &wbRelsBytes)) {
        wbRelsBytes = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                      "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                      "relationships\"></Relationships>";
    }
    ct_ = std::make_unique<XmlDoc>(ctBytes);
    wb_ = std::make_unique<XmlDoc>(wbBytes);
    wbRels_ = std::make_unique<XmlDoc>(wbRelsBytes);
    if (!Is(ct_->root(), "Types") || !Child(wb_->root(), "sheets") ||
        !Is(wbRels_->root(), "Relationships"))
        return broken();
    for (xmlNodePtr n : Children(wbRels_->root(), "Relationship"))
        ids_.insert(Attr(n, "Id"));
    return true;
}

// A relationship id nobody uses yet.
QString PackageEdit::newRelId() {
    for (int i = static_cast<int>(ids_.size()) + 1;; ++i) {
        const QString id = QStringLiteral("rId%1").arg(i);
        if (!ids_.contains(id)) {
            ids_.insert(id);
            return id;
        }
    }
}

void PackageEdit::addOverride(const QString& part, const char* type) {
    const QString partName = QLatin1Char('/') + part;
    for (xmlNodePtr n : Children(ct_->root(), "Override"))
        if (Attr(n, "PartName").compare(partName, Qt::CaseInsensitive) == 0) return;
    xmlNodePtr o = Append(ct_->root(), "Override");
    SetAttr(o, "PartName", partName);
    SetAttr(o, "ContentType", QString::fromLatin1(type));
}

QString PackageEdit::addRel(const char* type, const QString& target) {
    const QString id = newRelId();
    xmlNodePtr r = Append(wbRels_->root(), "Relationship");
    SetAttr(r, "Id", id);
    SetAttr(r, "Type", QString::fromLatin1(type));
    SetAttr(r, "Target", target);
    return id;
}

// Styles: the workbook's own part, or a new one when it has none.
bool PackageEdit::placeStyles(int styleOf[XfCount], QString* error) {
    for (xmlNodePtr n : Children(wbRels_->root(), "Relationship"))
        if (Attr(n, "Type") == QLatin1String(kRelStyles))
            stylesPath_ = ResolveTarget(wbDir_, Attr(n, "Target"));
    if (stylesPath_.isEmpty() || !readPart(stylesPath_, &stylesBytes_)) {
        if (stylesPath_.isEmpty()) {
            stylesPath_ = wbDir_ + QLatin1String("styles.xml");
            for (int i = 2; pkg_.has(stylesPath_); ++i)
                stylesPath_ = wbDir_ + QStringLiteral("styles%1.xml").arg(i);
            addRel(kRelStyles, stylesPath_.mid(wbDir_.size()));
        }
        stylesBytes_ = kNewStyles;
        addOverride(stylesPath_, kCtStyles);
    }
    return AddStyles(&stylesBytes_, styleOf, error);
}

// The new worksheet part, its relationship, content type and entry in the workbook.
void PackageEdit::addSheet(const QString& sheetName) {
    for (int i = 1;; ++i) {
        sheetPath_ = wbDir_ + QStringLiteral("worksheets/sheet%1.xml").arg(i);
        if (!pkg_.has(sheetPath_)) break;
    }
    const QString relId = addRel(kRelWorksheet, sheetPath_.mid(wbDir_.size()));
    addOverride(sheetPath_, kCtWorksheet);
    xmlNodePtr sheets = Child(wb_->root(), "sheets");
    int maxSheetId = 0;
    for (xmlNodePtr s : Children(sheets, "sheet"))
        maxSheetId = std::max(maxSheetId, Attr(s, "sheetId").toInt());
    xmlNodePtr sheet = Append(sheets, "sheet");
    SetAttr(sheet, "name", sheetName);
    SetAttr(sheet, "sheetId", QString::number(maxSheetId + 1));
    xmlNsPtr relNs = xmlSearchNsByHref(wb_->doc, wb_->root(), X(kNsRel));
    if (!relNs) {
        QByteArray prefix = "r";
        for (int i = 1; xmlSearchNs(wb_->doc, wb_->root(), X(prefix.constData())); ++i)
            prefix = "r" + QByteArray::number(i);
        relNs = xmlNewNs(wb_->root(), X(kNsRel), X(prefix.constData()));
    }
    xmlNewNsProp(sheet, relNs, X("id"), X(relId.toUtf8().constData()));
}

// docProps/app.xml lists the sheet names; keep it in step when it does.
void PackageEdit::listSheetInAppProps(const QString& sheetName) {
    QByteArray appBytes;
    QString appPath;
    for (xmlNodePtr n : Children(rootRels_->root(), "Relationship"))
        if (Attr(n, "Type").endsWith(QLatin1String("/extended-properties")))
            appPath = ResolveTarget(QString(), Attr(n, "Target"));
    if (isNew_ || appPath.isEmpty() || !pkg_.read(appPath, &appBytes)) return;
    XmlDoc app(appBytes);
    xmlNodePtr pairs = Child(Child(app.root(), "HeadingPairs"), "vector");
    xmlNodePtr titles = Child(Child(app.root(), "TitlesOfParts"), "vector");
    if (!pairs || !titles) return;
    // The heading pairs count the titles of each kind in order; the worksheets' titles start
    // after those of the kinds before them.
    auto variants = Children(pairs, "variant");
    int before = 0;
    xmlNodePtr countNode = nullptr;
    for (size_t i = 0; i + 1 < variants.size(); i += 2) {
        xmlNodePtr nameNode = Child(variants[i], "lpstr");
        xmlNodePtr numNode = xmlFirstElementChild(variants[i + 1]);
        if (!nameNode || !numNode) break;
        before += XmlText(numNode).toInt();
        if (XmlText(nameNode).compare(QLatin1String("Worksheets"), Qt::CaseInsensitive) == 0) {
            countNode = numNode;
            break;
        }
    }
    auto titleNodes = Children(titles, "lpstr");
    if (!countNode || before > static_cast<int>(titleNodes.size())) return;
    const int count = XmlText(countNode).toInt();
    xmlNodeSetContent(countNode, X(QByteArray::number(count + 1).constData()));
    xmlNodePtr t = xmlNewDocNode(app.doc, titles->ns, X("lpstr"), nullptr);
    xmlNodeAddContent(t, X(sheetName.toUtf8().constData()));
    if (before < static_cast<int>(titleNodes.size()))
        xmlAddPrevSibling(titleNodes[before], t);
    else
        xmlAddChild(titles, t);
    SetAttr(titles, "size", QString::number(titleNodes.size() + 1));
    pkg_.put(appPath, app.bytes());
}

bool PackageEdit::finish(const QByteArray& sheetXml, QByteArray* out, QString* error) {
    const bool ok = pkg_.put(sheetPath_, sheetXml) && pkg_.put(stylesPath_, stylesBytes_) &&
                    pkg_.put(wbPath_, wb_->bytes()) && pkg_.put(wbRelsPath_, wbRels_->bytes()) &&
                    pkg_.put(QStringLiteral("[Content_Types].xml"), ct_->bytes());
    if (!ok || !pkg_.finish(out)) {
        *error = QStringLiteral("The workbook could not be made: ") + pkg_.error();
        return false;
    }
    return true;
}

} // namespace

bool BuildPackage(const QByteArray& package, const QString& sheetName,
                  const std::vector<std::vector<XCell>>& rows, const std::vector<int>& widths,
                  QByteArray* out, QString* error) {
    PackageEdit edit;
    int styleOf[XfCount];
    if (!edit.open(package, error) || !edit.placeStyles(styleOf, error)) return false;
    edit.addSheet(sheetName);
    edit.listSheetInAppProps(sheetName);
    return edit.finish(SheetXml(rows, widths, styleOf), out, error);
}

} // namespace pelmar::workbook

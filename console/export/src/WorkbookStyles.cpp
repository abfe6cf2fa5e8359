// The styles part: the number formats and cell formats of the new sheet's cells, added to the
// workbook's own styles (or a new styles part) without moving what other sheets use.
#include "WorkbookParts.h"

#include "pelexport/Workbook.h"

#include <algorithm>

namespace pelmar::workbook {

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

bool AddStyles(QByteArray* stylesBytes, int styleOf[XfCount], QString* error) {
    XmlDoc doc(*stylesBytes);
    xmlNodePtr root = doc.root();
    if (!Is(root, "styleSheet")) {
        *error = QStringLiteral("The workbook's styles cannot be read.");
        return false;
    }

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

} // namespace pelmar::workbook

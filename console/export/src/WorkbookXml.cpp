// The libxml2 helpers the workbook parts share: elements by local name, attributes, and
// part paths and relationship targets inside the package.
#include "WorkbookParts.h"

#include <QStringList>

namespace pelmar::workbook {

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

} // namespace pelmar::workbook

#include "pelmar/ui/QtPropertyHost.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAction>
#include <QComboBox>
#include <QDockWidget>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <lvlang/PropertyNames.h>
#include <lvlang/modLanguage.h>
#include <map>

namespace pelmar::ui {
namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
std::string S(const QString& s) {
    return s.toStdString();
}
QString ValueText(const tessel::Variant& v) {
    return Q(v.toText());
}
bool ValueBool(const tessel::Variant& v, bool& out) {
    double d = 0;
    if (v.kind() == tessel::Variant::Kind::Boolean || v.isNumeric()) {
        if (!v.toNumber(d)) return false;
        out = d != 0;
        return true;
    }
    const QString t = ValueText(v).trimmed();
    if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
        out = true;
        return true;
    }
    if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
        out = false;
        return true;
    }
    if (v.toNumber(d)) {
        out = d != 0;
        return true;
    }
    return false;
}

// A small object made of named getters and setters (a font, a column header, a tab).
class FuncHost : public tessel::IPropertyHost {
public:
    using Get = std::function<bool(tessel::Variant&)>;
    using Let = std::function<bool(const tessel::Variant&)>;
    void Add(const char* lowerName, Get g, Let l) {
        props_[lowerName] = {std::move(g), std::move(l)};
    }
    bool GetProperty(const std::string& name, const std::vector<int>& idx,
                     tessel::Variant& out) override {
        auto it = props_.find(S(Q(name).toLower()));
        if (it == props_.end() || !idx.empty() || !it->second.first) return false;
        return it->second.first(out);
    }
    bool LetProperty(const std::string& name, const std::vector<int>& idx,
                     const tessel::Variant& value) override {
        auto it = props_.find(S(Q(name).toLower()));
        if (it == props_.end() || !idx.empty() || !it->second.second || value.isObject())
            return false;
        return it->second.second(value);
    }

private:
    std::map<std::string, std::pair<Get, Let>> props_;
};

QFont FontOf(QObject* o) {
    if (auto* w = qobject_cast<QWidget*>(o)) return w->font();
    if (auto* a = qobject_cast<QAction*>(o)) return a->font();
    return QFont();
}
void SetFontOf(QObject* o, const QFont& f) {
    if (auto* w = qobject_cast<QWidget*>(o))
        w->setFont(f);
    else if (auto* a = qobject_cast<QAction*>(o))
        a->setFont(f);
}

tessel::PropertyHostPtr MakeFontHost(QObject* object) {
    auto host = std::make_shared<FuncHost>();
    QPointer<QObject> o(object);
    auto edit = [o](const std::function<bool(QFont&)>& change) {
        if (!o) return false;
        QFont f = FontOf(o);
        if (!change(f)) return false;
        SetFontOf(o, f);
        return true;
    };
    host->Add(
        "name",
        [o](tessel::Variant& out) {
            if (!o) return false;
            out = S(FontOf(o).family());
            return true;
        },
        [edit](const tessel::Variant& v) {
            const QString name = ValueText(v).trimmed();
            return edit([&](QFont& f) {
                if (name.isEmpty()) return false;
                f.setFamily(name);
                return true;
            });
        });
    host->Add(
        "size",
        [o](tessel::Variant& out) {
            if (!o) return false;
            const QFont f = FontOf(o);
            // A pixel-sized font reads in points at the logical 96 dpi.
            out = f.pointSizeF() > 0 ? f.pointSizeF() : f.pixelSize() * 72.0 / 96.0;
            return true;
        },
        [edit](const tessel::Variant& v) {
            double d = 0;
            if (!v.toNumber(d) || d <= 0 || d > 1000) return false;
            return edit([&](QFont& f) {
                f.setPointSizeF(d);
                return true;
            });
        });
    // Qt texts are Unicode; the character set is kept so that it reads back as set.
    host->Add(
        "charset",
        [o](tessel::Variant& out) {
            if (!o) return false;
            const QVariant cs = o->property("lvFontCharset");
            out = cs.isValid() ? cs.toInt() : 1;
            return true;
        },
        [o](const tessel::Variant& v) {
            double d = 0;
            if (!o || !v.toNumber(d)) return false;
            o->setProperty("lvFontCharset", int(d));
            return true;
        });
    auto flag = [&](const char* name, bool (QFont::*get)() const, void (QFont::*set)(bool)) {
        host->Add(
            name,
            [o, get](tessel::Variant& out) {
                if (!o) return false;
                out = (FontOf(o).*get)();
                return true;
            },
            [edit, set](const tessel::Variant& v) {
                bool b = false;
                if (!ValueBool(v, b)) return false;
                return edit([&](QFont& f) {
                    (f.*set)(b);
                    return true;
                });
            });
    };
    flag("bold", &QFont::bold, &QFont::setBold);
    flag("italic", &QFont::italic, &QFont::setItalic);
    flag("underline", &QFont::underline, &QFont::setUnderline);
    flag("strikethrough", &QFont::strikeOut, &QFont::setStrikeOut);
    host->Add(
        "weight",
        [o](tessel::Variant& out) {
            if (!o) return false;
            out = FontOf(o).bold() ? 700 : 400;
            return true;
        },
        [edit](const tessel::Variant& v) {
            double d = 0;
            if (!v.toNumber(d)) return false;
            return edit([&](QFont& f) {
                f.setBold(d >= 600);
                return true;
            });
        });
    return host;
}

QAbstractItemModel* ModelOf(QObject* o) {
    if (auto* v = qobject_cast<QAbstractItemView*>(o)) return v->model();
    return nullptr;
}

// Header of column `col` (0-based) of a view.
tessel::PropertyHostPtr MakeColumnHeaderHost(QObject* object, int col) {
    auto host = std::make_shared<FuncHost>();
    QPointer<QObject> o(object);
    host->Add(
        "text",
        [o, col](tessel::Variant& out) {
            if (auto* tw = qobject_cast<QTreeWidget*>(o.data())) {
                if (col < 0 || col >= tw->columnCount()) return false;
                out = S(tw->headerItem()->text(col));
                return true;
            }
            QAbstractItemModel* m = ModelOf(o);
            if (!m || col < 0 || col >= m->columnCount()) return false;
            out = S(m->headerData(col, Qt::Horizontal).toString());
            return true;
        },
        [o, col](const tessel::Variant& v) {
            if (auto* tw = qobject_cast<QTreeWidget*>(o.data())) {
                if (col < 0 || col >= tw->columnCount()) return false;
                tw->headerItem()->setText(col, ValueText(v));
                return true;
            }
            QAbstractItemModel* m = ModelOf(o);
            if (!m || col < 0 || col >= m->columnCount()) return false;
            return m->setHeaderData(col, Qt::Horizontal, ValueText(v));
        });
    return host;
}

QTabBar* TabBarOf(QObject* o) {
    if (auto* tw = qobject_cast<QTabWidget*>(o)) return tw->tabBar();
    return qobject_cast<QTabBar*>(o);
}

tessel::PropertyHostPtr MakeTabHost(QObject* object, int tab) {
    auto host = std::make_shared<FuncHost>();
    QPointer<QObject> o(object);
    auto valid = [o, tab]() {
        QTabBar* b = TabBarOf(o);
        return b && tab >= 0 && tab < b->count() ? b : nullptr;
    };
    host->Add(
        "caption",
        [valid, tab](tessel::Variant& out) {
            QTabBar* b = valid();
            if (!b) return false;
            out = S(b->tabText(tab));
            return true;
        },
        [valid, tab](const tessel::Variant& v) {
            QTabBar* b = valid();
            if (!b) return false;
            b->setTabText(tab, ValueText(v));
            return true;
        });
    host->Add(
        "tooltiptext",
        [valid, tab](tessel::Variant& out) {
            QTabBar* b = valid();
            if (!b) return false;
            out = S(b->tabToolTip(tab));
            return true;
        },
        [valid, tab](const tessel::Variant& v) {
            QTabBar* b = valid();
            if (!b) return false;
            b->setTabToolTip(tab, ValueText(v));
            return true;
        });
    return host;
}

bool IsWindowLike(QObject* o) {
    auto* w = qobject_cast<QWidget*>(o);
    return w && w->isWindow() && !qobject_cast<QMenu*>(w);
}

bool GetText(QObject* o, tessel::Variant& out) {
    if (auto* e = qobject_cast<QLineEdit*>(o)) {
        out = S(e->text());
    } else if (auto* c = qobject_cast<QComboBox*>(o)) {
        out = S(c->currentText());
    } else if (auto* l = qobject_cast<QLabel*>(o)) {
        out = S(l->text());
    } else if (auto* b = qobject_cast<QAbstractButton*>(o)) {
        out = S(b->text());
    } else if (auto* p = qobject_cast<QPlainTextEdit*>(o)) {
        out = S(p->toPlainText());
    } else if (auto* t = qobject_cast<QTextEdit*>(o)) {
        out = S(t->toPlainText());
    } else if (auto* s = qobject_cast<QAbstractSpinBox*>(o)) {
        out = S(s->text());
    } else if (auto* a = qobject_cast<QAction*>(o)) {
        out = S(a->text());
    } else {
        return false;
    }
    return true;
}

bool LetText(QObject* o, const QString& v) {
    if (auto* e = qobject_cast<QLineEdit*>(o)) {
        e->setText(v);
    } else if (auto* c = qobject_cast<QComboBox*>(o)) {
        if (c->isEditable()) {
            c->setEditText(v);
        } else {
            const int i = c->findText(v, Qt::MatchFixedString);
            if (i < 0) return false;
            c->setCurrentIndex(i);
        }
    } else if (auto* l = qobject_cast<QLabel*>(o)) {
        l->setText(v);
    } else if (auto* b = qobject_cast<QAbstractButton*>(o)) {
        b->setText(v);
    } else if (auto* p = qobject_cast<QPlainTextEdit*>(o)) {
        p->setPlainText(v);
    } else if (auto* t = qobject_cast<QTextEdit*>(o)) {
        t->setPlainText(v);
    } else if (auto* a = qobject_cast<QAction*>(o)) {
        a->setText(v);
    } else {
        return false;
    }
    return true;
}

bool GetCaption(QObject* o, tessel::Variant& out) {
    if (IsWindowLike(o)) {
        out = S(static_cast<QWidget*>(o)->windowTitle());
    } else if (auto* m = qobject_cast<QMenu*>(o)) {
        out = S(m->title());
    } else if (auto* g = qobject_cast<QGroupBox*>(o)) {
        out = S(g->title());
    } else if (auto* d = qobject_cast<QDockWidget*>(o)) {
        out = S(d->windowTitle());
    } else if (qobject_cast<QAbstractButton*>(o) || qobject_cast<QLabel*>(o) ||
               qobject_cast<QAction*>(o) || qobject_cast<QLineEdit*>(o)) {
        return GetText(o, out);
    } else {
        return false;
    }
    return true;
}

bool LetCaption(QObject* o, const QString& v) {
    if (IsWindowLike(o)) {
        static_cast<QWidget*>(o)->setWindowTitle(v);
    } else if (auto* m = qobject_cast<QMenu*>(o)) {
        m->setTitle(v);
    } else if (auto* g = qobject_cast<QGroupBox*>(o)) {
        g->setTitle(v);
    } else if (auto* d = qobject_cast<QDockWidget*>(o)) {
        d->setWindowTitle(v);
    } else if (qobject_cast<QAbstractButton*>(o) || qobject_cast<QLabel*>(o) ||
               qobject_cast<QAction*>(o) || qobject_cast<QLineEdit*>(o)) {
        return LetText(o, v);
    } else {
        return false;
    }
    return true;
}

// Grid cells: row 0 is the header row, rows 1.. the data rows.
bool GetCell(QObject* o, int r, int c, tessel::Variant& out) {
    QAbstractItemModel* m = ModelOf(o);
    if (!m || r < 0 || c < 0 || c >= m->columnCount() || r > m->rowCount()) return false;
    out = S(r == 0 ? m->headerData(c, Qt::Horizontal).toString()
                   : m->data(m->index(r - 1, c)).toString());
    return true;
}

bool LetCell(QObject* o, int r, int c, const QString& v) {
    if (auto* t = qobject_cast<QTableWidget*>(o)) {
        if (r < 0 || c < 0 || c >= t->columnCount() || r > t->rowCount()) return false;
        if (r == 0) {
            QTableWidgetItem* h = t->horizontalHeaderItem(c);
            if (!h) t->setHorizontalHeaderItem(c, h = new QTableWidgetItem);
            h->setText(v);
        } else {
            QTableWidgetItem* it = t->item(r - 1, c);
            if (!it) t->setItem(r - 1, c, it = new QTableWidgetItem);
            it->setText(v);
        }
        return true;
    }
    QAbstractItemModel* m = ModelOf(o);
    if (!m || r < 0 || c < 0 || c >= m->columnCount() || r > m->rowCount()) return false;
    return r == 0 ? m->setHeaderData(c, Qt::Horizontal, v)
                  : m->setData(m->index(r - 1, c), v, Qt::EditRole);
}

QString ListItem(QObject* o, int i, bool& ok) {
    ok = false;
    if (auto* c = qobject_cast<QComboBox*>(o)) {
        if (i < 0 || i >= c->count()) return {};
        ok = true;
        return c->itemText(i);
    }
    if (auto* l = qobject_cast<QListWidget*>(o)) {
        if (i < 0 || i >= l->count()) return {};
        ok = true;
        return l->item(i)->text();
    }
    return {};
}

bool SetListItem(QObject* o, int i, const QString& v) {
    if (auto* c = qobject_cast<QComboBox*>(o)) {
        if (i < 0 || i >= c->count()) return false;
        c->setItemText(i, v);
        return true;
    }
    if (auto* l = qobject_cast<QListWidget*>(o)) {
        if (i < 0 || i >= l->count()) return false;
        l->item(i)->setText(v);
        return true;
    }
    return false;
}

int ListCount(QObject* o) {
    if (auto* c = qobject_cast<QComboBox*>(o)) return c->count();
    if (auto* l = qobject_cast<QListWidget*>(o)) return l->count();
    return -1;
}

} // namespace

QString Tag(const QObject* object) {
    return object ? object->property(kTagProperty).toString() : QString();
}

void SetTag(QObject* object, const QString& tag) {
    if (object) object->setProperty(kTagProperty, tag);
}

namespace {

using Index = std::vector<int>;
using lvlang::Property;

QWidget* WidgetOf(QObject* o) {
    return qobject_cast<QWidget*>(o);
}
QAction* ActionOf(QObject* o) {
    return qobject_cast<QAction*>(o);
}

// ---- reading ----

bool GetTag(QObject* o, const Index&, tessel::Variant& out) {
    out = S(Tag(o));
    return true;
}
bool GetName(QObject* o, const Index&, tessel::Variant& out) {
    out = S(o->objectName());
    return true;
}
bool GetCaptionOf(QObject* o, const Index&, tessel::Variant& out) {
    return GetCaption(o, out);
}
bool GetTextOf(QObject* o, const Index&, tessel::Variant& out) {
    return GetText(o, out);
}
bool GetToolTip(QObject* o, const Index&, tessel::Variant& out) {
    if (auto* w = WidgetOf(o)) {
        out = S(w->toolTip());
    } else if (auto* a = ActionOf(o)) {
        out = S(a->toolTip());
    } else {
        return false;
    }
    return true;
}
bool GetFont(QObject* o, const Index&, tessel::Variant& out) {
    if (!WidgetOf(o) && !ActionOf(o)) return false;
    out = MakeFontHost(o);
    return true;
}
bool GetEnabled(QObject* o, const Index&, tessel::Variant& out) {
    if (auto* w = WidgetOf(o)) {
        out = w->isEnabled();
    } else if (auto* a = ActionOf(o)) {
        out = a->isEnabled();
    } else {
        return false;
    }
    return true;
}
bool GetVisible(QObject* o, const Index&, tessel::Variant& out) {
    if (auto* w = WidgetOf(o)) {
        out = !w->isHidden();
    } else if (auto* a = ActionOf(o)) {
        out = a->isVisible();
    } else {
        return false;
    }
    return true;
}
bool GetList(QObject* o, const Index& idx, tessel::Variant& out) {
    bool ok = false;
    const QString t = ListItem(o, idx[0], ok);
    if (ok) out = S(t);
    return ok;
}
bool GetListCount(QObject* o, const Index&, tessel::Variant& out) {
    const int c = ListCount(o);
    if (c < 0) return false;
    out = c;
    return true;
}
bool GetListIndex(QObject* o, const Index&, tessel::Variant& out) {
    if (auto* c = qobject_cast<QComboBox*>(o)) {
        out = c->currentIndex();
        return true;
    }
    if (auto* l = qobject_cast<QListWidget*>(o)) {
        out = l->currentRow();
        return true;
    }
    return false;
}
bool GetItemData(QObject* o, const Index& idx, tessel::Variant& out) {
    auto* c = qobject_cast<QComboBox*>(o);
    if (!c || idx[0] < 0 || idx[0] >= c->count()) return false;
    out = c->itemData(idx[0]).toInt();
    return true;
}
bool GetTextMatrix(QObject* o, const Index& idx, tessel::Variant& out) {
    return GetCell(o, idx[0], idx[1], out);
}
bool GetColumnHeaders(QObject* o, const Index& idx, tessel::Variant& out) {
    const int col = idx[0] - 1;
    int count = -1;
    if (auto* tw = qobject_cast<QTreeWidget*>(o))
        count = tw->columnCount();
    else if (QAbstractItemModel* m = ModelOf(o))
        count = m->columnCount();
    if (col < 0 || col >= count) return false;
    out = MakeColumnHeaderHost(o, col);
    return true;
}
bool GetTabCaption(QObject* o, const Index& idx, tessel::Variant& out) {
    QTabBar* b = TabBarOf(o);
    if (!b || idx[0] < 0 || idx[0] >= b->count()) return false;
    out = S(b->tabText(idx[0]));
    return true;
}
bool GetTabs(QObject* o, const Index& idx, tessel::Variant& out) {
    QTabBar* b = TabBarOf(o);
    if (!b || idx[0] < 1 || idx[0] > b->count()) return false;
    out = MakeTabHost(o, idx[0] - 1);
    return true;
}
// Action i (1-based) of a list of actions, as a host of its own.
bool ActionHost(const QList<QAction*>& acts, int i, tessel::Variant& out) {
    if (i < 1 || i > acts.size()) return false;
    out = tessel::PropertyHostPtr(QtPropertyHost::make(acts[i - 1]));
    return true;
}
bool GetButtons(QObject* o, const Index& idx, tessel::Variant& out) {
    auto* tb = qobject_cast<QToolBar*>(o);
    return tb && ActionHost(tb->actions(), idx[0], out);
}
bool GetButtonMenus(QObject* o, const Index& idx, tessel::Variant& out) {
    QAction* a = ActionOf(o);
    return a && a->menu() && ActionHost(a->menu()->actions(), idx[0], out);
}
bool GetPicture(QObject* o, const Index&, tessel::Variant& out) {
    if (!qobject_cast<QAbstractButton*>(o) && !qobject_cast<QLabel*>(o)) return false;
    out = S(o->property("lvPicturePath").toString());
    return true;
}

// ---- writing ----

bool LetTag(QObject* o, const Index&, const tessel::Variant& v) {
    SetTag(o, ValueText(v));
    return true;
}
bool LetCaptionOf(QObject* o, const Index&, const tessel::Variant& v) {
    return LetCaption(o, ValueText(v));
}
bool LetTextOf(QObject* o, const Index&, const tessel::Variant& v) {
    return LetText(o, ValueText(v));
}
bool LetToolTip(QObject* o, const Index&, const tessel::Variant& v) {
    if (auto* w = WidgetOf(o))
        w->setToolTip(ValueText(v));
    else if (auto* a = ActionOf(o))
        a->setToolTip(ValueText(v));
    else
        return false;
    return true;
}
bool LetEnabled(QObject* o, const Index&, const tessel::Variant& v) {
    bool b = false;
    if ((!WidgetOf(o) && !ActionOf(o)) || !ValueBool(v, b)) return false;
    if (auto* w = WidgetOf(o))
        w->setEnabled(b);
    else
        ActionOf(o)->setEnabled(b);
    return true;
}
bool LetVisible(QObject* o, const Index&, const tessel::Variant& v) {
    bool b = false;
    if ((!WidgetOf(o) && !ActionOf(o)) || !ValueBool(v, b)) return false;
    if (auto* w = WidgetOf(o))
        w->setVisible(b);
    else
        ActionOf(o)->setVisible(b);
    return true;
}
bool LetList(QObject* o, const Index& idx, const tessel::Variant& v) {
    return SetListItem(o, idx[0], ValueText(v));
}
bool LetListIndex(QObject* o, const Index&, const tessel::Variant& v) {
    double d = 0;
    if (!v.toNumber(d)) return false;
    const int i = int(d);
    if (auto* c = qobject_cast<QComboBox*>(o)) {
        if (i < -1 || i >= c->count()) return false;
        c->setCurrentIndex(i);
        return true;
    }
    if (auto* l = qobject_cast<QListWidget*>(o)) {
        if (i < -1 || i >= l->count()) return false;
        l->setCurrentRow(i);
        return true;
    }
    return false;
}
bool LetTextMatrix(QObject* o, const Index& idx, const tessel::Variant& v) {
    return LetCell(o, idx[0], idx[1], ValueText(v));
}
bool LetTabCaption(QObject* o, const Index& idx, const tessel::Variant& v) {
    QTabBar* b = TabBarOf(o);
    if (!b || idx[0] < 0 || idx[0] >= b->count()) return false;
    b->setTabText(idx[0], ValueText(v));
    return true;
}
bool LetPicture(QObject* o, const Index&, const tessel::Variant& v) {
    // Only an existing image file can become a picture.
    const QString path = ValueText(v);
    QPixmap pm;
    if (!QFileInfo(path).isFile() || !pm.load(path)) return false;
    if (auto* b = qobject_cast<QAbstractButton*>(o))
        b->setIcon(QIcon(pm));
    else if (auto* l = qobject_cast<QLabel*>(o))
        l->setPixmap(pm);
    else
        return false;
    o->setProperty("lvPicturePath", path);
    return true;
}

// How each property of lvlang's table is read and written on a Qt object (no writer: the
// property is read-only). The names and their number of indexes are lvlang's.
struct Access {
    Property property;
    bool (*get)(QObject*, const Index&, tessel::Variant&);
    bool (*let)(QObject*, const Index&, const tessel::Variant&);
};
constexpr Access kAccess[] = {
    {Property::Tag, GetTag, LetTag},
    {Property::Name, GetName, nullptr},
    {Property::Caption, GetCaptionOf, LetCaptionOf},
    {Property::Text, GetTextOf, LetTextOf},
    {Property::ToolTipText, GetToolTip, LetToolTip},
    {Property::Font, GetFont, nullptr},
    {Property::Enabled, GetEnabled, LetEnabled},
    {Property::Visible, GetVisible, LetVisible},
    {Property::List, GetList, LetList},
    {Property::ListCount, GetListCount, nullptr},
    {Property::ListIndex, GetListIndex, LetListIndex},
    {Property::ItemData, GetItemData, nullptr},
    {Property::TextMatrix, GetTextMatrix, LetTextMatrix},
    {Property::ColumnHeaders, GetColumnHeaders, nullptr},
    {Property::TabCaption, GetTabCaption, LetTabCaption},
    {Property::Tabs, GetTabs, nullptr},
    {Property::Buttons, GetButtons, nullptr},
    {Property::ButtonMenus, GetButtonMenus, nullptr},
    {Property::Image, GetPicture, LetPicture},
    {Property::Picture, GetPicture, LetPicture},
};

constexpr bool EveryPropertyInOrder() {
    for (std::size_t i = 0; i < std::size(kAccess); ++i)
        if (static_cast<std::size_t>(kAccess[i].property) != i) return false;
    return std::size(kAccess) == std::size_t(Property::Picture) + 1;
}
static_assert(EveryPropertyInOrder(), "one entry per lvlang::Property, in its order");

const Access* AccessOf(const std::string& name, std::size_t indexes) {
    const std::optional<Property> p = lvlang::FindProperty(Q(name), indexes);
    return p ? &kAccess[static_cast<std::size_t>(*p)] : nullptr;
}

} // namespace

bool QtPropertyHost::GetProperty(const std::string& name, const std::vector<int>& idx,
                                 tessel::Variant& out) {
    QObject* o = object_;
    const Access* a = o ? AccessOf(name, idx.size()) : nullptr;
    return a && a->get(o, idx, out);
}

bool QtPropertyHost::LetProperty(const std::string& name, const std::vector<int>& idx,
                                 const tessel::Variant& value) {
    QObject* o = object_;
    if (!o || value.isObject()) return false;
    const Access* a = AccessOf(name, idx.size());
    return a && a->let && a->let(o, idx, value);
}

namespace {
// Controls of another top-level window (an owned dialog) belong to that window; menus are
// pop-up windows but part of their window's menu bar.
bool InOtherWindow(QObject* c, QWidget* window) {
    for (QObject* p = c; p && p != window; p = p->parent()) {
        auto* w = qobject_cast<QWidget*>(p);
        if (w && w->isWindow() && !qobject_cast<QMenu*>(w)) return true;
    }
    return false;
}
} // namespace

std::vector<QObject*> NamedControls(QWidget* window) {
    std::vector<QObject*> out;
    if (!window) return out;
    // findChildren lists depth-first in creation order, which is the window's control order.
    const QList<QObject*> all = window->findChildren<QObject*>();
    for (QObject* c : all) {
        const QString name = c->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_"))) continue;
        if (!qobject_cast<QWidget*>(c) && !qobject_cast<QAction*>(c)) continue;
        if (InOtherWindow(c, window)) continue;
        out.push_back(c);
    }
    return out;
}

std::vector<tessel::PropertyHostPtr> QtLanguageForm::Controls() {
    std::vector<tessel::PropertyHostPtr> out;
    for (QObject* c : NamedControls(window_))
        out.push_back(QtPropertyHost::make(c));
    return out;
}

namespace {
struct FormRegistry {
    std::vector<std::pair<QPointer<QWidget>, std::unique_ptr<QtLanguageForm>>> forms;
    bool providerSet = false;
    void Prune() {
        std::erase_if(forms, [](const auto& p) { return p.first.isNull(); });
    }
};
FormRegistry& Registry() {
    static FormRegistry r;
    return r;
}
} // namespace

void RegisterLanguageWindow(QWidget* window) {
    FormRegistry& r = Registry();
    r.Prune();
    for (auto& p : r.forms)
        if (p.first == window) return;
    r.forms.emplace_back(QPointer<QWidget>(window), std::make_unique<QtLanguageForm>(window));
    if (!r.providerSet) {
        r.providerSet = true;
        lvlang::SetLoadedFormsProvider([] {
            FormRegistry& reg = Registry();
            reg.Prune();
            std::vector<lvlang::ILanguageForm*> list;
            for (auto& p : reg.forms)
                list.push_back(p.second.get());
            return list;
        });
    }
}

std::vector<QWidget*> LanguageWindows() {
    FormRegistry& r = Registry();
    r.Prune();
    std::vector<QWidget*> out;
    for (auto& p : r.forms)
        out.push_back(p.first);
    return out;
}

bool ApplyFormLanguage(QWidget* window) {
    if (!window) return false;
    QtLanguageForm form(window);
    return lvlang::LoadFormLanguage(form);
}

bool ApplyObjectLanguage(QObject* control) {
    if (!control) return false;
    QtPropertyHost host(control);
    return lvlang::LoadObjectLanguage(host);
}

} // namespace pelmar::ui

// Property access by name on real Qt widgets, and a language file applied to a whole window
// through it.
#include "UiTestSupport.h"
#include "pelmar/ui/QtPropertyHost.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>

using pelmar::ui::QtPropertyHost;

namespace {

std::string Get(QObject* o, const std::string& path) {
    tessel::clsTessel t;
    QtPropertyHost h(o);
    tessel::Variant v;
    if (!t.GetProp(&h, path, v)) return "<fail>";
    return v.toText();
}
bool Let(QObject* o, const std::string& path, const tessel::Variant& v) {
    tessel::clsTessel t;
    QtPropertyHost h(o);
    return t.LetProp(&h, path, v);
}

// Each widget kind maps Caption, Text and ToolTipText onto its own Qt property.
TEST(QtPropertyHost, CaptionTextAndTipReachEachWidgetKind) {
    QWidget window;
    auto* button = new QPushButton("Upload", &window);
    auto* label = new QLabel("Records :", &window);
    auto* check = new QCheckBox("Week", &window);
    auto* frame = new QGroupBox("Comm  Port", &window);
    auto* edit = new QLineEdit("10", &window);
    auto* action = new QAction("Version", &window);
    auto* menu = new QMenu("&Help", &window);
    window.setWindowTitle("Lorvane");

    struct Case {
        QObject* object;
        std::string prop, before, after;
    } cases[] = {
        {&window, "Caption", "Lorvane", "Lorvane DE"},
        {button, "Caption", "Upload", "Hochladen"},
        {button, "Text", "Hochladen", "Laden"},
        {label, "Caption", "Records :", "Datensätze :"},
        {check, "Caption", "Week", "Woche"},
        {frame, "Caption", "Comm  Port", "Anschluss"},
        {edit, "Text", "10", "20"},
        {edit, "Caption", "20", "30"},
        {action, "Caption", "Version", "Fassung"},
        {menu, "Caption", "&Help", "&Hilfe"},
        {button, "ToolTipText", "", "Alle Datensätze laden"},
        {action, "ToolTipText", "Fassung", "Programmversion"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prop + " on " + c.object->metaObject()->className());
        EXPECT_EQ(Get(c.object, c.prop), c.before);
        EXPECT_TRUE(Let(c.object, c.prop, c.after));
        EXPECT_EQ(Get(c.object, c.prop), c.after);
    }
    EXPECT_EQ(button->text(), "Laden");
    EXPECT_EQ(frame->title(), "Anschluss");
    EXPECT_EQ(menu->title(), "&Hilfe");
    EXPECT_EQ(window.windowTitle(), "Lorvane DE");
}

TEST(QtPropertyHost, TagIsKeptOnTheObject) {
    QPushButton b;
    EXPECT_EQ(Get(&b, "Tag"), "");
    EXPECT_TRUE(Let(&b, "Tag", "lng:{cap=13000, tip=13001}"));
    EXPECT_EQ(Get(&b, "tag"), "lng:{cap=13000, tip=13001}");
    EXPECT_EQ(pelmar::ui::Tag(&b), "lng:{cap=13000, tip=13001}");
}

TEST(QtPropertyHost, ComboListEntriesAndSelectionByText) {
    QComboBox box;
    box.addItems({"AUTO", "TCP/IP", "COM1"});
    EXPECT_EQ(Get(&box, "List(0)"), "AUTO");
    EXPECT_EQ(Get(&box, "List(2)"), "COM1");
    EXPECT_EQ(Get(&box, "List(3)"), "<fail>");
    EXPECT_EQ(Get(&box, "ListCount"), "3");
    EXPECT_TRUE(Let(&box, "List(0)", "AUTOMATISCH"));
    EXPECT_EQ(box.itemText(0), "AUTOMATISCH");
    EXPECT_FALSE(Let(&box, "List(5)", "x"));
    // A drop-down list takes a Text by choosing that entry; an unknown text is refused.
    EXPECT_TRUE(Let(&box, "Text", "com1"));
    EXPECT_EQ(box.currentIndex(), 2);
    EXPECT_FALSE(Let(&box, "Text", "COM9"));
    EXPECT_EQ(box.currentIndex(), 2);
    EXPECT_TRUE(Let(&box, "ListIndex", -1));
    EXPECT_EQ(box.currentIndex(), -1);
}

// Row 0 of a grid is its header row.
TEST(QtPropertyHost, TextMatrixAddressesHeaderAndCells) {
    QTableWidget grid(2, 3);
    grid.setHorizontalHeaderLabels({"No", "Card ID", "Date"});
    grid.setItem(1, 2, new QTableWidgetItem("2026/12/07"));
    EXPECT_EQ(Get(&grid, "TextMatrix(0,1)"), "Card ID");
    EXPECT_EQ(Get(&grid, "TextMatrix(2,2)"), "2026/12/07");
    EXPECT_TRUE(Let(&grid, "TextMatrix(0,1)", "Track2"));
    EXPECT_EQ(grid.horizontalHeaderItem(1)->text(), "Track2");
    EXPECT_TRUE(Let(&grid, "TextMatrix(1,0)", "1"));
    EXPECT_EQ(grid.item(0, 0)->text(), "1");
    EXPECT_FALSE(Let(&grid, "TextMatrix(3,0)", "x"));
    EXPECT_FALSE(Let(&grid, "TextMatrix(0,3)", "x"));
}

// ColumnHeaders counts from 1, like the list view's collection.
TEST(QtPropertyHost, ColumnHeadersOfTreeAndModelViews) {
    QTreeWidget tree;
    tree.setHeaderLabels({"Port", "Result"});
    EXPECT_EQ(Get(&tree, "ColumnHeaders(1).Text"), "Port");
    EXPECT_TRUE(Let(&tree, "ColumnHeaders(2).Text", "Ergebnis"));
    EXPECT_EQ(tree.headerItem()->text(1), "Ergebnis");
    EXPECT_FALSE(Let(&tree, "ColumnHeaders(0).Text", "x"));
    EXPECT_FALSE(Let(&tree, "ColumnHeaders(3).Text", "x"));

    QTableView view;
    QStandardItemModel model(0, 2);
    model.setHorizontalHeaderLabels({"A", "B"});
    view.setModel(&model);
    EXPECT_TRUE(Let(&view, "ColumnHeaders(2).Text", "Bee"));
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Bee");
}

TEST(QtPropertyHost, TabsAndToolBarButtons) {
    QTabWidget tabs;
    tabs.addTab(new QWidget, "General");
    tabs.addTab(new QWidget, "Display");
    EXPECT_EQ(Get(&tabs, "TabCaption(1)"), "Display");
    EXPECT_TRUE(Let(&tabs, "TabCaption(0)", "Allgemein"));
    EXPECT_TRUE(Let(&tabs, "Tabs(2).Caption", "Anzeige"));
    EXPECT_TRUE(Let(&tabs, "Tabs(2).ToolTipText", "tip"));
    EXPECT_EQ(tabs.tabText(0), "Allgemein");
    EXPECT_EQ(tabs.tabText(1), "Anzeige");
    EXPECT_EQ(tabs.tabToolTip(1), "tip");

    QToolBar bar;
    QAction* open = bar.addAction("Open");
    auto* sub = new QMenu(&bar);
    sub->addAction("Recent");
    open->setMenu(sub);
    EXPECT_TRUE(Let(&bar, "Buttons(1).Caption", "Öffnen"));
    EXPECT_TRUE(Let(&bar, "Buttons(1).ToolTipText", "Datei öffnen"));
    EXPECT_TRUE(Let(&bar, "Buttons(1).ButtonMenus(1).Text", "Zuletzt"));
    EXPECT_EQ(open->text(), "Öffnen");
    EXPECT_EQ(open->toolTip(), "Datei öffnen");
    EXPECT_EQ(sub->actions()[0]->text(), "Zuletzt");
    EXPECT_FALSE(Let(&bar, "Buttons(2).Caption", "x"));
}

TEST(QtPropertyHost, FontPropertiesMapOntoQFont) {
    QLabel label("x");
    QFont f("DejaVu Sans");
    f.setPointSizeF(9);
    label.setFont(f);
    EXPECT_EQ(Get(&label, "Font.Size"), "9");
    EXPECT_EQ(Get(&label, "Font.Bold"), "False");
    EXPECT_EQ(Get(&label, "Font.Charset"), "1");
    EXPECT_TRUE(Let(&label, "Font.Size", 14.5));
    EXPECT_TRUE(Let(&label, "Font.Bold", true));
    EXPECT_TRUE(Let(&label, "Font.Italic", "True"));
    EXPECT_TRUE(Let(&label, "Font.Name", "DejaVu Serif"));
    EXPECT_TRUE(Let(&label, "Font.Charset", 136));
    EXPECT_DOUBLE_EQ(label.font().pointSizeF(), 14.5);
    EXPECT_TRUE(label.font().bold());
    EXPECT_TRUE(label.font().italic());
    EXPECT_EQ(label.font().family(), "DejaVu Serif");
    EXPECT_EQ(Get(&label, "Font.Charset"), "136");
    EXPECT_EQ(Get(&label, "Font.Weight"), "700");
    // Sizes that make no font are refused and leave the font alone.
    EXPECT_FALSE(Let(&label, "Font.Size", 0));
    EXPECT_FALSE(Let(&label, "Font.Size", "big"));
    EXPECT_DOUBLE_EQ(label.font().pointSizeF(), 14.5);
}

TEST(QtPropertyHost, UnknownNamesAndDeadObjectsFailQuietly) {
    auto* b = new QPushButton("x");
    QtPropertyHost h(b);
    tessel::Variant v;
    EXPECT_FALSE(h.GetProperty("NoSuchThing", {}, v));
    EXPECT_FALSE(h.LetProperty("List", {0}, "x"));
    EXPECT_FALSE(h.GetProperty("TextMatrix", {0, 0}, v));
    delete b;
    EXPECT_FALSE(h.GetProperty("Caption", {}, v));
    EXPECT_FALSE(h.LetProperty("Caption", {}, "y"));
}

// A language file reaches every named control of a window, keeps the run-time caption
// suffix, and a later language change reaches all registered windows at once.
TEST(QtLanguageForm, LanguageFileReachesEveryNamedControl) {
    uitest::WriteLanguageFile(
        "de.lng", "[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n"
                  "Font.Size=11\r\n"
                  "[FONT]\r\n1000=DejaVu Serif\r\n1001=16\r\n"
                  "[LANGUGAE]\r\n10000=Lorvane DE\r\n10001=&Hilfe\r\n12000=Anschluss\r\n"
                  "12001=AUTOMATISCH\r\n13000=Hochladen\r\n13001=Alle laden\r\n"
                  "11001=Kartennummer\r\n");
    lvlang::SaveSetting("Language", "DefaultLCID", "1031");
    lvlang::SaveSetting("Language", "Language", "Deutsch");

    QMainWindow window;
    window.setObjectName("frmMain");
    window.setWindowTitle("Lorvane");
    pelmar::ui::SetTag(&window, "lng:{cap=10000}");
    QMenu* help = window.menuBar()->addMenu("&Help");
    help->setObjectName("mnuHelp");
    pelmar::ui::SetTag(help, "lng:{cap=10001}");
    auto* central = new QWidget;
    window.setCentralWidget(central);
    auto* frame = new QGroupBox("Comm  Port", central);
    frame->setObjectName("Frame1");
    pelmar::ui::SetTag(frame, "lng:{cap=12000}");
    auto* port = new QComboBox(frame);
    port->setObjectName("cboPort");
    port->addItems({"AUTO", "TCP/IP"});
    pelmar::ui::SetTag(port, "lng:{lst(0)=12001, lst(1)=12002}");
    auto* upload = new QPushButton("Upload", central);
    upload->setObjectName("cmdMSR_0");
    pelmar::ui::SetTag(upload, "lng:{cap=13000, tip=13001}");
    auto* panel = new QLabel("", central);
    panel->setObjectName("labMsgBox");
    pelmar::ui::SetTag(panel, "fnt:{name=1000, size=1001}");
    auto* grid = new QTableWidget(0, 2, central);
    grid->setObjectName("fgData");
    grid->setHorizontalHeaderLabels({"No", "Card ID"});
    pelmar::ui::SetTag(grid, "lng:{TTMx(0,0)=11000,TTMx(0,1)=11001}");

    ASSERT_TRUE(pelmar::ui::ApplyFormLanguage(&window));
    EXPECT_EQ(window.windowTitle(), "Lorvane DE");
    EXPECT_EQ(help->title(), "&Hilfe");
    EXPECT_EQ(frame->title(), "Anschluss");
    EXPECT_EQ(port->itemText(0), "AUTOMATISCH");
    EXPECT_EQ(port->itemText(1), "TCP/IP"); // no key 12002: unchanged
    EXPECT_EQ(upload->text(), "Hochladen");
    EXPECT_EQ(upload->toolTip(), "Alle laden");
    EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "Kartennummer");
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "No");
    EXPECT_DOUBLE_EQ(upload->font().pointSizeF(), 11);
    EXPECT_EQ(panel->font().family(), "DejaVu Serif");
    EXPECT_DOUBLE_EQ(panel->font().pointSizeF(), 16);

    // The caption gains a suffix at run time; a reload keeps it after the translated title.
    window.setWindowTitle("Lorvane DE  -  Front Door");
    pelmar::ui::RegisterLanguageWindow(&window);
    uitest::WriteLanguageFile("de.lng",
                              "[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n"
                              "[LANGUGAE]\r\n10000=Lorvane Deutsch\r\n13000=Laden\r\n");
    lvlang::ReleaseLanguageObject(); // read the file afresh
    lvlang::ReloadAllForms();
    EXPECT_EQ(window.windowTitle(), "Lorvane Deutsch  -  Front Door");
    EXPECT_EQ(upload->text(), "Laden");
    EXPECT_EQ(frame->title(), "Anschluss"); // key gone: the previous text stays
    lvlang::ReleaseLanguageObject();
}

} // namespace

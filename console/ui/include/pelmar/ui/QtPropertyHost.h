// Property access by name on Qt widgets and actions, so that the language service (tag strings,
// GetProp/LetProp) reaches every window and control of the console the same way.
//
// Names understood (lvlang/PropertyNames.h holds them with their number of indexes, the
// language layer's "lng" keys lead to them; case-insensitive; indexes in brackets):
//   Tag                       the control's tag string (kept in the object property "Tag")
//   Name                      objectName (read-only)
//   Caption                   window title; button, label, check box, group box, action text;
//                             menu title; a QLineEdit's text
//   ToolTipText               tool tip (widgets and actions)
//   Text                      line edit, combo box (editable: edit text; list: selects the
//                             entry with that text), label, button, plain/rich text edit
//   List(i)                   combo box or list widget entry i (0-based); ListCount, ListIndex,
//                             ItemData(i)
//   TextMatrix(r,c)           grid cell; row 0 is the header row of a table view/widget
//   ColumnHeaders(i).Text     header of column i of a list/tree/table view (1-based)
//   TabCaption(i)             tab text of a QTabWidget/QTabBar (0-based)
//   Tabs(i).Caption           tab i (1-based) with Caption and ToolTipText
//   Buttons(i).Caption        action i (1-based) of a tool bar, with ToolTipText and
//                             ButtonMenus(j).Text (the action's menu, 1-based)
//   Font                      object with Name, Size (points), Charset, Bold, Italic,
//                             Underline, Strikethrough, Weight
//   Enabled, Visible          the widget's (or action's) state
//   Image, Picture            accepted only as a file path of an image (buttons and labels)
// A property the object lacks, a bad index or an unusable value gives false; nothing throws.
#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <lvlang/LanguageTarget.h>
#include <memory>
#include <tessel/clsTessel.h>
#include <vector>

namespace pelmar::ui {

// The dynamic property that holds a control's tag string.
inline constexpr const char* kTagProperty = "Tag";
// The tag string of a widget or action ("" when it has none).
QString Tag(const QObject* object);
void SetTag(QObject* object, const QString& tag);

class QtPropertyHost : public tessel::IPropertyHost {
public:
    explicit QtPropertyHost(QObject* object) : object_(object) {}
    static std::shared_ptr<QtPropertyHost> make(QObject* object) {
        return std::make_shared<QtPropertyHost>(object);
    }
    QObject* Object() const { return object_; }

    bool GetProperty(const std::string& name, const std::vector<int>& idx,
                     tessel::Variant& out) override;
    bool LetProperty(const std::string& name, const std::vector<int>& idx,
                     const tessel::Variant& value) override;

private:
    QPointer<QObject> object_;
};

// A top-level window for the language service: the window's own properties, plus its named
// controls (widgets and actions with an objectName, Qt's internal children left out) in
// creation order.
class QtLanguageForm : public lvlang::ILanguageForm {
public:
    explicit QtLanguageForm(QWidget* window) : host_(window), window_(window) {}
    bool GetProperty(const std::string& name, const std::vector<int>& idx,
                     tessel::Variant& out) override {
        return host_.GetProperty(name, idx, out);
    }
    bool LetProperty(const std::string& name, const std::vector<int>& idx,
                     const tessel::Variant& value) override {
        return host_.LetProperty(name, idx, value);
    }
    std::vector<tessel::PropertyHostPtr> Controls() override;
    QWidget* Window() const { return window_; }

private:
    QtPropertyHost host_;
    QPointer<QWidget> window_;
};

// The named controls of a window as the language service walks them.
std::vector<QObject*> NamedControls(QWidget* window);

// Applies the current language to a whole window (LoadFormLanguage) or to one control
// (LoadObjectLanguage). False when the object has no font to read.
bool ApplyFormLanguage(QWidget* window);
bool ApplyObjectLanguage(QObject* control);

// Every top-level console window registers itself so that a language change reaches all
// open windows at once (ReloadAllForms). Registration ends when the window is destroyed.
void RegisterLanguageWindow(QWidget* window);
std::vector<QWidget*> LanguageWindows();

} // namespace pelmar::ui

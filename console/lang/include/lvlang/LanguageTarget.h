// What the language service needs from the console's windows: property access by name
// (Tessel's IPropertyHost: "Tag", "Caption", "Font" with "Name"/"Size"/"Charset", "List(i)",
// "ToolTipText" ...), the window's controls in control order, and a drop-down list for the
// language dialog.
#pragma once
#include <QString>
#include <cstdint>
#include <tessel/clsTessel.h>
#include <vector>

namespace lvlang {

// A window: its own properties plus its controls, in the window's control order.
class ILanguageForm : public tessel::IPropertyHost {
public:
    virtual std::vector<tessel::PropertyHostPtr> Controls() = 0;
};

// The drop-down list the language dialog attaches: items with a text and a 32-bit item data.
class ILanguageBox {
public:
    virtual ~ILanguageBox() = default;
    virtual void Clear() = 0;
    virtual void AddItem(const QString& text, std::int32_t itemData) = 0;
    virtual int ListCount() const = 0;
    virtual int ListIndex() const = 0; // -1: nothing selected
    virtual void SetListIndex(int index) = 0;
    virtual QString ItemText(int index) const = 0;
    virtual std::int32_t ItemData(int index) const = 0;
};

} // namespace lvlang

// The property names of the console's windows, in one table: the window host
// (pelmar::ui::QtPropertyHost) answers exactly these names, and the language layer turns the
// keys of "lng" tag items into them ("cap" Caption, "lst(2)" List(2), "btmt(1,2)"
// Buttons(1).ButtonMenus(2).Text ...). Names and keys are compared without regard to case.
#pragma once
#include <QString>
#include <cstddef>
#include <optional>
#include <span>

namespace lvlang {

enum class Property {
    Tag,
    Name,
    Caption,
    Text,
    ToolTipText,
    Font,
    Enabled,
    Visible,
    List,
    ListCount,
    ListIndex,
    ItemData,
    TextMatrix,
    ColumnHeaders,
    TabCaption,
    Tabs,
    Buttons,
    ButtonMenus,
    Image,
    Picture,
};

struct PropertyName {
    Property property;
    const char* name; // as property paths write it
    int indexes;      // how many indexes it takes: List(i) 1, TextMatrix(r,c) 2
};
// Every property, in the order of the enum.
std::span<const PropertyName> PropertyNames();
const PropertyName& NameOf(Property property);
// The property `name` names with `indexes` indexes; nothing for an unknown name or another
// number of indexes.
std::optional<Property> FindProperty(const QString& name, std::size_t indexes);

// A key of a "lng" tag item and the property path it stands for: the property, its index as
// the key writes it, then `member`. A "%1" in `member` takes the key's second index; with a
// single index the path ends at the property.
struct LanguageKey {
    const char* key;
    Property property;
    const char* member;
};
std::span<const LanguageKey> LanguageKeys();

} // namespace lvlang

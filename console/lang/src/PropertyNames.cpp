#include <lvlang/PropertyNames.h>

namespace lvlang {

namespace {

constexpr PropertyName kProperties[] = {
    {Property::Tag, "Tag", 0},
    {Property::Name, "Name", 0},
    {Property::Caption, "Caption", 0},
    {Property::Text, "Text", 0},
    {Property::ToolTipText, "ToolTipText", 0},
    {Property::Font, "Font", 0},
    {Property::Enabled, "Enabled", 0},
    {Property::Visible, "Visible", 0},
    {Property::List, "List", 1},
    {Property::ListCount, "ListCount", 0},
    {Property::ListIndex, "ListIndex", 0},
    {Property::ItemData, "ItemData", 1},
    {Property::TextMatrix, "TextMatrix", 2},
    {Property::ColumnHeaders, "ColumnHeaders", 1},
    {Property::TabCaption, "TabCaption", 1},
    {Property::Tabs, "Tabs", 1},
    {Property::Buttons, "Buttons", 1},
    {Property::ButtonMenus, "ButtonMenus", 1},
    {Property::Image, "Image", 0},
    {Property::Picture, "Picture", 0},
};

constexpr bool InEnumOrder() {
    for (std::size_t i = 0; i < std::size(kProperties); ++i)
        if (static_cast<std::size_t>(kProperties[i].property) != i) return false;
    return true;
}
static_assert(InEnumOrder() && std::size(kProperties) == std::size_t(Property::Picture) + 1);

constexpr LanguageKey kKeys[] = {
    {"CAP", Property::Caption, ""},
    {"TIP", Property::ToolTipText, ""},
    {"TXT", Property::Text, ""},
    {"IMG", Property::Image, ""},
    {"PIC", Property::Picture, ""},
    {"LST", Property::List, ""},
    {"TBCP", Property::TabCaption, ""},
    {"CLHT", Property::ColumnHeaders, ".Text"},
    {"BTCP", Property::Buttons, ".Caption"},
    {"BTTP", Property::Buttons, ".ToolTipText"},
    {"BTMT", Property::Buttons, ".ButtonMenus(%1).Text"},
    {"TBSC", Property::Tabs, ".Caption"},
    {"TBST", Property::Tabs, ".ToolTipText"},
    {"TTMX", Property::TextMatrix, ""},
};

} // namespace

std::span<const PropertyName> PropertyNames() {
    return kProperties;
}

const PropertyName& NameOf(Property property) {
    return kProperties[static_cast<std::size_t>(property)];
}

std::optional<Property> FindProperty(const QString& name, std::size_t indexes) {
    for (const PropertyName& p : kProperties)
        if (name.compare(QLatin1String(p.name), Qt::CaseInsensitive) == 0)
            return std::size_t(p.indexes) == indexes ? std::optional(p.property) : std::nullopt;
    return std::nullopt;
}

std::span<const LanguageKey> LanguageKeys() {
    return kKeys;
}

} // namespace lvlang

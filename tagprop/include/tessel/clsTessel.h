// Tessel: tag strings (blank-separated groups name:{key=value, ...} kept in a control's Tag),
// a small printf-like formatter and property access by dotted path on objects that expose
// named properties through IPropertyHost. Standard C++ only; texts are UTF-8 std::string.
// No operation throws: faults come back as false, "not found" or the text built so far.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#if defined(TESSEL_BUILD)
#define TESSEL_API __attribute__((visibility("default")))
#else
#define TESSEL_API
#endif

namespace tessel {

class IPropertyHost;
using PropertyHostPtr = std::shared_ptr<IPropertyHost>;

// A property value: nothing, text, integer, double, Boolean or a reference to an object that
// itself has named properties.
class TESSEL_API Variant {
public:
    enum class Kind { Empty, Text, Integer, Double, Boolean, Object };

    Variant() = default;
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(const char* s) : v_(std::string(s ? s : "")) {}
    Variant(int i) : v_(static_cast<std::int64_t>(i)) {}
    Variant(long i) : v_(static_cast<std::int64_t>(i)) {}
    Variant(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Variant(unsigned i) : v_(static_cast<std::int64_t>(i)) {}
    Variant(unsigned long i) : Variant(static_cast<unsigned long long>(i)) {}
    Variant(unsigned long long i) {
        if (i <= static_cast<unsigned long long>(INT64_MAX))
            v_ = static_cast<std::int64_t>(i);
        else
            v_ = static_cast<double>(i);
    }
    Variant(double d) : v_(d) {}
    Variant(bool b) : v_(b) {}
    Variant(PropertyHostPtr o) : v_(std::move(o)) {}

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isEmpty() const { return kind() == Kind::Empty; }
    bool isText() const { return kind() == Kind::Text; }
    bool isObject() const { return kind() == Kind::Object; }
    bool isNumeric() const; // integer, double or Boolean

    // The value as text: numbers in their general form with "." as decimal point, Booleans
    // "True"/"False", nothing and objects "".
    std::string toText() const;
    // The value as a number; false (and out untouched) for objects and non-numeric texts.
    // Nothing counts as 0, True as -1; texts are read with "." as decimal point.
    bool toNumber(double& out) const;
    // The object reference, or null.
    PropertyHostPtr object() const;

    bool operator==(const Variant& o) const { return v_ == o.v_; }

private:
    std::variant<std::monostate, std::string, std::int64_t, double, bool, PropertyHostPtr> v_;
};

// An object with named properties. Each property takes zero to four numeric indexes
// (List(3), TextMatrix(0,5)) and yields a plain value or a nested object (Font, Buttons(2)).
// Implementations return false for a property they lack, a bad index or a value of the
// wrong type; they must not throw.
class IPropertyHost {
public:
    virtual ~IPropertyHost() = default;
    virtual bool GetProperty(const std::string& name, const std::vector<int>& idx,
                             Variant& out) = 0;
    virtual bool LetProperty(const std::string& name, const std::vector<int>& idx,
                             const Variant& value) = 0;
};

// The tag, format and property services. Keeps no state; every call works on its arguments.
// Group names and item keys match case-insensitively and as substrings; the empty name is
// never found.
class TESSEL_API clsTessel {
public:
    // Removes the whole group. Always true.
    bool DeleteTagItems(std::string& szTag, const std::string& szGroupName);
    // Replaces or appends the whole group with szGroupName:{szItemValues}. Always true.
    bool SetTagItems(std::string& szTag, const std::string& szItemValues,
                     const std::string& szGroupName);
    // The group's raw content; false (and "") when the group is missing.
    bool GetTagItems(const std::string& szTag, std::string& szItemValues,
                     const std::string& szGroupName);
    // The item's raw value (blanks kept); false (and "") when the item is missing.
    bool GetTagItem(const std::string& szTag, const std::string& szItemName,
                    std::string& szItemValue, const std::string& szGroupName);
    // Replaces the item's value, adds the item, or adds the group. Always true.
    bool SetTagItem(std::string& szTag, const std::string& szItemName,
                    const std::string& szItemValue, const std::string& szGroupName);
    // Removes one item; false when it was not there.
    bool DeleteTagItem(std::string& szTag, const std::string& szItemName,
                       const std::string& szGroupName);
    // Trimmed names and values of the group's items; false when the group is missing.
    bool EnumTagItems(const std::string& szTag, std::int32_t& lCount,
                      std::vector<std::string>& szItemNames, std::vector<std::string>& szItemValues,
                      const std::string& szGroupName);
    // Raises dblMaxValue to the largest leading number among the item values; false when the
    // group is missing or holds no "=".
    bool MaxItemValue(const std::string& szTag, double& dblMaxValue,
                      const std::string& szGroupName);

    // Formats szText: "\" escapes (\n \r \t \b \f \\ \ddd) and "%" directives (c s x X d i f
    // with width and precision) taking Params in order. On a fault (non-numeric parameter for
    // a number, character code above 255) returns the text built before the faulting
    // directive.
    std::string sprintf(const std::string& szText, const std::vector<Variant>& Params);
    template <typename... Args>
    requires(!(sizeof...(Args) == 1 &&
               (std::is_same_v<std::remove_cvref_t<Args>, std::vector<Variant>> &&
                ...))) std::string sprintf(const std::string& szText, Args&&... args) {
        const std::vector<Variant> params{Variant(std::forward<Args>(args))...};
        return sprintf(szText, params);
    }

    // Reads a property by dotted path (Font.Name, List(3), Buttons(2).ButtonMenus(1).Text).
    // A plain value ends the walk: true when it came from the last part. A path that yields
    // only objects (and the empty path) gives true and leaves Value alone. Faults give false
    // and leave Value alone.
    bool GetProp(IPropertyHost* oObj, const std::string& szProp, Variant& Value);
    // Sets the property named by the last part of the path on the object the rest leads to.
    bool LetProp(IPropertyHost* oObj, const std::string& szProp, const Variant& Value);
};

} // namespace tessel

using tessel::clsTessel;

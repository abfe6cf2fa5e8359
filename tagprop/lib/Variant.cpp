#include "NumberText.h"
#include <tessel/clsTessel.h>

namespace tessel {

bool Variant::isNumeric() const {
    const Kind k = kind();
    return k == Kind::Integer || k == Kind::Double || k == Kind::Boolean;
}

std::string Variant::toText() const {
    switch (kind()) {
    case Kind::Text:
        return std::get<std::string>(v_);
    case Kind::Integer:
        return std::to_string(std::get<std::int64_t>(v_));
    case Kind::Double:
        return detail::GeneralNumber(std::get<double>(v_));
    case Kind::Boolean:
        return std::get<bool>(v_) ? "True" : "False";
    case Kind::Empty:
    case Kind::Object:
        break;
    }
    return std::string();
}

bool Variant::toNumber(double& out) const {
    switch (kind()) {
    case Kind::Empty:
        out = 0;
        return true;
    case Kind::Integer:
        out = static_cast<double>(std::get<std::int64_t>(v_));
        return true;
    case Kind::Double:
        out = std::get<double>(v_);
        return true;
    case Kind::Boolean:
        out = std::get<bool>(v_) ? -1 : 0;
        return true;
    case Kind::Text:
        return detail::ParseWholeNumber(std::get<std::string>(v_), out);
    case Kind::Object:
        break;
    }
    return false;
}

PropertyHostPtr Variant::object() const {
    if (kind() == Kind::Object) return std::get<PropertyHostPtr>(v_);
    return nullptr;
}

} // namespace tessel

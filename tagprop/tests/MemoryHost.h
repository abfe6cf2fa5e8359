// An in-memory object with named, optionally indexed properties, for tests of property access
// by path and of applying languages to windows. Property names match case-insensitively.
// Only properties that exist can be set, and a number property refuses a non-numeric text.
#pragma once
#include <tessel/clsTessel.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tesseltest {

class MemoryHost : public tessel::IPropertyHost {
public:
    static std::shared_ptr<MemoryHost> make() { return std::make_shared<MemoryHost>(); }

    // Defines (or replaces) a property; returns *this for chaining.
    MemoryHost& set(const std::string& name, tessel::Variant v, std::vector<int> idx = {}) {
        props_[key(name, idx)] = std::move(v);
        return *this;
    }
    tessel::Variant get(const std::string& name, std::vector<int> idx = {}) const {
        auto it = props_.find(key(name, idx));
        return it == props_.end() ? tessel::Variant() : it->second;
    }
    bool has(const std::string& name, std::vector<int> idx = {}) const {
        return props_.count(key(name, idx)) != 0;
    }
    int getCalls = 0;
    int letCalls = 0;
    std::vector<std::string> letLog; // "Name(i,j)=value" in the order of the calls

    bool GetProperty(const std::string& name, const std::vector<int>& idx,
                     tessel::Variant& out) override {
        ++getCalls;
        auto it = props_.find(key(name, idx));
        if (it == props_.end()) return false;
        out = it->second;
        return true;
    }
    bool LetProperty(const std::string& name, const std::vector<int>& idx,
                     const tessel::Variant& value) override {
        ++letCalls;
        auto it = props_.find(key(name, idx));
        if (it == props_.end() || it->second.isObject() || value.isObject()) return false;
        tessel::Variant v = value;
        if (it->second.isNumeric()) {
            double d = 0;
            if (!value.toNumber(d)) return false;
            v = tessel::Variant(d);
        } else if (it->second.isText()) {
            v = tessel::Variant(value.toText());
        }
        it->second = v;
        letLog.push_back(key(name, idx, false) + "=" + v.toText());
        return true;
    }

private:
    static std::string key(const std::string& name, const std::vector<int>& idx,
                           bool lower = true) {
        std::string k = name;
        if (lower)
            std::transform(k.begin(), k.end(), k.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (!idx.empty()) {
            k += "(";
            for (size_t i = 0; i < idx.size(); ++i)
                k += (i ? "," : "") + std::to_string(idx[i]);
            k += ")";
        }
        return k;
    }
    std::map<std::string, tessel::Variant> props_;
};

} // namespace tesseltest

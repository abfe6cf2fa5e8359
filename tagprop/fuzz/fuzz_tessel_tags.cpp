// Tag operations and property paths on arbitrary text. Input: fields separated by 0x1F:
// tag, group name, item name, item value, property path.
#include "MemoryHost.h"
#include <tessel/clsTessel.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Fields(const uint8_t* data, size_t size) {
    std::vector<std::string> f(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x1F && f.size() < 5)
            f.emplace_back();
        else
            f.back() += static_cast<char>(data[i]);
    }
    f.resize(5);
    return f;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::vector<std::string> f = Fields(data, size);
    const std::string& tag = f[0];
    const std::string& group = f[1];
    const std::string& item = f[2];
    const std::string& value = f[3];
    clsTessel t;

    std::string out;
    if (t.GetTagItems(tag, out, group)) Check(tag.find(out) != std::string::npos);
    if (t.GetTagItem(tag, item, out, group))
        Check(tag.find(out) != std::string::npos);
    else
        Check(out.empty());

    int32_t n = -1;
    std::vector<std::string> names, values;
    t.EnumTagItems(tag, n, names, values, group);
    Check(n >= 0 && names.size() == static_cast<size_t>(n) && values.size() == names.size());
    for (const std::string& name : names)
        Check(!name.empty());

    double mx = 0;
    t.MaxItemValue(tag, mx, group);

    std::string a = tag, b = tag, c = tag, d = tag;
    Check(t.SetTagItem(a, item, value, group));
    Check(t.SetTagItems(b, value, group));
    Check(t.DeleteTagItems(c, group));
    const bool deleted = t.DeleteTagItem(d, item, group);
    if (!deleted) Check(d == tag);
    // Deleting never makes a tag longer.
    Check(c.size() <= tag.size() && d.size() <= tag.size());

    // Property paths over a small tree.
    auto font = tesseltest::MemoryHost::make();
    font->set("Name", "Arial").set("Size", 9.0);
    auto host = tesseltest::MemoryHost::make();
    host->set("Caption", "c").set("Font", tessel::Variant(font)).set("List", "x", {1});
    tessel::Variant v("keep");
    t.GetProp(host.get(), f[4], v);
    t.LetProp(host.get(), f[4], tessel::Variant(value));
    return 0;
}

// Property access by dotted path over an in-memory object tree.
#include "MemoryHost.h"

#include <gtest/gtest.h>

namespace {

using tessel::Variant;
using tesseltest::MemoryHost;

// A button-like control with a Font object, a list, a grid and a toolbar with menus.
std::shared_ptr<MemoryHost> MakeControl() {
    auto font = MemoryHost::make();
    font->set("Name", "Arial").set("Size", 8.25).set("Charset", 0);
    auto menu = MemoryHost::make();
    menu->set("Text", "Menu text");
    auto button = MemoryHost::make();
    button->set("Caption", "B2").set("ButtonMenus", Variant(menu), {1});
    auto ctl = MemoryHost::make();
    ctl->set("Caption", "Upload")
        .set("Font", Variant(font))
        .set("List", "AUTO", {0})
        .set("List", "TCP/IP", {3})
        .set("TextMatrix", "", {0, 3})
        .set("Buttons", Variant(button), {2})
        .set("Wide", "w", {1, 2, 3, 4})
        .set("Tag", "lng:{cap=13000}");
    return ctl;
}

struct GetCase {
    const char* what;
    std::string path;
    bool ok;
    Variant value; // value after the call (starts as "unchanged")
};

TEST(GetProp, WalksDottedPaths) {
    const GetCase cases[] = {
        {"plain property", "Caption", true, "Upload"},
        {"leading dot", ".Font.Name", true, "Arial"},
        {"blanks around path", "  Font.Size ", true, 8.25},
        {"case-insensitive names", "font.charset", true, 0},
        {"index", "List(3)", true, "TCP/IP"},
        {"index with blanks", "List( 3 )", true, "TCP/IP"},
        {"two indexes", "TextMatrix(0,3)", true, ""},
        {"four indexes", "Wide(1,2,3,4)", true, "w"},
        {"nested objects", "Buttons(2).ButtonMenus(1).Text", true, "Menu text"},
        {"object at the end leaves value", "Font", true, "unchanged"},
        {"empty path", "", true, "unchanged"},
        {"only a dot", ".", true, "unchanged"},
        {"plain value in the middle", "Caption.Length", false, "Upload"},
        {"missing property", "Nothing", false, "unchanged"},
        {"missing index", "List(1)", false, "unchanged"},
        {"five indexes", "Wide(1,2,3,4,5)", false, "unchanged"},
        {"empty part", "Font..Name", false, "unchanged"},
        {"unclosed parenthesis: no index", "Caption(", true, "Upload"},
        {"empty parentheses: no index", "Caption()", true, "Upload"},
    };
    clsTessel t;
    auto ctl = MakeControl();
    for (const auto& c : cases) {
        Variant v("unchanged");
        EXPECT_EQ(t.GetProp(ctl.get(), c.path, v), c.ok) << c.what;
        EXPECT_EQ(v.toText(), c.value.toText()) << c.what;
        EXPECT_EQ(v.kind(), c.value.kind()) << c.what;
    }
}

TEST(GetProp, NullObjectFails) {
    clsTessel t;
    Variant v("x");
    EXPECT_FALSE(t.GetProp(nullptr, "Caption", v));
    EXPECT_EQ(v.toText(), "x");
}

struct LetCase {
    const char* what;
    std::string path;
    Variant value;
    bool ok;
    std::string readBack; // path to read afterwards
    std::string expected;
};

TEST(LetProp, SetsLastPartOfPath) {
    const LetCase cases[] = {
        {"caption", "Caption", "Hochladen", true, "Caption", "Hochladen"},
        {"list item", "List(3)", "TCP", true, "List(3)", "TCP"},
        {"grid cell", "TextMatrix(0,3)", "Date", true, "TextMatrix(0,3)", "Date"},
        {"font name through path", ".Font.Name", "Courier New", true, "Font.Name", "Courier New"},
        {"font size from numeric text", "Font.Size", "12", true, "Font.Size", "12"},
        {"font size refuses text", "Font.Size", "big", false, "Font.Size", "8.25"},
        {"nested menu text", "Buttons(2).ButtonMenus(1).Text", "M", true,
         "Buttons(2).ButtonMenus(1).Text", "M"},
        {"missing property", "Nothing", "x", false, "Caption", "Upload"},
        {"plain value in the middle", "Caption.Length", 3, false, "Caption", "Upload"},
        {"object cannot be let", "Font", "Arial", false, "Font.Name", "Arial"},
        {"five indexes", "Wide(1,2,3,4,5)", "x", false, "Wide(1,2,3,4)", "w"},
    };
    clsTessel t;
    for (const auto& c : cases) {
        auto ctl = MakeControl();
        EXPECT_EQ(t.LetProp(ctl.get(), c.path, c.value), c.ok) << c.what;
        Variant v;
        EXPECT_TRUE(t.GetProp(ctl.get(), c.readBack, v)) << c.what;
        EXPECT_EQ(v.toText(), c.expected) << c.what;
    }
}

TEST(LetProp, EmptyPathSetsNothing) {
    clsTessel t;
    auto ctl = MakeControl();
    EXPECT_TRUE(t.LetProp(ctl.get(), "", "x"));
    EXPECT_TRUE(t.LetProp(ctl.get(), " . ", "x"));
    EXPECT_EQ(ctl->letCalls, 0);
}

TEST(Variant, ConvertsToTextAndNumber) {
    double d = -7;
    EXPECT_EQ(Variant(3.5).toText(), "3.5");
    EXPECT_EQ(Variant(1e20).toText(), "1E+20");
    EXPECT_EQ(Variant(12.0).toText(), "12");
    EXPECT_EQ(Variant(false).toText(), "False");
    EXPECT_EQ(Variant().toText(), "");
    EXPECT_TRUE(Variant(" 2.5 ").toNumber(d));
    EXPECT_EQ(d, 2.5);
    EXPECT_FALSE(Variant("2,5").toNumber(d));
    EXPECT_FALSE(Variant("").toNumber(d));
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(Variant(4294967295u).toText(), "4294967295");
    EXPECT_EQ(Variant(18446744073709551615ull).toText(), "1.84467440737096E+19");
    EXPECT_EQ(Variant(static_cast<unsigned short>(7)).kind(), Variant::Kind::Integer);
    EXPECT_TRUE(Variant(true).toNumber(d));
    EXPECT_EQ(d, -1);
}

} // namespace

// Tag strings: finding groups and items, editing them, listing them, and malformed tags.
#include <tessel/clsTessel.h>

#include <gtest/gtest.h>

namespace {

clsTessel t;

struct GetItemCase {
    const char* what;
    std::string tag;
    std::string item;
    std::string group;
    bool found;
    std::string value;
};

TEST(GetTagItem, FindsItemsByKeyAndGroup) {
    const GetItemCase cases[] = {
        {"upper-case key and group", "lng:{cap=13012, tip=13013}", "TIP", "LNG", true, "13013"},
        {"first key", "lng:{cap=13012, tip=13013}", "cap", "lng", true, "13012"},
        {"blank after = kept", "lng:{cap = 5}", "cap", "lng", true, " 5"},
        {"longer key skipped", "lng:{caption=1, cap=2}", "cap", "lng", true, "2"},
        {"exact index", "lng:{lst(0)=12001, lst(1)=12002}", "lst(1)", "lng", true, "12002"},
        {"key without index finds first", "lng:{lst(0)=12001, lst(1)=12002}", "lst", "lng", true,
         "12001"},
        {"two indexes", "lng:{TTMx(0,0)=11000,TTMx(0,1)=11001}", "ttmx(0,1)", "lng", true, "11001"},
        {"second group", "lng:{cap=17007} fnt:{size=NONE}", "size", "fnt", true, "NONE"},
        {"item of other group not found", "lng:{cap=17007} fnt:{size=NONE}", "size", "lng", false,
         ""},
        {"key inside a longer key is not an item", "lng:{xcap=1}", "cap", "lng", false, ""},
        {"empty value", "lng:{cap=, tip=2}", "cap", "lng", true, ""},
        {"unbracketed group", "lng:cap=5 other", "cap", "lng", true, "5"},
        {"unbracketed group, second item", "lng:cap=5,tip=6", "tip", "lng", true, "6"},
        {"value up to closing brace", "lng:{cap=5 }", "cap", "lng", true, "5 "},
        {"second = makes item unreadable", "lng:{cap=5=6}", "cap", "lng", false, ""},
        {"missing group", "fnt:{cap=1}", "cap", "lng", false, ""},
        {"empty item name", "lng:{cap=1}", "", "lng", false, ""},
        {"empty group name", "lng:{cap=1}", "cap", "", false, ""},
        {"empty tag", "", "cap", "lng", false, ""},
        {"unbalanced open brace", "lng:{cap=1", "cap", "lng", false, ""},
        {"closing brace without opening", "lng:}cap=1", "cap", "lng", false, ""},
        {"longer group name is another group", "lngx:{cap=1} lng:{cap=2}", "cap", "lng", true, "2"},
        {"blanks around colon", "lng :{cap=3}", "cap", "lng", true, "3"},
        {"nested braces end the value", "lng:{cap=1{x}}", "cap", "lng", true, "1"},
        {"unbalanced parenthesis", "lng:{lst(0=1}", "lst(0", "lng", true, "1"},
        {"key without =", "lng:{cap}", "cap", "lng", false, ""},
    };
    for (const auto& c : cases) {
        std::string v = "junk";
        EXPECT_EQ(t.GetTagItem(c.tag, c.item, v, c.group), c.found) << c.what;
        EXPECT_EQ(v, c.value) << c.what;
    }
}

struct GetItemsCase {
    const char* what;
    std::string tag;
    std::string group;
    bool found;
    std::string content;
};

TEST(GetTagItems, ReturnsRawContent) {
    const GetItemsCase cases[] = {
        {"bracketed", "lng:{cap=17007} fnt:{size=NONE}", "fnt", true, "size=NONE"},
        {"first group", "lng:{cap=17007} fnt:{size=NONE}", "lng", true, "cap=17007"},
        {"blanks kept", "lng:{ cap = 1 }", "lng", true, " cap = 1 "},
        {"nested braces counted", "g:{a{b}c} h:{}", "g", true, "a{b}c"},
        {"unbracketed to blank", "lng:cap=5 x", "lng", true, "cap=5"},
        {"unbracketed to end", "x lng:cap=5", "lng", true, "cap=5"},
        {"blank after colon ends group", "name: {a=1}", "name", true, ""},
        {"case-insensitive name", "AutoSave:{Caption=X}", "autosave", true, "Caption=X"},
        {"empty braces", "lng:{}", "lng", true, ""},
        {"colon at end gives up", "lng:", "lng", false, ""},
        {"unbalanced", "lng:{{a}", "lng", false, ""},
        {"name without colon", "lng", "lng", false, ""},
        {"missing", "fnt:{a=1}", "lng", false, ""},
    };
    for (const auto& c : cases) {
        std::string v = "junk";
        EXPECT_EQ(t.GetTagItems(c.tag, v, c.group), c.found) << c.what;
        EXPECT_EQ(v, c.content) << c.what;
    }
}

struct EditCase {
    const char* what;
    std::string tag;
    std::string item;
    std::string value;
    std::string group;
    std::string result;
};

TEST(SetTagItem, ReplacesAddsItemOrGroup) {
    const EditCase cases[] = {
        {"empty tag", "", "cap", "5", "lng", "lng:{cap=5}"},
        {"blank tag", "   ", "cap", "5", "lng", "lng:{cap=5}"},
        {"other group", "fnt:{size=9}", "cap", "5", "lng", "fnt:{size=9} lng:{cap=5}"},
        {"empty group", "lng:{}", "cap", "5", "lng", "lng:{cap=5}"},
        {"blank-only group is not empty", "lng:{ }", "cap", "5", "lng", "lng:{ , cap=5}"},
        {"append item", "lng:{tip=1}", "cap", "5", "lng", "lng:{tip=1, cap=5}"},
        {"replace value", "lng:{cap=1}", "cap", "7", "lng", "lng:{cap=7}"},
        {"replace drops blanks", "lng:{cap = 1 , tip=2}", "cap", "7", "lng", "lng:{cap =7, tip=2}"},
        {"replace trims tag ends", "  lng:{cap=1}  ", "cap", "7", "lng", "lng:{cap=7}"},
        {"unbracketed append", "lng:a=1 x", "cap", "5", "lng", "lng:a=1,cap=5 x"},
        {"unbracketed empty", "lng: x", "cap", "5", "lng", "lng:cap=5 x"},
        {"group name as spelled", "x", "Caption", "A%20B", "AutoSave",
         "x AutoSave:{Caption=A%20B}"},
        {"replace in second group", "lng:{cap=1} AutoSave:{Caption=Old}", "Caption", "New",
         "AutoSave", "lng:{cap=1} AutoSave:{Caption=New}"},
        {"unbalanced group appends new", "lng:{cap=1", "cap", "2", "lng", "lng:{cap=1 lng:{cap=2}"},
    };
    for (const auto& c : cases) {
        std::string tag = c.tag;
        EXPECT_TRUE(t.SetTagItem(tag, c.item, c.value, c.group)) << c.what;
        EXPECT_EQ(tag, c.result) << c.what;
    }
}

struct DeleteCase {
    const char* what;
    std::string tag;
    std::string item;
    std::string group;
    bool ok;
    std::string result;
};

TEST(DeleteTagItem, RemovesItemAndItsDelimiter) {
    const DeleteCase cases[] = {
        {"last item", "lng:{cap=1, tip=2}", "tip", "lng", true, "lng:{cap=1}"},
        {"first item", "lng:{cap=1, tip=2}", "cap", "lng", true, "lng:{tip=2}"},
        {"middle item", "lng:{a=1, b=2, c=3}", "b", "lng", true, "lng:{a=1,c=3}"},
        {"only item", "lng:{cap=1}", "cap", "lng", true, "lng:{}"},
        {"missing item", "lng:{cap=1}", "tip", "lng", false, "lng:{cap=1}"},
        {"missing group", "fnt:{cap=1}", "cap", "lng", false, "fnt:{cap=1}"},
        {"other groups kept", "lng:{cap=1, tip=2} fnt:{size=3}", "tip", "lng", true,
         "lng:{cap=1} fnt:{size=3}"},
        {"unbracketed last item at tag end", "lng:a=1,b=2", "b", "lng", true, "lng:a=1"},
        {"unbracketed last item before blank", "lng:a=1,b=2 x", "b", "lng", true, "lng:a=1 x"},
        {"unbracketed first item", "lng:a=1,b=2", "a", "lng", true, "lng:b=2"},
        {"empty item name", "lng:{cap=1}", "", "lng", false, "lng:{cap=1}"},
    };
    for (const auto& c : cases) {
        std::string tag = c.tag;
        EXPECT_EQ(t.DeleteTagItem(tag, c.item, c.group), c.ok) << c.what;
        EXPECT_EQ(tag, c.result) << c.what;
    }
}

struct GroupEditCase {
    const char* what;
    std::string tag;
    std::string content; // for SetTagItems
    std::string group;
    std::string result;
};

TEST(DeleteTagItems, RemovesWholeGroup) {
    const GroupEditCase cases[] = {
        {"missing group unchanged", "fnt:{a=1}", "", "lng", "fnt:{a=1}"},
        {"at start", "lng:{a=1} fnt:{b=2}", "", "lng", "fnt:{b=2}"},
        {"in the middle", "x:{1=1}  lng:{a=1}  fnt:{b=2}", "", "lng", "x:{1=1} fnt:{b=2}"},
        {"at end", "fnt:{b=2} lng:{a=1}", "", "lng", "fnt:{b=2}"},
        {"unbracketed at end", "fnt:{b=2} lng:a=1", "", "lng", "fnt:{b=2}"},
        {"only group", "lng:{a=1}", "", "lng", ""},
    };
    for (const auto& c : cases) {
        std::string tag = c.tag;
        EXPECT_TRUE(t.DeleteTagItems(tag, c.group)) << c.what;
        EXPECT_EQ(tag, c.result) << c.what;
    }
}

TEST(SetTagItems, ReplacesOrAppendsWholeGroup) {
    const GroupEditCase cases[] = {
        {"empty tag gets leading blank", "", "a=1", "g", " g:{a=1}"},
        {"appended", "x:{b=2}", "a=1", "g", "x:{b=2} g:{a=1}"},
        {"at start, nothing follows", "g:{old=1}", "a=1", "g", "g:{a=1} "},
        {"at start, text follows", "g:{old=1}  x:{b=2}", "a=1", "g", "g:{a=1} x:{b=2}"},
        {"elsewhere, nothing follows", "x:{b=2}  g:{old}", "a=1", "g", "x:{b=2} g:{a=1}"},
        {"elsewhere, text follows", "x:{b=2} g:{old} y:{c}", "a=1", "g", "x:{b=2} g:{a=1} y:{c}"},
    };
    for (const auto& c : cases) {
        std::string tag = c.tag;
        EXPECT_TRUE(t.SetTagItems(tag, c.content, c.group)) << c.what;
        EXPECT_EQ(tag, c.result) << c.what;
    }
}

struct EnumCase {
    const char* what;
    std::string tag;
    std::string group;
    bool found;
    std::vector<std::string> names;
    std::vector<std::string> values;
};

TEST(EnumTagItems, ListsTrimmedNamesAndValues) {
    const EnumCase cases[] = {
        {"trimmed", "lng:{cap = 5}", "lng", true, {"cap"}, {"5"}},
        {"commas inside indexes",
         "lng:{TTMx(0,0)=11000,TTMx(0,1)=11001}",
         "lng",
         true,
         {"TTMx(0,0)", "TTMx(0,1)"},
         {"11000", "11001"}},
        {"two items",
         "lng:{cap=13012, tip=13013}",
         "lng",
         true,
         {"cap", "tip"},
         {"13012", "13013"}},
        {"pieces without = or starting with = skipped",
         "g:{a, =1, b=2,  =3}",
         "g",
         true,
         {"b"},
         {"2"}},
        {"blank name skipped", "g:{ =1, c=}", "g", true, {"c"}, {""}},
        {"value with second =", "g:{a=b=c}", "g", true, {"a"}, {"b=c"}},
        {"no = at all", "g:{abc}", "g", true, {}, {}},
        {"empty group", "g:{}", "g", true, {}, {}},
        {"missing group", "x:{a=1}", "g", false, {}, {}},
    };
    for (const auto& c : cases) {
        int32_t n = 99;
        std::vector<std::string> names{"old"}, values{"old"};
        EXPECT_EQ(t.EnumTagItems(c.tag, n, names, values, c.group), c.found) << c.what;
        EXPECT_EQ(n, static_cast<int32_t>(c.names.size())) << c.what;
        EXPECT_EQ(names, c.names) << c.what;
        EXPECT_EQ(values, c.values) << c.what;
    }
}

struct MaxCase {
    const char* what;
    std::string tag;
    double start;
    bool ok;
    double result;
};

TEST(MaxItemValue, RaisesToLargestValue) {
    const MaxCase cases[] = {
        {"from zero", "lng:{a=3, b=12, c=x}", 0, true, 12},
        {"start above all values", "lng:{a=3, b=12, c=x}", 20, true, 20},
        {"leading number, blanks ignored", "lng:{a= 1 5x}", 0, true, 15},
        {"decimals", "lng:{a=2.5, b=2.25}", 0, true, 2.5},
        {"parentheses not honoured", "lng:{t(0,9)=4}", 0, true, 4},
        {"blank key skipped", "lng:{ =99, a=1}", 0, true, 1},
        {"no =", "lng:{abc}", 5, false, 5},
        {"missing group", "fnt:{a=100}", 5, false, 5},
        {"negative values never lower", "lng:{a=-4}", -1, true, -1},
    };
    for (const auto& c : cases) {
        double v = c.start;
        EXPECT_EQ(t.MaxItemValue(c.tag, v, "lng"), c.ok) << c.what;
        EXPECT_DOUBLE_EQ(v, c.result) << c.what;
    }
}

TEST(TagStrings, RoundTripOfEditsKeepsOtherGroups) {
    std::string tag = "lng:{cap=13012, tip=13013} fnt:{name=1000, size=1001}";
    EXPECT_TRUE(t.SetTagItem(tag, "Caption", "Lorvane%20-%20x", "AutoSave"));
    EXPECT_TRUE(t.DeleteTagItem(tag, "name", "fnt"));
    EXPECT_TRUE(t.SetTagItem(tag, "tip", "99", "lng"));
    EXPECT_EQ(tag, "lng:{cap=13012, tip=99} fnt:{size=1001} AutoSave:{Caption=Lorvane%20-%20x}");
    std::string v;
    EXPECT_TRUE(t.GetTagItem(tag, "caption", v, "autosave"));
    EXPECT_EQ(v, "Lorvane%20-%20x");
}

} // namespace

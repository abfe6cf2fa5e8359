// Applying a language to windows and controls through their tag strings and properties.
#include "LangTestSupport.h"
#include "MemoryHost.h"
#include <gtest/gtest.h>
#include <lvlang/PropertyNames.h>
#include <lvlang/Settings.h>
#include <lvlang/clsLanguage.h>
#include <lvlang/modLanguage.h>

using lvlang::clsLanguage;
using tessel::Variant;
using tesseltest::MemoryHost;

namespace {

std::shared_ptr<MemoryHost> MakeFont(const char* name, double size, int charset = 0) {
    auto f = MemoryHost::make();
    f->set("Name", name).set("Size", size).set("Charset", charset).set("Bold", false);
    return f;
}

// A window made of in-memory objects.
class MemoryForm : public lvlang::ILanguageForm {
public:
    std::shared_ptr<MemoryHost> self = MemoryHost::make();
    std::vector<std::shared_ptr<MemoryHost>> controls;

    MemoryForm(const char* caption, const char* tag) {
        self->set("Caption", caption).set("Tag", tag).set("Font", Variant(MakeFont("Arial", 9)));
    }
    std::shared_ptr<MemoryHost> Add(const char* tag) {
        auto c = MemoryHost::make();
        c->set("Tag", tag);
        controls.push_back(c);
        return c;
    }
    bool GetProperty(const std::string& n, const std::vector<int>& i, Variant& out) override {
        return self->GetProperty(n, i, out);
    }
    bool LetProperty(const std::string& n, const std::vector<int>& i, const Variant& v) override {
        return self->LetProperty(n, i, v);
    }
    std::vector<tessel::PropertyHostPtr> Controls() override {
        return {controls.begin(), controls.end()};
    }
};

std::string Text(MemoryHost& h, const std::string& path) {
    clsTessel t;
    Variant v;
    t.GetProp(&h, path, v);
    return v.toText();
}

const QByteArray kGerman = "[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n"
                           "Font.Name=Tahoma\r\nFont.Size=2\r\nFont.Charset=DEFAULT_CHARSET\r\n"
                           "[LANGUGAE]\r\n"
                           "10000=Lorvane DE\r\n"
                           "13000=\r\n"
                           "13012=Login-ID\\n\xE4ndern\r\n"
                           "12001=AUTOM.\r\n12002=TCP\r\n"
                           "11000=Nr.\r\n11001=Karte\r\n"
                           "B1=Knopf\r\nM12=Men\xFC\r\nH3=Spalte\r\n"
                           "[FONT]\r\n1000=Courier New\r\n1001=10\r\n2000=1\r\n";

class Apply : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<clsLanguage> lang;
    void SetUp() override {
        langtest::WriteFile(dir.path(), "de.lng", kGerman);
        lvlang::SaveSetting("Language", "DefaultLCID", "1031");
        lang = std::make_unique<clsLanguage>(dir.path());
        ASSERT_EQ(lang->CurrentFile(), dir.path() + "/de.lng");
    }
};

TEST_F(Apply, TextsFollowTheTagsAndMissingIdsKeepTheText) {
    MemoryForm form("Lorvane", "lng:{cap=10000}");
    auto button = form.Add("lng:{cap=13012, tip=13013}");
    button->set("Caption", "Change \r\nLogin ID").set("ToolTipText", "designed tip");
    auto upload = form.Add("lng:{cap=13000}");
    upload->set("Caption", "Upload");
    auto port = form.Add("lng:{lst(0)=12001, lst(1)=12002}");
    port->set("List", "AUTO", {0}).set("List", "TCP/IP", {1});
    auto grid = form.Add("lng:{TTMx(0,0)=11000,TTMx(0,1)=11001}");
    grid->set("TextMatrix", "No", {0, 0}).set("TextMatrix", "Card ID", {0, 1});
    auto bar = form.Add("lng:{btcp(1)=B1, btmt(1,2)=M12, clht(3)=H3, zzz(1=x, lst=12001}");
    auto menu = MemoryHost::make();
    menu->set("Text", "m");
    auto b1 = MemoryHost::make();
    b1->set("Caption", "b").set("ButtonMenus", Variant(menu), {2});
    auto h3 = MemoryHost::make();
    h3->set("Text", "h");
    bar->set("Buttons", Variant(b1), {1}).set("ColumnHeaders", Variant(h3), {3});

    ASSERT_TRUE(lang->LoadFormStrings(form));
    EXPECT_EQ(Text(*form.self, "Caption"), "Lorvane DE");
    EXPECT_EQ(Text(*button, "Caption"), "Login-ID\r\n\xC3\xA4ndern");
    EXPECT_EQ(Text(*button, "ToolTipText"), "designed tip");
    EXPECT_EQ(Text(*upload, "Caption"), "Upload"); // empty translation never blanks
    EXPECT_EQ(Text(*port, "List(0)"), "AUTOM.");
    EXPECT_EQ(Text(*port, "List(1)"), "TCP");
    EXPECT_EQ(Text(*grid, "TextMatrix(0,0)"), "Nr.");
    EXPECT_EQ(Text(*grid, "TextMatrix(0,1)"), "Karte");
    EXPECT_EQ(Text(*b1, "Caption"), "Knopf");
    EXPECT_EQ(Text(*menu, "Text"), "Men\xC3\xBC");
    EXPECT_EQ(Text(*h3, "Text"), "Spalte");
}

TEST_F(Apply, CaptionSuffixSurvivesALanguageChange) {
    MemoryForm form("Lorvane - COM1", "lng:{cap=10000} AutoSave:{Caption=Lorvane}");
    ASSERT_TRUE(lang->LoadFormStrings(form));
    EXPECT_EQ(Text(*form.self, "Caption"), "Lorvane DE - COM1");
    EXPECT_EQ(Text(*form.self, "Tag"), "lng:{cap=10000} AutoSave:{Caption=Lorvane%20DE}");
    // Applying again keeps one suffix.
    ASSERT_TRUE(lang->LoadFormStrings(form));
    EXPECT_EQ(Text(*form.self, "Caption"), "Lorvane DE - COM1");
    EXPECT_EQ(Text(*form.self, "Tag"), "lng:{cap=10000} AutoSave:{Caption=Lorvane%20DE}");
}

TEST_F(Apply, FirstApplicationStoresTheCaption) {
    MemoryForm form("Date: now", "");
    ASSERT_TRUE(lang->LoadFormStrings(form));
    EXPECT_EQ(Text(*form.self, "Tag"), "AutoSave:{Caption=Date%3A%20now}");
    form.self->set("Caption", "Date: now (busy)");
    ASSERT_TRUE(lang->LoadFormStrings(form));
    EXPECT_EQ(Text(*form.self, "Caption"), "Date: now (busy)");
    EXPECT_EQ(Text(*form.self, "Tag"), "AutoSave:{Caption=Date%3A%20now}");
}

TEST(TagCaption, EncodesReservedCharacters) {
    const struct {
        QString plain, encoded;
    } cases[] = {
        {"A=B, {C}", "A%3DB%2C%20%7BC%7D"},
        {"100%", "100%%"},
        {"x:y", "x%3Ay"},
        {"", ""},
        {QString::fromUtf8("Größe"), QString::fromUtf8("Größe")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clsLanguage::EncodeTagCaption(c.plain), c.encoded);
        EXPECT_EQ(clsLanguage::DecodeTagCaption(c.encoded), c.plain);
    }
    EXPECT_EQ(clsLanguage::DecodeTagCaption("%2c%41%"), "%2c%41%"); // upper-case codes only
}

TEST_F(Apply, FontsFromInfoAndFontSection) {
    MemoryForm form("W", "");
    auto plain = form.Add("lng:{cap=1}");
    auto fPlain = MakeFont("Arial", 12);
    plain->set("Caption", "c").set("Font", Variant(fPlain));
    auto keep = form.Add("lng:{cap=17007} fnt:{size=NONE}");
    auto fKeep = MakeFont("Arial", 14);
    keep->set("Caption", "c").set("Font", Variant(fKeep));
    auto msg = form.Add("fnt:{name=1000, size=1001, bold=2000}");
    auto fMsg = MakeFont("Arial", 8);
    msg->set("Font", Variant(fMsg));
    auto noFont = form.Add("lng:{cap=10000}");
    noFont->set("Caption", "x");

    ASSERT_TRUE(lang->LoadFormStrings(form));
    // Font.Size 2 in "Info" is ignored in favour of the window's own size (9).
    EXPECT_EQ(Text(*form.self, "Font.Name"), "Tahoma");
    EXPECT_EQ(Text(*form.self, "Font.Size"), "9");
    EXPECT_EQ(Text(*form.self, "Font.Charset"), "1");
    EXPECT_EQ(Text(*plain, "Font.Name"), "Tahoma");
    EXPECT_EQ(Text(*plain, "Font.Size"), "9");
    EXPECT_EQ(Text(*keep, "Font.Name"), "Tahoma");
    EXPECT_EQ(Text(*keep, "Font.Size"), "14");
    EXPECT_EQ(Text(*msg, "Font.Name"), "Courier New");
    EXPECT_EQ(Text(*msg, "Font.Size"), "10");
    // Further font properties first, then name, size, character set.
    EXPECT_EQ(fMsg->letLog,
              (std::vector<std::string>{"bold=1", "Name=Courier New", "Size=10", "Charset=1"}));
    EXPECT_EQ(Text(*noFont, "Caption"), "Lorvane DE");
}

TEST_F(Apply, WindowWithoutFontIsRefused) {
    MemoryForm form("W", "lng:{cap=10000}");
    form.self = MemoryHost::make();
    form.self->set("Caption", "W").set("Tag", "lng:{cap=10000}");
    EXPECT_FALSE(lang->LoadFormStrings(form));
    EXPECT_EQ(Text(*form.self, "Caption"), "W");
    EXPECT_EQ(form.self->letCalls, 0);
}

TEST_F(Apply, SingleControl) {
    auto c = MemoryHost::make();
    c->set("Tag", "lng:{cap=10000}").set("Caption", "x").set("Font", Variant(MakeFont("A", 11)));
    EXPECT_TRUE(lang->LoadObjectStrings(*c));
    EXPECT_EQ(Text(*c, "Caption"), "Lorvane DE");
    EXPECT_EQ(Text(*c, "Font.Name"), "Tahoma");
    EXPECT_EQ(Text(*c, "Font.Size"), "11");
    EXPECT_EQ(Text(*c, "Tag"), "lng:{cap=10000}"); // no AutoSave for controls
    auto bare = MemoryHost::make();
    bare->set("Tag", "lng:{cap=10000}").set("Caption", "x");
    EXPECT_FALSE(lang->LoadObjectStrings(*bare));
    EXPECT_EQ(Text(*bare, "Caption"), "x");
}

TEST(ApplyWithoutFile, DesignedTextsStayUnchanged) {
    QTemporaryDir dir;
    clsLanguage lang(dir.path());
    MemoryForm form("Lorvane", "lng:{cap=10000}");
    auto c = form.Add("lng:{cap=13500}");
    c->set("Caption", "Path C:\\\\x\\n");
    ASSERT_TRUE(lang.LoadFormStrings(form));
    EXPECT_EQ(Text(*form.self, "Caption"), "Lorvane");
    EXPECT_EQ(Text(*c, "Caption"), "Path C:\\\\x\\n");
}

struct KeyCase {
    QString key, property;
};

TEST(PropertyForKey, MapsTagKeysToPropertyPaths) {
    const KeyCase cases[] = {
        {"cap", "Caption"},
        {"CAP(3)", "Caption"},
        {"tip", "ToolTipText"},
        {"txt", "Text"},
        {"img", "Image"},
        {"pic", "Picture"},
        {"lst(0)", "List(0)"},
        {"tbcp(2)", "TabCaption(2)"},
        {"clht(2)", "ColumnHeaders(2).Text"},
        {"btcp(1)", "Buttons(1).Caption"},
        {"bttp(1)", "Buttons(1).ToolTipText"},
        {"btmt(1,2)", "Buttons(1).ButtonMenus(2).Text"},
        {"btmt(4)", "Buttons(4)"},
        {"tbsc(0)", "Tabs(0).Caption"},
        {"tbst(0)", "Tabs(0).ToolTipText"},
        {"TTMx(0,5)", "TextMatrix(0,5)"},
        {"lst", ""},
        {"lst(1", ""},
        {"Value", "Value"},
        {"Value(2)", "Value"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(clsLanguage::PropertyForKey(c.key), c.property) << c.key.toStdString();
}

TEST(PropertyNames, ANameFindsItsPropertyOnlyWithItsIndexCount) {
    using lvlang::Property;
    const struct {
        const char* name;
        std::size_t indexes;
        std::optional<Property> found;
    } cases[] = {
        {"caption", 0, Property::Caption},
        {"TOOLTIPTEXT", 0, Property::ToolTipText},
        {"Caption", 1, std::nullopt},
        {"list", 1, Property::List},
        {"List", 0, std::nullopt},
        {"textmatrix", 2, Property::TextMatrix},
        {"TextMatrix", 1, std::nullopt},
        {"Value", 0, std::nullopt},
        {"", 0, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lvlang::FindProperty(QString::fromLatin1(c.name), c.indexes), c.found) << c.name;
    // Every key of a "lng" item leads to a path that starts with its property's name.
    for (const lvlang::LanguageKey& k : lvlang::LanguageKeys()) {
        const QString path = clsLanguage::PropertyForKey(QString::fromLatin1(k.key) + "(1,2)");
        EXPECT_TRUE(path.startsWith(QLatin1String(lvlang::NameOf(k.property).name))) << k.key;
    }
}

TEST(LanguageString, LinksThroughTagOrDirectly) {
    QTemporaryDir dir;
    langtest::WriteFile(dir.path(), "de.lng", kGerman);
    lvlang::SaveSetting("Language", "DefaultLCID", "1031");
    clsLanguage lang(dir.path());
    lvlang::clsLanguageString s;
    EXPECT_TRUE(s.TagLinkString(&lang, "lng:{cap=10000}", "cap", "Lorvane"));
    EXPECT_EQ(s.Text(), "Lorvane DE");
    EXPECT_FALSE(s.TagLinkString(&lang, "lng:{tip=10000}", "cap", "Designed"));
    EXPECT_EQ(s.Text(), "Designed");
    s.LinkString(&lang, "13012", "x");
    EXPECT_EQ(s.Text(), "Login-ID\r\n\xC3\xA4ndern");
    s.LinkString(nullptr, "13012", "x\\ny");
    EXPECT_EQ(s.Text(), "x\\ny");
}

// The module entry points on the shared objects, with the program data folder from
// LORVANE_HOME.
TEST(ModLanguage, SharedObjectFormatsReloadsAndStores) {
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkdir("Language"));
    langtest::WriteFile(home.path() + "/Language", "de.lng",
                        QByteArray(kGerman).replace(
                            "[LANGUGAE]\r\n", "[LANGUGAE]\r\n13514=Keine Verbindung zu %s!\r\n"
                                              "AUTOSCAN011=COM%d weg\r\n"));
    qputenv("LORVANE_HOME", home.path().toUtf8());
    lvlang::SaveSetting("Language", "DefaultLCID", "1031");
    lvlang::SaveSetting("Language", "Language", "Deutsch");

    EXPECT_EQ(lvlang::LangString(10000, "Lorvane"), "Lorvane DE");
    EXPECT_EQ(lvlang::LangString("13502", "ERASE records OK!"), "ERASE records OK!");
    EXPECT_EQ(lvlang::LangFormat(13514, "Can't connect to %s!", QString("COM3")),
              "Keine Verbindung zu COM3!");
    EXPECT_EQ(lvlang::LangFormat("AUTOSCAN011", "COM%d is removed!", 4), "COM4 weg");
    EXPECT_EQ(lvlang::LangFormat(13503, "Can't ERASE records!\\nCan't connect to %s!", "COM1"),
              "Can't ERASE records!\r\nCan't connect to COM1!");

    MemoryForm a("A", "lng:{cap=10000}"), b("B", "lng:{cap=13012}");
    lvlang::SetLoadedFormsProvider([&] { return std::vector<lvlang::ILanguageForm*>{&a, &b}; });
    lvlang::ReloadAllForms();
    EXPECT_EQ(Text(*a.self, "Caption"), "Lorvane DE");
    EXPECT_EQ(Text(*b.self, "Caption"), "Login-ID\r\n\xC3\xA4ndern");
    lvlang::SetLoadedFormsProvider(nullptr);

    QString tag = "lng:{cap=1}";
    EXPECT_TRUE(lvlang::TagSetItem(tag, "tip", "2", "lng"));
    QString v;
    EXPECT_TRUE(lvlang::TagGetItem(tag, "TIP", v, "LNG"));
    EXPECT_EQ(v, "2");
    std::int32_t n = 0;
    QStringList names, values;
    EXPECT_TRUE(lvlang::TagEnumItems(tag, n, names, values, "lng"));
    EXPECT_EQ(names, (QStringList{"cap", "tip"}));

    lvlang::SaveSetting("Language", "DefaultLCID", "7");
    lvlang::ReleaseLanguageObject();
    EXPECT_EQ(lvlang::GetSetting("Language", "DefaultLCID"), "1031");
    EXPECT_EQ(lvlang::GetSetting("Language", "Language"), "Deutsch");
    qunsetenv("LORVANE_HOME");
}

} // namespace

// Language files and tags from arbitrary bytes. Input: a language file, then optionally
// 0x1F and a tag string for a control that the language is applied to.
#include "MemoryHost.h"
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <lvlang/clsLanguage.h>
#include <string>

using lvlang::clsLanguage;

namespace {

clsLanguage* g_lang = nullptr;

class Form : public lvlang::ILanguageForm {
public:
    std::shared_ptr<tesseltest::MemoryHost> self = tesseltest::MemoryHost::make();
    std::shared_ptr<tesseltest::MemoryHost> control = tesseltest::MemoryHost::make();
    bool GetProperty(const std::string& n, const std::vector<int>& i, tessel::Variant& o) override {
        return self->GetProperty(n, i, o);
    }
    bool LetProperty(const std::string& n, const std::vector<int>& i,
                     const tessel::Variant& v) override {
        return self->LetProperty(n, i, v);
    }
    std::vector<tessel::PropertyHostPtr> Controls() override { return {control}; }
};

void Check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The language object reads its stored choice once; give it an empty settings folder.
    char tmpl[] = "/tmp/lorvane-fuzz-lang-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    setenv("XDG_CONFIG_HOME", tmpl, 1);
    static std::string dir;
    dir = tmpl;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    });
    g_lang = new clsLanguage(QString::fromLocal8Bit(tmpl) + "/none");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    const QByteArray all(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype sep = all.indexOf('\x1F');
    const QByteArray file = sep < 0 ? all : all.left(sep);
    const QByteArray tag = sep < 0 ? QByteArray("lng:{cap=1, tip=2, lst(0)=3} fnt:{name=1, size=2}")
                                   : all.mid(sep + 1);
    // The file's bytes go straight to the parser: no file is written or read per input.
    const QString path = QStringLiteral("f.lng");
    lvlang::LanguageEntry e;
    if (clsLanguage::ReadLanguageBytes(e, file, path))
        Check(!e.Language.trimmed().isEmpty() && e.FileName == path);
    g_lang->OpenBytes(path, file);
    const QString text = g_lang->GetString("1", "fb\\n");
    Check(text.size() <= 1023 * 2 || text == "fb\r\n");
    g_lang->GetKeyValue("Font.Size", "9", "Info");

    // Escapes and caption encoding are exact inverses.
    const QString s = QString::fromUtf8(tag);
    Check(clsLanguage::ReadEscapes(clsLanguage::WriteEscapes(s)) == s);
    Check(clsLanguage::DecodeTagCaption(clsLanguage::EncodeTagCaption(s)) == s);
    clsLanguage::PropertyForKey(s);

    Form form;
    auto font = tesseltest::MemoryHost::make();
    font->set("Name", "Arial").set("Size", 9.0).set("Charset", 0);
    auto cfont = tesseltest::MemoryHost::make();
    cfont->set("Name", "Arial").set("Size", 9.0).set("Charset", 0).set("Bold", false);
    form.self->set("Caption", s.left(64).toStdString())
        .set("Tag", tag.toStdString())
        .set("Font", tessel::Variant(font));
    form.control->set("Tag", tag.toStdString())
        .set("Caption", "c")
        .set("Font", tessel::Variant(cfont));
    form.control->set("List", "l", {0}).set("ToolTipText", "t");
    g_lang->LoadFormStrings(form);
    g_lang->LoadFormStrings(form);
    return 0;
}

// Language lookups on a 2,000-key language file: one GetString, and translating a window of
// 60 controls, read afresh on every lookup and with the parsed file kept between lookups.
// Prints markdown rows "| figure | goal | measured | ratio |".
#include "MemoryHost.h"
#include "ProfileCache.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <lvlang/clsLanguage.h>

using lvlang::clsLanguage;
using tessel::Variant;
using tesseltest::MemoryHost;

namespace {

class Form : public lvlang::ILanguageForm {
public:
    std::shared_ptr<MemoryHost> self = MemoryHost::make();
    std::vector<std::shared_ptr<MemoryHost>> controls;
    bool GetProperty(const std::string& n, const std::vector<int>& i, Variant& o) override {
        return self->GetProperty(n, i, o);
    }
    bool LetProperty(const std::string& n, const std::vector<int>& i, const Variant& v) override {
        return self->LetProperty(n, i, v);
    }
    std::vector<tessel::PropertyHostPtr> Controls() override {
        return {controls.begin(), controls.end()};
    }
};

std::shared_ptr<MemoryHost> Font() {
    auto f = MemoryHost::make();
    f->set("Name", "Arial").set("Size", 9.0).set("Charset", 0);
    return f;
}

// A window like the main window: 60 controls with caption and tooltip ids, a few lists.
std::unique_ptr<Form> MakeWindow() {
    auto w = std::make_unique<Form>();
    w->self->set("Caption", "Lorvane - COM1")
        .set("Tag", "lng:{cap=10000}")
        .set("Font", Variant(Font()));
    for (int i = 0; i < 60; ++i) {
        auto c = MemoryHost::make();
        const int id = 13000 + 2 * i;
        std::string tag = "lng:{cap=" + std::to_string(id) + ", tip=" + std::to_string(id + 1);
        c->set("Caption", "c").set("ToolTipText", "").set("Font", Variant(Font()));
        if (i % 10 == 0) {
            tag += ", lst(0)=12001, lst(1)=12002";
            c->set("List", "a", {0}).set("List", "b", {1});
        }
        tag += "}";
        if (i % 20 == 0) tag += " fnt:{name=1000, size=1001}";
        c->set("Tag", tag);
        w->controls.push_back(c);
    }
    return w;
}

template <typename F> double Micros(int reps, F f) {
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < reps; ++i)
        f();
    return static_cast<double>(t.nsecsElapsed()) / 1000.0 / reps;
}

void Row(const char* figure, const char* goal, double measured, const char* unit, double ref) {
    std::printf("| %s | %s | %.3f %s | %s |\n", figure, goal, measured, unit,
                ref > 0 ? QByteArray::number(measured / ref, 'f', 3).constData() : "");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    {
        QFile f(dir.path() + "/big.lng");
        if (!f.open(QIODevice::WriteOnly)) return 1;
        QByteArray b = "[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Gross\r\n"
                       "Font.Name=Tahoma\r\nFont.Size=9\r\n[LANGUGAE]\r\n";
        for (int i = 0; i < 2000; ++i)
            b += QByteArray::number(12000 + i) + "=Translated text number " +
                 QByteArray::number(i) + " with some words\r\n";
        b += "[FONT]\r\n1000=Courier New\r\n1001=10\r\n";
        f.write(b);
    }
    clsLanguage lang(dir.path());
    lang.OpenFile(dir.path() + "/big.lng");
    int k = 0;
    auto lookup = [&] { lang.GetString(QString::number(12000 + (k++ * 7) % 2000), "fb"); };
    auto window = MakeWindow();
    auto translate = [&] { lang.LoadFormStrings(*window); };

    lvlang::ProfileCache::SetEnabled(false);
    const double getFresh = Micros(200, lookup);
    const double winFresh = Micros(10, translate) / 1000.0;
    lvlang::ProfileCache::SetEnabled(true);
    lookup(); // parse once
    const double getCached = Micros(20000, lookup);
    const double winCached = Micros(50, translate) / 1000.0;

    Row("GetString, 2,000-key file read afresh", "-", getFresh, "us", 0);
    Row("GetString, 2,000-key file kept parsed (mtime checked)", "-", getCached, "us", 0);
    Row("Window of 60 controls translated, file read afresh", "20 ms", winFresh, "ms", 20);
    Row("Window of 60 controls translated, file kept parsed", "20 ms", winCached, "ms", 20);
    return 0;
}

// Points XDG_CONFIG_HOME at a fresh folder before anything reads settings, and removes it
// at exit.
#include "LangTestSupport.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct IsolatedConfig {
    std::string dir;
    IsolatedConfig() {
        char tmpl[] = "/tmp/lorvane-lang-test-XXXXXX";
        if (char* d = mkdtemp(tmpl)) dir = d;
        setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
        unsetenv("LORVANE_CODEPAGE");
    }
    ~IsolatedConfig() {
        if (!dir.empty()) QDir(QString::fromStdString(dir)).removeRecursively();
    }
};

IsolatedConfig& Instance() {
    static IsolatedConfig c;
    return c;
}

// Runs before main().
const bool g_init = (Instance(), true);

} // namespace

QString langtest::ConfigHome() {
    return QString::fromStdString(Instance().dir);
}

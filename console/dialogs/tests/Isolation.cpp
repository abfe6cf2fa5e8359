// Every dialog test process starts with an empty settings folder and an empty program data
// folder (no language files: the dialogs show their built-in English texts), unless the test
// executable defines its own program data folder first (DLGTEST_DATA_DIR in its environment).
#include <QDir>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct Isolation {
    std::string config, data;
    Isolation() {
        char c[] = "/tmp/pelmar-dialogs-config-XXXXXX";
        if (char* d = mkdtemp(c)) config = d;
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        char h[] = "/tmp/pelmar-dialogs-home-XXXXXX";
        if (char* d = mkdtemp(h)) data = d;
        QDir().mkpath(QString::fromStdString(data) + "/Language");
        setenv("LORVANE_HOME", data.c_str(), 1);
        unsetenv("LORVANE_CODEPAGE");
    }
    ~Isolation() {
        QDir(QString::fromStdString(config)).removeRecursively();
        QDir(QString::fromStdString(data)).removeRecursively();
    }
};

Isolation g_isolation;

} // namespace

// The program data folder of this test process (with an empty "Language" folder at start).
std::string DialogTestDataDir() {
    return g_isolation.data;
}

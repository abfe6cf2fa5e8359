// Every discovery test process starts with an empty settings folder (no numbered ports from
// earlier runs) and an empty program data folder (no language files: English texts).
#include <QDir>
#include <cstdlib>
#include <string>

namespace {

struct Isolation {
    std::string config, data;
    Isolation() {
        char c[] = "/tmp/pelmar-scan-config-XXXXXX";
        if (char* d = mkdtemp(c)) config = d;
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        char h[] = "/tmp/pelmar-scan-home-XXXXXX";
        if (char* d = mkdtemp(h)) data = d;
        QDir().mkpath(QString::fromStdString(data) + "/Language");
        setenv("LORVANE_HOME", data.c_str(), 1);
        unsetenv("DORLIN_PORTS");
    }
    ~Isolation() {
        QDir(QString::fromStdString(config)).removeRecursively();
        QDir(QString::fromStdString(data)).removeRecursively();
    }
};

Isolation g_isolation;

} // namespace

#include "UiTestSupport.h"

#include <QDir>
#include <QFile>
#include <cstdlib>
#include <string>

namespace {

struct Isolated {
    std::string config, data;
    Isolated() {
        char t1[] = "/tmp/lorvane-ui-cfg-XXXXXX";
        char t2[] = "/tmp/lorvane-ui-data-XXXXXX";
        if (char* d = mkdtemp(t1)) config = d;
        if (char* d = mkdtemp(t2)) data = d;
        QDir(QString::fromStdString(data)).mkpath("Language");
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("LORVANE_HOME", data.c_str(), 1);
        unsetenv("LORVANE_CODEPAGE");
        unsetenv("DORLIN_PORTS");
    }
    ~Isolated() {
        if (!config.empty()) QDir(QString::fromStdString(config)).removeRecursively();
        if (!data.empty()) QDir(QString::fromStdString(data)).removeRecursively();
    }
};

Isolated& Instance() {
    static Isolated i;
    return i;
}
const bool g_init = (Instance(), true);

} // namespace

QString uitest::ConfigHome() {
    return QString::fromStdString(Instance().config);
}
QString uitest::DataHome() {
    return QString::fromStdString(Instance().data);
}
QString uitest::WriteLanguageFile(const QString& name, const QByteArray& bytes) {
    const QString path = DataHome() + "/Language/" + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return QString();
    f.write(bytes);
    return path;
}

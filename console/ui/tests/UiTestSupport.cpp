#include "UiTestSupport.h"
#include "TestSupport.h"

#include <QFile>

namespace {

// Made before anything reads settings; no port list or code page from the caller's
// environment.
lvtest::IsolatedFolders g_isolation("lorvane-ui", {"LORVANE_CODEPAGE", "DORLIN_PORTS"});

} // namespace

QString uitest::DataHome() {
    return QString::fromStdString(g_isolation.data());
}
QString uitest::WriteLanguageFile(const QString& name, const QByteArray& bytes) {
    const QString path = DataHome() + "/Language/" + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return QString();
    f.write(bytes);
    return path;
}

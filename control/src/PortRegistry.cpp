#include "PortRegistry.h"

#include <QMap>
#include <QRegularExpression>
#include <QSettings>

namespace dorlin {
namespace {

QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Lorvane", "Lorvane");
}

int ComNumber(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^COM(\\d{1,4})$"),
                                       QRegularExpression::CaseInsensitiveOption);
    auto m = re.match(name.trimmed());
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// DORLIN_PORTS: COMn=path entries separated by commas.
QMap<int, QString> EnvPorts() {
    QMap<int, QString> out;
    const QString env = qEnvironmentVariable("DORLIN_PORTS");
    for (const QString& item : env.split(',', Qt::SkipEmptyParts)) {
        const int eq = item.indexOf('=');
        if (eq <= 0) continue;
        const int n = ComNumber(item.left(eq));
        const QString path = item.mid(eq + 1).trimmed();
        if (n >= 0 && !path.isEmpty()) out[n] = path;
    }
    return out;
}

QMap<int, QString> StoredPorts(QSettings& s) {
    QMap<int, QString> out;
    s.beginGroup("Ports");
    for (const QString& key : s.childKeys()) {
        const int n = ComNumber(key);
        if (n > 0) out[n] = s.value(key).toString();
    }
    s.endGroup();
    return out;
}

} // namespace

QList<PortEntry> ListPorts() {
    const QMap<int, QString> env = EnvPorts();
    QSettings s = Store();
    QMap<int, QString> stored = StoredPorts(s);
    QMap<int, PortEntry> present;

    for (const FoundPort& f : ScanSerialPorts()) {
        int n = -1;
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            if (it.value() == f.path || it.value() == f.node) {
                n = it.key();
                break;
            }
        if (n < 0) {
            n = 1; // COM0 is the network path
            while (stored.contains(n) || env.contains(n))
                ++n;
            stored[n] = f.path;
            s.setValue(QStringLiteral("Ports/COM%1").arg(n), f.path);
        }
        if (env.contains(n)) continue; // the environment's entry wins
        present[n] = PortEntry{n, QStringLiteral("COM%1").arg(n), stored[n], f.description};
    }
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        present[it.key()] = PortEntry{it.key(), QStringLiteral("COM%1").arg(it.key()), it.value(),
                                      QStringLiteral("DORLIN_PORTS")};
    return present.values();
}

QString ResolvePort(const QString& name) {
    if (name.startsWith('/')) return name;
    const int n = ComNumber(name);
    if (n < 0) return QString();
    const QMap<int, QString> env = EnvPorts();
    if (env.contains(n)) return env[n];
    QSettings s = Store();
    const QString stored = s.value(QStringLiteral("Ports/COM%1").arg(n)).toString();
    if (!stored.isEmpty()) return stored;
    // Not known yet: a scan may find and number it now.
    for (const PortEntry& e : ListPorts())
        if (e.number == n) return e.path;
    return QString();
}

} // namespace dorlin

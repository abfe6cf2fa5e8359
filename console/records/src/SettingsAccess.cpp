#include "SettingsAccess.h"

#include <QSettings>

namespace pelmar {
namespace {

QString Path(const QString& section, const QString& key) {
    return section + u'/' + key;
}

} // namespace

QString ReadSetting(const QString& section, const QString& key, const QString& defaultValue) {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lorvane"),
                    QStringLiteral("Lorvane"));
    const QVariant v = store.value(Path(section, key));
    if (!v.isValid()) return defaultValue;
    // A hand-edited value with unquoted commas reads back as a list.
    if (v.userType() == QMetaType::QStringList) return v.toStringList().join(QStringLiteral(", "));
    return v.toString();
}

void WriteSetting(const QString& section, const QString& key, const QString& value) {
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lorvane"),
                    QStringLiteral("Lorvane"));
    store.setValue(Path(section, key), value);
    store.sync();
}

} // namespace pelmar

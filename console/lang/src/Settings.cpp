#include <lvlang/Settings.h>

#include <QSettings>

namespace lvlang {

namespace {
QString Key(const QString& section, const QString& key) {
    return section + '/' + key;
}
} // namespace

QString GetSetting(const QString& section, const QString& key, const QString& fallback) {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lorvane"),
                QStringLiteral("Lorvane"));
    const QVariant v = s.value(Key(section, key));
    return v.isValid() ? v.toString() : fallback;
}

void SaveSetting(const QString& section, const QString& key, const QString& value) {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lorvane"),
                QStringLiteral("Lorvane"));
    s.setValue(Key(section, key), value);
    s.sync();
}

void DeleteSetting(const QString& section, const QString& key) {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Lorvane"),
                QStringLiteral("Lorvane"));
    s.remove(key.isEmpty() ? section : Key(section, key));
    s.sync();
}

} // namespace lvlang

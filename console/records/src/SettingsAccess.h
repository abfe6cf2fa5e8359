// The one door to the per-user settings store ("Lorvane" / "Lorvane", native format, so it
// honours XDG_CONFIG_HOME) used by the save options.
#pragma once
#include <QString>

namespace pelmar {

QString ReadSetting(const QString& section, const QString& key, const QString& defaultValue);
void WriteSetting(const QString& section, const QString& key, const QString& value);

} // namespace pelmar

// The per-user settings store (application "Lorvane"): text values by section and key.
// Kept with QSettings in the user's configuration folder (XDG_CONFIG_HOME is honoured).
#pragma once
#include <QString>

namespace lvlang {

// The stored text, or `fallback` when the section or key has none.
QString GetSetting(const QString& section, const QString& key, const QString& fallback = {});
// Stores the text and writes it through to disk.
void SaveSetting(const QString& section, const QString& key, const QString& value);
// Removes one key, or the whole section when key is empty.
void DeleteSetting(const QString& section, const QString& key = {});

} // namespace lvlang

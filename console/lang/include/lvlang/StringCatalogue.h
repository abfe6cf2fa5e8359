// Every string id the console looks up in section "LANGUGAE", with its English text, and the
// complete English language file built from it.
#pragma once
#include <QByteArray>
#include <QString>
#include <vector>

namespace lvlang {

struct CatalogueEntry {
    const char* id;       // "13500", "AUTOSCAN006"
    const char* fallback; // as the program holds it: "\n" is backslash + n; "" when none
    const char* where;    // the control or message that shows it
};

// The catalogue in file order.
const std::vector<CatalogueEntry>& StringCatalogue();
// The English fallback of an id ("" when the id is not in the catalogue).
QString CatalogueFallback(const QString& id);

// The English language file: sections "INFO", "LANGUGAE" (every id, the text as the console
// shows it, written with the write escapes) and "FONT", in the ANSI code page, CR LF lines.
QByteArray EnglishLanguageFile();
// Writes it to `path`; false with a reason when the file cannot be written.
bool WriteEnglishLanguageFile(const QString& path, QString* error = nullptr);

} // namespace lvlang

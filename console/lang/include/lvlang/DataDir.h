// Where the program's data lives: language files ("Language"), "Format.ini".
#pragma once
#include <QString>

namespace lvlang {

// $LORVANE_HOME when set and not empty, else <folder of the executable>/../share/lorvane
// (cleaned, without a trailing "/").
QString ProgramDataDir();
// ProgramDataDir() + "/Language".
QString LanguageDir();

} // namespace lvlang

// The legacy "ANSI code page" of the console's files (language files, Format.ini, register
// texts such as the reader's user name). One process-wide setting, converted with ICU.
// Default windows-1252; the environment variable LORVANE_CODEPAGE overrides it at first use.
#pragma once
#include <QByteArray>
#include <QString>
#include <string>
#include <string_view>

namespace lvlang {

class AnsiCodec {
public:
    // Bytes in the code page to text. Bytes the code page does not define become U+FFFD.
    static QString toUnicode(const QByteArray& bytes);
    // Text to bytes in the code page. Characters the code page lacks become "?".
    static QByteArray fromUnicode(const QString& text);
    // The same on UTF-8 std::string, for the standard C++ parts (profile files, Tessel).
    static std::string toUtf8(std::string_view bytes);
    static std::string fromUtf8(std::string_view utf8);
    // True when every character of the text exists in the code page.
    static bool canEncode(const QString& text);

    // Selects the code page by ICU converter name ("windows-1252", "windows-1251",
    // "ibm-943", "UTF-8" ...). False (and the old one kept) for a name ICU does not know.
    static bool setCodePage(const QString& name, QString* error = nullptr);
    // The name of the code page in use, as it was chosen.
    static QString codePage();
};

} // namespace lvlang

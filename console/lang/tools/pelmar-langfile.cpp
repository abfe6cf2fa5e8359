// Build-time helper: writes the English language file from the string catalogue, and turns
// a UTF-8 language file of the source tree into the ANSI code page.
//   pelmar-langfile english OUT
//   pelmar-langfile convert IN OUT
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <cstdio>
#include <lorvane/ProgramSupport.h>
#include <lvlang/AnsiCodec.h>
#include <lvlang/StringCatalogue.h>

int main(int argc, char** argv) {
    lorvane::QuietDeveloperWarnings(); // the build's output shows no session notes
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString error;
    if (args.size() == 3 && args[1] == QLatin1String("english")) {
        if (!lvlang::WriteEnglishLanguageFile(args[2], &error)) {
            std::fprintf(stderr, "pelmar-langfile: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }
    if (args.size() == 4 && args[1] == QLatin1String("convert")) {
        QFile in(args[2]);
        if (!in.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "pelmar-langfile: can't read %s\n", qPrintable(args[2]));
            return 1;
        }
        const QString text = QString::fromUtf8(in.readAll());
        if (!lvlang::AnsiCodec::canEncode(text)) {
            std::fprintf(stderr, "pelmar-langfile: %s has characters that code page %s lacks\n",
                         qPrintable(args[2]), qPrintable(lvlang::AnsiCodec::codePage()));
            return 1;
        }
        QString crlf = text;
        crlf.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        QSaveFile out(args[3]);
        if (!out.open(QIODevice::WriteOnly) ||
            out.write(lvlang::AnsiCodec::fromUnicode(crlf)) < 0 || !out.commit()) {
            std::fprintf(stderr, "pelmar-langfile: can't write %s\n", qPrintable(args[3]));
            return 1;
        }
        return 0;
    }
    std::fprintf(stderr, "usage: pelmar-langfile english OUT | convert IN OUT\n");
    return 2;
}

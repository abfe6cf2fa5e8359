#include "LanguageCommand.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>
#include <lvlang/DataDir.h>
#include <lvlang/StringCatalogue.h>
#include <lvlang/clsLanguage.h>
#include <lvlang/modLanguage.h>

namespace pelmar::cli {

namespace {

QString VersionText(double v) {
    return QString::number(v, 'f', v == std::floor(v) ? 1 : 2);
}

int Usage(QTextStream& err, const QString& why) {
    err << "pelmar: " << why << Qt::endl << "usage:" << Qt::endl << LanguageUsage();
    return 2;
}

int WriteEnglish(const QString& path, QTextStream& out, QTextStream& err) {
    QString error;
    if (!lvlang::WriteEnglishLanguageFile(path, &error)) {
        err << "pelmar: " << error << Qt::endl;
        return 1;
    }
    out << "Wrote " << path << " (" << lvlang::StringCatalogue().size() << " texts)" << Qt::endl;
    return 0;
}

// One line per ".lng" file of the language folder, in the order the console reads them:
// name, LanguageID, version, file, and whether the language list offers it.
int List(QTextStream& out, QTextStream& err) {
    lvlang::clsLanguage& lang = lvlang::LanguageObject();
    const QString dir = lang.LanguageDirectory();
    if (!QFileInfo(dir).isDir()) {
        err << "pelmar: no language folder " << dir << Qt::endl;
        return 1;
    }
    const QFileInfoList files = QDir(dir).entryInfoList(QStringList{QStringLiteral("*.lng")},
                                                        QDir::Files | QDir::Hidden, QDir::Name);
    out << "Language folder: " << dir << Qt::endl;
    if (files.isEmpty()) out << "(no language files: the built-in English texts show)" << Qt::endl;
    for (const QFileInfo& fi : files) {
        lvlang::LanguageEntry e;
        QString note;
        if (!lvlang::clsLanguage::ReadLanguageFile(e, fi.filePath()))
            note = QStringLiteral("not listed: LanguageID is not a number");
        else if (e.Version < lang.LanguageVersion())
            note = QStringLiteral("not listed: version below %1")
                       .arg(VersionText(lang.LanguageVersion()));
        else if (fi.filePath() == lang.CurrentFile())
            note = QStringLiteral("in use");
        out << (e.Language.isEmpty() ? fi.completeBaseName() : e.Language) << '\t' << e.LanguageID
            << '\t' << VersionText(e.Version) << '\t' << fi.fileName();
        if (!note.isEmpty()) out << '\t' << note;
        out << Qt::endl;
    }
    return 0;
}

} // namespace

QString LanguageUsage() {
    return QStringLiteral("  language --write-english FILE   (the complete English language file)\n"
                          "  language --list                 (the language files found)\n");
}

int RunLanguageCommand(const Options& o, QTextStream& out, QTextStream& err) {
    const bool write = o.Has(QStringLiteral("--write-english")),
               list = o.Has(QStringLiteral("--list"));
    if (write == list)
        return Usage(err, QStringLiteral("language: --write-english FILE or --list"));
    return write ? WriteEnglish(o.Value(QStringLiteral("--write-english")), out, err)
                 : List(out, err);
}

} // namespace pelmar::cli

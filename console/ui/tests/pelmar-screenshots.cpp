// Draws the documentation's pictures: every window of the console as a user meets it (the
// window gallery: simulated readers, a real Upload, the archive filled from it), in English
// and in German, from the build's own language files.
//   build/tests/pelmar-screenshots docs/screenshots [en] [de]
// writes NAME.png (English) and NAME-de.png (German) for every window of the gallery;
// QT_SCALE_FACTOR=2 and --only NAME --suffix @2x give the 200 % pictures.
#include "UiTestSupport.h"
#include "WindowGallery.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTextStream>
#include <lvlang/modLanguage.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("LC_ALL", "C.UTF-8");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lorvane"));
    QApplication::setOrganizationName(QStringLiteral("Lorvane"));
    QTextStream err(stderr);
    QStringList args = app.arguments().mid(1);
    QString only, suffix;
    for (int i = 0; i + 1 < args.size();) {
        if (args[i] == "--only" || args[i] == "--suffix") {
            (args[i] == "--only" ? only : suffix) = args[i + 1];
            args.remove(i, 2);
        } else {
            ++i;
        }
    }
    if (args.isEmpty()) {
        err << "usage: pelmar-screenshots FOLDER [en] [de] [--only NAME] [--suffix TEXT]\n";
        return 2;
    }
    const QString folder = args.takeFirst();
    if (args.isEmpty()) args = {"en", "de"};
    if (!QDir().mkpath(folder) || !uitest::UseBuildData()) {
        err << "pelmar-screenshots: no folder " << folder << " or no built language files\n";
        return 1;
    }
    int rc = 0;
    for (const QString& lang : args) {
        uitest::ChooseLanguage(lang == "de" ? 1031 : 1033);
        {
            uitest::WindowGallery gallery;
            for (const QString& name : uitest::WindowGallery::Names()) {
                if (!only.isEmpty() && name != only) continue;
                QWidget* w = gallery.Show(name);
                if (!w || !gallery.Why().isEmpty()) {
                    err << name << ": " << gallery.Why() << "\n";
                    rc = 1;
                    if (!w) continue;
                }
                const QString file = QStringLiteral("%1/%2%3%4.png")
                                         .arg(folder, name, lang == "de" ? "-de" : "", suffix);
                if (!w->grab().save(file, "PNG")) {
                    err << "pelmar-screenshots: can't write " << file << "\n";
                    rc = 1;
                }
            }
        }
        lvlang::ReleaseLanguageObject();
    }
    return rc;
}

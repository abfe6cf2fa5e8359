// The Auto Scan window in another language: captions, column headers and every status text
// come from the language file (serial rows start with the built-in "Checking...").
#include "ScanTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <lvlang/DataDir.h>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>
#include <pelmar/discovery/frmAutoScan.h>

using namespace pelmar::discovery;
using lvtest::SimReader;

namespace {

QString RowStatus(frmAutoScan* w, const QString& text) {
    for (int i = 0; i < w->lstView->topLevelItemCount(); ++i)
        if (w->lstView->topLevelItem(i)->text(0) == text)
            return w->lstView->topLevelItem(i)->text(1);
    return "(no row)";
}

TEST(AutoScanLanguage, EveryTextComesFromTheLanguageFile) {
    // Written before anything creates the shared language object in this process.
    QFile f(lvlang::ProgramDataDir() + "/Language/Deutsch.lng");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[INFO]\r\nVersion=1.0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n"
            "[LANGUGAE]\r\nAUTOSCAN000=Automatische Suche\r\nAUTOSCAN001=Anschluss\r\n"
            "AUTOSCAN002=Geraet\r\nAUTOSCAN003=Aktualisieren\r\nAUTOSCAN004=Auswahl\r\n"
            "AUTOSCAN005=Abbrechen\r\nAUTOSCAN006=Pruefe...\r\nAUTOSCAN007=Gefunden\r\n"
            "AUTOSCAN008=Anderes\r\nAUTOSCAN009=Fehler\r\nAUTOSCAN012=Pruefe mit %dbps\r\n"
            "AUTOSCAN013=IP %s nicht erreichbar\r\nAUTOSCAN014=COM%d nicht zu oeffnen\r\n"
            "AUTOSCAN015=Keine Antwort\r\n");
    f.close();
    lvlang::SaveSetting("Language", "DefaultLCID", "1031");
    lvlang::SaveSetting("Language", "Language", "Deutsch");

    SimReader a({"--unlocked"});
    SimReader b({"--unlocked", "--firmware", "KRN-A0102 V2"});
    SimReader other({"--unlocked", "--firmware", "XYZ"});
    SimReader refusing({"--refuse-version"});
    SimReader silent({"--silent"});
    ASSERT_TRUE(a.ok() && b.ok() && other.ok() && refusing.ok() && silent.ok());
    lvtest::SetPorts({{251, a.Link()},
                      {252, b.Link()},
                      {253, other.Link()},
                      {254, refusing.Link()},
                      {255, silent.Link()},
                      {256, "/nonexistent/port"}});

    // The rows as the window shows them right after the list was built.
    {
        ScanEngine engine(ScanParams{Kt9FirmwareList(), Kt9DeviceLabel(), Kt9ProbeCommand(),
                                     Kt9BaudList(), "127.0.0.1"},
                          nullptr, [](const QString& id, const QString& fallback) {
                              return lvlang::LangString(id, fallback);
                          });
        frmAutoScan w(engine);
        engine.Refresh();
        EXPECT_EQ(RowStatus(&w, "COM255"), "Checking...");
        EXPECT_EQ(RowStatus(&w, "IP:127.0.0.1:1001"), "Pruefe...");
        engine.Shutdown();
        QSignalSpy closed(&engine, &ScanEngine::Closed);
        ASSERT_TRUE(lvtest::waitFor([&] { return closed.size() == 1; }, 5000));
    }

    auto seen = std::make_shared<QStringList>();
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, seen] {
        auto* w = qobject_cast<frmAutoScan*>(QApplication::activeModalWidget());
        if (!w || !w->isVisible()) return;
        if (seen->isEmpty()) {
            *seen << w->windowTitle() << w->lstView->headerItem()->text(0)
                  << w->lstView->headerItem()->text(1) << w->cmdRefresh->text()
                  << w->cmdSelect->text() << w->cmdCancel->text();
        }
        if (RowStatus(w, "COM255") != "Keine Antwort") return;
        poll->stop();
        poll->deleteLater();
        for (int n = 251; n <= 256; ++n)
            *seen << RowStatus(w, QStringLiteral("COM%1").arg(n));
        *seen << RowStatus(w, "IP:127.0.0.1:1001");
        w->cmdCancel->click();
    });
    poll->start();
    QString result;
    EXPECT_FALSE(ShowAutoScan(nullptr, result, Kt9FirmwareList(), Kt9DeviceLabel(),
                              Kt9ProbeCommand(), Kt9BaudList(), "127.0.0.1"));
    EXPECT_EQ(*seen,
              QStringList({"Automatische Suche", "Anschluss", "Geraet", "Aktualisieren", "Auswahl",
                           "Abbrechen", "Gefunden: KRN-A0102 V1.05", "Gefunden: KRN-A0102 V2",
                           "Anderes: XYZ", "Fehler: 0x", "Keine Antwort", "COM256 nicht zu oeffnen",
                           "IP 127.0.0.1:1001 nicht erreichbar"}));
}

} // namespace

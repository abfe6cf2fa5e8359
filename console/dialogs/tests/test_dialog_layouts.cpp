// Every dialog laid out for a 1280 x 800 screen, at 100 % and (a second run of this test
// with QT_SCALE_FACTOR=2) at 200 %: it fits the screen and no control is squeezed below the
// size it needs to show its text. LAYOUT_SHOTS=<dir> also saves a picture of each.
#include "DialogDriver.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QWindow>
#include <pelmar/core/ReaderSession.h>
#include <pelmar/dialogs/frmLanguage.h>
#include <pelmar/dialogs/frmLogin.h>
#include <pelmar/dialogs/frmSaveOptions.h>
#include <pelmar/dialogs/frmSettings.h>
#include <pelmar/dialogs/frmTime.h>

#include "ReaderLink.h"

using namespace pelmar;
using namespace pelmar::dialogs;

namespace {

struct Dialogs {
    dlgtest::Link link; // never opened
    ReaderSession session{&link.link};
    modKt9 kt9{session};
    std::vector<std::pair<const char*, std::unique_ptr<QDialog>>> all;
    Dialogs() {
        all.emplace_back("frmLogin", std::make_unique<frmLogin>());
        all.emplace_back("frmChgID", std::make_unique<frmChgID>());
        clsSaveOptions with, without;
        with.SetIsFormatFileExist(true);
        all.emplace_back("frmSaveOptions", std::make_unique<frmSaveOptions>(with));
        all.emplace_back("frmSaveOptionsNoFormat",
                         std::make_unique<frmSaveOptions>(without, "/nonexistent/Format.ini"));
        auto settings = std::make_unique<frmSettings>(kt9, link.link);
        DeviceSettings s;
        s.MacID = "01";
        s.UserName = "Front Door";
        s.PowerOffTime = 120;
        s.LCDOffTime = 30;
        s.RFIDScanTime = 20;
        settings->Fill(s);
        all.emplace_back("frmSettings", std::move(settings));
        auto time = std::make_unique<frmTime>(kt9);
        time->LoadFromReader();
        all.emplace_back("frmTime", std::move(time));
        all.emplace_back("frmLanguage", std::make_unique<frmLanguage>());
    }
};

TEST(DialogLayouts, FitTheScreenAndNoControlIsSqueezed) {
    const qreal scale = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                            ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble()
                            : 1.0;
    Dialogs d;
    const QString shots = qEnvironmentVariable("LAYOUT_SHOTS");
    for (auto& [name, dlg] : d.all) {
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get())) << name;
        const QSize logical = dlg->size();
        EXPECT_LE(logical.width() * scale, 1280) << name;
        EXPECT_LE(logical.height() * scale, 800) << name;
        for (QWidget* w : dlg->findChildren<QWidget*>()) {
            if (!w->isVisible() || w->objectName().isEmpty() || w->objectName().startsWith("qt_"))
                continue;
            if (!qobject_cast<QLabel*>(w) && !qobject_cast<QAbstractButton*>(w) &&
                !qobject_cast<QLineEdit*>(w) && !qobject_cast<QComboBox*>(w))
                continue;
            const QSize need = w->minimumSizeHint();
            EXPECT_GE(w->width(), need.width()) << name << "/" << w->objectName().toStdString();
            EXPECT_GE(w->height(), need.height()) << name << "/" << w->objectName().toStdString();
            EXPECT_TRUE(dlg->rect().contains(QRect(w->mapTo(dlg.get(), QPoint(0, 0)), w->size())))
                << name << "/" << w->objectName().toStdString();
        }
        if (!shots.isEmpty()) {
            QDir().mkpath(shots);
            dlg->grab().save(shots + "/" + name + (scale > 1 ? "@2x" : "") + ".png");
        }
        dlg->hide();
    }
}

} // namespace

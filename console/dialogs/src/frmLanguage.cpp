#include "pelmar/dialogs/frmLanguage.h"

#include "DialogSupport.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <lvlang/ComboLanguageBox.h>
#include <lvlang/modLanguage.h>

namespace pelmar::dialogs {

LanguageEvents& LanguageEvents::Instance() {
    static LanguageEvents events;
    return events;
}

QString LcidText(int32_t lcid) {
    return QStringLiteral("0x") +
           QString::number(uint32_t(lcid) + 65536u, 16).toUpper().right(4).rightJustified(4, '0');
}

frmLanguage::frmLanguage(QWidget* parent) : QDialog(parent) {
    // This dialog carries no tags: its texts stay as designed in every language.
    setObjectName(QStringLiteral("frmLanguage"));
    setWindowTitle(QStringLiteral("Language"));
    cboLanguage = Named(new QComboBox, "cboLanguage");
    cboLanguage->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    cboLanguage->setMinimumContentsLength(16);
    const char* captions[3] = {"Current", "System", "System ID"};
    for (int i = 0; i < 3; ++i) {
        labCaption[i] = new QLabel(QString::fromLatin1(captions[i]));
        labCaption[i]->setObjectName(QStringLiteral("labCaption_%1").arg(i));
    }
    labCaption[0]->setBuddy(cboLanguage);
    labLanguage = Named(new QLabel(QStringLiteral("English")), "labLanguage");
    labLangID = Named(new QLabel(QStringLiteral("0x0409")), "labLangID");
    Image1 = Named(new QLabel, "Image1");
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    Image1->setPixmap(
        style()->standardIcon(QStyle::SP_DesktopIcon, nullptr, this).pixmap(iconSize));
    Image1->setAlignment(Qt::AlignTop);

    cmdOK = Named(new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton, nullptr, this),
                                  QStringLiteral("OK")),
                  "cmdOK");
    cmdCancel =
        Named(new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton, nullptr, this),
                              QStringLiteral("Cancel")),
              "cmdCancel");
    cmdOK->setDefault(true);
    auto* buttons = new QDialogButtonBox;
    buttons->addButton(cmdOK, QDialogButtonBox::AcceptRole);
    buttons->addButton(cmdCancel, QDialogButtonBox::RejectRole);

    auto* grid = new QGridLayout;
    grid->addWidget(labCaption[0], 0, 0);
    grid->addWidget(cboLanguage, 0, 1);
    grid->addWidget(labCaption[1], 1, 0);
    grid->addWidget(labLanguage, 1, 1);
    grid->addWidget(labCaption[2], 2, 0);
    grid->addWidget(labLangID, 2, 1);
    grid->setColumnStretch(1, 1);
    auto* top = new QHBoxLayout;
    top->addWidget(Image1);
    top->addSpacing(fontMetrics().averageCharWidth() * 2);
    top->addLayout(grid, 1);
    auto* lay = new QVBoxLayout(this);
    lay->addLayout(top);
    lay->addWidget(buttons);

    box_ = std::make_unique<lvlang::ComboLanguageBox>(cboLanguage);
    lvlang::AttachLanguageBox(box_.get());
    labLangID->setText(LcidText(lvlang::LangSystemDefaultLCID()));
    labLanguage->setText(lvlang::LangSystemLanguageName());

    connect(cmdOK, &QPushButton::clicked, this, [this] {
        ok_ = true;
        lvlang::UpdateLanguageBox();
        accept();
    });
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

frmLanguage::~frmLanguage() {
    // The language object must not keep the list box of a closed dialog.
    lvlang::AttachLanguageBox(nullptr);
}

bool ShowLanguageChange(QWidget* parent) {
    bool ok = false;
    {
        frmLanguage dlg(parent);
        dlg.exec();
        ok = dlg.IsOK();
    }
    if (ok) {
        lvlang::ReloadAllForms();
        emit LanguageEvents::Instance().LanguageChanged();
    }
    return ok;
}

} // namespace pelmar::dialogs

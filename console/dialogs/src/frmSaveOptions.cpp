#include "pelmar/dialogs/frmSaveOptions.h"

#include "DialogSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <pelexport/RecordWriter.h>

namespace pelmar::dialogs {

frmSaveOptions::frmSaveOptions(const clsSaveOptions& options, const QString& formatFile,
                               QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmSaveOptions"));
    ui::SetTag(this, QStringLiteral("lng:{cap=18000}"));
    setWindowTitle(QStringLiteral(" Save Options"));
    const bool withFormat = options.IsFormatFileExist();

    auto* lay = new QVBoxLayout(this);
    auto* fraEvents = Named(new QGroupBox(QStringLiteral("Assign Events")), "fraEvents",
                            QStringLiteral("lng:{cap=18001}"));
    auto* grid = new QGridLayout(fraEvents);
    // Without the format file the ten rows stand in two columns of five (a narrower frame).
    const int perColumn = withFormat ? clsSaveOptions::kEventCount : 5;
    const int columns = clsSaveOptions::kEventCount / perColumn;
    for (int col = 0; col < columns; ++col) {
        const QString suffix = QString::number(col);
        grid->addWidget(Named(new QLabel(QStringLiteral("Event")),
                              qPrintable(QStringLiteral("labEvent_") + suffix),
                              QStringLiteral("lng:{cap=18002}")),
                        0, col * 2);
        grid->addWidget(Named(new QLabel(QStringLiteral("Event Name")),
                              qPrintable(QStringLiteral("labEventName_") + suffix),
                              QStringLiteral("lng:{cap=18003}")),
                        0, col * 2 + 1);
    }
    for (int i = 0; i < clsSaveOptions::kEventCount; ++i) {
        const int col = i / perColumn, row = i % perColumn + 1;
        auto* code = new QLabel(QString::number(i));
        code->setObjectName(QStringLiteral("labCode_%1").arg(i));
        code->setAlignment(Qt::AlignCenter);
        txtEvents[i] = new QLineEdit(options.EventNames(i));
        txtEvents[i]->setObjectName(QStringLiteral("txtEvents_%1").arg(i));
        txtEvents[i]->end(false);
        txtEvents[i]->setMinimumWidth(txtEvents[i]->fontMetrics().averageCharWidth() * 18);
        code->setBuddy(txtEvents[i]);
        grid->addWidget(code, row, col * 2);
        grid->addWidget(txtEvents[i], row, col * 2 + 1);
    }
    for (int col = 0; col < columns; ++col)
        grid->setColumnStretch(col * 2 + 1, 1);

    auto* fraFields = Named(new QGroupBox(QStringLiteral("Field Options")), "fraFields",
                            QStringLiteral("lng:{cap=18004}"));
    auto* fl = new QVBoxLayout(fraFields);
    chkAddMachineID = Named(new QCheckBox(QStringLiteral("Add Machine ID")), "chkAddMachineID",
                            QStringLiteral("lng:{cap=18005}"));
    chkAddUserName = Named(new QCheckBox(QStringLiteral("Add User Name")), "chkAddUserName",
                           QStringLiteral("lng:{cap=18006}"));
    chkSDTInTwoFields = Named(new QCheckBox(QStringLiteral("Save date and time in two fields")),
                              "chkSDTInTwoFields", QStringLiteral("lng:{cap=18007}"));
    chkAddMachineID->setChecked(options.IsAddMachineID());
    chkAddUserName->setChecked(options.IsAddUserName());
    chkSDTInTwoFields->setChecked(options.IsSDTInTwoFields());
    fl->addWidget(chkAddMachineID);
    fl->addWidget(chkAddUserName);
    fl->addWidget(chkSDTInTwoFields);

    auto* fraSave = Named(new QGroupBox(QStringLiteral("Save File Options")), "fraSaveFile",
                          QStringLiteral("lng:{cap=18008}"));
    auto* sl = new QGridLayout(fraSave);
    cboSaveFormat = Named(new QComboBox, "cboSaveFormat");
    cboConvertID = Named(new QComboBox, "cboConvertID",
                         QStringLiteral("lng:{lst(0)=18011, lst(1)=18012, lst(2)=18013}"));
    auto* labFormat =
        Named(new QLabel(QStringLiteral("Format")), "labFormat", QStringLiteral("lng:{cap=18009}"));
    auto* labConvert = Named(new QLabel(QStringLiteral("Convert ID")), "labConvertID",
                             QStringLiteral("lng:{cap=18010}"));
    labFormat->setBuddy(cboSaveFormat);
    labConvert->setBuddy(cboConvertID);
    sl->addWidget(labFormat, 0, 0);
    sl->addWidget(cboSaveFormat, 0, 1);
    sl->addWidget(labConvert, 1, 0);
    sl->addWidget(cboConvertID, 1, 1);
    sl->setColumnStretch(1, 1);
    fraSave->setVisible(withFormat);
    if (withFormat) {
        // Ten event rows in one column; the other frames beside them keep the dialog low.
        auto* row = new QHBoxLayout;
        auto* right = new QVBoxLayout;
        right->addWidget(fraFields);
        right->addWidget(fraSave);
        right->addStretch(1);
        row->addWidget(fraEvents, 1);
        row->addLayout(right);
        lay->addLayout(row);
    } else {
        lay->addWidget(fraEvents);
        lay->addWidget(fraFields);
        lay->addWidget(fraSave); // hidden
    }

    QString saved = options.SaveFormat().trimmed();
    if (saved.isEmpty()) saved = QStringLiteral("(Default)");
    const QString file = formatFile.isEmpty() ? pelmar::FormatFilePath() : formatFile;
    cboSaveFormat->addItems(pelmar::ReadFormatNames(file));
    int sel = cboSaveFormat->findText(saved, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (sel < 0 && cboSaveFormat->count() > 0) sel = 0;
    cboSaveFormat->setCurrentIndex(sel);

    cboConvertID->addItem(QStringLiteral("None"), int(clsSaveOptions::ConvertNone));
    cboConvertID->addItem(QStringLiteral("HEX to DEC"), int(clsSaveOptions::ConvertHexToDec));
    cboConvertID->addItem(QStringLiteral("DEC to HEX"), int(clsSaveOptions::ConvertDecToHex));
    cboConvertID->setCurrentIndex(cboConvertID->findData(int(options.ConvertIDMethod())));

    auto* box = new QDialogButtonBox;
    cmdOK = Named(new QPushButton(QStringLiteral("OK")), "cmdOK", QStringLiteral("lng:{cap=1000}"));
    cmdCancel = Named(new QPushButton(QStringLiteral("Cancel")), "cmdCancel",
                      QStringLiteral("lng:{cap=1001}"));
    cmdOK->setDefault(true);
    box->addButton(cmdOK, QDialogButtonBox::AcceptRole);
    box->addButton(cmdCancel, QDialogButtonBox::RejectRole);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    lay->addWidget(box);
    LoadFormLanguage(this);
}

void frmSaveOptions::StoreInto(clsSaveOptions& o) const {
    for (int i = 0; i < clsSaveOptions::kEventCount; ++i)
        o.SetEventNames(i, txtEvents[i]->text());
    o.SetIsAddMachineID(chkAddMachineID->isChecked());
    o.SetIsAddUserName(chkAddUserName->isChecked());
    o.SetIsSDTInTwoFields(chkSDTInTwoFields->isChecked());
    // Without a format file the list is hidden and empty; the saved name stays.
    if (cboSaveFormat->count() > 0) o.SetSaveFormat(cboSaveFormat->currentText());
    if (cboConvertID->currentIndex() >= 0)
        o.SetConvertIDMethod(cboConvertID->currentData().toInt());
}

bool ShowOptions(clsSaveOptions& options, QWidget* parent, const QString& formatFile) {
    frmSaveOptions dlg(options, formatFile, parent);
    if (dlg.exec() != QDialog::Accepted) return false;
    dlg.StoreInto(options);
    return true;
}

} // namespace pelmar::dialogs

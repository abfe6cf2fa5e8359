#include "pelmar/ui/frmArchive.h"

#include "pelarchive/ArchiveExport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <lvlang/modLanguage.h>
#include <pelexport/RecordWriter.h>
#include <pelmar/RecordTableModel.h>

namespace pelmar::ui {

namespace {
// The text of a catalogue id in the current language, else the English one.
QString L(int id, const char* english) {
    return lvlang::LangString(id, QString::fromUtf8(english));
}
} // namespace

frmArchive::frmArchive(pelarchive::Archive& archive, const clsSaveOptions& options, int displayMode,
                       QWidget* parent)
    : QDialog(parent), archive_(archive), options_(options), displayMode_(displayMode) {
    setObjectName(QStringLiteral("frmArchive"));
    setWindowTitle(
        lvlang::LangFormat(19310, QStringLiteral("Archive - %s"), archive.Location().Display()));
    auto* filters = new QGridLayout;
    cboReader = new QComboBox(this);
    cboReader->setObjectName(QStringLiteral("cboReader"));
    cboReader->addItem(L(19316, "(all readers)"));
    QList<pelarchive::ReaderRow> readers;
    if (archive_.Readers(readers, nullptr))
        for (const auto& r : readers)
            cboReader->addItem(r.key);
    txtCard = new QLineEdit(this);
    txtCard->setObjectName(QStringLiteral("txtCard"));
    txtCard->setPlaceholderText(L(19317, "any card"));
    chkFrom = new QCheckBox(L(19313, "From"), this);
    chkFrom->setObjectName(QStringLiteral("chkFrom"));
    chkUntil = new QCheckBox(L(19314, "Until"), this);
    chkUntil->setObjectName(QStringLiteral("chkUntil"));
    const QDateTime today(QDate::currentDate(), QTime(0, 0, 0));
    dtpFrom = new QDateTimeEdit(today, this);
    dtpFrom->setObjectName(QStringLiteral("dtpFrom"));
    dtpUntil = new QDateTimeEdit(today.addSecs(86399), this);
    dtpUntil->setObjectName(QStringLiteral("dtpUntil"));
    for (QDateTimeEdit* e : {dtpFrom, dtpUntil}) {
        e->setDisplayFormat(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        e->setCalendarPopup(true);
        e->setEnabled(false);
    }
    connect(chkFrom, &QCheckBox::toggled, dtpFrom, &QWidget::setEnabled);
    connect(chkUntil, &QCheckBox::toggled, dtpUntil, &QWidget::setEnabled);
    cmdSearch = new QPushButton(L(19315, "Search"), this);
    cmdSearch->setObjectName(QStringLiteral("cmdSearch"));
    cmdSearch->setDefault(true);
    labReader = new QLabel(L(19311, "Reader"), this);
    labReader->setObjectName(QStringLiteral("labReader"));
    filters->addWidget(labReader, 0, 0);
    filters->addWidget(cboReader, 0, 1);
    labCard = new QLabel(L(19312, "Card ID"), this);
    labCard->setObjectName(QStringLiteral("labCard"));
    filters->addWidget(labCard, 0, 2);
    filters->addWidget(txtCard, 0, 3);
    filters->addWidget(chkFrom, 1, 0);
    filters->addWidget(dtpFrom, 1, 1);
    filters->addWidget(chkUntil, 1, 2);
    filters->addWidget(dtpUntil, 1, 3);
    filters->addWidget(cmdSearch, 0, 4, 2, 1);

    table_ = new QStandardItemModel(0, 6, this);
    table_->setHorizontalHeaderLabels({L(19318, "Reader"), L(19319, "Card ID"),
                                       L(19320, "Card Type"), L(19321, "Event"), L(19322, "Punch"),
                                       L(19323, "Archived (UTC)")});
    fgArchive = new QTableView(this);
    fgArchive->setObjectName(QStringLiteral("fgArchive"));
    fgArchive->setModel(table_);
    fgArchive->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fgArchive->setSelectionBehavior(QAbstractItemView::SelectRows);
    fgArchive->verticalHeader()->setDefaultSectionSize(20);
    fgArchive->horizontalHeader()->setStretchLastSection(true);

    labCount = new QLabel(this);
    labCount->setObjectName(QStringLiteral("labCount"));
    cmdExport = new QPushButton(L(19324, "Export..."), this);
    cmdExport->setObjectName(QStringLiteral("cmdExport"));
    cmdExport->setEnabled(false);
    cmdClose = new QPushButton(L(19325, "Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(labCount, 1);
    buttons->addWidget(cmdExport);
    buttons->addWidget(cmdClose);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(fgArchive, 1);
    layout->addLayout(buttons);
    resize(760, 480);

    connect(cmdSearch, &QPushButton::clicked, this, &frmArchive::cmdSearch_Click);
    connect(txtCard, &QLineEdit::returnPressed, this, &frmArchive::cmdSearch_Click);
    connect(cmdExport, &QPushButton::clicked, this, &frmArchive::cmdExport_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    cmdSearch_Click();
}

pelarchive::RecordQuery frmArchive::Query() const {
    pelarchive::RecordQuery q;
    if (cboReader->currentIndex() > 0) q.reader = cboReader->currentText();
    q.card = txtCard->text().trimmed();
    if (chkFrom->isChecked()) q.since = dtpFrom->dateTime();
    if (chkUntil->isChecked()) q.until = dtpUntil->dateTime();
    return q;
}

void frmArchive::cmdSearch_Click() {
    QString error;
    table_->removeRows(0, table_->rowCount());
    if (!archive_.Records(Query(), rows_, &error)) {
        rows_.clear();
        QMessageBox::critical(this, windowTitle(), error);
    }
    table_->setRowCount(int(rows_.size()));
    for (int i = 0; i < rows_.size(); ++i) {
        const auto& r = rows_[i];
        const QStringList cells{r.reader, r.cardId,    r.cardType,
                                r.event,  r.punchText, r.archivedText};
        for (int c = 0; c < cells.size(); ++c)
            table_->setItem(i, c, new QStandardItem(cells[c]));
    }
    fgArchive->resizeColumnsToContents();
    labCount->setText(rows_.size() == 1 ? L(19326, "1 record")
                                        : lvlang::LangFormat(19327, QStringLiteral("%d records"),
                                                             static_cast<long>(rows_.size())));
    cmdExport->setEnabled(!rows_.isEmpty());
}

void frmArchive::cmdExport_Click() {
    if (rows_.isEmpty()) return;
    const QString filter = SaveDialogFilter(DisplayModeTrack(displayMode_) != 0, true);
    QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        filters << parts[i];
    QFileDialog dlg(this, windowTitle());
    dlg.setObjectName(QStringLiteral("cmmArchiveDlg"));
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setNameFilters(filters);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return;
    QString name = dlg.selectedFiles().first();
    if (QFileInfo(name).suffix().isEmpty())
        name +=
            dlg.selectedNameFilter().section(QLatin1String("*"), 1).section(QLatin1Char(')'), 0, 0);
    QString convert;
    const SaveResult saved =
        pelarchive::ExportArchived(archive_, rows_, name, options_, displayMode_, &convert);
    if (!saved.bOk) {
        QMessageBox::critical(this, windowTitle(),
                              saved.szError + (saved.szDetail.isEmpty()
                                                   ? QString()
                                                   : QStringLiteral(" (") + saved.szDetail + ')'));
        return;
    }
    QMessageBox::information(
        this, windowTitle(),
        lvlang::LangFormat(19328, QStringLiteral("%d records written to %s"),
                           static_cast<long>(rows_.size()),
                           saved.szFileName.isEmpty() ? name : saved.szFileName) +
            (convert.isEmpty() ? QString() : QStringLiteral("\n") + convert));
}

} // namespace pelmar::ui

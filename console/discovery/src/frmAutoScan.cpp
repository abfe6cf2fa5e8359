#include "pelmar/discovery/frmAutoScan.h"

#include "pelmar/discovery/ScanEngine.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <lvlang/modLanguage.h>
#include <pelmar/ui/QtPropertyHost.h>

namespace pelmar::discovery {

namespace {

template <typename W> W* Named(W* w, const char* name, const QString& tag) {
    w->setObjectName(QString::fromLatin1(name));
    pelmar::ui::SetTag(w, tag);
    return w;
}

QString LangText(const QString& id, const QString& fallback) {
    return lvlang::LangString(id, fallback);
}

} // namespace

QString Kt9FirmwareList() {
    return QStringLiteral("KRN-A0102") + QChar(0) + QStringLiteral("KRN-A0101,");
}

frmAutoScan::frmAutoScan(ScanEngine& engine, QWidget* parent) : QDialog(parent), engine_(engine) {
    setObjectName(QStringLiteral("frmAutoScan"));
    pelmar::ui::SetTag(this, QStringLiteral("lng:{cap=AUTOSCAN000}"));
    setWindowTitle(QStringLiteral(" Auto Scan"));
    setModal(true);

    lstView = Named(new QTreeWidget, "lstView",
                    QStringLiteral("lng:{clht(1)=AUTOSCAN001, clht(2)=AUTOSCAN002}"));
    lstView->setColumnCount(2);
    lstView->setHeaderLabels({QStringLiteral("Port"), QStringLiteral("Device")});
    lstView->setRootIsDecorated(false);
    lstView->setUniformRowHeights(true);
    lstView->setSelectionMode(QAbstractItemView::SingleSelection);
    lstView->setAllColumnsShowFocus(true);
    lstView->header()->setStretchLastSection(false);
    cmdRefresh = Named(new QPushButton(QStringLiteral("Refresh")), "cmdRefresh",
                       QStringLiteral("lng:{cap=AUTOSCAN003}"));
    cmdSelect = Named(new QPushButton(QStringLiteral("Select")), "cmdSelect",
                      QStringLiteral("lng:{cap=AUTOSCAN004}"));
    cmdCancel = Named(new QPushButton(QStringLiteral("Cancel")), "cmdCancel",
                      QStringLiteral("lng:{cap=AUTOSCAN005}"));
    for (QPushButton* b : {cmdRefresh, cmdSelect, cmdCancel})
        b->setAutoDefault(false);
    cmdSelect->setEnabled(false);

    auto* lay = new QVBoxLayout(this);
    lay->addWidget(lstView);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdRefresh);
    buttons->addStretch();
    buttons->addWidget(cmdSelect);
    buttons->addWidget(cmdCancel);
    lay->addLayout(buttons);
    resize(420, 300);

    connect(&engine_, &ScanEngine::ListReset, this, &frmAutoScan::Rebuild);
    connect(&engine_, &ScanEngine::RowChanged, this, &frmAutoScan::ShowRow);
    connect(&engine_, &ScanEngine::CloseRequested, this, [this] {
        closing_ = true;
        engine_.Shutdown();
    });
    connect(&engine_, &ScanEngine::Closed, this,
            [this] { done(engine_.HasResult() ? QDialog::Accepted : QDialog::Rejected); });
    connect(lstView, &QTreeWidget::itemSelectionChanged, this, &frmAutoScan::lstView_Click);
    connect(lstView, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (!closing_) engine_.Select(lstView->indexOfTopLevelItem(item));
    });
    connect(cmdRefresh, &QPushButton::clicked, this, [this] {
        if (!closing_) engine_.Refresh();
    });
    connect(cmdSelect, &QPushButton::clicked, this, &frmAutoScan::cmdSelect_Click);
    connect(cmdCancel, &QPushButton::clicked, this, [this] {
        if (!closing_) engine_.Cancel();
    });

    pelmar::ui::RegisterLanguageWindow(this);
    pelmar::ui::ApplyFormLanguage(this);
    Rebuild();
}

frmAutoScan::~frmAutoScan() = default;

void frmAutoScan::Rebuild() {
    cmdSelect->setEnabled(false);
    lstView->clear();
    for (int i = 0; i < engine_.Count(); ++i) {
        auto* item = new QTreeWidgetItem({engine_.RowText(i), engine_.Status(i)});
        item->setData(0, Qt::UserRole, QStringLiteral("Index=%1").arg(i));
        lstView->addTopLevelItem(item);
    }
    SizeColumns();
}

void frmAutoScan::ShowRow(int index) {
    QTreeWidgetItem* item = lstView->topLevelItem(index);
    if (!item) return;
    item->setText(1, engine_.Status(index));
    SizeColumns(); // a longer message widens its column
    if (item->isSelected()) cmdSelect->setEnabled(engine_.CanSelect(index));
}

void frmAutoScan::SizeColumns() {
    // Each column holds its header and its texts whole, in the language shown; the status
    // column also the longest scan message it will show, and it takes the room that is left
    // so that no scroll bar appears while there is room.
    const QFontMetrics fm = lstView->fontMetrics();
    const int pad = 2 * fm.horizontalAdvance(QLatin1Char('W'));
    QHeaderView* header = lstView->header();
    int first = std::max(header->sectionSizeHint(0), 6 * fm.horizontalAdvance(QLatin1Char('W')));
    for (int i = 0; i < engine_.Count(); ++i)
        first = std::max(first, fm.horizontalAdvance(engine_.RowText(i)) + pad);
    int second =
        std::max(header->sectionSizeHint(1),
                 fm.horizontalAdvance(
                     LangText(QStringLiteral("AUTOSCAN012"), QStringLiteral("Check in %dbps"))
                         .replace(QLatin1String("%d"), QLatin1String("115200"))) +
                     pad);
    for (int i = 0; i < lstView->topLevelItemCount(); ++i)
        second = std::max(second, fm.horizontalAdvance(lstView->topLevelItem(i)->text(1)) + pad);
    lstView->setColumnWidth(0, first);
    lstView->setColumnWidth(1, std::max(second, lstView->viewport()->width() - first));
}

void frmAutoScan::resizeEvent(QResizeEvent* e) {
    QDialog::resizeEvent(e);
    SizeColumns();
    // The list's viewport takes its new size after this event: the room left is known then.
    QTimer::singleShot(0, this, &frmAutoScan::SizeColumns);
}

void frmAutoScan::lstView_Click() {
    const QList<QTreeWidgetItem*> sel = lstView->selectedItems();
    cmdSelect->setEnabled(!sel.isEmpty() &&
                          engine_.CanSelect(lstView->indexOfTopLevelItem(sel.first())));
}

void frmAutoScan::cmdSelect_Click() {
    if (closing_) return;
    const QList<QTreeWidgetItem*> sel = lstView->selectedItems();
    engine_.Select(sel.isEmpty() ? -1 : lstView->indexOfTopLevelItem(sel.first()));
}

void frmAutoScan::closeEvent(QCloseEvent* e) {
    if (closing_) {
        e->accept();
        return;
    }
    // The ports are closed first; the engine asks for the close once that is done.
    e->ignore();
    engine_.Cancel();
}

void frmAutoScan::reject() {
    if (closing_)
        QDialog::reject();
    else
        engine_.Cancel();
}

bool ShowAutoScan(QWidget* parent, QString& szResult, const QString& szFirmware,
                  const QString& szDevice, const QString& szCommand, const QString& szBaudList,
                  const QString& szIPList) {
    ScanEngine engine(ScanParams{szFirmware, szDevice, szCommand, szBaudList, szIPList}, nullptr,
                      LangText);
    frmAutoScan dlg(engine, parent);
    engine.Refresh();
    dlg.exec();
    if (!engine.HasResult()) return false;
    szResult = engine.Result();
    return true;
}

} // namespace pelmar::discovery

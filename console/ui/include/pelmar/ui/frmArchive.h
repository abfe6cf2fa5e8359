// The archive browser ("Browse archive..."): archived records filtered by reader, card and
// punch-time range, and exported through the save dialog with the record writers. It only
// shows and asks; queries and files go through the archive library.
#pragma once
#include "pelarchive/Archive.h"

#include <QDialog>
#include <pelmar/SaveOptions.h>

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QStandardItemModel;
class QTableView;

namespace pelmar::ui {

class frmArchive : public QDialog {
    Q_OBJECT
public:
    // The archive stays the caller's; displayMode and options shape an export as Save does.
    frmArchive(pelarchive::Archive& archive, const clsSaveOptions& options, int displayMode,
               QWidget* parent = nullptr);

    // The query the filters make now.
    pelarchive::RecordQuery Query() const;
    // Runs the query and fills the table (the Search button).
    void cmdSearch_Click();
    // Asks for a file and writes the listed records (the Export button).
    void cmdExport_Click();
    const QList<pelarchive::ArchivedRecord>& Rows() const { return rows_; }

    QLabel* labReader = nullptr;
    QComboBox* cboReader = nullptr;
    QLabel* labCard = nullptr;
    QLineEdit* txtCard = nullptr;
    QCheckBox* chkFrom = nullptr;
    QDateTimeEdit* dtpFrom = nullptr;
    QCheckBox* chkUntil = nullptr;
    QDateTimeEdit* dtpUntil = nullptr;
    QPushButton* cmdSearch = nullptr;
    QTableView* fgArchive = nullptr;
    QLabel* labCount = nullptr;
    QPushButton* cmdExport = nullptr;
    QPushButton* cmdClose = nullptr;

private:
    pelarchive::Archive& archive_;
    clsSaveOptions options_;
    int displayMode_;
    QStandardItemModel* table_;
    QList<pelarchive::ArchivedRecord> rows_;
};

} // namespace pelmar::ui

#include "pelexport/FromRecords.h"

namespace pelmar {

RecordTable RecordTableFromModel(const RecordTableModel& model) {
    RecordTable t;
    t.iTrack = model.Track();
    for (int c = 0; c < RecordTableModel::kColumns; ++c)
        t.shown[c] = model.IsColumnShown(c);
    const int rows = model.rowCount();
    t.rows.reserve(rows);
    for (int r = 0; r < rows; ++r) {
        QStringList cells;
        cells.reserve(RecordTableModel::kColumns);
        for (int c = 0; c < RecordTableModel::kColumns; ++c)
            cells << model.Cell(r, c);
        t.rows << cells;
    }
    return t;
}

ExportOptions ExportOptionsFrom(const clsSaveOptions& options) {
    ExportOptions o;
    o.IsAddMachineID = options.IsAddMachineID();
    o.IsAddUserName = options.IsAddUserName();
    o.IsSDTInTwoFields = options.IsSDTInTwoFields();
    o.SaveFormat = options.SaveFormat();
    return o;
}

SaveResult SaveRecords(const QString& szFileName, const RecordTableModel& model,
                       const clsSaveOptions& options, const SaveHooks& hooks) {
    return SaveRecords(szFileName, RecordTableFromModel(model), ExportOptionsFrom(options), hooks);
}

} // namespace pelmar

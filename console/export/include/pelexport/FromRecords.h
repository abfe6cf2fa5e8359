// Hands the window's record table and save options to the record writers.
#pragma once
#include <pelexport/RecordWriter.h>
#include <pelmar/RecordTableModel.h>
#include <pelmar/SaveOptions.h>

namespace pelmar {

// The table as it is shown now: display mode, shown columns and every row's six cells.
RecordTable RecordTableFromModel(const RecordTableModel& model);
// The save options the writers read ("Format.ini" from the program data folder).
ExportOptions ExportOptionsFrom(const clsSaveOptions& options);
// SaveRecords on the window's table with its save options (what Save and
// "pelmar download --out" call).
SaveResult SaveRecords(const QString& szFileName, const RecordTableModel& model,
                       const clsSaveOptions& options, const SaveHooks& hooks = {});

} // namespace pelmar

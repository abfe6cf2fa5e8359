// The archive as the console's commands and windows use it: opened from a URL or the setting
// Archive/Url, and archived records written through the record writers with the save options.
#pragma once
#include "pelarchive/Archive.h"

#include <pelexport/RecordWriter.h>
#include <pelmar/SaveOptions.h>

namespace pelarchive {

// Opens the archive of a URL; "" = the setting Archive/Url, else the default SQLite file.
// With mustExist an archive that is not there is not made ("no archive at ...").
bool OpenArchiveUrl(const QString& url, Archive& archive, QString* error, bool mustExist = false);

// Writes archived records as Save writes the window's table (display mode, save options,
// "Format.ini"). The machine ID and user name the options may want are the archived ones of
// the one reader the records come from (empty when they span several). *convertError gets the
// conversion message when an ID conversion did not apply (the file is written all the same).
pelmar::SaveResult ExportArchived(Archive& archive, const QList<ArchivedRecord>& rows,
                                  const QString& fileName, const clsSaveOptions& options,
                                  int displayMode, QString* convertError = nullptr);

// The listing of `pelmar records`: a Reader column, then the table's shown columns, one
// tab-separated line per record (UTF-8).
QByteArray ExportListing(const QList<ArchivedRecord>& rows, const clsSaveOptions& options,
                         int displayMode, QString* convertError);

} // namespace pelarchive

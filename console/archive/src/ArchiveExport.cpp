#include "pelarchive/ArchiveExport.h"

#include <lvlang/Settings.h>
#include <pelexport/FromRecords.h>
#include <pelmar/RecordTableModel.h>

#include <QSet>

namespace pelarchive {

bool OpenArchiveUrl(const QString& url, Archive& archive, QString* error, bool mustExist) {
    QString where = url.trimmed();
    if (where.isEmpty())
        where = lvlang::GetSetting(QStringLiteral("Archive"), QStringLiteral("Url"));
    ArchiveLocation location;
    if (!ParseArchiveUrl(where, location, error)) return false;
    return mustExist ? archive.OpenExisting(location, error) : archive.Open(location, error);
}

pelmar::SaveResult ExportArchived(Archive& archive, const QList<ArchivedRecord>& rows,
                                  const QString& fileName, const clsSaveOptions& options,
                                  int displayMode, QString* convertError) {
    pelmar::RecordTableModel model;
    model.SetSaveOptions(options);
    model.SetDisplayMode(displayMode);
    QSet<QString> readers;
    for (const ArchivedRecord& r : rows) {
        model.AppendRecord(r.text);
        readers.insert(r.reader);
    }
    if (convertError)
        *convertError = model.ConvertError() ? model.ConvertErrorMessage() : QString();
    pelmar::SaveHooks hooks;
    QList<ReaderRow> known;
    if (readers.size() == 1 && archive.Readers(known, nullptr)) {
        for (const ReaderRow& k : known) {
            if (k.key != *readers.begin()) continue;
            hooks.fetchMachineID = [k](QString* v) {
                *v = k.machineId;
                return true;
            };
            hooks.fetchUserName = [k](QString* v) {
                *v = k.userName;
                return true;
            };
        }
    }
    return pelmar::SaveRecords(fileName, model, options, hooks);
}

} // namespace pelarchive

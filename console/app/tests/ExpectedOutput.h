// What pelmar must print or save for the simulated reader's records, built independently of
// the program: the records as readersim generates them, decoded into the record table.
#pragma once
#include "pelmar/RecordTableModel.h"
#include "readersim/Reader.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace clitest {

// Adds the first n records readersim generates for `seed`, as the download stores them.
inline void AppendSimRecords(pelmar::RecordTableModel& model, size_t n, uint32_t seed) {
    for (const auto& r : readersim::GenerateRecords(n, seed)) {
        QString body = QString::number(r.date.dayOfWeek() % 7) + QChar(r.type) + QChar(r.event) +
                       QString::fromStdString(r.card);
        model.AppendRecord(QStringLiteral("A0000,\x01") + body + QChar(4) +
                           r.date.toString("yyyy/MM/dd") + ' ' + r.time.toString("HH:mm:ss"));
    }
}

// The shown columns as pelmar prints them: a header line, then a line per row, tab-separated.
inline QString TableText(const pelmar::RecordTableModel& model) {
    using pelmar::RecordTableModel;
    QList<int> cols;
    for (int c = 0; c < RecordTableModel::kColumns; ++c)
        if (model.IsColumnShown(c)) cols << c;
    QStringList header;
    for (int c : cols)
        header << model.HeaderText(c);
    QString out = header.join('\t') + '\n';
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int c : cols)
            cells << model.Cell(row, c);
        out += cells.join('\t') + '\n';
    }
    return out;
}

} // namespace clitest

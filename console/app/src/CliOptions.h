// The options of one command line: "--name value" pairs (also "--name=value"), flags, and
// repeated "--set" values.
#pragma once
#include <QMap>
#include <QString>
#include <QStringList>

namespace pelmar::cli {

// Options of one command line: "--name value" pairs, flags, and repeated "--set" values.
struct Options {
    QString command;
    QMap<QString, QString> values;
    QStringList sets;
    QStringList flags;
    QString error;

    bool Has(const QString& n) const { return values.contains(n) || flags.contains(n); }
    QString Value(const QString& n) const { return values.value(n); }
};

Options Parse(const QStringList& args, const QStringList& valued, const QStringList& flagNames);

} // namespace pelmar::cli

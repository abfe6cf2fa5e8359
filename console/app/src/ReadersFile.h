// The readers file of `pelmar collect`: an INI file with one section per reader ([name]) with
// Port (COMn, a device path or IP:a.b.c.d[:port]), optionally Baud and Login.
#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

namespace pelmar::cli {

struct ReaderEntry {
    QString name, port, baud, login;
    QString problem; // why this reader can't be collected (given at each round)
};

// Reads the text of a readers file as the file itself is read (Qt's INI reading); `path`
// names the file in messages, `envLogin` is the Login ID for sections without a Login key.
// Returns false with *error set when a section has no Port, two sections share a port, a
// Baud is not a positive rate or no section names a reader. *holdsLogin tells whether any
// section has a Login key.
bool ParseReaders(const QByteArray& text, const QString& path, const QString& envLogin,
                  QList<ReaderEntry>& readers, bool* holdsLogin, QString* error);

// A Login ID as the login dialog accepts it: four characters 0-9 / A-F (lower case is
// taken as upper case). Returns "" when text is not one.
QString NormaliseLoginId(const QString& text);

} // namespace pelmar::cli

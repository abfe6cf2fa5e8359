// The reader's state as a JSON document, so that a session can be saved and resumed.
#pragma once
#include "readersim/Reader.h"

#include <QByteArray>
#include <QString>

namespace readersim {

QByteArray StateToJson(const ReaderState& state);
// Fields missing from the document keep the value `state` already holds.
bool StateFromJson(const QByteArray& json, ReaderState& state, QString* error);

bool LoadState(const QString& path, ReaderState& state, QString* error);
bool SaveState(const QString& path, const ReaderState& state, QString* error);

} // namespace readersim

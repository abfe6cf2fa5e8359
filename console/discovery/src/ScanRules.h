// Helpers the engine and the window share.
#pragma once
#include "pelmar/discovery/ScanEngine.h"

#include <QRegularExpression>
#include <QString>

namespace pelmar::discovery {

// The text with its first "%d" or "%s" replaced by arg.
QString FillIn(const QString& text, const QString& arg);
// "Found" in the current language followed by ":".
QString FoundMarker(const TextLookup& text);

} // namespace pelmar::discovery

// What the units of ReaderConsole share: its waits and attempts, and the window caption
// with a suffix. Private to the core.
#pragma once
#include "Texts.h"

#include <QString>
#include <cstdint>

namespace pelmar::consoleparts {

constexpr long kMsPerErasedRecord = 29;
constexpr long kEraseBaseMs = 1000;
constexpr long kRecoveryRecords = 2048;
constexpr uint32_t kProbeMs = 2000;
constexpr uint32_t kProbeDrainMs = 8000; // longest wait for the answers to surplus probes
constexpr int kRecordAttempts = 3;       // reads of one record before the download gives up
constexpr int kShapeAttempts = 3;        // asks of a command whose replies keep answering others
constexpr int kUnreadableInARow = 8;     // unreadable records in a row that end a download

// The title, "  -  " and the suffix.
inline QString CaptionWith(const QString& suffix) {
    return texts::Title() + QStringLiteral("  -  ") + suffix;
}

} // namespace pelmar::consoleparts

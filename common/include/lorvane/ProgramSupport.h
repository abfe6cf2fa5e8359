// Start-up helpers shared by the programs: the --version line and a Qt message filter that
// keeps developer notes off a user's terminal.
#pragma once
#include <QString>

namespace lorvane {

// "<program> <version>", the line every program prints for --version.
QString VersionLine(const QString& program);

// True for a Qt message that tells a developer about the session or the platform plugin
// rather than the user about the job: "QStandardPaths: XDG_RUNTIME_DIR not set, ..." on a
// machine without a login session, and the offscreen plugin's "does not support" notes.
// Everything else, including other QStandardPaths complaints, counts as a real warning.
bool IsDeveloperNoise(const QString& message);

// Installs a message handler that drops developer noise and hands every other message to
// the handler that was there before. Call before the application object is made.
void QuietDeveloperWarnings();

} // namespace lorvane

#include "lorvane/ProgramSupport.h"

#include "lorvane/Version.h"

#include <QtGlobal>

namespace lorvane {
namespace {

QtMessageHandler g_previous = nullptr;

void Filter(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    // Fatal messages always go through: they end the program.
    if (type != QtFatalMsg && IsDeveloperNoise(message)) return;
    if (g_previous) g_previous(type, context, message);
}

} // namespace

QString VersionLine(const QString& program) {
    return program + QLatin1Char(' ') + QLatin1String(LORVANE_VERSION);
}

bool IsDeveloperNoise(const QString& message) {
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return true;
    // The offscreen and minimal platform plugins: "This plugin does not support
    // propagateSizeHints()", "... does not support setParent()" and the like.
    return message.startsWith(QLatin1String("This plugin does not support "));
}

void QuietDeveloperWarnings() {
    QtMessageHandler before = qInstallMessageHandler(Filter);
    if (before != Filter) g_previous = before;
}

} // namespace lorvane

// Gives the test process a settings store of its own (a fresh XDG_CONFIG_HOME), so tests that
// run in parallel never share saved ports or properties. Call before the first settings use.
#pragma once
#include <QTemporaryDir>
#include <QtGlobal>

inline QString IsolateSettings() {
    static QTemporaryDir dir;
    static const bool set = [] {
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
        return true;
    }();
    (void)set;
    return dir.path();
}

// Every language test process starts with an empty settings folder (XDG_CONFIG_HOME), so the
// settings store never touches the user's, and an empty program data folder; the tests that
// read language files hand their own folder or set LORVANE_HOME themselves.
#include "LangTestSupport.h"
#include "TestSupport.h"

namespace {

lvtest::IsolatedFolders g_isolation("lorvane-lang-test", {"LORVANE_CODEPAGE"});

} // namespace

QString langtest::ConfigHome() {
    return QString::fromStdString(g_isolation.config());
}

// Every dialog test process starts with an empty settings folder and an empty program data
// folder (no language files: the dialogs show their built-in English texts).
#include "TestSupport.h"

#include <string>

namespace {

lvtest::IsolatedFolders g_isolation("pelmar-dialogs", {"LORVANE_CODEPAGE"});

} // namespace

// The program data folder of this test process (with an empty "Language" folder at start).
std::string DialogTestDataDir() {
    return g_isolation.data();
}

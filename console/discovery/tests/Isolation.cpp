// Every discovery test process starts with an empty settings folder (no numbered ports from
// earlier runs) and an empty program data folder (no language files: English texts).
#include "TestSupport.h"

namespace {

lvtest::IsolatedFolders g_isolation("pelmar-scan", {"DORLIN_PORTS"});

} // namespace

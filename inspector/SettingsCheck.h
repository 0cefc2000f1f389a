// "veskaopt check": settings files judged by the merge's own rules (the
// diagnostics interface's CheckSettings) and against the settings schema
// through the platform's XML parser.
#pragma once

#include <string>
#include <vector>

#include "inspector/OptionsTree.h"

namespace veskaopt {

// Checks every file or folder given (the diagnostics' SettingsFolder when none
// is) and prints one line per problem. Returns kExitOk, kExitCheckFailed when a
// file would fail or be refused, kExitNotFound when an argument does not exist.
int CheckSettingsFiles(OptionsSession& session, const std::vector<std::wstring>& arguments);

}  // namespace veskaopt

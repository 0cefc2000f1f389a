// "veskaopt check": settings files judged by the merge's own rules (the
// diagnostics interface's CheckSettings) and against the settings schema
// through the platform's XML parser.
#pragma once

#include <string>
#include <vector>

#include "inspector/OptionsTree.h"

namespace veskaopt {

bool IsFolder(const std::wstring& path);

// The files the merge would take from path: path itself when it is a file, or
// every "*.xml" of the folder, in the order the platform lists them.
std::vector<std::wstring> XmlFilesOf(const std::wstring& path);

// Checks every file or folder given (the diagnostics' SettingsFolder when none
// is) and prints one line per problem. Returns kExitOk, kExitCheckFailed when a
// file would fail or be refused, kExitNotFound when an argument does not exist.
int CheckSettingsFiles(OptionsSession& session, const std::vector<std::wstring>& arguments);

}  // namespace veskaopt

// The effective tree written out: as JSON, or as a registry file that the
// platform's "reg import" and registry editor read.
#pragma once

#include <string>

#include "inspector/OptionsTree.h"

namespace veskaopt {

// {"hive": ..., "root": ..., "values": {name: {"type": T, "data": D}}, "keys":
// {name: {"values": ..., "keys": ...}}}, in the cache's order, UTF-8.
std::string ExportJson(const KeyNode& tree, const std::wstring& hiveName, const std::wstring& root);

// "Windows Registry Editor Version 5.00" text, one section per key below
// [HKEY_CURRENT_USER\<root>], CRLF line ends, as UTF-16 (the caller writes it
// little-endian with a byte-order mark). Throws ToolError(kExitFailure) for a
// name that the format cannot hold.
std::wstring ExportReg(const KeyNode& tree, const std::wstring& root);

}  // namespace veskaopt

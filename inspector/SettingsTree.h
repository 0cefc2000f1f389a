// Settings files as one tree of keys and values, read through the platform's
// XML parser and merged as the store merges them (a later file's value replaces
// an earlier one of the same name, names in any letter case), with the small
// helpers of that parser's document that reading and writing XML share.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>
#include <vector>

#include "support/Owners.h"

namespace veskaopt {

struct SettingsValue {
    std::wstring name;
    VARTYPE type = VT_EMPTY;
    std::wstring typeName;  // as the file writes it
    std::wstring text;
    std::wstring file;
};

struct SettingsKey {
    std::wstring name;
    std::vector<SettingsValue> values;
    std::vector<SettingsKey> keys;
};

// Parses one settings file into tree; false, with the parser's reason on
// standard output as "file:line:col: error: ...", when it does not parse or is
// not a settings file. A value of a type the merge does not know is left out,
// with a warning on standard error.
bool ReadSettingsFile(const std::wstring& file, SettingsKey& tree);

// The text of a BSTR; empty for null.
std::wstring Text(BSTR text);
// Equal in any letter case.
bool SameFolded(const std::wstring& a, const wchar_t* b);
// A VT_BSTR VARIANT holding a copy of text.
veska::UniqueVariant TextVariant(const std::wstring& text);
// A new document of the platform's XML parser (version 6.0), synchronous and
// resolving nothing external; throws ToolError when it cannot be made.
veska::ComPtr<IXMLDOMDocument2> NewDocument();

}  // namespace veskaopt

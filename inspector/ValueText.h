// Type names and texts of cached values. The type names are those of the
// settings files' "Type" attribute (STRING, I4, BOOL, R8, ...), one per VARIANT
// type the cache can hold, so that a name veskaopt prints can be written back
// into a settings file or given to "set --type".
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "support/Owners.h"

namespace veskaopt {

// "STRING" for VT_BSTR, "I4" for VT_I4, ...; "VT_<n>" for a type without a name.
std::wstring TypeName(VARTYPE type);

// The value as text: strings as they are, numbers in the invariant locale,
// booleans "True" or "False", dates as the platform writes them invariantly.
std::wstring DataText(const VARIANT& value);

// text with its control characters written as \n, \r, \t or \xHH, for one line.
std::wstring Escaped(const std::wstring& text);

// DataText for one line of output: a string Escaped and in double quotes.
std::wstring DisplayText(const VARIANT& value);

// The VARIANT type a settings type name gives (in any letter case, the merge's
// aliases such as UI4 and NUMBER included); VT_EMPTY for an unknown name.
VARTYPE TypeOfName(const std::wstring& typeName);

// The VARIANT of type typeName (a settings type name, in any letter case)
// holding text converted in the invariant locale. Throws ToolError(kExitUsage)
// for an unknown type name or a text that does not convert.
veska::UniqueVariant ValueFromText(const std::wstring& text, const std::wstring& typeName);

}  // namespace veskaopt

// The options cache's side of the registry: loading a subtree into the cache
// tree, and the changes a write, an addition or a removal makes below
// HKEY_CURRENT_USER. CVeskaOptions' tree members FillKeysValues, FreeOpsInfoMem
// and RecurseDeleteKey live in RegistryTree.cpp beside these.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "support/Owners.h"

namespace veska {

// The name under which a key's unnamed value is filed, and the value name that
// writes a string to the unnamed value.
constexpr wchar_t kDefaultValueName[] = L"(Default)";

// Opens (OpenKey) or creates (CreateKey) path below parent with access; empty
// when the registry refuses, with its Win32 code in *status when status is given.
UniqueHkey OpenKey(HKEY parent, const wchar_t* path, REGSAM access, LONG* status = nullptr) noexcept;
UniqueHkey CreateKey(HKEY parent, const wchar_t* path, REGSAM access, LONG* status = nullptr) noexcept;

// Opens a key below HKEY_CURRENT_USER for reading and writing; empty on failure.
UniqueHkey OpenForChange(const std::wstring& path) noexcept;

// Writes a stored value (VT_I4 or VT_BSTR) below HKEY_CURRENT_USER at path,
// creating the key when missing. A string named exactly "(Default)" goes to the
// key's unnamed value. False when the registry refused the key or the value.
bool WriteRegistryValue(const std::wstring& path, const wchar_t* name, const VARIANT& value) noexcept;

// Creates the key name below the existing key parentPath of HKEY_CURRENT_USER;
// a Win32 code, 0 on success (also when it already exists).
LONG CreateRegistryKey(const std::wstring& parentPath, const wchar_t* name) noexcept;

}  // namespace veska

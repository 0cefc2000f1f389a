// The options cache's side of the registry: loading a subtree into the cache
// tree, and the changes a write, an addition or a removal makes below
// HKEY_CURRENT_USER. CVeskaOptions' tree members FillKeysValues, FreeOpsInfoMem
// and RecurseDeleteKey live in RegistryTree.cpp beside these.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "options/OpsInfo.h"
#include "support/Owners.h"

namespace veska {

// The name under which a key's unnamed value is filed, and the value name that
// writes a string to the unnamed value.
constexpr wchar_t kDefaultValueName[] = L"(Default)";

// The name the cache files a value name under: the empty name, which the
// registry gives the unnamed value, is filed as "(Default)", so that both name
// one entry before and after a load.
inline std::wstring_view CacheValueName(std::wstring_view name) noexcept {
    return name.empty() ? std::wstring_view(kDefaultValueName, std::size(kDefaultValueName) - 1) : name;
}

// A registry last-write time as one number (0 for none).
inline std::uint64_t StampOf(const FILETIME& time) noexcept {
    return (std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The last-write time of key; 0 when the registry cannot say.
std::uint64_t KeyStamp(HKEY key) noexcept;

// Reads the REG_SZ and REG_DWORD values of key (which may be null) into node,
// as FillKeysValues does, without the sub-keys; true when every value was
// enumerated (false for a null key or a registry failure on the way). Throws
// std::bad_alloc.
bool ReadKeyValues(HKEY key, OpsInfo& node);

// Opens (OpenKey) or creates (CreateKey) path below parent with access; empty
// when the registry refuses, with its Win32 code in *status when status is given.
UniqueHkey OpenKey(HKEY parent, const wchar_t* path, REGSAM access, LONG* status = nullptr) noexcept;
UniqueHkey CreateKey(HKEY parent, const wchar_t* path, REGSAM access, LONG* status = nullptr) noexcept;

// Opens a key below HKEY_CURRENT_USER for reading and writing; empty on failure.
UniqueHkey OpenForChange(const std::wstring& path) noexcept;

// Writes a stored value (VT_I4 or VT_BSTR, all of its text) below
// HKEY_CURRENT_USER at path, creating the key when missing. The empty name, and a
// string named exactly "(Default)", go to the key's unnamed value. False when the
// registry refused the key or the value.
bool WriteRegistryValue(const std::wstring& path, const wchar_t* name, const VARIANT& value) noexcept;

// Deletes the value name of key. The names of the unnamed value (the empty name
// and "(Default)" in any letter case) delete both the unnamed value and a value
// literally named "(Default)", which the cache files as one.
void DeleteRegistryValue(HKEY key, const wchar_t* name) noexcept;

// Creates the key name below the existing key parentPath of HKEY_CURRENT_USER;
// a Win32 code, 0 on success (also when it already exists).
LONG CreateRegistryKey(const std::wstring& parentPath, const wchar_t* name) noexcept;

}  // namespace veska

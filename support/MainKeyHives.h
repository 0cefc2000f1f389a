// The hives an options object reads from, by the MainKey number a host gives
// Init: the one table the options store and the inspector both go by.
#pragma once

#include <windows.h>

namespace veska {

struct MainKeyHive {
    int mainKey;
    HKEY hive;
    const wchar_t* name;       // "HKEY_CURRENT_USER", as the registry names it
    const wchar_t* shortName;  // "HKCU"
};

inline const MainKeyHive kMainKeyHives[] = {
    {0, HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", L"HKLM"},
    {1, HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", L"HKCU"},
    {2, HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT", L"HKCR"},
};

// The row of MainKey number mainKey, or null for a number Init refuses.
inline const MainKeyHive* FindMainKey(int mainKey) noexcept {
    for (const MainKeyHive& row : kMainKeyHives) {
        if (row.mainKey == mainKey) return &row;
    }
    return nullptr;
}

// The row of hive, or null for a hive no MainKey names.
inline const MainKeyHive* FindHive(HKEY hive) noexcept {
    for (const MainKeyHive& row : kMainKeyHives) {
        if (row.hive == hive) return &row;
    }
    return nullptr;
}

}  // namespace veska

// The two registry views of a 64-bit system, as registration meets them.
//
// A 64-bit system keeps the class keys (HKCR\CLSID, HKCR\Interface) once per
// view: 64-bit programs see one copy, 32-bit programs the other. Everything else
// below HKEY_CLASSES_ROOT, the ProgID keys and HKCR\TypeLib among it, is one key
// that both views share. So a registration of one architecture may remove its
// own class keys freely, but a shared key only when the other view no longer
// registers the class that uses it.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cwchar>

#include "support/Owners.h"

namespace veska {

// The access flag that reaches the other architecture's view: the 32-bit view
// from 64-bit code, the 64-bit view from 32-bit code on a 64-bit system; 0 on a
// 32-bit system, which has one view only.
inline REGSAM OtherRegistryView() noexcept {
#ifdef _WIN64
    return KEY_WOW64_32KEY;
#else
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64 ? KEY_WOW64_64KEY : 0;
#endif
}

// Whether the other architecture still registers the class: the other view
// holds HKCR\CLSID\{clsid}\InprocServer32.
inline bool OtherViewRegistersClass(REFCLSID clsid) noexcept {
    const REGSAM view = OtherRegistryView();
    if (view == 0) return false;
    wchar_t guid[40];
    ::StringFromGUID2(clsid, guid, 40);
    wchar_t name[64];
    std::swprintf(name, 64, L"CLSID\\%ls\\InprocServer32", guid);
    UniqueHkey key;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, name, 0, KEY_QUERY_VALUE | view, key.put()) ==
           ERROR_SUCCESS;
}

}  // namespace veska

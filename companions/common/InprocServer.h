// What the companion in-process servers share beside the COM kit: the one class
// each serves, and the registry entries that DllRegisterServer writes under
// HKEY_CLASSES_ROOT. Their entry points are ServerEntryPoints.cpp.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

#include "com/ClassFactory.h"
#include "support/ModulePath.h"
#include "support/Owners.h"
#include "support/RegistryView.h"

namespace companion {

// Registry text form of a GUID, braced.
inline std::wstring GuidText(REFGUID guid) {
    wchar_t text[39];
    ::StringFromGUID2(guid, text, 39);
    return text;
}

inline HRESULT SetText(HKEY root, const std::wstring& path, const wchar_t* name,
                       const std::wstring& text) {
    veska::UniqueHkey key;
    RETURN_IF_WIN32_ERROR(::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                            nullptr, key.put(), nullptr));
    RETURN_IF_WIN32_ERROR(
        ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
    return S_OK;
}

// Removes what RegisterServer wrote; keys already gone are fine. The ProgID key,
// which both registry views share, goes only while it still names this class and
// the other view no longer registers the class, so another server's ProgID and
// the other architecture's registration stay.
inline HRESULT UnregisterServer(REFCLSID clsid, const wchar_t* progId) {
    const std::wstring classKey = L"CLSID\\" + GuidText(clsid);
    LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(status);
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, classKey.c_str());
    if (progId == nullptr || veska::OtherViewRegistersClass(clsid)) return S_OK;
    wchar_t named[64] = L"";
    DWORD size = sizeof(named);
    if (::RegGetValueW(HKEY_CLASSES_ROOT, (std::wstring(progId) + L"\\CLSID").c_str(), nullptr,
                       RRF_RT_REG_SZ, nullptr, named, &size) != ERROR_SUCCESS ||
        ::lstrcmpiW(named, GuidText(clsid).c_str()) != 0) {
        return S_OK;
    }
    status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, progId);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(status);
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, progId);
    return S_OK;
}

// Registers clsid as an in-process server of this DLL, under progId too when one
// is given. A registration that fails half-way is removed again.
inline HRESULT RegisterServer(REFCLSID clsid, const wchar_t* description, const wchar_t* progId,
                              const wchar_t* threadingModel) {
    const std::wstring path = veska::ModulePath(veska::CodeModule());
    if (path.empty()) return E_FAIL;
    const std::wstring classKey = L"CLSID\\" + GuidText(clsid);
    HRESULT hr = SetText(HKEY_CLASSES_ROOT, classKey, nullptr, description);
    if (SUCCEEDED(hr)) hr = SetText(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", nullptr, path);
    if (SUCCEEDED(hr)) {
        hr = SetText(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", L"ThreadingModel", threadingModel);
    }
    if (SUCCEEDED(hr) && progId != nullptr) {
        hr = SetText(HKEY_CLASSES_ROOT, classKey + L"\\ProgID", nullptr, progId);
        if (SUCCEEDED(hr)) hr = SetText(HKEY_CLASSES_ROOT, progId, nullptr, description);
        if (SUCCEEDED(hr)) {
            hr = SetText(HKEY_CLASSES_ROOT, std::wstring(progId) + L"\\CLSID", nullptr, GuidText(clsid));
        }
    }
    if (FAILED(hr)) UnregisterServer(clsid, progId);
    return hr;
}

// A class a companion serves; its DLL's entry points (ServerEntryPoints.cpp)
// serve it through one cached class factory. Most companions serve one class; a
// DLL that serves more chains the others through next.
struct ServedClass {
    const CLSID& clsid;
    veska::InstanceCreator create;
    const wchar_t* description;
    const wchar_t* progId;  // may be null
    const wchar_t* threadingModel;
    const ServedClass* next = nullptr;
};

// How many classes one DLL may chain; the entry points serve no more.
inline constexpr int kMaxServedClasses = 8;

// The (first) class of the companion; each companion defines it.
extern const ServedClass servedClass;

}  // namespace companion

// Plumbing shared by the companion in-process servers: the count of live objects
// that DllCanUnloadNow reports, a class factory, and the registry entries that
// DllRegisterServer writes under HKEY_CLASSES_ROOT.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <new>
#include <string>

#include "support/Owners.h"

namespace companion {

// Live objects and server locks of this DLL.
inline volatile long objectCount = 0;
// This DLL's handle; set by DllMain.
inline HINSTANCE moduleInstance = nullptr;

// Reference counting every companion object uses; the object deletes itself.
class RefCounted {
public:
    RefCounted() noexcept { ::InterlockedIncrement(&objectCount); }
    virtual ~RefCounted() { ::InterlockedDecrement(&objectCount); }

protected:
    ULONG AddRefImpl() noexcept { return ::InterlockedIncrement(&refs_); }
    ULONG ReleaseImpl() noexcept {
        const ULONG count = ::InterlockedDecrement(&refs_);
        if (count == 0) delete this;
        return count;
    }

private:
    volatile long refs_ = 1;
};

// Creates T (which starts with one reference) for every CreateInstance; no
// aggregation.
template <class T>
class ClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (::InlineIsEqualGUID(iid, IID_IUnknown) || ::InlineIsEqualGUID(iid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        T* object = new (std::nothrow) T();
        if (object == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(iid, ppv);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            ::InterlockedIncrement(&objectCount);
        } else {
            ::InterlockedDecrement(&objectCount);
        }
        return S_OK;
    }
};

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

// Removes what RegisterServer wrote; keys already gone are fine. The ProgID goes
// only while it still names this class, so another server's ProgID stays.
inline HRESULT UnregisterServer(REFCLSID clsid, const wchar_t* progId) {
    const std::wstring classKey = L"CLSID\\" + GuidText(clsid);
    LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, classKey.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(status);
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, classKey.c_str());
    if (progId == nullptr) return S_OK;
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
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(moduleInstance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return E_FAIL;
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

// The one class a companion serves; its DLL entry points forward here.
struct ServedClass {
    const CLSID& clsid;
    IClassFactory& factory;
    const wchar_t* description;
    const wchar_t* progId;  // may be null
    const wchar_t* threadingModel;
};

// The class of a companion whose DLL links ServerEntryPoints.cpp, for its
// entry points; the companion defines it.
extern const ServedClass servedClass;

inline HRESULT GetClassObject(const ServedClass& served, REFCLSID clsid, REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!::InlineIsEqualGUID(clsid, served.clsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return served.factory.QueryInterface(iid, ppv);
}

inline HRESULT Register(const ServedClass& served) {
    return veska::ComBoundary([&] {
        return RegisterServer(served.clsid, served.description, served.progId, served.threadingModel);
    });
}

inline HRESULT Unregister(const ServedClass& served) {
    return veska::ComBoundary([&] { return UnregisterServer(served.clsid, served.progId); });
}

}  // namespace companion

// Entry points of XMLDataIfsImpl.dll: one class, the XML data document, served
// through a static class object and registered under the ProgID
// "Corvane.XMLDataIfsImpl" with the threading model "Apartment".
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "companions/XmlData/XmlDataDocument.h"
#include "module/ComObject.h"
#include "support/Owners.h"
#include "support/Result.h"

namespace veska {
// The component's own module state: its handle and its lock count.
Module TheModule;
}  // namespace veska

namespace xmldata {
namespace {

using veska::TheModule;

constexpr wchar_t kClsidText[] = L"{2798977C-2AB4-4CB6-B7AD-3616268B57CC}";
constexpr wchar_t kDescription[] = L"XML data component";
const std::wstring kClsidKey = std::wstring(L"CLSID\\") + kClsidText;

// The static class object; a client holding it keeps the library loaded.
class DocumentFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!::InlineIsEqualGUID(iid, IID_IUnknown) && !::InlineIsEqualGUID(iid, IID_IClassFactory)) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(TheModule.Lock()) + 1; }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(TheModule.Unlock()) + 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return veska::CreateComInstance<XmlDataDocument>(nullptr, iid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            TheModule.Lock();
        } else {
            TheModule.Unlock();
        }
        return S_OK;
    }
};

DocumentFactory factory;

LONG SetString(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    veska::UniqueHkey key;
    const LONG rc = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                                      KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    return ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// The full path of this library, however long.
std::wstring ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(TheModule.Instance(), buffer.data(),
                                                  static_cast<DWORD>(buffer.size()));
        if (length == 0) veska::ThrowIfFailed(HRESULT_FROM_WIN32(::GetLastError()));
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

HRESULT WriteRegistration() {
    const std::wstring progId = kXmlDataProgId;
    RETURN_IF_WIN32_ERROR(SetString(progId, nullptr, kDescription));
    RETURN_IF_WIN32_ERROR(SetString(progId + L"\\CLSID", nullptr, kClsidText));
    RETURN_IF_WIN32_ERROR(SetString(kClsidKey, nullptr, kDescription));
    RETURN_IF_WIN32_ERROR(SetString(kClsidKey + L"\\ProgID", nullptr, progId));
    RETURN_IF_WIN32_ERROR(SetString(kClsidKey + L"\\InprocServer32", nullptr, ModulePath()));
    RETURN_IF_WIN32_ERROR(SetString(kClsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"));
    return S_OK;
}

LONG DeleteTree(const std::wstring& path) {
    const LONG rc = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    const LONG removed = ::RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
    return removed == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : removed;
}

// Removes the class key, and the ProgID only while it still names this class.
HRESULT RemoveRegistration() {
    RETURN_IF_WIN32_ERROR(DeleteTree(kClsidKey));
    wchar_t named[64] = L"";
    DWORD size = sizeof(named);
    const LONG rc = ::RegGetValueW(HKEY_CLASSES_ROOT, (std::wstring(kXmlDataProgId) + L"\\CLSID").c_str(),
                                   nullptr, RRF_RT_REG_SZ, nullptr, named, &size);
    if (rc == ERROR_SUCCESS && ::lstrcmpiW(named, kClsidText) == 0) {
        RETURN_IF_WIN32_ERROR(DeleteTree(kXmlDataProgId));
    }
    return S_OK;
}

}  // namespace
}  // namespace xmldata

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        veska::TheModule.SetInstance(instance);
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!::InlineIsEqualGUID(clsid, xmldata::CLSID_XMLDataIfsImpl)) return CLASS_E_CLASSNOTAVAILABLE;
    return xmldata::factory.QueryInterface(iid, ppv);
}

STDAPI DllCanUnloadNow() { return veska::TheModule.LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    return veska::ComBoundary([]() -> HRESULT {
        const HRESULT hr = xmldata::WriteRegistration();
        if (FAILED(hr)) xmldata::RemoveRegistration();
        return hr;
    });
}

STDAPI DllUnregisterServer() {
    return veska::ComBoundary([]() -> HRESULT { return xmldata::RemoveRegistration(); });
}

// InstallationInfo.dll: the installation information component of the product.
//
// The installer records the installation's settings as values of
//
//     HKEY_LOCAL_MACHINE\Software\Corvane Interactive\Installation
//
// ("Installation Dir" holds the product's folder, "Product Name" and "Product
// Version" describe it). GetSetting reads the value of that name afresh on every
// call: REG_SZ as VT_BSTR, REG_EXPAND_SZ as VT_BSTR with its variables expanded,
// REG_DWORD as VT_I4. A missing value or another type gives VT_EMPTY and S_FALSE.
// The component keeps no state, so it is registered for both threading models.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "companions/common/InprocServer.h"
#include "contracts/InstallationInfo.h"
#include "support/Owners.h"

namespace {

using veska::UniqueHkey;

constexpr wchar_t kSettingsKey[] = L"Software\\Corvane Interactive\\Installation";

// Reads one setting into value (left VT_EMPTY when there is none to give).
HRESULT ReadSetting(const wchar_t* name, VARIANT* value) {
    UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return S_FALSE;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return S_FALSE;
    }
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD number = 0;
        RETURN_IF_WIN32_ERROR(::RegQueryValueExW(key.get(), name, nullptr, nullptr,
                                                 reinterpret_cast<BYTE*>(&number), &size));
        value->vt = VT_I4;
        value->lVal = static_cast<LONG>(number);
        return S_OK;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return S_FALSE;

    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    RETURN_IF_WIN32_ERROR(::RegQueryValueExW(key.get(), name, nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(data.data()), &size));
    std::wstring text(data.data());
    if (type == REG_EXPAND_SZ) {
        const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (needed == 0) return HRESULT_FROM_WIN32(::GetLastError());
        std::vector<wchar_t> expanded(needed, L'\0');
        ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
        text = expanded.data();
    }
    value->bstrVal = veska::CopyBstr(text.c_str(), static_cast<UINT>(text.size())).detach();
    value->vt = VT_BSTR;
    return S_OK;
}

class InstallationInfo
    : public veska::ObjectRoot<InstallationInfo, veska::MultiThreadModel>,
      public veska::DispatchWithoutTypeInfo<IInstallationInfo> {
public:
    // No type library: the members are reached through the vtable only.
    using Interfaces = veska::InterfaceMap<veska::Entry<IInstallationInfo>,
                                           veska::Entry<IDispatch, IInstallationInfo>>;

    STDMETHODIMP get_ProductName(BSTR* name) override { return GetText(L"Product Name", name); }
    STDMETHODIMP get_ProductVersion(BSTR* version) override {
        return GetText(L"Product Version", version);
    }

    // The caller owns what value receives; value is cleared first.
    STDMETHODIMP GetSetting(BSTR name, VARIANT* value) override {
        if (value == nullptr) return E_POINTER;
        ::VariantInit(value);
        if (name == nullptr) return E_INVALIDARG;
        return veska::ComBoundary([&] { return ReadSetting(name, value); });
    }

private:
    // A string setting as a new BSTR; the empty string when it is missing.
    static HRESULT GetText(const wchar_t* name, BSTR* text) {
        if (text == nullptr) return E_POINTER;
        *text = nullptr;
        return veska::ComBoundary([&]() -> HRESULT {
            veska::UniqueVariant value;
            RETURN_IF_FAILED(ReadSetting(name, value.get()));
            *text =
                value.vt() == VT_BSTR ? value.detach().bstrVal : veska::CopyBstr(L"", 0).detach();
            return S_OK;
        });
    }
};

}  // namespace

namespace companion {
const ServedClass servedClass{CLSID_InstallationInfo,
                              &veska::CreateUnaggregatedInstance<InstallationInfo>,
                              L"InstallationInfo Class", nullptr, L"Both"};
}  // namespace companion

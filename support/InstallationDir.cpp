#include "support/InstallationDir.h"

#include <objbase.h>

#include "contracts/InstallationInfo.h"
#include "support/Owners.h"

namespace veska {

namespace {

// Asks the component once; an empty text when it cannot answer.
std::wstring AskInstallationInfo() {
    ComPtr<IClassFactory> factory;
    if (FAILED(::CoGetClassObject(CLSID_InstallationInfo, CLSCTX_INPROC_SERVER, nullptr,
                                  IID_IClassFactory, factory.put_void()))) {
        return std::wstring();
    }
    ComPtr<IInstallationInfo> info;
    if (FAILED(factory->CreateInstance(nullptr, __uuidof(IInstallationInfo), info.put_void())) ||
        !info) {
        return std::wstring();
    }
    UniqueBstr name = CopyBstr(L"Installation Dir");
    UniqueVariant value;
    info->GetSetting(name.get(), value.get());  // only the answer's type counts
    if (value.vt() != VT_BSTR || value.get()->bstrVal == nullptr) return std::wstring();
    return std::wstring(value.get()->bstrVal, ::SysStringLen(value.get()->bstrVal));
}

}  // namespace

bool GetInstallationDir(std::wstring& dir) {
    static CriticalSection cacheLock;
    static std::wstring cache;
    {
        CriticalSectionLock lock(cacheLock);
        if (!cache.empty()) {
            dir = cache;
            return true;
        }
    }
    // Asked outside the lock: two first callers may both ask, which is harmless,
    // and the first non-empty answer stays.
    std::wstring answer = AskInstallationInfo();
    CriticalSectionLock lock(cacheLock);
    if (cache.empty()) cache = std::move(answer);
    dir = cache;
    return !dir.empty();
}

}  // namespace veska

#include "module/Dispatch.h"

#include "VeskaOptions_h.h"
#include "module/Module.h"

namespace veska {

namespace {

// One slot per dual interface whose IDispatch the classes serve.
struct CachedTypeInfo {
    const IID* iid;
    ITypeInfo* info;
};

CachedTypeInfo typeInfoCache[] = {
    {&IID_IVeskaOptions3, nullptr},
    {&IID_IPropertyProvider2, nullptr},
#ifndef VESKA_EARLIER_EDITION
    {&IID_IPropertyProvider3, nullptr},
#endif
};

}  // namespace

HRESULT GetCachedTypeInfo(REFIID iid, ITypeInfo** typeInfo) noexcept {
    if (typeInfo == nullptr) return E_POINTER;
    *typeInfo = nullptr;
    CriticalSectionLock lock(TheModule.TypeInfoLock());
    for (CachedTypeInfo& slot : typeInfoCache) {
        if (!::InlineIsEqualGUID(iid, *slot.iid)) continue;
        if (slot.info == nullptr) {
            ComPtr<ITypeLib> library;
            RETURN_IF_FAILED(::LoadRegTypeLib(LIBID_VESKAOPTIONSLib, 1, 0, 0, library.put()));
            RETURN_IF_FAILED(library->GetTypeInfoOfGuid(iid, &slot.info));
        }
        slot.info->AddRef();
        *typeInfo = slot.info;
        return S_OK;
    }
    return E_NOINTERFACE;
}

void ReleaseCachedTypeInfo() noexcept {
    CriticalSectionLock lock(TheModule.TypeInfoLock());
    for (CachedTypeInfo& slot : typeInfoCache) {
        if (slot.info != nullptr) slot.info->Release();
        slot.info = nullptr;
    }
}

}  // namespace veska

#include "module/Dispatch.h"

#include "VeskaOptions_h.h"
#include "module/Module.h"
#include "support/Result.h"

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
            // The registered library first; when its registration is missing or
            // damaged, the one embedded in the library's own file, so late
            // binding does not depend on the registry.
            ComPtr<ITypeLib> library;
            const HRESULT registered = ::LoadRegTypeLib(LIBID_VESKAOPTIONSLib, 1, 0, 0, library.put());
            if (FAILED(registered)) {
                const HRESULT embedded = ComBoundary([&]() -> HRESULT {
                    const std::wstring path = ModulePath(LibraryModule());
                    if (path.empty()) return E_FAIL;
                    return ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
                });
                if (FAILED(embedded)) return registered;
            }
            RETURN_IF_FAILED(library->GetTypeInfoOfGuid(iid, &slot.info));
        }
        slot.info->AddRef();
        *typeInfo = slot.info;
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT CheckInvokeArguments(const DISPPARAMS* params, UINT* argError) noexcept {
    if (params == nullptr) return E_INVALIDARG;
    if (params->cArgs != 0 && params->rgvarg == nullptr) return E_INVALIDARG;
    if (params->cNamedArgs > params->cArgs) return E_INVALIDARG;
    if (params->cNamedArgs != 0 && params->rgdispidNamedArgs == nullptr) return E_INVALIDARG;
    for (UINT index = 0; index < params->cArgs; ++index) {
        const VARIANT& argument = params->rgvarg[index];
        bool usable = (argument.vt & VT_BYREF) == 0 || argument.byref != nullptr;
        if (usable && argument.vt == (VT_BYREF | VT_VARIANT)) {
            // One level of indirection only, to a VARIANT whose own reference,
            // if it has one, points somewhere.
            const VARIANT& inner = *argument.pvarVal;
            usable = (inner.vt & VT_BYREF) == 0 ||
                     (inner.vt != (VT_BYREF | VT_VARIANT) && inner.byref != nullptr);
        }
        if (!usable) {
            if (argError != nullptr) *argError = index;
            return DISP_E_TYPEMISMATCH;
        }
    }
    return S_OK;
}

void ReleaseCachedTypeInfo() noexcept {
    CriticalSectionLock lock(TheModule.TypeInfoLock());
    for (CachedTypeInfo& slot : typeInfoCache) {
        if (slot.info != nullptr) slot.info->Release();
        slot.info = nullptr;
    }
}

}  // namespace veska

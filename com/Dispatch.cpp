#include "com/Dispatch.h"

#include "support/ModulePath.h"
#include "support/Result.h"

namespace veska {

TypeInfoCache::TypeInfoCache(const GUID& libid, WORD major, WORD minor,
                             HMODULE (*module)() noexcept, const IID* const* iids,
                             std::size_t count) noexcept
    : libid_(libid), major_(major), minor_(minor), module_(module) {
    for (; count_ < count && count_ < kCapacity; ++count_) iids_[count_] = iids[count_];
}

HRESULT TypeInfoCache::Get(REFIID iid, ITypeInfo** typeInfo) noexcept {
    if (typeInfo == nullptr) return E_POINTER;
    *typeInfo = nullptr;
    CriticalSectionLock lock(lock_);
    for (std::size_t slot = 0; slot < count_; ++slot) {
        if (!::InlineIsEqualGUID(iid, *iids_[slot])) continue;
        if (infos_[slot] == nullptr) {
            ComPtr<ITypeLib> library;
            const HRESULT registered = ::LoadRegTypeLib(libid_, major_, minor_, 0, library.put());
            if (FAILED(registered)) {
                const HRESULT embedded = ComBoundary([&]() -> HRESULT {
                    const std::wstring path = ModulePath(module_());
                    if (path.empty()) return E_FAIL;
                    return ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
                });
                if (FAILED(embedded)) return registered;
            }
            RETURN_IF_FAILED(library->GetTypeInfoOfGuid(iid, &infos_[slot]));
        }
        infos_[slot]->AddRef();
        *typeInfo = infos_[slot];
        return S_OK;
    }
    return E_NOINTERFACE;
}

void TypeInfoCache::Clear() noexcept {
    CriticalSectionLock lock(lock_);
    for (ITypeInfo*& info : infos_) {
        if (info != nullptr) info->Release();
        info = nullptr;
    }
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

}  // namespace veska

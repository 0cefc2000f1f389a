// IDispatch served from the type information of one dual interface in the type
// library VESKAOPTIONSLib 1.0.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "support/Owners.h"

namespace veska {

// The type information of iid from VESKAOPTIONSLib 1.0, loaded on first use
// through the registry or, when the registered library cannot be loaded, from
// the type library embedded in the module's own file, and cached until the
// module terminates. The caller gets a reference of its own. Fails (and caches
// nothing) when neither can be loaded.
HRESULT GetCachedTypeInfo(REFIID iid, ITypeInfo** typeInfo) noexcept;

// Drops the cached type information; run when the module terminates.
void ReleaseCachedTypeInfo() noexcept;

// Refuses the arguments of an Invoke call that the platform's dispatch would
// read through a bad pointer: no DISPPARAMS, missing argument or name arrays,
// more named arguments than arguments (E_INVALIDARG); a by-reference argument
// with a null pointer, or a by-reference VARIANT that holds another by-reference
// VARIANT or a null by-reference pointer (DISP_E_TYPEMISMATCH, with the
// argument's index in rgvarg in *argError when argError is not null).
HRESULT CheckInvokeArguments(const DISPPARAMS* params, UINT* argError) noexcept;

// Implements IDispatch for the dual interface I.
template <class I>
class DispatchImpl : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }

    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) override {
        if (typeInfo == nullptr) return E_POINTER;
        *typeInfo = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return GetCachedTypeInfo(__uuidof(I), typeInfo);
    }

    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                               DISPID* ids) override {
        if (!::InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        ComPtr<ITypeInfo> info;
        RETURN_IF_FAILED(GetCachedTypeInfo(__uuidof(I), info.put()));
        return info->GetIDsOfNames(names, count, ids);
    }

    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
        if (!::InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        RETURN_IF_FAILED(CheckInvokeArguments(params, argError));
        ComPtr<ITypeInfo> info;
        RETURN_IF_FAILED(GetCachedTypeInfo(__uuidof(I), info.put()));
        return info->Invoke(static_cast<I*>(this), id, flags, params, result, exception, argError);
    }
};

}  // namespace veska

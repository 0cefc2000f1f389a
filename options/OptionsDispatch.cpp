#include "options/OptionsDispatch.h"

#include "options/LiveEvents.h"
#include "options/OxaSafeArray.h"
#include "support/Owners.h"
#include "support/Result.h"

namespace veska {

namespace {

// True for a call of GetKeys or GetValues in a form only scripts use: Root alone,
// or Root and a VARIANT passed by reference.
bool IsScriptArrayCall(DISPID id, WORD flags, const DISPPARAMS* params) noexcept {
    if (id != VeskaOptionsDispIdGetKeys && id != VeskaOptionsDispIdGetValues) return false;
    if ((flags & DISPATCH_METHOD) == 0 || params == nullptr || params->rgvarg == nullptr ||
        params->cNamedArgs != 0) {
        return false;
    }
    return params->cArgs == 1 ||
           (params->cArgs == 2 && V_VT(&params->rgvarg[0]) == (VT_BYREF | VT_VARIANT));
}

// The keys' array of strings as an array of VARIANTs of the same shape, each
// holding a copy of its string: the scripting engines index arrays of VARIANTs
// only. Throws HResultError when memory runs out.
SAFEARRAY* ToVariantArray(SAFEARRAY* strings) {
    // The descriptor keeps its bounds last dimension first: the rows, then the
    // columns.
    const ULONG rows = strings->rgsabound[0].cElements;
    const ULONG columns = strings->rgsabound[1].cElements;
    COxaSafeArray<VARIANT> variants;
    variants.Create(rows, columns, VT_VARIANT);
    {
        SafeArrayDataAccess from;
        SafeArrayDataAccess to;
        ThrowIfFailed(from.Access(strings));
        ThrowIfFailed(to.Access(variants.Array()));
        const BSTR* text = from.data<BSTR>();
        VARIANT* slot = to.data<VARIANT>();
        for (ULONG i = 0; i < rows * columns; ++i) {
            if (text[i] != nullptr) {
                slot[i].bstrVal = CopyBstr(text[i], ::SysStringLen(text[i])).detach();
            }
            slot[i].vt = VT_BSTR;
        }
    }
    return variants.Detach();
}

}  // namespace

STDMETHODIMP OptionsDispatch::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) {
    if (IsLiveDispId(id)) {
        return InvokeLive(static_cast<IVeskaOptions3*>(this), id, iid, flags, params, result,
                          exception, argError);
    }
    if (!IsScriptArrayCall(id, flags, params)) {
        return DispatchImpl::Invoke(id, iid, lcid, flags, params, result, exception, argError);
    }
    if (!::InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    RETURN_IF_FAILED(CheckInvokeArguments(params, argError));
    const UINT rootIndex = params->cArgs - 1;  // the arguments come last first
    UniqueVariant root;
    if (FAILED(::VariantChangeType(root.get(), &params->rgvarg[rootIndex], 0, VT_BSTR))) {
        if (argError != nullptr) *argError = rootIndex;
        return DISP_E_TYPEMISMATCH;
    }
    UniqueSafeArray array;
    const HRESULT hr = id == VeskaOptionsDispIdGetKeys ? GetKeys(V_BSTR(root.get()), array.put())
                                                       : GetValues(V_BSTR(root.get()), array.put());
    RETURN_IF_FAILED(hr);
    if (id == VeskaOptionsDispIdGetKeys && array.get() != nullptr) {
        SAFEARRAY* variants = nullptr;
        RETURN_IF_FAILED(ComBoundary([&]() -> HRESULT {
            variants = ToVariantArray(array.get());
            return S_OK;
        }));
        array.reset(variants);
    }
    // No keys or values: an empty VARIANT, as the member hands out a null array.
    UniqueVariant value;
    if (array.get() != nullptr) {
        V_VT(value.get()) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(value.get()) = array.detach();
    }
    if (result != nullptr) RETURN_IF_FAILED(::VariantCopy(result, value.get()));
    if (params->cArgs == 2) {
        value.MoveTo(*V_VARIANTREF(&params->rgvarg[0]));
    }
    return hr;
}

}  // namespace veska

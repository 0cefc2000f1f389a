// The provider's IDispatch: the members whose parameters automation cannot
// carry (a window handle, a GUID) are taken here, every other goes through the
// type information.
#include "provider/PropertyProvider.h"

#include "support/Result.h"
#include "support/WindowHandle.h"

namespace veska {

namespace {

// Argument index of params converted to vt in out; DISP_E_TYPEMISMATCH, with the
// index in *argError, when it does not convert.
HRESULT ConvertArgument(const DISPPARAMS& params, UINT index, VARTYPE vt, UniqueVariant& out,
                        UINT* argError) noexcept {
    if (SUCCEEDED(::VariantChangeType(out.get(), &params.rgvarg[index], 0, vt))) return S_OK;
    if (argError != nullptr) *argError = index;
    return DISP_E_TYPEMISMATCH;
}

// A window handle given as a number: its low 32 bits, sign-extended.
HRESULT WindowArgument(const DISPPARAMS& params, UINT index, HWND* window,
                       UINT* argError) noexcept {
    UniqueVariant number;
    RETURN_IF_FAILED(ConvertArgument(params, index, VT_I8, number, argError));
    *window = WindowFromNumber(number.get()->llVal);
    return S_OK;
}

#ifndef VESKA_EARLIER_EDITION
// Puts a reference of its own on object into the empty target: VT_DISPATCH when
// it answers IDispatch (a null one, Nothing, for no object), VT_UNKNOWN otherwise.
void PutObject(IUnknown* object, VARIANT* target) noexcept {
    IDispatch* dispatch = nullptr;
    if (object == nullptr || SUCCEEDED(object->QueryInterface(IID_IDispatch,
                                                              reinterpret_cast<void**>(&dispatch)))) {
        V_VT(target) = VT_DISPATCH;
        V_DISPATCH(target) = dispatch;
        return;
    }
    object->AddRef();
    V_VT(target) = VT_UNKNOWN;
    V_UNKNOWN(target) = object;
}
#endif

}  // namespace

STDMETHODIMP CPropertyProvider::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                       DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                       UINT* argError) {
    bool taken = id == PropertyProviderDispIdDoPropertySheet || id == PropertyProviderDispIdDoNewPropertySheet;
#ifndef VESKA_EARLIER_EDITION
    taken = taken || id == PropertyProviderDispIdGetRegisteredObj;
#endif
#ifndef VESKA_EARLIER_EDITION
    // Options takes no argument when read. The type information would take an
    // argument given anyway as the place for the object handed back, and the
    // platform's dispatch then writes through whatever the argument holds.
    if (id == PropertyProviderDispIdOptions && params != nullptr && params->cArgs != 0 &&
        (flags & DISPATCH_PROPERTYGET) != 0 &&
        (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) == 0) {
        return DISP_E_BADPARAMCOUNT;
    }
#endif
    if (!taken || (flags & DISPATCH_METHOD) == 0) {
        return DispatchImpl<NewestPropertyProvider>::Invoke(id, iid, lcid, flags, params, result,
                                                            exception, argError);
    }
    if (!::InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    RETURN_IF_FAILED(CheckInvokeArguments(params, argError));
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    const UINT count = params->cArgs;  // the arguments come last first
    HWND window = nullptr;
    if (id == PropertyProviderDispIdDoPropertySheet) {
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        RETURN_IF_FAILED(WindowArgument(*params, 0, &window, argError));
        return DoPropertySheet(window);
    }
    if (id == PropertyProviderDispIdDoNewPropertySheet) {
        if (count != 2) return DISP_E_BADPARAMCOUNT;
        RETURN_IF_FAILED(WindowArgument(*params, 1, &window, argError));
        UniqueVariant title;
        RETURN_IF_FAILED(ConvertArgument(*params, 0, VT_BSTR, title, argError));
        return DoNewPropertySheet(window, V_BSTR(title.get()));
    }
#ifndef VESKA_EARLIER_EDITION
    if (count != 1 && count != 2) return DISP_E_BADPARAMCOUNT;
    UniqueVariant text;
    RETURN_IF_FAILED(ConvertArgument(*params, count - 1, VT_BSTR, text, argError));
    IID wanted;
    VARIANT* out = count == 2 ? &params->rgvarg[0] : nullptr;
    const bool outUsable = out == nullptr || V_VT(out) == (VT_BYREF | VT_VARIANT);
    if (V_BSTR(text.get()) == nullptr || FAILED(::IIDFromString(V_BSTR(text.get()), &wanted)) ||
        !outUsable) {
        if (argError != nullptr) *argError = outUsable ? count - 1 : 0;
        return DISP_E_TYPEMISMATCH;
    }
    ComPtr<IUnknown> found;
    const HRESULT hr = GetRegisteredObj(wanted, found.put());
    RETURN_IF_FAILED(hr);
    if (out != nullptr) {
        UniqueVariant object;
        PutObject(found.get(), object.get());
        object.MoveTo(*V_VARIANTREF(out));
    }
    if (result != nullptr) PutObject(found.get(), result);
    return hr;
#else
    return DISP_E_MEMBERNOTFOUND;
#endif
}

}  // namespace veska

// IDispatch for the component's interfaces, which are called through their
// virtual tables only: no type information and no late-bound members.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace xmldata {

template <class I>
class DispatchWithoutTypeInfo : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** typeInfo) override {
        if (typeInfo == nullptr) return E_POINTER;
        *typeInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
        if (ids == nullptr) return E_POINTER;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
};

}  // namespace xmldata

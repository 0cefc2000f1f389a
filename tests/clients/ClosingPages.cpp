// VeskaTestPages.dll: a page-owning component that scripts can create, for the
// late-bound property sheet test. The object a script creates announces one
// property page, of its own class; as that page it presses the frame's Cancel
// button when the frame activates it, so a modal sheet closes by itself under
// Wine's null display driver. Its one late-bound member, Activations, counts the
// pages this process activated.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "com/ComObject.h"
#include "companions/common/InprocServer.h"
#include "tests/common/ClosingPage.h"

namespace {

// {5A1E0001-0D3E-4C7A-9B11-0000000007E5}
const CLSID kClosingPages = {0x5A1E0001, 0x0D3E, 0x4C7A, {0x9B, 0x11, 0, 0, 0, 0, 0x07, 0xE5}};
constexpr DISPID kDispidActivations = 1;
volatile long activations = 0;

class ClosingPages : public veska::ObjectRoot<ClosingPages, veska::MultiThreadModel>,
                     public IDispatch,
                     public ISpecifyPropertyPages,
                     public veska::test::ClosingPropertyPage {
public:
    using Interfaces = veska::InterfaceMap<veska::Entry<IDispatch>, veska::Entry<ISpecifyPropertyPages>,
                                           veska::Entry<IPropertyPage>>;

    // IDispatch: Activations, read-only, without type information.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (names == nullptr || ids == nullptr || count != 1) return E_INVALIDARG;
        const bool known = ::lstrcmpiW(names[0], L"Activations") == 0;
        ids[0] = known ? kDispidActivations : DISPID_UNKNOWN;
        return known ? S_OK : DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                        EXCEPINFO*, UINT*) override {
        if (id != kDispidActivations) return DISP_E_MEMBERNOTFOUND;
        if ((flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
        if (result != nullptr) {
            V_VT(result) = VT_I4;
            V_I4(result) = activations;
        }
        return S_OK;
    }

    // ISpecifyPropertyPages: one page, this class.
    STDMETHODIMP GetPages(CAUUID* pages) override {
        if (pages == nullptr) return E_POINTER;
        pages->pElems = static_cast<GUID*>(::CoTaskMemAlloc(sizeof(GUID)));
        if (pages->pElems == nullptr) return E_OUTOFMEMORY;
        pages->cElems = 1;
        pages->pElems[0] = kClosingPages;
        return S_OK;
    }

private:
    // As the page: counts the activation; the frame closes.
    void Activated(HWND) override { ::InterlockedIncrement(&activations); }
};

}  // namespace

namespace companion {
const ServedClass servedClass{kClosingPages, &veska::CreateUnaggregatedInstance<ClosingPages>,
                              L"Veska test pages", L"Veska.Test.ClosingPages", L"Apartment"};
}  // namespace companion

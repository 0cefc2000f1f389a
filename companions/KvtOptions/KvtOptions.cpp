// KvtOptions.dll: a stand-in for the managed options dialog.
//
// Registered under the ProgID "Corvane.KVT.KVTOptions.CKvtOptions", it answers
// IKvtOptions and shows the pages it is given in the platform's modal property
// frame, titled with the caller's title ("Options" when none is given), owned by
// the caller's window. It returns when the frame has been closed. The frame has
// no help folder and no read-only mode of its own, so the help directory and the
// read-only flag are accepted and not used; the pages read the flags from the
// last object they receive.
//
// The earlier edition's IKvtOptions derives from IDispatch and takes the objects
// as a plain pointer array; built with VESKA_EARLIER_EDITION, this source serves
// that shape under the same IID.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include <vector>

#include "VeskaOptions_h.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "companions/common/InprocServer.h"
#include "support/Owners.h"
#include "support/WindowHandle.h"

namespace {

using veska::ComPtr;

// {5E2F4499-0BDA-4CD7-B95A-81D51F43AA81}
constexpr CLSID CLSID_KvtOptionsStandIn = {
    0x5e2f4499, 0x0bda, 0x4cd7, {0xb9, 0x5a, 0x81, 0xd5, 0x1f, 0x43, 0xaa, 0x81}};
constexpr wchar_t kProgId[] = L"Corvane.KVT.KVTOptions.CKvtOptions";

#ifndef VESKA_EARLIER_EDITION
// The first count elements of a one-dimensional array of VT_UNKNOWN or
// VT_DISPATCH VARIANTs, with a reference each.
HRESULT ObjectsFromVariants(SAFEARRAY* array, ULONG count, std::vector<ComPtr<IUnknown>>& objects) {
    RETURN_HR_IF_NULL(E_INVALIDARG, array);
    VARTYPE vt = VT_EMPTY;
    RETURN_IF_FAILED(::SafeArrayGetVartype(array, &vt));
    RETURN_HR_IF(E_INVALIDARG, vt != VT_VARIANT || ::SafeArrayGetDim(array) != 1);
    LONG lower = 0;
    RETURN_IF_FAILED(::SafeArrayGetLBound(array, 1, &lower));
    for (ULONG i = 0; i < count; ++i) {
        LONG index = lower + static_cast<LONG>(i);
        veska::UniqueVariant element;
        RETURN_IF_FAILED(::SafeArrayGetElement(array, &index, element.get()));
        RETURN_HR_IF(E_INVALIDARG, element.vt() != VT_UNKNOWN && element.vt() != VT_DISPATCH);
        RETURN_HR_IF_NULL(E_INVALIDARG, element.get()->punkVal);
        objects.push_back(ComPtr<IUnknown>::CopyOf(element.get()->punkVal));
    }
    return S_OK;
}
#endif

// The first count page CLSIDs of a one-dimensional BSTR array (none for null).
HRESULT PagesFromStrings(SAFEARRAY* array, ULONG count, std::vector<CLSID>& pages) {
    if (array == nullptr) return count == 0 ? S_OK : E_INVALIDARG;
    VARTYPE vt = VT_EMPTY;
    RETURN_IF_FAILED(::SafeArrayGetVartype(array, &vt));
    RETURN_HR_IF(E_INVALIDARG, vt != VT_BSTR || ::SafeArrayGetDim(array) != 1);
    LONG lower = 0;
    RETURN_IF_FAILED(::SafeArrayGetLBound(array, 1, &lower));
    for (ULONG i = 0; i < count; ++i) {
        LONG index = lower + static_cast<LONG>(i);
        veska::UniqueBstr text;
        RETURN_IF_FAILED(::SafeArrayGetElement(array, &index, text.put()));
        CLSID clsid;
        RETURN_HR_IF(E_INVALIDARG,
                     text.get() == nullptr || FAILED(::CLSIDFromString(text.get(), &clsid)));
        pages.push_back(clsid);
    }
    return S_OK;
}

// Shows the pages modally; S_FALSE without a window when there is no page.
HRESULT ShowFrame(std::vector<ComPtr<IUnknown>>& objects, std::vector<CLSID>& pages,
                  hyper parentWindow, BSTR title) {
    if (pages.empty()) return S_FALSE;
    std::vector<IUnknown*> pointers;
    for (const ComPtr<IUnknown>& object : objects) pointers.push_back(object.get());
    const wchar_t* caption = title != nullptr && title[0] != L'\0' ? title : L"Options";
    return ::OleCreatePropertyFrame(veska::WindowFromNumber(parentWindow), 0, 0, caption,
                                    static_cast<ULONG>(pointers.size()), pointers.data(),
                                    static_cast<ULONG>(pages.size()), pages.data(), 0, 0, nullptr);
}

#ifdef VESKA_EARLIER_EDITION
// The earlier dialog interface derives from IDispatch but has no type
// information: the dialog is reached through the vtable only.
using KvtOptionsBase = veska::DispatchWithoutTypeInfo<IKvtOptions>;
using KvtOptionsInterfaces = veska::InterfaceMap<veska::Entry<IKvtOptions>,
                                                 veska::Entry<IDispatch, IKvtOptions>>;
#else
using KvtOptionsBase = IKvtOptions;
using KvtOptionsInterfaces = veska::InterfaceMap<veska::Entry<IKvtOptions>>;
#endif

class KvtOptions : public veska::ObjectRoot<KvtOptions, veska::MultiThreadModel>,
                   public KvtOptionsBase {
public:
    using Interfaces = KvtOptionsInterfaces;

#ifdef VESKA_EARLIER_EDITION
    // The arrays and strings stay the caller's.
    STDMETHODIMP ShowOptionsDialog(ULONG iObjsCount, IUnknown** aUnkPages, ULONG iNumPages,
                                   SAFEARRAY* aPagesGuids, hyper iParentWindow, BSTR, VARIANT_BOOL,
                                   BSTR sFormTitle) override {
        return veska::ComBoundary([&]() -> HRESULT {
            RETURN_HR_IF(E_INVALIDARG, aUnkPages == nullptr && iObjsCount > 0);
            std::vector<ComPtr<IUnknown>> objects;
            for (ULONG i = 0; i < iObjsCount; ++i) {
                RETURN_HR_IF_NULL(E_INVALIDARG, aUnkPages[i]);
                objects.push_back(ComPtr<IUnknown>::CopyOf(aUnkPages[i]));
            }
            std::vector<CLSID> pages;
            RETURN_IF_FAILED(PagesFromStrings(aPagesGuids, iNumPages, pages));
            return ShowFrame(objects, pages, iParentWindow, sFormTitle);
        });
    }
#else
    // The arrays and strings stay the caller's.
    STDMETHODIMP ShowOptionsDialog(ULONG iObjsCount, SAFEARRAY* aUnkPages, ULONG iNumPages,
                                   SAFEARRAY* aPagesGuids, hyper iParentWindow, BSTR, VARIANT_BOOL,
                                   BSTR sFormTitle) override {
        return veska::ComBoundary([&]() -> HRESULT {
            std::vector<ComPtr<IUnknown>> objects;
            RETURN_IF_FAILED(ObjectsFromVariants(aUnkPages, iObjsCount, objects));
            std::vector<CLSID> pages;
            RETURN_IF_FAILED(PagesFromStrings(aPagesGuids, iNumPages, pages));
            return ShowFrame(objects, pages, iParentWindow, sFormTitle);
        });
    }
#endif
};

}  // namespace

namespace companion {
const ServedClass servedClass{CLSID_KvtOptionsStandIn,
                              &veska::CreateUnaggregatedInstance<KvtOptions>, L"KvtOptions Class",
                              kProgId, L"Apartment"};
}  // namespace companion

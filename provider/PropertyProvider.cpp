#include "provider/PropertyProvider.h"

#include <string>

#include "support/InstallationDir.h"
#include "support/WindowHandle.h"
#include "trace/TimeTrace.h"

namespace veska {

PropertyFrameFunction ShowPropertyFrame = &::OleCreatePropertyFrame;

namespace {

// The class context the managed options dialog may be served from.
constexpr DWORD kManagedDialogContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// The collected objects as the plain pointer array the frame takes; the
// references stay with pages.
std::vector<IUnknown*> ObjectPointers(const CollectedPages& pages) {
    std::vector<IUnknown*> pointers;
    pointers.reserve(pages.objects.size());
    for (const ComPtr<IUnknown>& object : pages.objects) pointers.push_back(object.get());
    return pointers;
}

#ifndef VESKA_EARLIER_EDITION
// A new vector of type vt holding one referenced copy of every collected object.
UniqueSafeArray ObjectVector(const CollectedPages& pages, VARTYPE vt) {
    const ULONG count = static_cast<ULONG>(pages.objects.size());
    UniqueSafeArray array =
        UniqueSafeArray::Adopt(ThrowIfNull(::SafeArrayCreateVector(vt, 0, count)));
    SafeArrayDataAccess access;
    ThrowIfFailed(access.Access(array.get()));
    for (ULONG i = 0; i < count; ++i) {
        IUnknown* object = pages.objects[i].get();
        object->AddRef();
        if (vt == VT_UNKNOWN) {
            access.data<IUnknown*>()[i] = object;
        } else {
            VARIANT& element = access.data<VARIANT>()[i];
            element.vt = VT_UNKNOWN;
            element.punkVal = object;
        }
    }
    return array;
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Collecting the pages for one member

template <class Use>
HRESULT CPropertyProvider::WithCollectedPages(Use&& use) noexcept {
    return ComBoundary([&]() -> HRESULT {
        CollectedPages pages;
        RETURN_IF_FAILED(CollectPages(pages));
        const HRESULT hr = ComBoundary([&]() -> HRESULT { return use(pages); });
        ReleasePagesAndClearReadOnly(pages);
        return hr;
    });
}

// ---------------------------------------------------------------------------
// Registration

STDMETHODIMP CPropertyProvider::RegisterObject(IUnknown* pObj) {
    VESKA_TRACE_SCOPE(L"CPropertyProvider::RegisterObject");
    return ComBoundary([&]() -> HRESULT {
        RETURN_HR_IF_NULL(E_POINTER, pObj);
        ComPtr<IUnknown> pages;
        if (FAILED(pObj->QueryInterface(IID_ISpecifyPropertyPages, pages.put_void())) || !pages) {
            if (FAILED(pObj->QueryInterface(IID_IOrderedPropertyPages, pages.put_void())) ||
                !pages) {
                return E_NOINTERFACE;
            }
        }
        m_registered.push_back(std::move(pages));
        return S_OK;
    });
}

STDMETHODIMP CPropertyProvider::UnRegisterObject(IUnknown* pObj) {
    VESKA_TRACE_SCOPE(L"CPropertyProvider::UnRegisterObject");
    RETURN_HR_IF_NULL(E_POINTER, pObj);
    ComPtr<IUnknown> identity;
    pObj->QueryInterface(IID_IUnknown, identity.put_void());
    for (auto entry = m_registered.begin(); entry != m_registered.end(); ++entry) {
        if (!*entry) continue;
        ComPtr<IUnknown> entryIdentity = entry->try_query<IUnknown>();
        if (!entryIdentity || entryIdentity.get() != identity.get()) continue;
        // The reference is dropped only once the list is whole again: the object's
        // last Release may call back into the provider.
        ComPtr<IUnknown> removed = std::move(*entry);
        m_registered.erase(entry);
        return S_OK;
    }
    return E_FAIL;
}

#ifndef VESKA_EARLIER_EDITION

STDMETHODIMP CPropertyProvider::GetRegisteredObj(GUID guidIn, IUnknown** pOutVal) {
    RETURN_HR_IF_NULL(E_POINTER, pOutVal);
    *pOutVal = nullptr;
    for (const ComPtr<IUnknown>& entry : m_registered) {
        if (!entry) continue;
        ComPtr<IUnknown> identity = entry.try_query<IUnknown>();
        if (!identity) continue;
        ComPtr<IUnknown> probe;
        if (FAILED(identity->QueryInterface(guidIn, probe.put_void())) || !probe) continue;
        *pOutVal = identity.detach();
        return S_OK;
    }
    { VESKA_TRACE_SCOPE(L"can't find the specified registered obj"); }
    return S_FALSE;
}

STDMETHODIMP CPropertyProvider::GetRegisteredObjects(SAFEARRAY** Values) {
    VESKA_TRACE_SCOPE(L"CPropertyProvider::GetRegisteredObjects");
    RETURN_HR_IF_NULL(E_POINTER, Values);
    return WithCollectedPages([&](CollectedPages& pages) -> HRESULT {
        *Values = ObjectVector(pages, VT_UNKNOWN).detach();
        return S_OK;
    });
}

STDMETHODIMP CPropertyProvider::GetRegisteredPageGuids(SAFEARRAY** PageGuids) {
    VESKA_TRACE_SCOPE(L"CPropertyProvider::GetRegisteredPageGuids");
    RETURN_HR_IF_NULL(E_POINTER, PageGuids);
    return WithCollectedPages([&](CollectedPages& pages) -> HRESULT {
        *PageGuids = pages.pageGuidStrings.detach();
        return S_OK;
    });
}

#endif  // !VESKA_EARLIER_EDITION

// ---------------------------------------------------------------------------
// Showing the pages

STDMETHODIMP CPropertyProvider::DoPropertySheet(HWND hwParent) {
    VESKA_TRACE_SCOPE(L"CPropertyProvider::DoPropertySheet");
    return WithCollectedPages([&](CollectedPages& pages) -> HRESULT {
        std::vector<IUnknown*> objects = ObjectPointers(pages);
        return ShowPropertyFrame(hwParent, 0, 0, L"", static_cast<ULONG>(objects.size()),
                                 objects.data(), pages.pageClsidCount, pages.pageClsids.get(), 0, 0,
                                 nullptr);
    });
}

STDMETHODIMP CPropertyProvider::DoNewPropertySheet(HWND hwParent, BSTR sFormTitle) {
    VESKA_TRACE_SCOPE(L"CPropertyProvider::DoNewPropertySheet");
    return WithCollectedPages(
        [&](CollectedPages& pages) { return ShowManagedDialog(pages, hwParent, sFormTitle); });
}

HRESULT CPropertyProvider::ShowManagedDialog(CollectedPages& pages, HWND hwParent,
                                             BSTR sFormTitle) {
    CLSID clsid;
    RETURN_IF_FAILED(::CLSIDFromProgID(kManagedOptionsDialogProgId, &clsid));
    ComPtr<IKvtOptions> dialog;
    const HRESULT created = ::CoCreateInstance(clsid, nullptr, kManagedDialogContext,
                                               IID_IKvtOptions, dialog.put_void());
    RETURN_IF_FAILED(created);
    // A creator that claims success without an object showed nothing.
    RETURN_HR_IF_NULL(E_NOINTERFACE, dialog.get());

    std::wstring helpDirectory;
    if (GetInstallationDir(helpDirectory)) helpDirectory += L"\\Help";
    UniqueBstr help = CopyBstr(helpDirectory.c_str(), static_cast<UINT>(helpDirectory.size()));

    const hyper parentWindow = NumberFromWindow(hwParent);
    // The arrays stay ours: a lock held across the call keeps the dialog from
    // destroying them.
    SafeArrayDataAccess guidsLock;
    if (pages.pageGuidStrings) RETURN_IF_FAILED(guidsLock.Access(pages.pageGuidStrings.get()));
    const VARIANT_BOOL readOnly = m_bPropertySheetReadOnly ? 1 : 0;
#ifdef VESKA_EARLIER_EDITION
    std::vector<IUnknown*> objects = ObjectPointers(pages);
    return dialog->ShowOptionsDialog(static_cast<ULONG>(objects.size()), objects.data(),
                                     pages.totalPages, pages.pageGuidStrings.get(), parentWindow,
                                     help.get(), readOnly, sFormTitle);
#else
    UniqueSafeArray objects = ObjectVector(pages, VT_VARIANT);
    SafeArrayDataAccess objectsLock;
    RETURN_IF_FAILED(objectsLock.Access(objects.get()));
    return dialog->ShowOptionsDialog(static_cast<ULONG>(pages.objects.size()), objects.get(),
                                     pages.totalPages, pages.pageGuidStrings.get(), parentWindow,
                                     help.get(), readOnly, sFormTitle);
#endif
}

#ifndef VESKA_EARLIER_EDITION
// ---------------------------------------------------------------------------
// Locked options

STDMETHODIMP CPropertyProvider::putref_Options(IDispatch* Options) {
    m_options = ComPtr<IDispatch>::CopyOf(Options);
    return S_OK;
}

STDMETHODIMP CPropertyProvider::get_Options(IDispatch** Options) {
    RETURN_HR_IF_NULL(E_POINTER, Options);
    *Options = ComPtr<IDispatch>::CopyOf(m_options.get()).detach();
    return S_OK;
}

STDMETHODIMP CPropertyProvider::IsLocked(BSTR Key, BSTR Name, VARIANT_BOOL* Locked) {
    RETURN_HR_IF_NULL(E_POINTER, Locked);
    *Locked = VARIANT_FALSE;
    const ComPtr<IVeskaOptionsPolicy> policy = m_options.try_query<IVeskaOptionsPolicy>();
    if (!policy) return S_OK;
    VARIANT_BOOL answer = VARIANT_FALSE;
    RETURN_IF_FAILED(policy->IsLocked(Key, Name, &answer));
    *Locked = answer != VARIANT_FALSE ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
#endif

// ---------------------------------------------------------------------------
// Flags and configuration values

namespace {

HRESULT GetFlag(bool flag, VARIANT_BOOL* pVal) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, pVal);
    *pVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

}  // namespace

STDMETHODIMP CPropertyProvider::get_ReadOnly(VARIANT_BOOL* pVal) {
    return GetFlag(m_bReadOnly, pVal);
}

STDMETHODIMP CPropertyProvider::put_ReadOnly(VARIANT_BOOL newVal) {
    m_bReadOnly = newVal != 0;
    return S_OK;
}

STDMETHODIMP CPropertyProvider::get_PropertySheetReadOnly(VARIANT_BOOL* pVal) {
    return GetFlag(m_bPropertySheetReadOnly, pVal);
}

STDMETHODIMP CPropertyProvider::put_PropertySheetReadOnly(VARIANT_BOOL newVal) {
    m_bPropertySheetReadOnly = newVal != 0;
    return S_OK;
}

STDMETHODIMP CPropertyProvider::get_ConfigFlag(VARIANT_BOOL* pVal) {
    return GetFlag(m_bConfigFlag, pVal);
}

STDMETHODIMP CPropertyProvider::put_ConfigFlag(VARIANT_BOOL newVal) {
    m_bConfigFlag = newVal != 0;
    return S_OK;
}

STDMETHODIMP CPropertyProvider::get_ConfigText1(BSTR* pVal) {
    return GetText(m_bstrConfigText1, pVal);
}

STDMETHODIMP CPropertyProvider::put_ConfigText1(BSTR newVal) {
    return PutText(m_bstrConfigText1, newVal);
}

STDMETHODIMP CPropertyProvider::get_ConfigText2(BSTR* pVal) {
    return GetText(m_bstrConfigText2, pVal);
}

STDMETHODIMP CPropertyProvider::put_ConfigText2(BSTR newVal) {
    return PutText(m_bstrConfigText2, newVal);
}

HRESULT CPropertyProvider::GetText(const UniqueBstr& text, BSTR* pVal) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, pVal);
    *pVal = nullptr;
    if (!text) return S_OK;
    *pVal = ::SysAllocStringByteLen(reinterpret_cast<const char*>(text.get()),
                                    ::SysStringByteLen(text.get()));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, *pVal);
    return S_OK;
}

HRESULT CPropertyProvider::PutText(UniqueBstr& text, BSTR newVal) noexcept {
    if (newVal == text.get()) return S_OK;
    // The copy is made first, so a failed copy leaves the stored text in place.
    UniqueBstr copy;
    if (newVal != nullptr) {
        copy.reset(::SysAllocString(newVal));
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, copy.get());
    }
    text = std::move(copy);
    return S_OK;
}

}  // namespace veska

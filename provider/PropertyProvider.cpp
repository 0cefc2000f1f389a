#include "provider/PropertyProvider.h"

#include <algorithm>
#include <string>

#include "module/TimeTrace.h"
#include "support/InstallationDir.h"
#include "support/WindowHandle.h"

namespace veska {

PropertyFrameFunction ShowPropertyFrame = &::OleCreatePropertyFrame;

namespace {

// Length of a CLSID in braced registry form, without the terminator.
constexpr int kGuidStringLength = 38;

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
// Late binding

namespace {

// The members whose parameters automation cannot carry.
constexpr DISPID kDispidDoPropertySheet = 2;
constexpr DISPID kDispidDoNewPropertySheet = 4;
constexpr DISPID kDispidGetRegisteredObj = 5;

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
    bool taken = id == kDispidDoPropertySheet || id == kDispidDoNewPropertySheet;
#ifndef VESKA_EARLIER_EDITION
    taken = taken || id == kDispidGetRegisteredObj;
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
    if (id == kDispidDoPropertySheet) {
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        RETURN_IF_FAILED(WindowArgument(*params, 0, &window, argError));
        return DoPropertySheet(window);
    }
    if (id == kDispidDoNewPropertySheet) {
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

// ---------------------------------------------------------------------------
// Collecting the pages

template <class Use>
HRESULT CPropertyProvider::WithCollectedPages(Use&& use) noexcept {
    return ComBoundary([&]() -> HRESULT {
        CollectedPages pages;
        RETURN_IF_FAILED(CollectPages(pages));
        const HRESULT hr = ComBoundary([&]() -> HRESULT { return use(pages); });
        ReleaseCollectedPages(pages);
        return hr;
    });
}

HRESULT CPropertyProvider::CollectPages(CollectedPages& pages) {
    pages.objects.reserve(m_registered.size() + 1);
    std::vector<PageEntry> working;

    // Our own references on the entries: an object that answers for its pages may
    // call back into the provider and change the list meanwhile.
    std::vector<ComPtr<IUnknown>> held;
    held.reserve(m_registered.size());
    for (const ComPtr<IUnknown>& entry : m_registered) {
        if (entry) held.push_back(ComPtr<IUnknown>::CopyOf(entry.get()));
    }

    for (const ComPtr<IUnknown>& entry : held) {
        ULONG added = 0;
        if (ComPtr<IOrderedPropertyPages> ordered = entry.try_query<IOrderedPropertyPages>()) {
            added = AddOrderedPages(ordered.get(), working);
        } else if (ComPtr<ISpecifyPropertyPages> specified =
                       entry.try_query<ISpecifyPropertyPages>()) {
            added = AddSpecifiedPages(specified.get(), working);
        } else {
            pages.objects.clear();
            return E_FAIL;
        }
        if (added > 0) {
            pages.objects.push_back(ComPtr<IUnknown>::CopyOf(entry.get()));
            pages.totalPages += added;
        }
    }
    pages.objects.push_back(ComPtr<IUnknown>::CopyOf(ControllingUnknown()));

    pages.pageClsids.reset(new CLSID[pages.totalPages]);
    if (pages.totalPages > 0) {
        pages.pageGuidStrings = UniqueSafeArray::Adopt(
            ThrowIfNull(::SafeArrayCreateVector(VT_BSTR, 0, pages.totalPages)));
    }
    SafeArrayDataAccess strings;
    if (pages.pageGuidStrings) ThrowIfFailed(strings.Access(pages.pageGuidStrings.get()));
    wchar_t buffer[kGuidStringLength + 1];
    for (const PageEntry& entry : working) {
        if (pages.pageClsidCount >= pages.totalPages) break;
        pages.pageClsids[pages.pageClsidCount] = entry.clsid;
        ::StringFromGUID2(entry.clsid, buffer, kGuidStringLength + 1);
        strings.data<BSTR>()[pages.pageClsidCount] = CopyBstr(buffer, kGuidStringLength).detach();
        ++pages.pageClsidCount;
    }
    return S_OK;
}

void CPropertyProvider::ReleaseCollectedPages(CollectedPages& pages) noexcept {
    pages.objects.clear();
    pages.pageClsids.reset();
    m_bPropertySheetReadOnly = false;
    m_bReadOnly = false;
}

void CPropertyProvider::InsertPageSorted(std::vector<PageEntry>& pages, const PageEntry& entry) {
    // Before the first page of a strictly lower priority: the list stays in
    // descending order and pages of equal priority keep their arrival order.
    const auto position = std::upper_bound(pages.begin(), pages.end(), entry,
                                           [](const PageEntry& inserted, const PageEntry& listed) {
                                               return inserted.priority > listed.priority;
                                           });
    pages.insert(position, entry);
}

ULONG CPropertyProvider::AddSpecifiedPages(ISpecifyPropertyPages* specified,
                                           std::vector<PageEntry>& pages) {
    CAUUID announced = {0, nullptr};
    if (FAILED(specified->GetPages(&announced))) return 0;
    const UniqueCoTaskMem elements = UniqueCoTaskMem::Adopt(announced.pElems);
    // A count without an array announces nothing.
    if (announced.cElems == 0 || !elements) return 0;
    for (ULONG i = 0; i < announced.cElems; ++i) InsertPageSorted(pages, {announced.pElems[i], 0});
    return announced.cElems;
}

ULONG CPropertyProvider::AddOrderedPages(IOrderedPropertyPages* ordered,
                                         std::vector<PageEntry>& pages) {
    UniqueSafeArray array;
    if (FAILED(ordered->GetOrderedPages(array.put())) || !array) return 0;
    // Only a two-dimensional array of VARIANT has the rows this reads; anything
    // else would be read as the wrong element type.
    VARTYPE vt = VT_EMPTY;
    if (::SafeArrayGetDim(array.get()) != 2 || FAILED(::SafeArrayGetVartype(array.get(), &vt)) ||
        vt != VT_VARIANT) {
        return 0;
    }
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(::SafeArrayGetLBound(array.get(), 2, &lower)) ||
        FAILED(::SafeArrayGetUBound(array.get(), 2, &upper))) {
        return 0;
    }
    const LONGLONG rows = static_cast<LONGLONG>(upper) - lower + 1;

    ULONG added = 0;
    for (LONGLONG row = 0; row < rows; ++row) {
        LONG clsidIndex[2] = {0, static_cast<LONG>(row)};
        LONG priorityIndex[2] = {1, static_cast<LONG>(row)};
        UniqueVariant clsidText;
        UniqueVariant priority;
        // An index outside the array leaves the VARIANT empty, which skips the row.
        ::SafeArrayGetElement(array.get(), clsidIndex, clsidText.get());
        ::SafeArrayGetElement(array.get(), priorityIndex, priority.get());
        if (clsidText.vt() != VT_BSTR || priority.vt() != VT_I4) continue;
        CLSID clsid;
        if (FAILED(::CLSIDFromString(clsidText.get()->bstrVal, &clsid))) continue;
        InsertPageSorted(pages, {clsid, priority.get()->lVal});
        ++added;
    }
    return added;
}

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

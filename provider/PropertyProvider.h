// The property provider: components of the host register objects that announce
// property pages; the provider collects the pages of all of them in priority
// order and shows them in the platform's property frame or hands them to the
// managed options dialog. It also stores the read-only flags and configuration
// values that the pages read back from it (the provider is always the last object
// the pages receive).
//
// Apartment-threaded: every call arrives on the creating thread, no member locks.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <vector>

#include "VeskaOptions_h.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "support/Owners.h"

namespace veska {

#ifdef VESKA_EARLIER_EDITION
using NewestPropertyProvider = IPropertyProvider2;
#else
using NewestPropertyProvider = IPropertyProvider4;
#endif

// The function DoPropertySheet shows the frame with: the platform's
// OleCreatePropertyFrame. Tests point it at a recorder and must restore it.
using PropertyFrameFunction = decltype(&::OleCreatePropertyFrame);
extern PropertyFrameFunction ShowPropertyFrame;

// The ProgID under which DoNewPropertySheet creates the managed options dialog.
inline constexpr wchar_t kManagedOptionsDialogProgId[] = L"Corvane.KVT.KVTOptions.CKvtOptions";

// One page to show; pages with larger priorities come first.
struct PageEntry {
    CLSID clsid;
    LONG priority;
};

// What CollectPages gathers for one collecting member. The member owns it and
// hands it to ReleasePagesAndClearReadOnly when done; the owners below also release
// everything when an exception unwinds past it.
struct CollectedPages {
    // Registered objects that contributed pages, in registration order, then the
    // provider's controlling IUnknown; one reference each.
    std::vector<ComPtr<IUnknown>> objects;
    ULONG totalPages = 0;
    // totalPages page CLSIDs in display order; allocated even when there are none.
    std::unique_ptr<CLSID[]> pageClsids;
    ULONG pageClsidCount = 0;
    // The same CLSIDs as braced strings: a BSTR vector with lower bound 0, or null
    // when no page was collected.
    UniqueSafeArray pageGuidStrings;
};

class CPropertyProvider : public ObjectRoot<CPropertyProvider, SingleThreadModel>,
                          public DispatchImpl<NewestPropertyProvider>,
                          public IPropertyPageInformation2,
                          public IPropertyPageInformationSORConfig {
public:
#ifdef VESKA_EARLIER_EDITION
    using Interfaces = InterfaceMap<Entry<IPropertyProvider, IPropertyProvider2>,
                                    Entry<IPropertyProvider2>,
                                    Entry<IDispatch, IPropertyProvider2>,
                                    Entry<IPropertyPageInformation, IPropertyPageInformation2>,
                                    Entry<IPropertyPageInformation2>,
                                    Entry<IPropertyPageInformationSORConfig>>;
#else
    using Interfaces = InterfaceMap<Entry<IPropertyProvider, IPropertyProvider4>,
                                    Entry<IPropertyProvider2, IPropertyProvider4>,
                                    Entry<IPropertyProvider3, IPropertyProvider4>,
                                    Entry<IPropertyProvider4>,
                                    Entry<IDispatch, IPropertyProvider4>,
                                    Entry<IPropertyPageInformation, IPropertyPageInformation2>,
                                    Entry<IPropertyPageInformation2>,
                                    Entry<IPropertyPageInformationSORConfig>>;
#endif

    // IDispatch. Automation carries neither a window handle nor a GUID, so three
    // members are taken here: DoPropertySheet and DoNewPropertySheet take the
    // window handle as a 32- or 64-bit integer (0 for none), GetRegisteredObj the
    // interface identifier as its string form "{...}" and hands the object found
    // (Nothing when none) to its by-reference second argument, when there is one,
    // and to the result. Every other member goes through the type information.
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

    // IPropertyProvider. The list keeps one reference on the page interface of
    // each registered object; duplicates are kept.
    STDMETHODIMP RegisterObject(IUnknown* pObj) override;
    // Shows the collected pages in the platform's modal frame owned by hwParent;
    // returns the frame's result.
    STDMETHODIMP DoPropertySheet(HWND hwParent) override;
    // Removes the first entry that is the same COM object as pObj.
    STDMETHODIMP UnRegisterObject(IUnknown* pObj) override;

    // IPropertyProvider2. Hands the collected pages to a new managed options
    // dialog; sFormTitle stays the caller's and is passed on as received.
    STDMETHODIMP DoNewPropertySheet(HWND hwParent, BSTR sFormTitle) override;

#ifndef VESKA_EARLIER_EDITION
    // IPropertyProvider3. The identity IUnknown of the first registered object
    // answering guidIn, with a reference for the caller; S_FALSE and null when
    // none does.
    STDMETHODIMP GetRegisteredObj(GUID guidIn, IUnknown** pOutVal) override;
    // A new VT_UNKNOWN vector of the collected objects (provider last), owned by
    // the caller.
    STDMETHODIMP GetRegisteredObjects(SAFEARRAY** Values) override;
    // A new BSTR vector of the collected page CLSIDs, owned by the caller; null
    // when no page was collected.
    STDMETHODIMP GetRegisteredPageGuids(SAFEARRAY** PageGuids) override;

    // IPropertyProvider4. Options keeps one reference on the object given (null
    // for none) and hands out a new one. IsLocked asks that object's
    // IVeskaOptionsPolicy; false, S_OK, when there is no object or it does not
    // answer the interface; its failure (E_FAIL before Init) otherwise.
    STDMETHODIMP putref_Options(IDispatch* Options) override;
    STDMETHODIMP get_Options(IDispatch** Options) override;
    STDMETHODIMP IsLocked(BSTR Key, BSTR Name, VARIANT_BOOL* Locked) override;
#endif

    // IPropertyPageInformation, IPropertyPageInformation2: flags the pages read.
    STDMETHODIMP get_ReadOnly(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_ReadOnly(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_PropertySheetReadOnly(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_PropertySheetReadOnly(VARIANT_BOOL newVal) override;

    // IPropertyPageInformationSORConfig. Text gets hand the caller a new BSTR
    // (null for a null text); puts keep a copy up to the first null character.
    STDMETHODIMP get_ConfigFlag(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_ConfigFlag(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_ConfigText1(BSTR* pVal) override;
    STDMETHODIMP put_ConfigText1(BSTR newVal) override;
    STDMETHODIMP get_ConfigText2(BSTR* pVal) override;
    STDMETHODIMP put_ConfigText2(BSTR newVal) override;

protected:
    CPropertyProvider() noexcept = default;
    ~CPropertyProvider() = default;

private:
    // Fills pages from the registered objects; E_FAIL, with nothing kept, when an
    // entry answers neither page interface. Throws std::bad_alloc or HResultError.
    HRESULT CollectPages(CollectedPages& pages);
    // Releases what CollectPages gathered and clears both read-only flags: the
    // flags hold for the one showing of the pages.
    void ReleasePagesAndClearReadOnly(CollectedPages& pages) noexcept;
    // Runs use(pages) on a fresh collection and releases it afterwards, whatever
    // use returns or throws; a failed collection is returned untouched.
    template <class Use>
    HRESULT WithCollectedPages(Use&& use) noexcept;
    HRESULT ShowManagedDialog(CollectedPages& pages, HWND hwParent, BSTR sFormTitle);

    static void InsertPageSorted(std::vector<PageEntry>& pages, const PageEntry& entry);
    static ULONG AddSpecifiedPages(ISpecifyPropertyPages* specified, std::vector<PageEntry>& pages);
    static ULONG AddOrderedPages(IOrderedPropertyPages* ordered, std::vector<PageEntry>& pages);

    static HRESULT GetText(const UniqueBstr& text, BSTR* pVal) noexcept;
    static HRESULT PutText(UniqueBstr& text, BSTR newVal) noexcept;

    std::vector<ComPtr<IUnknown>> m_registered;
    bool m_bReadOnly = false;
    bool m_bPropertySheetReadOnly = false;
    bool m_bConfigFlag = false;
    UniqueBstr m_bstrConfigText1;
    UniqueBstr m_bstrConfigText2;
#ifndef VESKA_EARLIER_EDITION
    ComPtr<IDispatch> m_options;
#endif
};

}  // namespace veska

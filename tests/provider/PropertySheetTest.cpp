// DoPropertySheet: the exact call of the platform's frame, and the frame shown
// for real with a page that reads the provider and closes it.
#include <gtest/gtest.h>
#include <prsht.h>

#include <functional>
#include <string>
#include <vector>

#include "ProviderTestSupport.h"
#include "TestPaths.h"

namespace veska::test {
namespace {

TEST(PropertyFrame, CallsTheFrameWithExactlyItsArguments) {
    const HWND owners[] = {nullptr, reinterpret_cast<HWND>(0x1234),
                           reinterpret_cast<HWND>(0x80001234)};
    const HRESULT results[] = {S_OK, E_ACCESSDENIED};
    for (HWND owner : owners) {
        for (HRESULT result : results) {
            PageOwner pages(PageOwner::kSpecified);
            auto provider = NewProvider();
            pages.specified = {PageClsid(1)};
            ASSERT_EQ(provider->RegisterObject(pages.Identity()), S_OK);
            ComPtr<IPropertyPageInformation2> info;
            ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformation2, info.put_void()),
                      S_OK);
            info->put_ReadOnly(VARIANT_TRUE);
            info->put_PropertySheetReadOnly(VARIANT_TRUE);

            FrameRecorder recorder(result);
            EXPECT_EQ(provider->DoPropertySheet(owner), result) << "the frame's result, unchanged";
            ASSERT_EQ(recorder.calls.size(), 1u);
            const FrameCall& call = recorder.calls[0];
            EXPECT_EQ(call.owner, owner);
            EXPECT_EQ(call.x, 0u);
            EXPECT_EQ(call.y, 0u);
            EXPECT_FALSE(call.captionNull);
            EXPECT_EQ(call.caption, L"");
            const std::vector<IUnknown*> objects = {static_cast<ISpecifyPropertyPages*>(&pages),
                                                    static_cast<IUnknown*>(provider.get())};
            EXPECT_EQ(call.objects, objects);
            EXPECT_EQ(call.pages, std::vector<CLSID>{PageClsid(1)});
            EXPECT_EQ(call.lcid, 0u);
            EXPECT_EQ(call.reserved, 0u);
            EXPECT_EQ(call.reservedPointer, nullptr);
            EXPECT_EQ(call.readOnly, VARIANT_TRUE)
                << "the pages see the flags while the frame is open";
            EXPECT_EQ(call.sheetReadOnly, VARIANT_TRUE);

            VARIANT_BOOL after = 0x1234;
            info->get_ReadOnly(&after);
            EXPECT_EQ(after, VARIANT_FALSE);
            info->get_PropertySheetReadOnly(&after);
            EXPECT_EQ(after, VARIANT_FALSE);
            EXPECT_EQ(pages.refs, 2);
        }
    }
}

// Shown by the platform under Wine's null display driver; the page closes the
// frame from Activate, and a watchdog fails the test if it does not.
TEST(PropertyFrame, ShowsThePagesAndHandsThemTheProvider) {
    ClosingPageClass page;
    PageOwner first(PageOwner::kSpecified), second(PageOwner::kOrdered);
    auto provider = NewProvider();
    first.specified = {ClosingPageClass::Clsid()};
    second.ordered = [] {
        return OrderedArray({{Text(GuidText(ClosingPageClass::Clsid())), I4(-5)}});
    };
    ASSERT_EQ(provider->RegisterObject(first.Identity()), S_OK);
    ASSERT_EQ(provider->RegisterObject(second.Identity()), S_OK);
    ComPtr<IPropertyPageInformation> info;
    ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformation, info.put_void()), S_OK);
    info->put_ReadOnly(VARIANT_TRUE);

    HRESULT hr = E_UNEXPECTED;
    EXPECT_TRUE(RunModal([&] { hr = provider->DoPropertySheet(nullptr); }))
        << "the frame did not close";
    EXPECT_EQ(hr, S_OK);
    ASSERT_EQ(page.seen.activations, 1) << "the frame never showed the page; is the prefix's "
                                           "graphics driver the null driver?";
    const std::vector<IUnknown*> objects = {static_cast<ISpecifyPropertyPages*>(&first),
                                            static_cast<IOrderedPropertyPages*>(&second),
                                            static_cast<IUnknown*>(provider.get())};
    EXPECT_EQ(page.seen.objects, objects);
    EXPECT_TRUE(page.seen.lastIsInformation);
    EXPECT_EQ(page.seen.readOnly, VARIANT_TRUE);
    VARIANT_BOOL after = 0x1234;
    info->get_ReadOnly(&after);
    EXPECT_EQ(after, VARIANT_FALSE);
    EXPECT_EQ(first.refs, 2);
    EXPECT_EQ(second.refs, 2);
}

#ifndef VESKA_EARLIER_EDITION
// A frame's site for one page and the sheet around it: counts the page's dirty
// notices to the site, and the PSM_CHANGED messages the sheet window receives.
class CountingSite : public ObjectRoot<CountingSite, SingleThreadModel>, public IPropertyPageSite {
public:
    using Interfaces = InterfaceMap<Entry<IPropertyPageSite>>;
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        if (flags & PROPPAGESTATUS_DIRTY) ++dirtyNotices;
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override {
        *lcid = LOCALE_USER_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return E_NOTIMPL; }

    static inline int dirtyNotices = 0;
    static inline int sheetChanged = 0;
    static inline WNDPROC sheetDialogProc = nullptr;
    static LRESULT CALLBACK SheetProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == PSM_CHANGED) ++sheetChanged;
        return ::CallWindowProcW(sheetDialogProc, window, message, wParam, lParam);
    }
};

// A string property of an object, read by name through its IDispatch.
std::wstring Dispatched(IUnknown* object, const wchar_t* name) {
    ComPtr<IDispatch> dispatch;
    if (FAILED(object->QueryInterface(IID_IDispatch, dispatch.put_void()))) return L"<no IDispatch>";
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (FAILED(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return L"<unknown name>";
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    UniqueVariant value;
    if (FAILED(dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.put(),
                                nullptr, nullptr)) ||
        value.get()->vt != VT_BSTR) {
        return L"<no string>";
    }
    return value.get()->bstrVal;
}

// The sample component, registered with regsvr32 (one DLL, three classes):
// its pages come in priority order, each a dialog template that shows the
// component's settings, disables its controls when the provider says read-only,
// and stores what was edited on Apply.
TEST(SamplePages, DialogPagesInPriorityOrderThatEditTheComponent) {
    const std::wstring server = VESKA_TEST_BUILD_DIR L"\\samples\\SamplePages.dll";
    ASSERT_EQ(Regsvr32(server, false), 0);
    CLSID componentClass;
    ComPtr<IUnknown> component;
    ASSERT_EQ(::CLSIDFromProgID(L"Veska.Sample.Component", &componentClass), S_OK);
    ASSERT_EQ(::CoCreateInstance(componentClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                 component.put_void()), S_OK);
    auto provider = NewProvider();
    ASSERT_EQ(provider->RegisterObject(component.get()), S_OK);
    UniqueSafeArray guids;
    ASSERT_EQ(provider->GetRegisteredPageGuids(guids.put()), S_OK);
    std::vector<std::wstring> pages;
    {
        SafeArrayDataAccess access;
        ASSERT_EQ(access.Access(guids.get()), S_OK);
        ASSERT_EQ(guids.get()->rgsabound[0].cElements, 2u);
        pages = {access.data<BSTR>()[0], access.data<BSTR>()[1]};
    }

    // A page of class `text` activated over {component, provider} on a hidden
    // dialog window inside a hidden dialog "sheet", as property frames host
    // their pages; `edit` runs with its dialog, then the host window gets the
    // sheet's PSN_APPLY, which must store the edit without a call to Apply.
    const HWND sheet = ::CreateWindowExW(0, L"#32770", L"", WS_POPUP, 0, 0, 400, 300, nullptr, nullptr,
                                         nullptr, nullptr);
    CountingSite::sheetDialogProc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        sheet, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountingSite::SheetProc)));
    const HWND parent = ::CreateWindowExW(0, L"#32770", L"", WS_CHILD, 0, 0, 400, 300, sheet,
                                          nullptr, nullptr, nullptr);
    auto withPage = [&](const std::wstring& text, const std::function<void(HWND)>& edit) {
        CLSID pageClass;
        ComPtr<IPropertyPage> page;
        ASSERT_EQ(::CLSIDFromString(const_cast<LPOLESTR>(text.c_str()), &pageClass), S_OK);
        ASSERT_EQ(::CoCreateInstance(pageClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                     page.put_void()), S_OK);
        ComPtr<IPropertyPageSite> site;
        ASSERT_EQ(CreateUnaggregatedInstance<CountingSite>(nullptr, IID_IPropertyPageSite, site.put_void()),
                  S_OK);
        ASSERT_EQ(page->SetPageSite(site.get()), S_OK);
        IUnknown* objects[] = {component.get(), provider.get()};
        ASSERT_EQ(page->SetObjects(2, objects), S_OK);
        const RECT area = {0, 0, 300, 200};
        ASSERT_EQ(page->Activate(parent, &area, TRUE), S_OK);
        edit(::GetWindow(parent, GW_CHILD));
        NMHDR apply = {parent, 0, static_cast<UINT>(PSN_APPLY)};
        ::SendMessageW(parent, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&apply));
        EXPECT_EQ(page->IsPageDirty(), S_FALSE) << "PSN_APPLY applied the page";
        EXPECT_EQ(page->Deactivate(), S_OK);
        page->SetPageSite(nullptr);
    };
    const wchar_t* titles[] = {L"General", L"Advanced"};
    for (LONG i = 0; i < 2; ++i) {
        CLSID pageClass;
        ComPtr<IPropertyPage> page;
        ASSERT_EQ(::CLSIDFromString(const_cast<LPOLESTR>(pages[i].c_str()), &pageClass), S_OK);
        ASSERT_EQ(::CoCreateInstance(pageClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                     page.put_void()), S_OK);
        PROPPAGEINFO info = {sizeof(info)};
        ASSERT_EQ(page->GetPageInfo(&info), S_OK);
        EXPECT_STREQ(info.pszTitle, titles[i]) << "priority 20 before priority 10";
        EXPECT_GT(info.size.cx, 0);
        EXPECT_GT(info.size.cy, 0);
        ::CoTaskMemFree(info.pszTitle);
    }
    constexpr int kWindowTitle = 1001;  // the General page's edit box
    withPage(pages[0], [](HWND dialog) {
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog, kWindowTitle)));
        CountingSite::dirtyNotices = CountingSite::sheetChanged = 0;
        ::SetDlgItemTextW(dialog, kWindowTitle, L"Edited");
        EXPECT_EQ(CountingSite::dirtyNotices, 1) << "the site hears of the edit";
        EXPECT_EQ(CountingSite::sheetChanged, 1) << "the sheet enables Apply";
    });
    // The log file shows expanded below its field, and follows its edits.
    constexpr int kLogFile = 1004, kLogFileExpanded = 1006;
    withPage(pages[1], [](HWND dialog) {
        ASSERT_NE(dialog, nullptr);
        ::SetEnvironmentVariableW(L"VESKA_TEST_LOGS", L"C:\\Logs");
        ::SetDlgItemTextW(dialog, kLogFile, L"%VESKA_TEST_LOGS%\\editor.log");
        wchar_t shown[MAX_PATH] = L"";
        ::GetDlgItemTextW(dialog, kLogFileExpanded, shown, MAX_PATH);
        EXPECT_STREQ(shown, L"C:\\Logs\\editor.log");
    });
    ComPtr<IPropertyPageInformation2> info;
    ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformation2, info.put_void()), S_OK);
    info->put_ReadOnly(VARIANT_TRUE);
    withPage(pages[0], [](HWND dialog) {
        wchar_t text[32] = L"";
        ::GetDlgItemTextW(dialog, kWindowTitle, text, 32);
        EXPECT_STREQ(text, L"Edited") << "Apply stored the edit in the component";
        EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, kWindowTitle)));
    });
    ::DestroyWindow(sheet);
    EXPECT_EQ(Dispatched(component.get(), L"LogFile"), L"%VESKA_TEST_LOGS%\\editor.log")
        << "the field keeps what was typed; the component reports it by name";
    provider.reset();
    component.reset();
    Regsvr32(server, true);
}
#endif

}  // namespace
}  // namespace veska::test

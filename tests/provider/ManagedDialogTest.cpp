// DoNewPropertySheet against a recording stand-in for the managed options dialog,
// its failure paths, the help directory, and the companion stand-in for real.
#include <gtest/gtest.h>

#include "ProviderTestSupport.h"
#include "TestPaths.h"
#include "tests/common/FakeObject.h"
#include "tests/common/TestRegistry.h"

namespace veska::test {
namespace {

// {3C4BED9D-9722-4C01-B1F5-9B4D0407D00B}
constexpr CLSID kRecordingDialog = {
    0x3c4bed9d, 0x9722, 0x4c01, {0xb1, 0xf5, 0x9b, 0x4d, 0x04, 0x07, 0xd0, 0x0b}};
const std::wstring kProgIdKey = std::wstring(kManagedOptionsDialogProgId) + L"\\CLSID";

// What the dialog was handed, read while the call ran.
struct DialogCall {
    ULONG objectCount;
    std::vector<IUnknown*> objects;
    ULONG pageCount;
    bool guidsNull;
    std::vector<std::wstring> guids;
    hyper parent;
    std::wstring help;
    bool helpNull;
    VARIANT_BOOL readOnly;
    BSTR title;
    std::wstring titleText;
    bool lastIsInformation;
    HRESULT destroyObjects, destroyGuids;  // what an attempt to destroy the arrays gave
};

// Elements of a one-dimensional array with lower bound 0, as type T.
template <class T>
std::vector<T> Elements(SAFEARRAY* array, VARTYPE expected) {
    VARTYPE vt = VT_EMPTY;
    LONG lower = -1, upper = -2;
    EXPECT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
    EXPECT_EQ(vt, expected);
    EXPECT_EQ(SafeArrayGetDim(array), 1u);
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    EXPECT_EQ(lower, 0);
    T* data = static_cast<T*>(array->pvData);
    return std::vector<T>(data, data + (upper - lower + 1));
}

class RecordingDialog final : public FakeObject<RecordingDialog, FakeLife::Heap, IKvtOptions> {
public:
    static inline std::vector<DialogCall> calls;
    static inline HRESULT result = S_OK;
    static inline long live = 0;

    RecordingDialog() { ++live; }
    ~RecordingDialog() { --live; }
#ifdef VESKA_EARLIER_EDITION
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP ShowOptionsDialog(ULONG count, IUnknown** objects, ULONG pages, SAFEARRAY* guids,
                                   hyper parent, BSTR help, VARIANT_BOOL readOnly,
                                   BSTR title) override {
        DialogCall call = Record(count, pages, guids, parent, help, readOnly, title);
        call.objects.assign(objects, objects + count);
        return Finish(call);
    }
#else
    STDMETHODIMP ShowOptionsDialog(ULONG count, SAFEARRAY* objects, ULONG pages, SAFEARRAY* guids,
                                   hyper parent, BSTR help, VARIANT_BOOL readOnly,
                                   BSTR title) override {
        DialogCall call = Record(count, pages, guids, parent, help, readOnly, title);
        for (const VARIANT& v : Elements<VARIANT>(objects, VT_VARIANT)) {
            EXPECT_EQ(v.vt, VT_UNKNOWN);
            call.objects.push_back(v.punkVal);
        }
        call.destroyObjects = SafeArrayDestroy(objects);
        return Finish(call);
    }
#endif

private:
    static DialogCall Record(ULONG count, ULONG pages, SAFEARRAY* guids, hyper parent, BSTR help,
                             VARIANT_BOOL readOnly, BSTR title) {
        DialogCall call{count,
                        {},
                        pages,
                        guids == nullptr,
                        {},
                        parent,
                        help ? help : L"",
                        help == nullptr,
                        readOnly,
                        title,
                        title ? title : L"<null>",
                        false,
                        S_OK,
                        S_OK};
        if (guids != nullptr) {
            for (BSTR text : Elements<BSTR>(guids, VT_BSTR))
                call.guids.emplace_back(text, SysStringLen(text));
            call.destroyGuids = SafeArrayDestroy(guids);
        }
        return call;
    }
    static HRESULT Finish(DialogCall& call) {
        ComPtr<IPropertyPageInformation> info;
        if (!call.objects.empty())
            call.objects.back()->QueryInterface(IID_IPropertyPageInformation, info.put_void());
        call.lastIsInformation = static_cast<bool>(info);
        calls.push_back(call);
        return result;
    }
};

class RecordingDialogFactory final
    : public FakeObject<RecordingDialogFactory, FakeLife::Immortal, IClassFactory> {
public:
    // A broken creator that reports success without an object.
    static inline bool giveNothing = false;
    STDMETHODIMP CreateInstance(IUnknown*, REFIID iid, void** ppv) override {
        *ppv = nullptr;
        if (giveNothing) return S_OK;
        auto* dialog = new RecordingDialog();
        const HRESULT hr = dialog->QueryInterface(iid, ppv);
        dialog->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};
RecordingDialogFactory recordingFactory;

// The recording dialog, registered under the dialog's ProgID for each test.
class ManagedDialog : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterDialog();
        ASSERT_EQ(provider_->QueryInterface(IID_IPropertyPageInformation2, info_.put_void()), S_OK);
    }
    void TearDown() override { UnregisterDialog(); }
    void RegisterDialog() {
        RecordingDialog::calls.clear();
        RecordingDialog::result = S_OK;
        RecordingDialogFactory::giveNothing = false;
        SetString(HKEY_CLASSES_ROOT, kProgIdKey, nullptr, GuidText(kRecordingDialog));
        EXPECT_EQ(CoRegisterClassObject(kRecordingDialog, &recordingFactory, CLSCTX_INPROC_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie_),
                  S_OK);
    }
    void UnregisterDialog() {
        if (cookie_ != 0) CoRevokeClassObject(cookie_);
        cookie_ = 0;
        DeleteTree(HKEY_CLASSES_ROOT, kManagedOptionsDialogProgId);
        EXPECT_EQ(RecordingDialog::live, 0) << "the dialog is released before the call returns";
    }
    VARIANT_BOOL Flag(bool sheet) {
        VARIANT_BOOL value = 0x1234;
        sheet ? info_->get_PropertySheetReadOnly(&value) : info_->get_ReadOnly(&value);
        return value;
    }

    // Declared before the provider, which holds references on them.
    PageOwner first_{PageOwner::kSpecified}, second_{PageOwner::kOrdered};
    ComPtr<NewestPropertyProvider> provider_ = NewProvider();
    ComPtr<IPropertyPageInformation2> info_;
    DWORD cookie_ = 0;
};

TEST_F(ManagedDialog, HandsOverEveryArgumentAndTakesItsArraysBack) {
    first_.specified = {PageClsid(1)};
    second_.ordered = [] { return OrderedArray({{Page(2), I4(3)}, {Page(3), I4(-3)}}); };
    UniqueBstr title = CopyBstr(L"Options");
    struct Case {
        bool registerPages;
        HWND window;
        hyper expectedParent;
        BSTR title;
        bool sheetReadOnly;
    } cases[] = {
        {false, nullptr, 0, nullptr, false},
        {true, reinterpret_cast<HWND>(0x1234), 0x1234, title.get(), true},
        {true, reinterpret_cast<HWND>(0x80001234), -0x7FFFEDCCLL, title.get(), false},
    };
    for (const Case& c : cases) {
        RecordingDialog::calls.clear();
        if (c.registerPages && first_.refs == 1) {
            provider_->RegisterObject(first_.Identity());
            provider_->RegisterObject(second_.Identity());
        }
        info_->put_ReadOnly(VARIANT_TRUE);
        info_->put_PropertySheetReadOnly(c.sheetReadOnly ? VARIANT_TRUE : VARIANT_FALSE);
        RecordingDialog::result = c.registerPages ? S_FALSE : S_OK;

        EXPECT_EQ(provider_->DoNewPropertySheet(c.window, c.title), RecordingDialog::result);
        ASSERT_EQ(RecordingDialog::calls.size(), 1u);
        const DialogCall& call = RecordingDialog::calls[0];
        std::vector<IUnknown*> objects = {static_cast<IUnknown*>(provider_.get())};
        std::vector<std::wstring> guids;
        if (c.registerPages) {
            objects.insert(objects.begin(), {static_cast<ISpecifyPropertyPages*>(&first_),
                                             static_cast<IOrderedPropertyPages*>(&second_)});
            guids = {GuidText(PageClsid(2)), GuidText(PageClsid(1)), GuidText(PageClsid(3))};
        }
        EXPECT_EQ(call.objectCount, objects.size());
        EXPECT_EQ(call.objects, objects);
        EXPECT_TRUE(call.lastIsInformation);
        EXPECT_EQ(call.pageCount, guids.size());
        EXPECT_EQ(call.guidsNull, guids.empty());
        EXPECT_EQ(call.guids, guids);
        EXPECT_EQ(call.parent, c.expectedParent);
        EXPECT_FALSE(call.helpNull);
        EXPECT_EQ(call.readOnly, c.sheetReadOnly ? 1 : 0) << "1, not -1";
        EXPECT_EQ(call.title, c.title) << "the caller's BSTR, as received";
#ifndef VESKA_EARLIER_EDITION
        EXPECT_EQ(call.destroyObjects, DISP_E_ARRAYISLOCKED)
            << "the provider holds a lock during the call";
#endif
        EXPECT_EQ(call.destroyGuids, guids.empty() ? S_OK : DISP_E_ARRAYISLOCKED);
        EXPECT_EQ(Flag(false), VARIANT_FALSE);
        EXPECT_EQ(Flag(true), VARIANT_FALSE);
        EXPECT_EQ(first_.refs, c.registerPages ? 2 : 1)
            << "the dialog's array released its references";
        EXPECT_EQ(second_.refs, c.registerPages ? 2 : 1);
    }
}

// Late bound, the window handle comes as a number and the title as any VARIANT
// that converts to a string.
TEST_F(ManagedDialog, TakesTheWindowAsANumberThroughInvoke) {
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(provider_->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
    UniqueBstr title = CopyBstr(L"Options");
    VARIANT args[2] = {};
    V_VT(&args[0]) = VT_BSTR, V_BSTR(&args[0]) = title.get();
    V_VT(&args[1]) = VT_I4, V_I4(&args[1]) = LONG(0x80001234);
    DISPPARAMS params{args, nullptr, 2, 0};
    EXPECT_EQ(dispatch->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    ASSERT_EQ(RecordingDialog::calls.size(), 1u);
    EXPECT_EQ(RecordingDialog::calls[0].parent, -0x7FFFEDCCLL);
    EXPECT_EQ(RecordingDialog::calls[0].titleText, L"Options");
    params.cArgs = 1;
    EXPECT_EQ(dispatch->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(RecordingDialog::calls.size(), 1u);
}

// Without a usable dialog the member returns the failing step's result, shows
// nothing, and still clears the flags.
TEST_F(ManagedDialog, FailsWithTheFailingStepsResult) {
    CLSID unused;
    const HRESULT missing = CLSIDFromProgID(L"Corvane.KVT.KVTOptions.NotThere", &unused);
    EXPECT_EQ(missing, CO_E_CLASSSTRING);
    struct Case {
        const char* name;
        std::function<void()> arrange;
        HRESULT expected;
    } cases[] = {
        {"ProgID missing", [] { DeleteTree(HKEY_CLASSES_ROOT, kManagedOptionsDialogProgId); },
         missing},
        {"class not registered",
         [this] {
             CoRevokeClassObject(cookie_);
             cookie_ = 0;
         },
         REGDB_E_CLASSNOTREG},
        {"no IKvtOptions",
         [] { SetString(HKEY_CLASSES_ROOT, kProgIdKey, nullptr, GuidText(CLSID_StdFont)); },
         E_NOINTERFACE},
        {"creator gives no object", [] { RecordingDialogFactory::giveNothing = true; },
         E_NOINTERFACE},
        {"dialog fails", [] { RecordingDialog::result = E_ABORT; }, E_ABORT},
    };
    first_.specified = {PageClsid(1)};
    ASSERT_EQ(provider_->RegisterObject(first_.Identity()), S_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnregisterDialog();
        RegisterDialog();
        c.arrange();
        info_->put_ReadOnly(VARIANT_TRUE);
        info_->put_PropertySheetReadOnly(VARIANT_TRUE);
        EXPECT_EQ(provider_->DoNewPropertySheet(nullptr, nullptr), c.expected);
        EXPECT_EQ(RecordingDialog::calls.size(), c.expected == E_ABORT ? 1u : 0u);
        EXPECT_EQ(Flag(false), VARIANT_FALSE);
        EXPECT_EQ(Flag(true), VARIANT_FALSE);
        EXPECT_EQ(first_.refs, 2);
    }
}

// The help directory is the installation's "Help" folder, appended without
// looking at a trailing separator, or empty while the installation is unknown.
// The answer is kept for the process, so both states are checked in this order.
TEST_F(ManagedDialog, HelpDirectoryComesFromTheInstallation) {
    const std::wstring server = VESKA_TEST_COMPANION(L"InstallationInfo.dll");
    ASSERT_EQ(provider_->DoNewPropertySheet(nullptr, nullptr), S_OK);
    ASSERT_EQ(RecordingDialog::calls.size(), 1u);
    EXPECT_FALSE(RecordingDialog::calls[0].helpNull);
    EXPECT_EQ(RecordingDialog::calls[0].help, L"");

    ASSERT_EQ(Regsvr32(server, false), 0);
    SetString(HKEY_LOCAL_MACHINE, kInstallationKey, L"Installation Dir", L"C:\\Veska\\");
    EXPECT_EQ(provider_->DoNewPropertySheet(nullptr, nullptr), S_OK);
    Regsvr32(server, true);
    DeleteTree(HKEY_LOCAL_MACHINE, kInstallationKey);
    ASSERT_EQ(RecordingDialog::calls.size(), 2u);
    EXPECT_EQ(RecordingDialog::calls[1].help, L"C:\\Veska\\\\Help");
}

// The companion stand-in, registered with regsvr32, shows the pages in the
// platform's frame with the caller's title.
TEST(ManagedDialogStandIn, ShowsThePagesItIsGiven) {
#ifdef VESKA_EARLIER_EDITION
    const std::wstring server = VESKA_TEST_BUILD_DIR L"\\companions\\earlier\\KvtOptions.dll";
#else
    const std::wstring server = VESKA_TEST_COMPANION(L"KvtOptions.dll");
#endif
    ASSERT_EQ(Regsvr32(server, false), 0);
    ClosingPageClass page;
    PageOwner owner(PageOwner::kSpecified);
    auto provider = NewProvider();
    owner.specified = {ClosingPageClass::Clsid()};
    ASSERT_EQ(provider->RegisterObject(owner.Identity()), S_OK);
    ComPtr<IPropertyPageInformation2> info;
    ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformation2, info.put_void()), S_OK);
    info->put_PropertySheetReadOnly(VARIANT_TRUE);
    UniqueBstr title = CopyBstr(L"Veska Options");

    HRESULT hr = E_UNEXPECTED;
    EXPECT_TRUE(RunModal([&] { hr = provider->DoNewPropertySheet(nullptr, title.get()); }));
    Regsvr32(server, true);
    EXPECT_EQ(hr, S_OK);
    ASSERT_EQ(page.seen.activations, 1);
    EXPECT_NE(page.seen.frameTitle.find(L"Veska Options"), std::wstring::npos)
        << page.seen.frameTitle.c_str();
    const std::vector<IUnknown*> objects = {static_cast<ISpecifyPropertyPages*>(&owner),
                                            static_cast<IUnknown*>(provider.get())};
    EXPECT_EQ(page.seen.objects, objects);
    EXPECT_EQ(page.seen.sheetReadOnly, VARIANT_TRUE);
    EXPECT_EQ(owner.refs, 2);
}

}  // namespace
}  // namespace veska::test

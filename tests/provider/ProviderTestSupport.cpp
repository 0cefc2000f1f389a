#include "ProviderTestSupport.h"

#include <commctrl.h>
#include <prsht.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/common/ClosingPage.h"

namespace veska::test {

CLSID PageClsid(int n) {
    return {
        0x7e570000u + static_cast<unsigned>(n), 0x1111, 0x2222, {0x33, 0x44, 0, 0, 0, 0, 0, 0x55}};
}

std::wstring GuidText(REFGUID guid) {
    wchar_t text[39];
    ::StringFromGUID2(guid, text, 39);
    return text;
}

Cell Text(const std::wstring& text) { return Cell{VT_BSTR, text}; }
Cell Page(int n) { return Text(GuidText(PageClsid(n))); }
Cell I4(LONG n) { return Cell{VT_I4, L"", n}; }
Cell I2(SHORT n) { return Cell{VT_I2, L"", n}; }
Cell TextByRef(BSTR* text) { return Cell{VT_BSTR | VT_BYREF, L"", 0, nullptr, text}; }
Cell Object(IUnknown* object) { return Cell{VT_UNKNOWN, L"", 0, object}; }

SAFEARRAY* OrderedArray(const std::vector<std::vector<Cell>>& rows) {
    ULONG columns = 2;
    for (const auto& row : rows) columns = std::max<ULONG>(columns, static_cast<ULONG>(row.size()));
    SAFEARRAYBOUND bounds[2] = {{columns, 0}, {static_cast<ULONG>(rows.size()), 0}};
    SAFEARRAY* array = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
    LONG upper = 0;
    EXPECT_EQ(::SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(upper, static_cast<LONG>(columns) - 1) << "dimension 1 is the column";
    VARIANT* data = nullptr;
    EXPECT_EQ(::SafeArrayAccessData(array, reinterpret_cast<void**>(&data)), S_OK);
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < rows[r].size(); ++c) {
            // Dimension 1 varies fastest in memory.
            VARIANT& v = data[r * columns + c];
            const Cell& cell = rows[r][c];
            v.vt = cell.vt;
            if (cell.vt == VT_BSTR) v.bstrVal = ::SysAllocString(cell.text.c_str());
            if (cell.vt == VT_I4) v.lVal = cell.number;
            if (cell.vt == VT_I2) v.iVal = static_cast<SHORT>(cell.number);
            if (cell.vt == (VT_BSTR | VT_BYREF)) v.pbstrVal = cell.byRef;
            if (cell.vt == VT_UNKNOWN) (v.punkVal = cell.object)->AddRef();
        }
    }
    ::SafeArrayUnaccessData(array);
    return array;
}

bool PageOwner::Answers(REFIID iid) const noexcept {
    const unsigned needed = ::InlineIsEqualGUID(iid, IID_ISpecifyPropertyPages) ? kSpecified
                            : ::InlineIsEqualGUID(iid, IID_IOrderedPropertyPages) ? kOrdered
                                                                                   : kPersist;
    return (answers & needed) != 0;
}

STDMETHODIMP PageOwner::GetPages(CAUUID* pages) {
    if (FAILED(specifiedResult)) return specifiedResult;
    pages->cElems = static_cast<ULONG>(specified.size());
    if (!countWithoutArray && !specified.empty()) {
        pages->pElems = static_cast<GUID*>(::CoTaskMemAlloc(specified.size() * sizeof(GUID)));
        std::copy(specified.begin(), specified.end(), pages->pElems);
    }
    return specifiedResult;
}

STDMETHODIMP PageOwner::GetOrderedPages(SAFEARRAY** pages) {
    *pages = ordered ? ordered() : nullptr;
    return orderedResult;
}

STDMETHODIMP PageOwner::GetClassID(CLSID* clsid) {
    *clsid = PageClsid(999);
    return S_OK;
}

ComPtr<NewestPropertyProvider> NewProvider() {
    ComPtr<NewestPropertyProvider> provider;
    EXPECT_EQ(CreateComInstance<CPropertyProvider>(nullptr, __uuidof(NewestPropertyProvider),
                                                   provider.put_void()),
              S_OK);
    return provider;
}

// ---------------------------------------------------------------------------
// The frame recorder

namespace {

FrameRecorder* activeRecorder = nullptr;

VARIANT_BOOL ReadFlag(IUnknown* object, bool sheet) {
    VARIANT_BOOL value = 0x5A5A;
    ComPtr<IPropertyPageInformation2> info;
    if (object != nullptr &&
        SUCCEEDED(object->QueryInterface(IID_IPropertyPageInformation2, info.put_void()))) {
        if (sheet) {
            info->get_PropertySheetReadOnly(&value);
        } else {
            info->get_ReadOnly(&value);
        }
    }
    return value;
}

HRESULT STDAPICALLTYPE RecordFrame(HWND owner, UINT x, UINT y, LPCOLESTR caption, ULONG objectCount,
                                   LPUNKNOWN* objects, ULONG pageCount, LPCLSID pages, LCID lcid,
                                   DWORD reserved, LPVOID reservedPointer) {
    FrameCall call{
        owner,           x, y, caption ? caption : L"", caption == nullptr, {}, {}, lcid, reserved,
        reservedPointer, 0, 0};
    EXPECT_NE(objects, nullptr);
    EXPECT_NE(pages, nullptr) << "the page array is allocated even when empty";
    call.objects.assign(objects, objects + objectCount);
    if (pages != nullptr) call.pages.assign(pages, pages + pageCount);
    call.readOnly = ReadFlag(objectCount ? objects[objectCount - 1] : nullptr, false);
    call.sheetReadOnly = ReadFlag(objectCount ? objects[objectCount - 1] : nullptr, true);
    activeRecorder->calls.push_back(call);
    return activeRecorder->result;
}

}  // namespace

FrameRecorder::FrameRecorder(HRESULT result) : result(result) {
    activeRecorder = this;
    ShowPropertyFrame = &RecordFrame;
}

FrameRecorder::~FrameRecorder() {
    ShowPropertyFrame = &::OleCreatePropertyFrame;
    activeRecorder = nullptr;
}

Collection Collect(IPropertyProvider* provider) {
    FrameRecorder recorder;
    Collection result{provider->DoPropertySheet(nullptr), {}, {}};
    if (!recorder.calls.empty()) {
        result.pages = recorder.calls[0].pages;
        result.objects = recorder.calls[0].objects;
    }
    return result;
}

// ---------------------------------------------------------------------------
// The closing page

namespace {

class ClosingPage final : public FakeObject<ClosingPage, FakeLife::Heap, ClosingPropertyPage> {
public:
    using Interfaces = InterfaceMap<Entry<IPropertyPage>>;
    explicit ClosingPage(PageObservation& seen) : seen_(seen) {}

    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override {
        objects_.clear();
        for (ULONG i = 0; i < count; ++i) objects_.push_back(ComPtr<IUnknown>::CopyOf(objects[i]));
        return S_OK;
    }

private:
    void Activated(HWND frame) override {
        ++seen_.activations;
        seen_.objects.clear();
        for (const auto& object : objects_) seen_.objects.push_back(object.get());
        if (!objects_.empty()) {
            ComPtr<IPropertyPageInformation> info =
                objects_.back().try_query<IPropertyPageInformation>(IID_IPropertyPageInformation);
            seen_.lastIsInformation = static_cast<bool>(info);
            seen_.readOnly = ReadFlag(objects_.back().get(), false);
            seen_.sheetReadOnly = ReadFlag(objects_.back().get(), true);
        }
        wchar_t title[256] = L"";
        ::GetWindowTextW(frame, title, 256);
        seen_.frameTitle = title;
    }

    PageObservation& seen_;
    std::vector<ComPtr<IUnknown>> objects_;
};

class ClosingPageFactory final
    : public FakeObject<ClosingPageFactory, FakeLife::Immortal, IClassFactory> {
public:
    PageObservation* seen = nullptr;
    STDMETHODIMP CreateInstance(IUnknown*, REFIID iid, void** ppv) override {
        auto* page = new ClosingPage(*seen);
        const HRESULT hr = page->QueryInterface(iid, ppv);
        page->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
} closingPageFactory;

}  // namespace

ClosingPageClass::ClosingPageClass() {
    closingPageFactory.seen = &seen;
    EXPECT_EQ(::CoRegisterClassObject(Clsid(), &closingPageFactory, CLSCTX_INPROC_SERVER,
                                      REGCLS_MULTIPLEUSE, &cookie_),
              S_OK);
}

ClosingPageClass::~ClosingPageClass() { ::CoRevokeClassObject(cookie_); }

CLSID ClosingPageClass::Clsid() { return PageClsid(0x700); }

namespace {

BOOL CALLBACK CancelWindow(HWND window, LPARAM) {
    ::PostMessageW(window, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

bool RunModal(const std::function<void()>& call, DWORD limitMs) {
    const DWORD thread = ::GetCurrentThreadId();
    UniqueHandle done = UniqueHandle::Adopt(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> fired{false};
    std::thread watchdog([&] {
        if (::WaitForSingleObject(done.get(), limitMs) != WAIT_TIMEOUT) return;
        fired = true;
        do {
            ::EnumThreadWindows(thread, &CancelWindow, 0);
        } while (::WaitForSingleObject(done.get(), 500) == WAIT_TIMEOUT);
    });
    call();
    ::SetEvent(done.get());
    watchdog.join();
    return !fired;
}

int Regsvr32(const std::wstring& path, bool unregister) {
    std::wstring command = L"regsvr32.exe /s ";
    if (unregister) command += L"/u ";
    command += L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return -1;
    }
    UniqueHandle processHandle = UniqueHandle::Adopt(process.hProcess);
    UniqueHandle threadHandle = UniqueHandle::Adopt(process.hThread);
    DWORD code = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(processHandle.get(), 60000) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(processHandle.get(), &code);
    }
    return static_cast<int>(code);
}

}  // namespace veska::test

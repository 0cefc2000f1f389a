// SamplePages.dll: a sample component of a host application that owns two
// property pages, "General" and "Advanced", and announces them the way the
// property provider pools pages.
//
// The component (ProgID "Veska.Sample.Component") keeps a few settings in memory
// and answers:
//   IOrderedPropertyPages  its pages with priorities: General 20, Advanced 10,
//                          listed Advanced first, so the provider's ordering is
//                          what puts General in front;
//   ISpecifyPropertyPages  the same pages for frames that know no priorities;
//   IDispatch              its settings as read-only properties by name
//                          (WindowTitle, StatusBar, KeepLog, LogFile,
//                          UndoLevels), so that a host or a script can see what
//                          the pages changed, and hand the component to the
//                          provider.
// Each page is a dialog template of SamplePages.rc behind IPropertyPage. A page
// finds the component among the objects the frame gives it and reads the
// provider's read-only flags from the last of them (IPropertyPageInformation2):
// when either is set, its controls are shown disabled.
//
// Locked options: the component keeps its settings in memory, but each stands
// for an option a host would keep in its options store, the value of the same
// name (WindowTitle, StatusBar, ...) in the key "SampleEditor" below the
// options object's root; each page maps its controls to those names
// (Traits::kOptions). When the host handed the provider its
// options object (IPropertyProvider4::Options), a page asks the provider's
// IsLocked for every control: a control an administrator's policy sets is
// disabled, with the tooltip "Set by your administrator", and a line at the
// foot of the page says which.
//
// A page tells its site when an edit makes it dirty, and also tells the property
// sheet that hosts it (PSM_CHANGED), and applies itself when the sheet's Apply or
// OK reaches its host window (PSN_APPLY): frames that leave either to the page
// then still enable Apply and store what was edited. The log file is shown
// expanded below its field, as the editor would open it.
#include <windows.h>
#include <commctrl.h>
#include <ocidl.h>
#include <olectl.h>
#include <prsht.h>

#include <string>

#include "SamplePagesResources.h"
#include "VeskaOptions_h.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "companions/common/InprocServer.h"
#include "support/Result.h"

namespace {

using veska::ComPtr;

// {9C354455-5F63-4787-9D46-AA131F7B9F53}
const CLSID kSampleComponent = {
    0x9c354455, 0x5f63, 0x4787, {0x9d, 0x46, 0xaa, 0x13, 0x1f, 0x7b, 0x9f, 0x53}};
// {AD333184-0CF3-4C5B-9761-3FE01770A5CD}
const CLSID kGeneralPage = {
    0xad333184, 0x0cf3, 0x4c5b, {0x97, 0x61, 0x3f, 0xe0, 0x17, 0x70, 0xa5, 0xcd}};
// {4CF93A20-AB91-40EA-BDEF-8ED0A753305C}
const CLSID kAdvancedPage = {
    0x4cf93a20, 0xab91, 0x40ea, {0xbd, 0xef, 0x8e, 0xd0, 0xa7, 0x53, 0x30, 0x5c}};

// The options key below the host's options root that holds the component's
// settings, one value per setting, named as the component's properties.
const wchar_t kOptionsKey[] = L"SampleEditor";
const wchar_t kLockedTip[] = L"Set by your administrator";

// A control of a page and the option it shows.
struct ControlOption {
    int control;
    const wchar_t* name;  // the value name below kOptionsKey
    const wchar_t* label;
};

// What the pages edit.
struct SampleSettings {
    std::wstring windowTitle = L"Sample Editor";
    bool statusBar = true;
    bool keepLog = false;
    std::wstring logFile = L"%TEMP%\\SampleEditor.log";
    UINT undoLevels = 20;
};

}  // namespace

// The component's settings, as its own pages reach them; never leaves this DLL.
struct ISampleSettings : public IUnknown {
    virtual SampleSettings& STDMETHODCALLTYPE Settings() = 0;
};
__CRT_UUID_DECL(ISampleSettings, 0xbb0ed3c5, 0xc00e, 0x4fa2, 0x84, 0x5e, 0x1a, 0x6e, 0x49, 0x7e,
                0x4b, 0xe3)

namespace {

// A task-allocator copy of text, as PROPPAGEINFO and CAUUID hand memory out.
LPOLESTR TaskText(const wchar_t* text) {
    const size_t bytes = (::lstrlenW(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPOLESTR>(::CoTaskMemAlloc(bytes));
    if (copy != nullptr) ::CopyMemory(copy, text, bytes);
    return copy;
}

std::wstring ControlText(HWND dialog, int id) {
    const HWND control = ::GetDlgItem(dialog, id);
    std::wstring text(::GetWindowTextLengthW(control) + 1, L'\0');
    text.resize(::GetWindowTextW(control, text.data(), static_cast<int>(text.size())));
    return text;
}

// text with its environment variables expanded; the text itself where expanding fails.
std::wstring Expanded(const std::wstring& text) {
    const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0) return text;
    std::wstring expanded(needed, L'\0');
    const DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
    if (written == 0 || written > needed) return text;
    expanded.resize(written - 1);
    return expanded;
}

// ---- the component -------------------------------------------------------------

class SampleComponent : public veska::ObjectRoot<SampleComponent, veska::SingleThreadModel>,
                        public veska::DispatchWithoutTypeInfo<IDispatch>,
                        public IOrderedPropertyPages,
                        public ISpecifyPropertyPages,
                        public ISampleSettings {
public:
    using Interfaces =
        veska::InterfaceMap<veska::Entry<IDispatch>, veska::Entry<IOrderedPropertyPages>,
                            veska::Entry<ISpecifyPropertyPages>, veska::Entry<ISampleSettings>>;

    // Rows of {page CLSID as text, priority}: column is dimension 1, row dimension 2.
    STDMETHODIMP GetOrderedPages(SAFEARRAY** pages) override {
        if (pages == nullptr) return E_POINTER;
        *pages = nullptr;
        const struct {
            const CLSID& clsid;
            LONG priority;
        } rows[] = {{kAdvancedPage, 10}, {kGeneralPage, 20}};
        SAFEARRAYBOUND bounds[2] = {{2, 0}, {ARRAYSIZE(rows), 0}};
        veska::UniqueSafeArray array =
            veska::UniqueSafeArray::Adopt(::SafeArrayCreate(VT_VARIANT, 2, bounds));
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, array.get());
        for (LONG row = 0; row < static_cast<LONG>(ARRAYSIZE(rows)); ++row) {
            wchar_t text[39];
            ::StringFromGUID2(rows[row].clsid, text, ARRAYSIZE(text));
            veska::UniqueVariant cell;
            V_BSTR(cell.get()) = veska::TryCopyBstr(text, ::lstrlenW(text)).detach();
            RETURN_HR_IF_NULL(E_OUTOFMEMORY, V_BSTR(cell.get()));
            V_VT(cell.get()) = VT_BSTR;
            LONG index[2] = {0, row};
            RETURN_IF_FAILED(::SafeArrayPutElement(array.get(), index, cell.get()));
            V_VT(cell.put()) = VT_I4;
            V_I4(cell.get()) = rows[row].priority;
            index[0] = 1;
            RETURN_IF_FAILED(::SafeArrayPutElement(array.get(), index, cell.get()));
        }
        *pages = array.detach();
        return S_OK;
    }

    STDMETHODIMP GetPages(CAUUID* pages) override {
        if (pages == nullptr) return E_POINTER;
        pages->pElems = static_cast<GUID*>(::CoTaskMemAlloc(2 * sizeof(GUID)));
        pages->cElems = pages->pElems != nullptr ? 2 : 0;
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, pages->pElems);
        pages->pElems[0] = kGeneralPage;
        pages->pElems[1] = kAdvancedPage;
        return S_OK;
    }

    SampleSettings& STDMETHODCALLTYPE Settings() override { return settings_; }

    // The settings by name, read-only; DISPIDs 1 to 5 in the order of kProperties.
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (names == nullptr || ids == nullptr) return E_POINTER;
        HRESULT result = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (DISPID id = 0; id < static_cast<DISPID>(ARRAYSIZE(kProperties)); ++id) {
                if (names[i] != nullptr && ::lstrcmpiW(names[i], kProperties[id]) == 0) ids[i] = id + 1;
            }
            if (ids[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
        }
        return result;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override {
        if (id < 1 || id > static_cast<DISPID>(ARRAYSIZE(kProperties))) return DISP_E_MEMBERNOTFOUND;
        if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
        if (params != nullptr && params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
        if (result == nullptr) return S_OK;
        ::VariantInit(result);
        switch (id) {
            case 1: return Text(settings_.windowTitle, result);
            case 2: return Flag(settings_.statusBar, result);
            case 3: return Flag(settings_.keepLog, result);
            case 4: return Text(settings_.logFile, result);
            default:
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(settings_.undoLevels);
                return S_OK;
        }
    }

private:
    static constexpr const wchar_t* kProperties[] = {L"WindowTitle", L"StatusBar", L"KeepLog",
                                                     L"LogFile", L"UndoLevels"};
    static HRESULT Text(const std::wstring& text, VARIANT* result) {
        V_BSTR(result) = veska::TryCopyBstr(text.data(), static_cast<UINT>(text.size())).detach();
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, V_BSTR(result));
        V_VT(result) = VT_BSTR;
        return S_OK;
    }
    static HRESULT Flag(bool flag, VARIANT* result) {
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = flag ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    SampleSettings settings_;
};

// ---- the pages -----------------------------------------------------------------

// A page over one dialog template; Traits gives the template, the title and how
// the controls show and store the settings.
template <class Traits>
class DialogPage : public veska::ObjectRoot<DialogPage<Traits>, veska::SingleThreadModel>,
                   public IPropertyPage {
public:
    using Interfaces = veska::InterfaceMap<veska::Entry<IPropertyPage>>;

    // A frame that released the page without deactivating it leaves no hook behind.
    ~DialogPage() {
        if (host_ != nullptr) ::RemoveWindowSubclass(host_, &DialogPage::HostProc, 0);
    }

    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override {
        site_ = ComPtr<IPropertyPageSite>::CopyOf(site);
        return S_OK;
    }

    // The first object that is a sample component is the one edited; the last
    // object is the provider, whose flags say whether the sheet is read-only.
    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override {
        settings_.reset();
        provider_.reset();
        readOnly_ = false;
        if (count > 0 && objects == nullptr) return E_POINTER;
        for (ULONG i = 0; i < count && !settings_; ++i) {
            if (objects[i] == nullptr) continue;
            settings_ = ComPtr<IUnknown>::CopyOf(objects[i]).template try_query<ISampleSettings>();
        }
        if (count > 0 && objects[count - 1] != nullptr) {
            ComPtr<IUnknown> last = ComPtr<IUnknown>::CopyOf(objects[count - 1]);
            if (auto info = last.template try_query<IPropertyPageInformation2>()) {
                VARIANT_BOOL pageFlag = VARIANT_FALSE, sheetFlag = VARIANT_FALSE;
                info->get_ReadOnly(&pageFlag);
                info->get_PropertySheetReadOnly(&sheetFlag);
                readOnly_ = pageFlag != VARIANT_FALSE || sheetFlag != VARIANT_FALSE;
            }
            provider_ = last.template try_query<IPropertyProvider4>();
        }
        return S_OK;
    }

    STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL) override {
        if (rect == nullptr) return E_POINTER;
        if (dialog_ != nullptr) return E_UNEXPECTED;
        dialog_ = ::CreateDialogParamW(veska::CodeModule(), MAKEINTRESOURCEW(Traits::kDialog),
                                       parent, &DialogPage::DialogProc,
                                       reinterpret_cast<LPARAM>(this));
        if (dialog_ == nullptr) return HRESULT_FROM_WIN32(::GetLastError());
        if (settings_) Traits::Show(dialog_, settings_->Settings());
        if (readOnly_ || !settings_) {
            for (HWND child = ::GetWindow(dialog_, GW_CHILD); child != nullptr;
                 child = ::GetWindow(child, GW_HWNDNEXT)) {
                ::EnableWindow(child, FALSE);
            }
        }
        ShowLocks();
        dirty_ = false;
        host_ = parent;
        if (host_ != nullptr) ::SetWindowSubclass(host_, &DialogPage::HostProc, 0, reinterpret_cast<DWORD_PTR>(this));
        ::MoveWindow(dialog_, rect->left, rect->top, rect->right - rect->left,
                     rect->bottom - rect->top, TRUE);
        return S_OK;
    }

    STDMETHODIMP Deactivate() override {
        if (dialog_ == nullptr) return E_UNEXPECTED;
        if (host_ != nullptr) ::RemoveWindowSubclass(host_, &DialogPage::HostProc, 0);
        host_ = nullptr;
        // The tooltip window is owned by the dialog and goes with it.
        ::DestroyWindow(dialog_);
        dialog_ = nullptr;
        tips_ = nullptr;
        return S_OK;
    }

    // The size is the template's, in pixels of its font: measured on a hidden
    // instance of the dialog.
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override {
        if (info == nullptr) return E_POINTER;
        *info = PROPPAGEINFO{sizeof(PROPPAGEINFO), nullptr, {0, 0}, nullptr, nullptr, 0};
        RECT size = {0, 0, 220, 96};
        if (HWND probe =
                ::CreateDialogParamW(veska::CodeModule(), MAKEINTRESOURCEW(Traits::kDialog),
                                     ::GetDesktopWindow(), &DialogPage::DialogProc, 0)) {
            ::GetClientRect(probe, &size);
            ::DestroyWindow(probe);
        }
        info->size = {size.right - size.left, size.bottom - size.top};
        info->pszTitle = TaskText(Traits::kTitle);
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, info->pszTitle);
        return S_OK;
    }

    STDMETHODIMP Show(UINT command) override {
        if (dialog_ == nullptr) return E_UNEXPECTED;
        ::ShowWindow(dialog_, command);
        return S_OK;
    }
    STDMETHODIMP Move(LPCRECT rect) override {
        if (rect == nullptr) return E_POINTER;
        if (dialog_ == nullptr) return E_UNEXPECTED;
        ::MoveWindow(dialog_, rect->left, rect->top, rect->right - rect->left,
                     rect->bottom - rect->top, TRUE);
        return S_OK;
    }
    STDMETHODIMP IsPageDirty() override { return dirty_ ? S_OK : S_FALSE; }
    STDMETHODIMP Apply() override {
        if (!dirty_) return S_OK;
        if (dialog_ == nullptr || !settings_ || readOnly_) return E_UNEXPECTED;
        // Storing copies the controls' text, which can run out of memory.
        return veska::ComBoundary([&] {
            Traits::Store(dialog_, settings_->Settings());
            dirty_ = false;
            return S_OK;
        });
    }
    STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG* message) override {
        if (message == nullptr) return E_POINTER;
        return dialog_ != nullptr && ::IsDialogMessageW(dialog_, message) ? S_OK : S_FALSE;
    }

private:
    // Any edit or click marks the page dirty and tells the frame, which enables
    // its Apply button; an edit of a field shown expanded shows it again. The
    // size probe runs without a page.
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            return TRUE;
        }
        auto* page = reinterpret_cast<DialogPage*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        if (message == WM_COMMAND && page != nullptr && page->dialog_ == dialog &&
            (HIWORD(wParam) == EN_CHANGE || HIWORD(wParam) == BN_CLICKED)) {
            Traits::Edited(dialog, LOWORD(wParam));
            page->MarkDirty();
            return TRUE;
        }
        return FALSE;
    }

    // Disables the controls whose options a policy sets, each with a tooltip
    // over its place (a disabled control gets no mouse messages itself), and
    // names them at the foot of the page.
    void ShowLocks() {
        if (!provider_) return;
        std::wstring locked;
        for (const ControlOption& option : Traits::kOptions) {
            veska::UniqueBstr key = veska::TryCopyBstr(kOptionsKey, ::lstrlenW(kOptionsKey));
            veska::UniqueBstr name = veska::TryCopyBstr(option.name, ::lstrlenW(option.name));
            VARIANT_BOOL isLocked = VARIANT_FALSE;
            if (!key || !name || FAILED(provider_->IsLocked(key.get(), name.get(), &isLocked)) ||
                !isLocked) {
                continue;
            }
            const HWND control = ::GetDlgItem(dialog_, option.control);
            ::EnableWindow(control, FALSE);
            AddTip(control);
            locked += (locked.empty() ? L"" : L", ") + std::wstring(option.label);
        }
        if (locked.empty()) return;
        const std::wstring note = std::wstring(kLockedTip) + L": " + locked + L".";
        ::SetDlgItemTextW(dialog_, IDC_POLICY_NOTE, note.c_str());
        ::ShowWindow(::GetDlgItem(dialog_, IDC_POLICY_NOTE), SW_SHOWNA);
    }

    void AddTip(HWND control) {
        if (tips_ == nullptr) {
            tips_ = ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                      dialog_, nullptr, veska::CodeModule(), nullptr);
            if (tips_ == nullptr) return;
        }
        TOOLINFOW tool = {};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_SUBCLASS;
        tool.hwnd = dialog_;
        tool.uId = reinterpret_cast<UINT_PTR>(control);
        ::GetWindowRect(control, &tool.rect);
        ::MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&tool.rect), 2);
        tool.lpszText = const_cast<wchar_t*>(kLockedTip);
        ::SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }

    void MarkDirty() {
        dirty_ = true;
        if (site_) site_->OnStatusChange(PROPPAGESTATUS_DIRTY);
        // The frame's window for this page sits in a property sheet of the
        // common controls (both dialogs); the sheet enables Apply on PSM_CHANGED.
        const HWND sheet = host_ != nullptr ? ::GetParent(host_) : nullptr;
        if (sheet != nullptr && IsDialog(host_) && IsDialog(sheet)) PropSheet_Changed(sheet, host_);
    }

    static bool IsDialog(HWND window) {
        wchar_t name[16] = L"";
        ::GetClassNameW(window, name, ARRAYSIZE(name));
        return ::lstrcmpW(name, L"#32770") == 0;
    }

    // The frame's window for this page: Apply and OK reach it as PSN_APPLY,
    // which the page answers by applying itself (a second Apply from the frame
    // finds nothing dirty). The frame's own handling goes on unchanged.
    static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR data) {
        if (message == WM_NOTIFY && lParam != 0 &&
            reinterpret_cast<const NMHDR*>(lParam)->code == static_cast<UINT>(PSN_APPLY)) {
            reinterpret_cast<DialogPage*>(data)->Apply();
        }
        return ::DefSubclassProc(window, message, wParam, lParam);
    }

    ComPtr<IPropertyPageSite> site_;
    ComPtr<ISampleSettings> settings_;
    ComPtr<IPropertyProvider4> provider_;
    HWND dialog_ = nullptr;
    HWND tips_ = nullptr;
    HWND host_ = nullptr;
    bool readOnly_ = false;
    bool dirty_ = false;
};

struct GeneralTraits {
    static constexpr int kDialog = IDD_GENERAL_PAGE;
    static constexpr const wchar_t* kTitle = L"General";
    static constexpr ControlOption kOptions[] = {
        {IDC_WINDOW_TITLE, L"WindowTitle", L"Window title"},
        {IDC_STATUS_BAR, L"StatusBar", L"Status bar"}};
    static void Show(HWND dialog, const SampleSettings& settings) {
        ::SetDlgItemTextW(dialog, IDC_WINDOW_TITLE, settings.windowTitle.c_str());
        ::CheckDlgButton(dialog, IDC_STATUS_BAR, settings.statusBar ? BST_CHECKED : BST_UNCHECKED);
    }
    static void Store(HWND dialog, SampleSettings& settings) {
        settings.windowTitle = ControlText(dialog, IDC_WINDOW_TITLE);
        settings.statusBar = ::IsDlgButtonChecked(dialog, IDC_STATUS_BAR) == BST_CHECKED;
    }
    static void Edited(HWND, int) {}
};

struct AdvancedTraits {
    static constexpr int kDialog = IDD_ADVANCED_PAGE;
    static constexpr const wchar_t* kTitle = L"Advanced";
    static constexpr ControlOption kOptions[] = {{IDC_KEEP_LOG, L"KeepLog", L"Keep a log"},
                                                 {IDC_LOG_FILE, L"LogFile", L"Log file"},
                                                 {IDC_UNDO_LEVELS, L"UndoLevels", L"Undo levels"}};
    static void Show(HWND dialog, const SampleSettings& settings) {
        ::CheckDlgButton(dialog, IDC_KEEP_LOG, settings.keepLog ? BST_CHECKED : BST_UNCHECKED);
        ::SetDlgItemTextW(dialog, IDC_LOG_FILE, settings.logFile.c_str());
        ::SetDlgItemInt(dialog, IDC_UNDO_LEVELS, settings.undoLevels, FALSE);
        Edited(dialog, IDC_LOG_FILE);
    }
    // The log file as the editor would open it, below the field.
    static void Edited(HWND dialog, int control) {
        if (control != IDC_LOG_FILE) return;
        ::SetDlgItemTextW(dialog, IDC_LOG_FILE_EXPANDED, Expanded(ControlText(dialog, IDC_LOG_FILE)).c_str());
    }
    static void Store(HWND dialog, SampleSettings& settings) {
        settings.keepLog = ::IsDlgButtonChecked(dialog, IDC_KEEP_LOG) == BST_CHECKED;
        settings.logFile = ControlText(dialog, IDC_LOG_FILE);
        BOOL read = FALSE;
        const UINT levels = ::GetDlgItemInt(dialog, IDC_UNDO_LEVELS, &read, FALSE);
        if (read) settings.undoLevels = levels;
    }
};

using GeneralPage = DialogPage<GeneralTraits>;
using AdvancedPage = DialogPage<AdvancedTraits>;

}  // namespace

namespace companion {
namespace {
const ServedClass advancedPageClass{kAdvancedPage, &veska::CreateUnaggregatedInstance<AdvancedPage>,
                                    L"Sample page: Advanced", nullptr, L"Apartment"};
const ServedClass generalPageClass{kGeneralPage, &veska::CreateUnaggregatedInstance<GeneralPage>,
                                   L"Sample page: General", nullptr, L"Apartment",
                                   &advancedPageClass};
}  // namespace
const ServedClass servedClass{kSampleComponent, &veska::CreateUnaggregatedInstance<SampleComponent>,
                              L"Veska sample component", L"Veska.Sample.Component", L"Apartment",
                              &generalPageClass};
}  // namespace companion

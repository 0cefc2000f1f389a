// A small host application that shows what VeskaOptions does. It creates both
// classes through the component runtime, as any host would, and narrates. With
// --show-sheet it registers the sample component (SamplePages.dll) with the
// property provider and shows its pages in the provider's property sheet.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "VeskaOptions_h.h"
#include "tests/common/FakeObject.h"

namespace {

// The host's own components live on the stack; their IUnknown, counting and
// never freeing, comes from the tests' fake objects.
using veska::test::FakeLife;
using veska::test::FakeObject;

const wchar_t kTree[] = L"Software\\Corvane Interactive\\VeskaDemo";

// ---- output -------------------------------------------------------------------

void Say(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::vwprintf(format, args);
    va_end(args);
}

void Heading(const wchar_t* text) { Say(L"\n== %ls\n", text); }

std::wstring Describe(const VARIANT& value) {
    wchar_t buffer[64];
    switch (value.vt) {
        case VT_BSTR: return L"\"" + std::wstring(value.bstrVal ? value.bstrVal : L"") + L"\" (string)";
        case VT_I4: std::swprintf(buffer, 64, L"%ld (32-bit integer)", value.lVal); return buffer;
        case VT_BOOL: return value.boolVal ? L"true (boolean)" : L"false (boolean)";
        case VT_R8: std::swprintf(buffer, 64, L"%g (double)", value.dblVal); return buffer;
        default: std::swprintf(buffer, 64, L"(type %u)", value.vt); return buffer;
    }
}

void Check(HRESULT hr, const wchar_t* what) {
    if (FAILED(hr)) {
        Say(L"!! %ls failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
        std::exit(1);
    }
}

// ---- the registry, as the demo seeds and shows it -------------------------------

void SeedSampleTree() {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kTree);
    struct Value {
        const wchar_t* key;
        const wchar_t* name;
        const wchar_t* text;  // null: a DWORD
        DWORD number;
    } values[] = {
        {L"", L"", L"Sample settings", 0},
        {L"Editor", L"FontName", L"Courier New", 0},
        {L"Editor", L"FontSize", nullptr, 10},
        {L"Editor\\Colors", L"Background", nullptr, 0x1E1E1E},
        {L"Window", L"Width", nullptr, 800},
        {L"Window", L"Height", nullptr, 600},
    };
    for (const Value& v : values) {
        std::wstring path = std::wstring(kTree) + (*v.key ? L"\\" : L"") + v.key;
        HKEY key = nullptr;
        ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
        if (v.text) {
            ::RegSetValueExW(key, v.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.text),
                             static_cast<DWORD>((wcslen(v.text) + 1) * sizeof(wchar_t)));
        } else {
            ::RegSetValueExW(key, v.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.number), 4);
        }
        ::RegCloseKey(key);
    }
}

std::wstring RegistryValue(const wchar_t* sub, const wchar_t* name) {
    std::wstring path = std::wstring(kTree) + L"\\" + sub;
    BYTE data[512];
    DWORD size = sizeof(data) - 2;
    DWORD type = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) {
        return L"(not in the registry)";
    }
    wchar_t buffer[64];
    if (type == REG_DWORD) {
        std::swprintf(buffer, 64, L"%lu (REG_DWORD)", *reinterpret_cast<DWORD*>(data));
        return buffer;
    }
    data[size] = data[size + 1] = 0;
    return L"\"" + std::wstring(reinterpret_cast<wchar_t*>(data)) + L"\" (REG_SZ)";
}

// ---- the options store ---------------------------------------------------------

BSTR Text(const wchar_t* text) { return ::SysAllocString(text); }

// Prints the cache below path, as GetKeys and GetValues hand it out.
void PrintTree(IVeskaOptions* options, const std::wstring& path, int depth) {
    const std::wstring indent(2 * depth + 2, L' ');
    BSTR root = Text(path.c_str());
    SAFEARRAY* values = nullptr;
    Check(options->GetValues(root, &values), L"GetValues");
    if (values) {
        VARIANT* cells = nullptr;
        ::SafeArrayAccessData(values, reinterpret_cast<void**>(&cells));
        LONG rows = 0;
        ::SafeArrayGetUBound(values, 2, &rows);
        for (LONG r = 0; r <= rows; ++r) {
            Say(L"%ls%ls = %ls\n", indent.c_str(), cells[2 * r].bstrVal, Describe(cells[2 * r + 1]).c_str());
        }
        ::SafeArrayUnaccessData(values);
        ::SafeArrayDestroy(values);
    }
    SAFEARRAY* keys = nullptr;
    Check(options->GetKeys(root, &keys), L"GetKeys");
    if (keys) {
        LONG rows = 0;
        ::SafeArrayGetUBound(keys, 2, &rows);
        for (LONG r = 0; r <= rows; ++r) {
            LONG index[2] = {0, r};
            BSTR name = nullptr;
            ::SafeArrayGetElement(keys, index, &name);
            Say(L"%ls%ls\\\n", indent.c_str(), name);
            PrintTree(options, path.empty() ? name : path + L"\\" + name, depth + 1);
            ::SysFreeString(name);
        }
        ::SafeArrayDestroy(keys);
    }
    ::SysFreeString(root);
}

void Write(IVeskaOptions* options, const wchar_t* key, const wchar_t* name, LONG number, LONG changeDefault) {
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = number;
    BSTR root = Text(key);
    BSTR attr = Text(name);
    Check(options->SetValueByName(root, attr, &value, changeDefault, 1), L"SetValueByName");
    VARIANT_BOOL dirty = 0;
    options->get_Dirty(&dirty);
    VARIANT cached;
    ::VariantInit(&cached);
    options->GetValueByName(root, attr, &cached);
    Say(L"  SetValueByName(\"%ls\", \"%ls\", %ld, ChangeDefault=%ld)\n", key, name, number, changeDefault);
    Say(L"    cache:    %ls\n", Describe(cached).c_str());
    Say(L"    registry: %ls\n", RegistryValue(key, name).c_str());
    Say(L"    Dirty:    %ls\n", dirty ? L"true" : L"false");
    ::VariantClear(&cached);
    ::SysFreeString(root);
    ::SysFreeString(attr);
    options->put_Dirty(0);
}

void ShowOptionsStore() {
    Heading(L"The options store (Corvane.VeskaOptions.1)");
    SeedSampleTree();
    Say(L"Seeded a sample tree below HKEY_CURRENT_USER\\%ls.\n", kTree);
    Say(L"Default values come from the settings file Dat\\Settings\\Demo.xml beside the DLL's folder.\n");

    IVeskaOptions2* options = nullptr;
    Check(::CoCreateInstance(CLSID_VeskaOptions, nullptr, CLSCTX_INPROC_SERVER, IID_IVeskaOptions2,
                             reinterpret_cast<void**>(&options)),
          L"CoCreateInstance(VeskaOptions)");
    BSTR tree = Text(kTree);
    const HRESULT init = options->Init(1, tree);
    ::SysFreeString(tree);
    Check(init, L"Init");
    Say(L"\nInit(HKEY_CURRENT_USER, tree) = %ls. The cache now holds (names are folded to lower case):\n",
        init == S_OK ? L"S_OK" : L"S_FALSE (a settings file failed)");
    PrintTree(options, L"", 0);
    Say(L"\nDemo.xml overrides Editor\\FontSize with 12; the registry still holds %ls.\n"
        L"Its HelpFile \"INSTALLDIR\\Help\\editor.chm\" begins with the INSTALLDIR token, which\n"
        L"became the installation directory that the installer recorded.\n",
        RegistryValue(L"Editor", L"FontSize").c_str());

    Heading(L"Writing");
    Say(L"Without ChangeDefault only the cache changes; with it the registry below\n"
        L"HKEY_CURRENT_USER follows. Window\\Width before: %ls\n",
        RegistryValue(L"Window", L"Width").c_str());
    Write(options, L"Window", L"Width", 1024, 0);
    Write(options, L"Window", L"Width", 1280, 1);

    Heading(L"A prefix for every path");
    BSTR prefix = Text(L"Editor");
    options->put_Root(prefix);
    ::SysFreeString(prefix);
    BSTR stored = nullptr;
    options->get_Root(&stored);
    Say(L"Root = \"Editor\" is stored as \"%ls\"; the path \"Colors\" now reads Editor\\Colors:\n",
        stored);
    ::SysFreeString(stored);
    PrintTree(options, L"Colors", 0);
    options->Release();
}

// ---- the property provider -----------------------------------------------------

struct Page {
    CLSID clsid;
    const wchar_t* name;
};
// Page class identifiers of the demo's two components.
const Page kPages[] = {
    {{0x5a1e0001, 0x0d3e, 0x4c7a, {0x9b, 0x11, 0, 0, 0, 0, 0, 1}}, L"Spelling: General"},
    {{0x5a1e0001, 0x0d3e, 0x4c7a, {0x9b, 0x11, 0, 0, 0, 0, 0, 2}}, L"Spelling: Dictionaries"},
    {{0x5a1e0001, 0x0d3e, 0x4c7a, {0x9b, 0x11, 0, 0, 0, 0, 0, 3}}, L"Appearance: Fonts"},
    {{0x5a1e0001, 0x0d3e, 0x4c7a, {0x9b, 0x11, 0, 0, 0, 0, 0, 4}}, L"Appearance: Colors"},
    {{0x5a1e0001, 0x0d3e, 0x4c7a, {0x9b, 0x11, 0, 0, 0, 0, 0, 5}}, L"Appearance: Layout"},
};

const wchar_t* PageName(const wchar_t* guidText) {
    CLSID clsid;
    if (SUCCEEDED(::CLSIDFromString(const_cast<LPOLESTR>(guidText), &clsid))) {
        for (const Page& page : kPages) {
            if (::IsEqualGUID(page.clsid, clsid)) return page.name;
        }
    }
    return L"?";
}

// A component that announces its pages the classic way, without priorities.
class SpellChecker final : public FakeObject<SpellChecker, FakeLife::Counted, ISpecifyPropertyPages> {
public:
    STDMETHODIMP GetPages(CAUUID* pages) override {
        pages->cElems = 2;
        pages->pElems = static_cast<GUID*>(::CoTaskMemAlloc(2 * sizeof(GUID)));
        pages->pElems[0] = kPages[0].clsid;
        pages->pElems[1] = kPages[1].clsid;
        return S_OK;
    }
};

// A component that gives each page a priority: larger values come first.
class Appearance final : public FakeObject<Appearance, FakeLife::Counted, IOrderedPropertyPages> {
public:
    STDMETHODIMP GetOrderedPages(SAFEARRAY** result) override {
        const struct {
            const Page& page;
            LONG priority;
        } rows[] = {{kPages[2], 10}, {kPages[3], -5}, {kPages[4], 0}};
        SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 0}};  // dimension 1: the two columns; 2: rows
        SAFEARRAY* array = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
        for (LONG r = 0; r < 3; ++r) {
            wchar_t text[40];
            ::StringFromGUID2(rows[r].page.clsid, text, 40);
            VARIANT cell;
            ::VariantInit(&cell);
            cell.vt = VT_BSTR;
            cell.bstrVal = ::SysAllocString(text);
            LONG index[2] = {0, r};
            ::SafeArrayPutElement(array, index, &cell);
            ::VariantClear(&cell);
            cell.vt = VT_I4;
            cell.lVal = rows[r].priority;
            index[0] = 1;
            ::SafeArrayPutElement(array, index, &cell);
        }
        *result = array;
        return S_OK;
    }
};

void ShowPropertyProvider() {
    Heading(L"The property provider (Corvane.PropertyProvider.1)");
    IPropertyProvider3* provider = nullptr;
    Check(::CoCreateInstance(CLSID_PropertyProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyProvider3,
                             reinterpret_cast<void**>(&provider)),
          L"CoCreateInstance(PropertyProvider)");
    SpellChecker spelling;
    Appearance appearance;
    Check(provider->RegisterObject(&spelling), L"RegisterObject");
    Check(provider->RegisterObject(&appearance), L"RegisterObject");
    Say(L"Registered two components:\n"
        L"  a spell checker with two pages (ISpecifyPropertyPages: priority 0 each)\n"
        L"  an appearance component with Fonts 10, Colors -5, Layout 0 (IOrderedPropertyPages)\n");

    SAFEARRAY* guids = nullptr;
    Check(provider->GetRegisteredPageGuids(&guids), L"GetRegisteredPageGuids");
    LONG last = -1;
    ::SafeArrayGetUBound(guids, 1, &last);
    Say(L"\nThe pages as a sheet would show them, highest priority first, ties in\n"
        L"registration order:\n");
    for (LONG i = 0; i <= last; ++i) {
        BSTR text = nullptr;
        ::SafeArrayGetElement(guids, &i, &text);
        Say(L"  %ld. %-24ls %ls\n", i + 1, PageName(text), text);
        ::SysFreeString(text);
    }
    ::SafeArrayDestroy(guids);

    SAFEARRAY* objects = nullptr;
    Check(provider->GetRegisteredObjects(&objects), L"GetRegisteredObjects");
    ::SafeArrayGetUBound(objects, 1, &last);
    Say(L"\nEvery page receives %ld objects: the two components and, last, the provider\n"
        L"itself, from which the pages read the shared read-only flags.\n",
        last + 1);
    ::SafeArrayDestroy(objects);
    provider->Release();
}

// The sample component's settings, each a name and its value as the component's
// IDispatch gives it.
std::vector<std::pair<std::wstring, std::wstring>> SampleSettings(IUnknown* sample) {
    std::vector<std::pair<std::wstring, std::wstring>> settings;
    IDispatch* dispatch = nullptr;
    if (FAILED(sample->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) return settings;
    for (const wchar_t* name : {L"WindowTitle", L"StatusBar", L"KeepLog", L"LogFile", L"UndoLevels"}) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        VARIANT value;
        ::VariantInit(&value);
        if (SUCCEEDED(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)) &&
            SUCCEEDED(dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                       &value, nullptr, nullptr))) {
            settings.emplace_back(name, Describe(value));
        }
        ::VariantClear(&value);
    }
    dispatch->Release();
    return settings;
}

// The sample component's pages as the provider collects them, each named by the
// title its page object gives; with show, the provider's sheet of them too, and
// what the pages changed.
void ShowSamplePages(bool show) {
    Heading(L"A component with real pages (SamplePages.dll, Veska.Sample.Component)");
    IPropertyProvider3* provider = nullptr;
    Check(::CoCreateInstance(CLSID_PropertyProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyProvider3,
                             reinterpret_cast<void**>(&provider)),
          L"CoCreateInstance(PropertyProvider)");
    CLSID sampleClass;
    Check(::CLSIDFromProgID(L"Veska.Sample.Component", &sampleClass), L"CLSIDFromProgID(Veska.Sample.Component)");
    IUnknown* sample = nullptr;
    Check(::CoCreateInstance(sampleClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&sample)),
          L"CoCreateInstance(Veska.Sample.Component)");
    Check(provider->RegisterObject(sample), L"RegisterObject");
    Say(L"Registered the sample component; it gives General priority 20 and Advanced 10.\n"
        L"The provider collects its pages in this order:\n");
    SAFEARRAY* guids = nullptr;
    Check(provider->GetRegisteredPageGuids(&guids), L"GetRegisteredPageGuids");
    LONG last = -1;
    ::SafeArrayGetUBound(guids, 1, &last);
    for (LONG i = 0; i <= last; ++i) {
        BSTR text = nullptr;
        ::SafeArrayGetElement(guids, &i, &text);
        CLSID pageClass;
        IPropertyPage* page = nullptr;
        PROPPAGEINFO info = {sizeof(PROPPAGEINFO)};
        if (SUCCEEDED(::CLSIDFromString(text, &pageClass)) &&
            SUCCEEDED(::CoCreateInstance(pageClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                         reinterpret_cast<void**>(&page))) &&
            SUCCEEDED(page->GetPageInfo(&info))) {
            Say(L"  %ld. %-10ls %ls\n", i + 1, info.pszTitle, text);
            ::CoTaskMemFree(info.pszTitle);
            ::CoTaskMemFree(info.pszDocString);
            ::CoTaskMemFree(info.pszHelpFile);
        }
        if (page != nullptr) page->Release();
        ::SysFreeString(text);
    }
    ::SafeArrayDestroy(guids);
    if (show) {
        // The pages ask the provider which of their options an administrator's
        // policy locks; it asks this options object (the demo's tree).
        IPropertyProvider4* locks = nullptr;
        IVeskaOptions2* options = nullptr;
        if (SUCCEEDED(provider->QueryInterface(IID_IPropertyProvider4, reinterpret_cast<void**>(&locks))) &&
            SUCCEEDED(::CoCreateInstance(CLSID_VeskaOptions, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IVeskaOptions2, reinterpret_cast<void**>(&options)))) {
            BSTR tree = Text(kTree);
            if (SUCCEEDED(options->Init(1, tree))) locks->putref_Options(options);
            ::SysFreeString(tree);
        }
        if (options != nullptr) options->Release();
        if (locks != nullptr) locks->Release();
        Say(L"\nShowing the property sheet (DoPropertySheet); close it to go on.\n");
        std::fflush(stdout);
        const auto before = SampleSettings(sample);
        const HRESULT shown = provider->DoPropertySheet(nullptr);
        Say(L"DoPropertySheet returned 0x%08lX.\n", static_cast<unsigned long>(shown));
        const auto after = SampleSettings(sample);
        bool changed = false;
        for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
            if (before[i].second == after[i].second) continue;
            Say(L"  %ls: %ls -> %ls\n", after[i].first.c_str(), before[i].second.c_str(),
                after[i].second.c_str());
            changed = true;
        }
        Say(changed ? L"The pages applied the changes above.\n" : L"The pages changed nothing.\n");
    } else {
        Say(L"demo_host.exe --show-sheet shows them in the provider's property sheet.\n");
    }
    sample->Release();
    provider->Release();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"VeskaOptions demo host"};
    bool showSheet = false;
    app.add_flag("--show-sheet", showSheet,
                 "only show the sample component's pages in the provider's property sheet");
    CLI11_PARSE(app, argc, argv);

    if (FAILED(::CoInitialize(nullptr))) return 1;
    Say(L"VeskaOptions demo: a host application using both classes of VeskaOptions.dll\n");
    if (!showSheet) {
        ShowOptionsStore();
        ShowPropertyProvider();
    }
    ShowSamplePages(showSheet);
    ::CoUninitialize();
    Say(L"\nDone.\n");
    return 0;
}

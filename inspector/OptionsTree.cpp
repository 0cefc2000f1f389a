#include "inspector/OptionsTree.h"

#include "inspector/Console.h"

namespace veskaopt {

using veska::ComPtr;
using veska::CopyBstr;
using veska::UniqueBstr;
using veska::UniqueSafeArray;
using veska::UniqueVariant;

namespace {

UniqueBstr Bstr(const std::wstring& text) {
    return CopyBstr(text.c_str(), static_cast<UINT>(text.size()));
}

// The element count of one dimension (1-based, as the platform counts them).
long CountOf(SAFEARRAY* array, UINT dimension) {
    LONG lower = 0, upper = -1;
    if (array == nullptr || FAILED(::SafeArrayGetLBound(array, dimension, &lower)) ||
        FAILED(::SafeArrayGetUBound(array, dimension, &upper))) {
        return 0;
    }
    return upper - lower + 1;
}

// The element at column c, row r of a two-dimensional array whose first
// dimension holds the columns, as the reading members build them.
template <class T>
HRESULT ElementAt(SAFEARRAY* array, long column, long row, T* element) {
    LONG indexes[2] = {column, row};
    LONG lower = 0;
    ::SafeArrayGetLBound(array, 1, &lower);
    indexes[0] += lower;
    ::SafeArrayGetLBound(array, 2, &lower);
    indexes[1] += lower;
    return ::SafeArrayGetElement(array, indexes, element);
}

std::wstring TextOf(const VARIANT& value) {
    return value.vt == VT_BSTR && value.bstrVal != nullptr
               ? std::wstring(value.bstrVal, ::SysStringLen(value.bstrVal))
               : std::wstring();
}

long NumberOf(const VARIANT& value) {
    VARIANT converted;
    ::VariantInit(&converted);
    if (FAILED(::VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, VT_I4))) return 0;
    return converted.lVal;
}

}  // namespace

const Hive& HiveOf(int mainKey) {
    const Hive* hive = veska::FindMainKey(mainKey);
    return hive != nullptr ? *hive : *veska::FindMainKey(1);
}

std::wstring JoinPath(const std::wstring& path, const std::wstring& name) {
    if (path.empty()) return name;
    if (name.empty()) return path;
    return path + L"\\" + name;
}

OptionsSession::OptionsSession() {
    CLSID clsid;
    const HRESULT found = ::CLSIDFromProgID(L"Corvane.VeskaOptions.1", &clsid);
    if (FAILED(found)) {
        throw ToolError(
            kExitFailure,
            L"the class Corvane.VeskaOptions.1 is not registered (regsvr32 VeskaOptions.dll)",
            found);
    }
    ThrowIfFailed(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IVeskaOptions3,
                                     options_.put_void()),
                  L"creating an options object of VeskaOptions.dll");
}

void OptionsSession::Init(int mainKey, const std::wstring& root) {
    const Hive& hive = HiveOf(mainKey);
    veska::UniqueHkey key;
    const LONG opened = ::RegOpenKeyExW(hive.hive, root.c_str(), 0, KEY_READ, key.put());
    if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND) {
        throw ToolError(kExitNotFound, L"ROOT \"" + root + L"\" does not exist below " + hive.name);
    }
    if (opened != ERROR_SUCCESS) {
        throw ToolError(kExitFailure, L"opening " + std::wstring(hive.name) + L"\\" + root,
                        HRESULT_FROM_WIN32(opened));
    }
    UniqueBstr text = Bstr(root);
    const HRESULT hr = options_->Init(mainKey, text.get());
    ThrowIfFailed(hr, L"Init of " + std::wstring(hive.name) + L"\\" + root);
    if (hr == S_FALSE) {
        Note(L"a settings file did not merge in full (veskaopt check lists the reasons)");
    }
}

IVeskaOptionsDiagnostics* OptionsSession::Diagnostics() {
    if (!diagnosticsAsked_) {
        diagnosticsAsked_ = true;
        const HRESULT hr =
            options_->QueryInterface(IID_IVeskaOptionsDiagnostics, diagnostics_.put_void());
        if (FAILED(hr)) {
            diagnostics_.reset();
            Note(L"this VeskaOptions.dll has no IVeskaOptionsDiagnostics (" + DescribeHresult(hr) +
                 L"): origins are unknown and settings files cannot be checked");
        }
    }
    return diagnostics_.get();
}

IVeskaOptionsPolicy* OptionsSession::Policy() {
    if (!policyAsked_) {
        policyAsked_ = true;
        policy_ = options_.try_query<IVeskaOptionsPolicy>();
    }
    return policy_.get();
}

bool OptionsSession::HasKey(const std::wstring& path) {
    UniqueBstr text = Bstr(path);
    SAFEARRAY* keys = nullptr;
    const HRESULT hr = options_->GetKeys(text.get(), &keys);
    UniqueSafeArray owner = UniqueSafeArray::Adopt(keys);
    return SUCCEEDED(hr);
}

HRESULT OptionsSession::GetValue(const std::wstring& path, const std::wstring& name,
                                 UniqueVariant& value) {
    UniqueBstr pathText = Bstr(path);
    UniqueBstr nameText = Bstr(name);
    return options_->GetValueByName(pathText.get(), nameText.get(), value.put());
}

KeyNode OptionsSession::ReadTree(const std::wstring& path, bool withOrigins) {
    if (!HasKey(path)) {
        throw ToolError(kExitNotFound, L"PATH \"" + path + L"\" is not in the options tree");
    }
    if (withOrigins) Diagnostics();
    KeyNode root;
    Fill(root, path, withOrigins && diagnostics_);
    return root;
}

void OptionsSession::Fill(KeyNode& node, const std::wstring& path, bool withOrigins) {
    UniqueBstr text = Bstr(path);
    SAFEARRAY* raw = nullptr;
    ThrowIfFailed(options_->GetValues(text.get(), &raw), L"GetValues of \"" + path + L"\"");
    UniqueSafeArray values = UniqueSafeArray::Adopt(raw);
    const long valueRows = CountOf(values.get(), 2);
    for (long row = 0; row < valueRows; ++row) {
        ValueNode value;
        UniqueVariant name;
        ThrowIfFailed(ElementAt(values.get(), 0, row, name.put()), L"reading GetValues' array");
        ThrowIfFailed(ElementAt(values.get(), 1, row, value.data.put()),
                      L"reading GetValues' array");
        value.name = TextOf(*name.get());
        if (withOrigins) value.origin = OriginOf(path, value.name);
        node.values.push_back(std::move(value));
    }

    raw = nullptr;
    ThrowIfFailed(options_->GetKeys(text.get(), &raw), L"GetKeys of \"" + path + L"\"");
    UniqueSafeArray keys = UniqueSafeArray::Adopt(raw);
    const long keyRows = CountOf(keys.get(), 2);
    for (long row = 0; row < keyRows; ++row) {
        UniqueBstr name;
        ThrowIfFailed(ElementAt(keys.get(), 0, row, name.put()), L"reading GetKeys' array");
        KeyNode child;
        child.name.assign(name.get() ? name.get() : L"", ::SysStringLen(name.get()));
        Fill(child, JoinPath(path, child.name), withOrigins);
        node.keys.push_back(std::move(child));
    }
}

Origin OptionsSession::OriginOf(const std::wstring& path, const std::wstring& name) {
    Origin origin;
    if (!diagnostics_) return origin;
    UniqueBstr pathText = Bstr(path);
    UniqueBstr nameText = Bstr(name);
    UniqueVariant result;
    const HRESULT hr = diagnostics_->GetValueOrigin(pathText.get(), nameText.get(), result.put());
    if (FAILED(hr) || result.vt() != (VT_ARRAY | VT_VARIANT) ||
        CountOf(result.get()->parray, 1) < 4) {
        return origin;
    }
    SAFEARRAY* array = result.get()->parray;
    LONG lower = 0;
    ::SafeArrayGetLBound(array, 1, &lower);
    // A DLL from before the unconverted type hands out four elements.
    const LONG count = CountOf(array, 1) >= 5 ? 5 : 4;
    UniqueVariant cells[5];
    for (LONG i = 0; i < count; ++i) {
        LONG index = lower + i;
        if (FAILED(::SafeArrayGetElement(array, &index, cells[i].put()))) return origin;
    }
    origin.kind = NumberOf(*cells[0].get());
    origin.source = TextOf(*cells[1].get());
    origin.line = NumberOf(*cells[2].get());
    origin.replaced = TextOf(*cells[3].get());
    origin.unconverted = TextOf(*cells[4].get());
    return origin;
}

std::vector<SettingsFileRow> OptionsSession::ReadSettingsRows(const VARIANT& rows) {
    std::vector<SettingsFileRow> result;
    if (!(rows.vt & VT_ARRAY) || rows.parray == nullptr) return result;
    SAFEARRAY* array = rows.parray;
    if (::SafeArrayGetDim(array) != 2 || CountOf(array, 1) < 5) return result;
    const long count = CountOf(array, 2);
    for (long row = 0; row < count; ++row) {
        UniqueVariant cells[5];
        for (long column = 0; column < 5; ++column) {
            ThrowIfFailed(ElementAt(array, column, row, cells[column].put()),
                          L"reading the settings files' array");
        }
        SettingsFileRow file;
        file.path = TextOf(*cells[0].get());
        file.result = TextOf(*cells[1].get());
        file.line = NumberOf(*cells[2].get());
        file.column = NumberOf(*cells[3].get());
        file.message = TextOf(*cells[4].get());
        result.push_back(std::move(file));
    }
    return result;
}

}  // namespace veskaopt

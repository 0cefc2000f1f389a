#include "options/DefaultSettings.h"

#include <objbase.h>
#include <shlwapi.h>

#include <string>
#include <string_view>
#include <vector>

#include "module/Module.h"
#include "support/ModulePath.h"
#include "support/FoldedString.h"
#include "support/InstallationDir.h"
#include "support/Owners.h"
#include "support/Result.h"

namespace veska {

namespace {

// The names asked of every settings file, made once per process on first use.
struct SettingsNames {
    UniqueBstr name = CopyBstr(L"Name");
    UniqueBstr value = CopyBstr(L"Value");
    UniqueBstr type = CopyBstr(L"Type");
    UniqueBstr key = CopyBstr(L"Key");
};

const SettingsNames& Names() {
    static const SettingsNames names;
    return names;
}

std::wstring_view BstrView(BSTR text) noexcept {
    return text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view();
}

// Replaces a leading "INSTALLDIR" (any case) of a VT_BSTR entry by the
// installation directory, without adding a separator.
void ReplaceInstallDirToken(VARIANT& entry) {
    const std::wstring_view token(InstallDirToken, InstallDirTokenLength);
    const std::wstring_view text = BstrView(entry.bstrVal);
    if (text.size() < token.size() || CompareFolded(text.substr(0, token.size()), token) != 0) {
        return;
    }
    std::wstring expanded;
    GetInstallationDir(expanded);
    expanded.append(text.substr(token.size()));
    UniqueBstr replaced = CopyBstr(expanded.data(), static_cast<UINT>(expanded.size()));
    ::SysFreeString(entry.bstrVal);
    entry.bstrVal = replaced.detach();
}

// "Dat\Settings\" below the parent of the module's folder, ending in a backslash.
// False when the module's path does not fit 260 characters: a cut path would
// point somewhere else.
bool SettingsDirectory(std::wstring& folder) {
    const std::wstring modulePath = ModulePath(LibraryModule());
    if (modulePath.empty()) return false;
    wchar_t path[MAX_PATH];
    ::lstrcpynW(path, modulePath.c_str(), MAX_PATH);
    ::PathRemoveFileSpecW(path);  // the library's folder
    ::PathRemoveFileSpecW(path);  // its parent
    if (!::PathAppendW(path, L"Dat\\Settings\\")) return false;
    folder = path;
    return true;
}

// Asks element for its direct children named tag and their count.
HRESULT ChildrenByTag(IXMLDataNode* element, BSTR tag, ComPtr<IXMLDataNodeList>& list,
                      ULONG& count) {
    RETURN_IF_FAILED(element->GetChildrenByTag(tag, list.put()));
    RETURN_HR_IF_NULL(E_UNEXPECTED, list.get());
    count = 0;
    const HRESULT hr = list->GetCount(&count);
    if (FAILED(hr)) list.reset();
    return hr;
}

// Item index (from 1) of list and its attributes; false when either is missing.
bool ItemWithAttributes(IXMLDataNodeList* list, ULONG64 index, ComPtr<IXMLDataNode>& item,
                        ComPtr<IXMLDataAttributes>& attributes) {
    if (FAILED(list->GetItem(static_cast<LONG>(index), item.put())) || !item) return false;
    return SUCCEEDED(item->GetAttributes(attributes.put())) && attributes;
}

// The text of the attribute called name; false when it is missing.
bool AttributeText(IXMLDataAttributes* attributes, BSTR name, UniqueBstr& text) {
    ComPtr<IXMLDataNode> attribute;
    if (FAILED(attributes->GetNamedItem(name, attribute.put())) || !attribute) return false;
    return SUCCEEDED(attribute->GetText(text.put()));
}

// The "Name" text of a list item, refused when missing or empty: an empty name
// stands for no registry key or value the cache can hold.
bool ItemName(IXMLDataNodeList* list, ULONG64 index, ComPtr<IXMLDataNode>& item,
              ComPtr<IXMLDataAttributes>& attributes, UniqueBstr& name) {
    return ItemWithAttributes(list, index, item, attributes) &&
           AttributeText(attributes.get(), Names().name.get(), name) &&
           ::SysStringLen(name.get()) != 0;
}

// Merges one "Value" item into node; false when any step failed. A value whose
// text was read stays in the cache even when its conversion fails.
bool MergeValue(OpsInfo& node, IXMLDataNodeList* values, ULONG64 index) {
    ComPtr<IXMLDataNode> item;
    ComPtr<IXMLDataAttributes> attributes;
    UniqueBstr name;
    UniqueBstr typeName;
    if (!ItemName(values, index, item, attributes, name) ||
        !AttributeText(attributes.get(), Names().type.get(), typeName)) {
        return false;
    }
    const VARTYPE type = ValueTypeFromName(typeName.get());
    if (type == 0) return false;

    VARIANT& entry = node.ValueEntry(FoldedString(BstrView(name.get())));
    ::VariantClear(&entry);
    UniqueBstr text;
    const bool read = SUCCEEDED(item->GetText(text.put()));
    // Every cached string is a real BSTR, also when the text is empty or unread.
    if (!read || !text) text = CopyBstr(L"");
    entry.vt = VT_BSTR;
    entry.bstrVal = text.detach();
    if (!read) return false;

    if (type == VT_BSTR) {
        ReplaceInstallDirToken(entry);
        return true;
    }
    UniqueVariant converted;
    if (FAILED(::VariantChangeType(converted.get(), &entry, 0, type))) return false;
    ::VariantClear(&entry);
    entry = converted.detach();
    return true;
}

// Merges the "Value" children of element into node: S_OK, S_FALSE when a value
// failed, or the failure of the list.
HRESULT MergeValues(OpsInfo& node, IXMLDataNode* element) {
    ComPtr<IXMLDataNodeList> values;
    ULONG count = 0;
    RETURN_IF_FAILED(ChildrenByTag(element, Names().value.get(), values, count));
    bool failed = false;
    for (ULONG64 index = 1; index <= count; ++index) {
        if (!MergeValue(node, values.get(), index)) failed = true;
    }
    return failed ? S_FALSE : S_OK;
}

// Reads, checks and merges one settings file; false when the file failed.
bool MergeSettingsFile(OpsInfo& root, const std::wstring& path) {
    CLSID clsid;
    if (FAILED(::CLSIDFromProgID(kXmlDataProgId, &clsid))) return false;
    ComPtr<IXMLDataDocument> document;
    if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_ALL, __uuidof(IXMLDataDocument),
                                  document.put_void())) ||
        !document) {
        return false;
    }
    UniqueBstr filePath = CopyBstr(path.data(), static_cast<UINT>(path.size()));
    if (FAILED(document->LoadFile(filePath.get()))) return false;
    ComPtr<IXMLDataNode> element;
    if (FAILED(document->GetRootElement(element.put())) || !element) return false;
    UniqueBstr tag;
    if (FAILED(element->GetTagName(tag.put()))) return false;
    if (CompareFolded(BstrView(tag.get()), L"OxaTest") != 0) return false;
    return MergeSettingsElement(root, element.get()) == S_OK;
}

}  // namespace

VARTYPE ValueTypeFromName(const wchar_t* name) noexcept {
    struct TypeName {
        const wchar_t* name;
        VARTYPE type;
    };
    // The unsigned names give the signed tags of their size, except "UINT".
    static constexpr TypeName kTypes[] = {
        {L"BOOL", VT_BOOL}, {L"I1", VT_I1},   {L"I2", VT_I2},       {L"I8", VT_I8},
        {L"INT", VT_INT},   {L"UI1", VT_I1},  {L"UI2", VT_I2},      {L"UI4", VT_I4},
        {L"UI8", VT_I8},    {L"UINT", VT_UINT}, {L"R4", VT_R4},     {L"R8", VT_R8},
        {L"DATE", VT_DATE}, {L"I4", VT_I4},   {L"NUMBER", VT_I4},   {L"BSTR", VT_BSTR},
        {L"STRING", VT_BSTR},
    };
    if (name == nullptr) return 0;
    for (const TypeName& candidate : kTypes) {
        if (CompareFolded(name, candidate.name) == 0) return candidate.type;
    }
    return 0;
}

HRESULT MergeSettingsElement(OpsInfo& node, IXMLDataNode* element) {
    RETURN_HR_IF_NULL(E_POINTER, element);

    // One frame per element whose values are merged and whose "Key" children are
    // being walked; the deepest is last. A heap list in place of recursion keeps
    // the stack flat however deep the file nests.
    struct Frame {
        OpsInfo* node;
        ComPtr<IXMLDataNodeList> keys;
        ULONG count;
        ULONG64 next;  // index of the next "Key" child, from 1
        bool failed;
    };
    std::vector<Frame> work;

    // Merges the values of an element and queues its keys; returns the early
    // failure of one of its child lists.
    auto enter = [&work](OpsInfo& target, IXMLDataNode* current) -> HRESULT {
        const HRESULT values = MergeValues(target, current);
        RETURN_IF_FAILED(values);
        Frame frame{&target, ComPtr<IXMLDataNodeList>(), 0, 1, values != S_OK};
        RETURN_IF_FAILED(ChildrenByTag(current, Names().key.get(), frame.keys, frame.count));
        work.push_back(std::move(frame));
        return S_OK;
    };

    RETURN_IF_FAILED(enter(node, element));
    for (;;) {
        Frame& top = work.back();
        if (top.next > top.count) {
            const bool failed = top.failed;
            work.pop_back();
            if (work.empty()) return failed ? S_FALSE : S_OK;
            if (failed) work.back().failed = true;
            continue;
        }
        ComPtr<IXMLDataNode> item;
        ComPtr<IXMLDataAttributes> attributes;
        UniqueBstr name;
        if (!ItemName(top.keys.get(), top.next++, item, attributes, name)) {
            top.failed = true;
            continue;
        }
        OpsInfo* child = top.node->GetOrCreateChild(name.get());
        // enter pushes only on success, so on failure the parent is still last.
        if (FAILED(enter(*child, item.get()))) work.back().failed = true;
    }
}

bool LoadDefaultSettings(OpsInfo& root) {
    std::wstring folder;
    if (!SettingsDirectory(folder)) return true;
    WIN32_FIND_DATAW found;
    UniqueFindHandle search =
        UniqueFindHandle::Adopt(::FindFirstFileW((folder + L"*.xml").c_str(), &found));
    if (!search) return false;
    bool anyFailed = false;
    do {
        if (!MergeSettingsFile(root, folder + found.cFileName)) anyFailed = true;
    } while (::FindNextFileW(search.get(), &found));
    return anyFailed;
}

}  // namespace veska

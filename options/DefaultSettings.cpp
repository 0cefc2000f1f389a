#include "options/DefaultSettings.h"

#include <objbase.h>
#include <shlwapi.h>

#include <string>
#include <string_view>
#include <vector>

#include "module/Module.h"
#include "options/ValueOrigin.h"
#include "support/ModulePath.h"
#include "support/Folding.h"
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

// Where a failure lies inside a file: the names of the keys being merged, from
// the file's top level down, joined only when a failure is recorded.
class KeyTrail {
public:
    void Push(BSTR name) { names_.push_back(BstrView(name)); }
    void Pop() noexcept { names_.pop_back(); }
    std::wstring Where() const {
        if (names_.empty()) return L"at the top level";
        std::wstring where = L"in key \"";
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (i != 0) where += L'\\';
            where += names_[i];
        }
        return where + L'"';
    }

private:
    std::vector<std::wstring_view> names_;  // views of BSTRs the merge's frames hold
};

// Keeps the first cause of a file's failure: later ones often follow from it.
template <class Cause>
void Record(MergeRecord* record, const Cause& cause) {
    if (record != nullptr && record->firstFailure.empty()) record->firstFailure = cause();
}

std::wstring Quoted(std::wstring_view text) {
    std::wstring quoted = L"\"";
    quoted.append(text);
    return quoted + L'"';
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

// The "Name" text of a list item whose element is a kind ("Value" or "Key"),
// refused when missing or empty: an empty name stands for no registry key or
// value the cache can hold.
bool ItemName(IXMLDataNodeList* list, ULONG64 index, ComPtr<IXMLDataNode>& item,
              ComPtr<IXMLDataAttributes>& attributes, UniqueBstr& name, const wchar_t* kind,
              const KeyTrail& trail, MergeRecord* record) {
    const auto element = [&] { return std::wstring(L"a ") + kind + L" element " + trail.Where(); };
    if (!ItemWithAttributes(list, index, item, attributes)) {
        Record(record, [&] { return element() + L" cannot be read"; });
        return false;
    }
    if (!AttributeText(attributes.get(), Names().name.get(), name)) {
        Record(record, [&] { return element() + L" lacks the required attribute Name"; });
        return false;
    }
    if (::SysStringLen(name.get()) == 0) {
        Record(record, [&] { return element() + L" has an empty Name"; });
        return false;
    }
    return true;
}

// Merges one "Value" item into node; false when any step failed. A value whose
// text was read stays in the cache even when its conversion fails. The entry it
// files or replaces gets its origin: the file, and whether the value it replaced
// stood for a registry value.
bool MergeValue(OpsInfo& node, IXMLDataNodeList* values, ULONG64 index, const KeyTrail& trail,
                MergeRecord* record) {
    ComPtr<IXMLDataNode> item;
    ComPtr<IXMLDataAttributes> attributes;
    UniqueBstr name;
    UniqueBstr typeName;
    if (!ItemName(values, index, item, attributes, name, L"Value", trail, record)) return false;
    const auto named = [&] { return L"value " + Quoted(BstrView(name.get())) + L' ' + trail.Where(); };
    if (!AttributeText(attributes.get(), Names().type.get(), typeName)) {
        Record(record, [&] { return named() + L" lacks the required attribute Type"; });
        return false;
    }
    const VARTYPE type = ValueTypeFromName(typeName.get());
    if (type == 0) {
        Record(record, [&] {
            return named() + L" has the unknown Type " + Quoted(BstrView(typeName.get()));
        });
        return false;
    }

    VARIANT& entry = node.ValueEntry(BstrView(name.get()));
    const ValueOrigin origin{OriginKind::SettingsFile, OriginOf(entry).StandsForRegistry(),
                             record != nullptr ? record->file : std::uint16_t(0)};
    ::VariantClear(&entry);
    UniqueBstr text;
    const bool read = SUCCEEDED(item->GetText(text.put()));
    // Every cached string is a real BSTR, also when the text is empty or unread.
    if (!read || !text) text = CopyBstr(L"");
    entry.vt = VT_BSTR;
    entry.bstrVal = text.detach();
    SetOrigin(entry, origin);
    if (!read) {
        Record(record, [&] { return L"the text of " + named() + L" cannot be read"; });
        return false;
    }

    if (type == VT_BSTR) {
        ReplaceInstallDirToken(entry);
        return true;
    }
    UniqueVariant converted;
    const HRESULT hr = ::VariantChangeType(converted.get(), &entry, 0, type);
    if (FAILED(hr)) {
        Record(record, [&] {
            return named() + L": " + Quoted(BstrView(entry.bstrVal)) +
                   (hr == DISP_E_OVERFLOW ? L" is out of range for Type " : L" is no number of Type ") +
                   std::wstring(BstrView(typeName.get()));
        });
        return false;
    }
    ::VariantClear(&entry);
    entry = converted.detach();
    SetOrigin(entry, origin);
    return true;
}

// Merges the "Value" children of element into node: S_OK, S_FALSE when a value
// failed, or the failure of the list.
HRESULT MergeValues(OpsInfo& node, IXMLDataNode* element, const KeyTrail& trail,
                    MergeRecord* record) {
    ComPtr<IXMLDataNodeList> values;
    ULONG count = 0;
    const HRESULT listed = ChildrenByTag(element, Names().value.get(), values, count);
    if (FAILED(listed)) {
        Record(record, [&] { return L"the values " + trail.Where() + L" cannot be listed"; });
        return listed;
    }
    bool failed = false;
    for (ULONG64 index = 1; index <= count; ++index) {
        if (!MergeValue(node, values.get(), index, trail, record)) failed = true;
    }
    return failed ? S_FALSE : S_OK;
}

std::wstring HexCode(HRESULT hr) {
    wchar_t text[16];
    ::wsprintfW(text, L"0x%08X", static_cast<unsigned>(hr));
    return text;
}

// The component's reason for the last failure, without the line break and full
// stop the parser ends it with.
std::wstring LoadReason(IXMLDataDocument* document) {
    UniqueBstr reason;
    if (FAILED(document->GetParseError(reason.put()))) return std::wstring();
    std::wstring text(BstrView(reason.get()));
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                             text.back() == L'.')) {
        text.pop_back();
    }
    return text;
}

// Fills row with why the component did not load the file: its LoadFile failed
// with hr.
void DescribeLoadFailure(IXMLDataDocument* document, HRESULT hr, SettingsFileRow& row) {
    const std::wstring reason = LoadReason(document);
    if (hr == XMLDATA_E_DTD_PROHIBITED) {
        row.result = SettingsFileResult::Refused;
        row.message = L"the file holds a document type definition (DOCTYPE), which is refused";
    } else if (hr == HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE)) {
        ULONG limit = 0;
        row.result = SettingsFileResult::Refused;
        row.message = L"the file is larger than the size limit";
        if (SUCCEEDED(document->GetMaxFileSize(&limit))) {
            row.message += L" of " + std::to_wstring(limit) + L" bytes";
        }
    } else if (hr == XMLDATA_E_UNSUPPORTED_ENCODING) {
        row.message = L"the file's encoding is not supported (UTF-8, UTF-16, US-ASCII, "
                      L"ISO-8859-n and windows-125n are)";
    } else if (HRESULT_FACILITY(hr) == FACILITY_WIN32 || hr == E_INVALIDARG) {
        row.message = L"the file is unreadable (" + HexCode(hr) + L")";
        if (!reason.empty()) row.message += L": " + reason;
    } else {
        row.message = L"the XML is not well-formed";
        if (!reason.empty()) row.message += L": " + reason;
        // The position comes from the component's second interface, where it has one.
        ComPtr<IXMLDataDocument2> positions;
        LONG line = 0;
        LONG column = 0;
        if (SUCCEEDED(document->QueryInterface(__uuidof(IXMLDataDocument2), positions.put_void())) &&
            positions && SUCCEEDED(positions->GetParseErrorPosition(&line, &column))) {
            row.line = line;
            row.column = column;
        }
    }
}

// Reads, checks and merges one settings file into root, filling row (whose path
// is set) with the outcome; false when the file failed or was refused. Values it
// merges get file as their origin's file index.
bool MergeSettingsFile(OpsInfo& root, SettingsFileRow& row, std::uint16_t file) {
    row.result = SettingsFileResult::Failed;
    CLSID clsid;
    if (FAILED(::CLSIDFromProgID(kXmlDataProgId, &clsid))) {
        row.message = std::wstring(L"the XML data component ") + kXmlDataProgId +
                      L" is not registered";
        return false;
    }
    ComPtr<IXMLDataDocument> document;
    const HRESULT created = ::CoCreateInstance(clsid, nullptr, CLSCTX_ALL,
                                               __uuidof(IXMLDataDocument), document.put_void());
    if (FAILED(created) || !document) {
        row.message = L"the XML data component cannot be created (" + HexCode(created) + L")";
        return false;
    }
    UniqueBstr filePath = CopyBstr(row.path.data(), static_cast<UINT>(row.path.size()));
    const HRESULT loaded = document->LoadFile(filePath.get());
    if (FAILED(loaded)) {
        DescribeLoadFailure(document.get(), loaded, row);
        return false;
    }
    ComPtr<IXMLDataNode> element;
    UniqueBstr tag;
    if (FAILED(document->GetRootElement(element.put())) || !element ||
        FAILED(element->GetTagName(tag.put()))) {
        row.message = L"the document's root element cannot be read";
        return false;
    }
    if (CompareFolded(BstrView(tag.get()), L"OxaTest") != 0) {
        row.message = L"the root element is <" + std::wstring(BstrView(tag.get())) +
                      L">, not <OxaTest>";
        return false;
    }
    MergeRecord record;
    record.file = file;
    const HRESULT merged = MergeSettingsElement(root, element.get(), &record);
    if (merged == S_OK) {
        row.result = SettingsFileResult::Merged;
        return true;
    }
    row.message = !record.firstFailure.empty()
                      ? std::move(record.firstFailure)
                      : L"the document's elements cannot be read (" + HexCode(merged) + L")";
    return false;
}

// Merges the file at path, appending its row to rows; the row's index is the
// origin's file index of what it merges.
bool MergeOneFile(OpsInfo& root, std::wstring path, SettingsFileRows& rows) {
    const std::size_t index = rows.size();
    rows.emplace_back();
    rows.back().path = std::move(path);
    const std::uint16_t file =
        static_cast<std::uint16_t>(index < kLastOriginFile ? index : kLastOriginFile);
    return MergeSettingsFile(root, rows.back(), file);
}

}  // namespace

const wchar_t* SettingsResultName(SettingsFileResult result) noexcept {
    switch (result) {
        case SettingsFileResult::Merged: return L"merged";
        case SettingsFileResult::Refused: return L"refused";
        default: return L"failed";
    }
}

bool SettingsFolderPath(std::wstring& folder) {
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

bool MergeSettingsFiles(OpsInfo& root, const std::wstring& path, bool folder,
                        SettingsFileRows* rows) {
    SettingsFileRows ownRows;
    SettingsFileRows& table = rows != nullptr ? *rows : ownRows;
    if (!folder) return !MergeOneFile(root, path, table);
    std::wstring prefix = path;
    if (!prefix.empty() && prefix.back() != L'\\' && prefix.back() != L'/') prefix += L'\\';
    WIN32_FIND_DATAW found;
    UniqueFindHandle search =
        UniqueFindHandle::Adopt(::FindFirstFileW((prefix + L"*.xml").c_str(), &found));
    if (!search) return false;
    bool anyFailed = false;
    do {
        if (!MergeOneFile(root, prefix + found.cFileName, table)) anyFailed = true;
    } while (::FindNextFileW(search.get(), &found));
    return anyFailed;
}

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

HRESULT MergeSettingsElement(OpsInfo& node, IXMLDataNode* element, MergeRecord* record) {
    RETURN_HR_IF_NULL(E_POINTER, element);

    // One frame per element whose values are merged and whose "Key" children are
    // being walked; the deepest is last. A heap list in place of recursion keeps
    // the stack flat however deep the file nests.
    // A frame's name is the key name it was entered by (none for element
    // itself); the trail views those names for the messages of failures.
    struct Frame {
        OpsInfo* node;
        ComPtr<IXMLDataNodeList> keys;
        ULONG count;
        ULONG64 next;  // index of the next "Key" child, from 1
        bool failed;
        UniqueBstr name;
    };
    std::vector<Frame> work;
    KeyTrail trail;

    // Merges the values of an element and queues its keys; returns the early
    // failure of one of its child lists. The trail names the element while it
    // is worked on.
    auto enter = [&](OpsInfo& target, IXMLDataNode* current, UniqueBstr name) -> HRESULT {
        const bool named = name.get() != nullptr;
        if (named) trail.Push(name.get());
        const auto leave = [&](HRESULT hr) {
            if (named) trail.Pop();
            return hr;
        };
        const HRESULT values = MergeValues(target, current, trail, record);
        if (FAILED(values)) return leave(values);
        Frame frame{&target, ComPtr<IXMLDataNodeList>(), 0, 1, values != S_OK, std::move(name)};
        const HRESULT keys = ChildrenByTag(current, Names().key.get(), frame.keys, frame.count);
        if (FAILED(keys)) {
            Record(record, [&] { return L"the keys " + trail.Where() + L" cannot be listed"; });
            return leave(keys);
        }
        work.push_back(std::move(frame));
        return S_OK;
    };

    RETURN_IF_FAILED(enter(node, element, UniqueBstr()));
    for (;;) {
        Frame& top = work.back();
        if (top.next > top.count) {
            const bool failed = top.failed;
            if (top.name.get() != nullptr) trail.Pop();
            work.pop_back();
            if (work.empty()) return failed ? S_FALSE : S_OK;
            if (failed) work.back().failed = true;
            continue;
        }
        ComPtr<IXMLDataNode> item;
        ComPtr<IXMLDataAttributes> attributes;
        UniqueBstr name;
        if (!ItemName(top.keys.get(), top.next++, item, attributes, name, L"Key", trail, record)) {
            top.failed = true;
            continue;
        }
        OpsInfo* child = top.node->GetOrCreateChild(name.get());
        // enter pushes only on success, so on failure the parent is still last.
        if (FAILED(enter(*child, item.get(), std::move(name)))) work.back().failed = true;
    }
}

bool LoadDefaultSettings(OpsInfo& root, SettingsFileRows* rows) {
    std::wstring folder;
    if (!SettingsFolderPath(folder)) return true;
    return MergeSettingsFiles(root, folder, true, rows);
}

}  // namespace veska

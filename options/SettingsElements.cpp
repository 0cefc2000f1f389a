// The merge of one settings file's elements into the cache: its values, typed,
// and its keys at any depth, each failure recorded with its element's line.
#include "options/DefaultSettings.h"

#include <string>
#include <string_view>
#include <vector>

#include "options/SettingsTypes.h"
#include "options/ValueOrigin.h"
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

// Keeps the first cause of a file's failure, with the line of the element it
// lies in: later ones often follow from it.
template <class Cause>
void Record(MergeRecord* record, LONG line, const Cause& cause) {
    if (record != nullptr && record->firstFailure.empty()) {
        record->firstFailure = cause();
        record->line = line;
    }
}

}  // namespace

LONG ElementLine(IXMLDataNode* element) {
    if (element == nullptr) return 0;
    ComPtr<IXMLDataNode2> placed;
    LONG line = 0;
    LONG column = 0;
    if (FAILED(element->QueryInterface(__uuidof(IXMLDataNode2), placed.put_void())) || !placed ||
        placed->GetPosition(&line, &column) != S_OK || line < 0) {
        return 0;
    }
    return line;
}

namespace {

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
        Record(record, ElementLine(item.get()), [&] { return element() + L" cannot be read"; });
        return false;
    }
    if (!AttributeText(attributes.get(), Names().name.get(), name)) {
        Record(record, ElementLine(item.get()), [&] {
            return element() + L" lacks the required attribute Name, which names the registry " +
                   (kind[0] == L'K' ? L"key" : L"value");
        });
        return false;
    }
    if (::SysStringLen(name.get()) == 0) {
        Record(record, ElementLine(item.get()),
               [&] { return element() + L" has an empty Name; give the " +
                            (kind[0] == L'K' ? L"key" : L"value") + L" a name"; });
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
    const LONG line = ElementLine(item.get());
    if (!AttributeText(attributes.get(), Names().type.get(), typeName)) {
        Record(record, line, [&] {
            return named() + L" lacks the required attribute Type (one of " + EveryTypeName() + L")";
        });
        return false;
    }
    const std::uint8_t typeNumber = SettingsTypeNumber(typeName.get());
    if (typeNumber == 0) {
        Record(record, line,
               [&] { return named() + L": " + UnknownTypeMessage(BstrView(typeName.get())); });
        return false;
    }
    const VARTYPE type = ValueTypeFromName(typeName.get());

    VARIANT& entry = node.ValueEntry(BstrView(name.get()));
    ValueOrigin origin{OriginKind::SettingsFile, OriginOf(entry).StandsForRegistry(),
                       record != nullptr ? record->file : std::uint16_t(0)};
    origin.line = static_cast<std::uint16_t>(line > 0 && line <= kLastOriginLine ? line : 0);
    UniqueBstr text;
    const bool read = SUCCEEDED(item->GetText(text.put()));
    // Every cached string is a real BSTR, also when the text is empty or unread.
    if (!read || !text) text = CopyBstr(L"");
    UniqueVariant value;
    V_VT(value.get()) = VT_BSTR;
    V_BSTR(value.get()) = text.detach();
    value.MoveTo(entry);
    SetOrigin(entry, origin);
    if (!read) {
        Record(record, line, [&] { return L"the text of " + named() + L" cannot be read"; });
        return false;
    }

    if (type == VT_BSTR) {
        ReplaceInstallDirToken(entry);
        return true;
    }
    UniqueVariant converted;
    const HRESULT hr = ::VariantChangeType(converted.get(), &entry, 0, type);
    if (FAILED(hr)) {
        // The text stays, marked with the type it did not convert to.
        origin.unconverted = typeNumber;
        SetOrigin(entry, origin);
        Record(record, line, [&] {
            return named() + L": " + ConversionFailure(BstrView(entry.bstrVal), typeNumber, hr);
        });
        return false;
    }
    converted.MoveTo(entry);
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
        Record(record, 0, [&] { return L"the values " + trail.Where() + L" cannot be listed"; });
        return listed;
    }
    bool failed = false;
    for (ULONG64 index = 1; index <= count; ++index) {
        if (!MergeValue(node, values.get(), index, trail, record)) failed = true;
    }
    return failed ? S_FALSE : S_OK;
}

}  // namespace

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
            Record(record, 0, [&] { return L"the keys " + trail.Where() + L" cannot be listed"; });
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

}  // namespace veska

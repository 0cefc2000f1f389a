// Settings files read through the platform's XML parser into one tree, merged
// as the store merges them, for the tools that describe what files give.
#include "inspector/SettingsTree.h"

#include "inspector/Console.h"
#include "inspector/ValueText.h"
#include "support/MsxmlIds.h"

namespace veskaopt {

using veska::ComPtr;
using veska::CopyBstr;
using veska::UniqueBstr;
using veska::UniqueVariant;

std::wstring Text(BSTR text) { return text ? std::wstring(text, ::SysStringLen(text)) : L""; }

bool SameFolded(const std::wstring& a, const wchar_t* b) {
    return ::CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

UniqueVariant TextVariant(const std::wstring& text) {
    UniqueVariant v;
    v.get()->bstrVal = CopyBstr(text.c_str(), static_cast<UINT>(text.size())).detach();
    v.get()->vt = VT_BSTR;
    return v;
}

ComPtr<IXMLDOMDocument2> NewDocument() {
    ComPtr<IXMLDOMDocument2> document;
    ThrowIfFailed(::CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                     kIidXmlDomDocument2, document.put_void()),
                  L"creating the platform's XML document (Msxml2.DOMDocument.6.0)");
    ThrowIfFailed(document->put_async(VARIANT_FALSE), L"the XML document's settings");
    ThrowIfFailed(document->put_resolveExternals(VARIANT_FALSE), L"the XML document's settings");
    return document;
}

namespace {

template <class Item>
Item& FindOrAdd(std::vector<Item>& items, const std::wstring& name) {
    for (Item& item : items) {
        if (SameFolded(item.name, name.c_str())) return item;
    }
    items.push_back(Item{});
    items.back().name = name;
    return items.back();
}

std::wstring Attribute(IXMLDOMElement* element, const wchar_t* name) {
    UniqueBstr attribute = CopyBstr(name);
    UniqueVariant value;
    if (element->getAttribute(attribute.get(), value.put()) != S_OK || value.vt() != VT_BSTR) {
        return L"";
    }
    return Text(value.get()->bstrVal);
}

// Merges the Key and Value children of element into key, a later value over an
// earlier one of the same name. A value whose type the merge does not know is
// left out, with a warning.
void MergeElement(IXMLDOMElement* element, SettingsKey& key, const std::wstring& file,
                  const std::wstring& where) {
    ComPtr<IXMLDOMNode> child;
    ThrowIfFailed(element->get_firstChild(child.put()), L"reading " + file);
    while (child) {
        ComPtr<IXMLDOMElement> item = child.try_query<IXMLDOMElement>(IID_IXMLDOMElement);
        UniqueBstr tag;
        if (item && SUCCEEDED(item->get_tagName(tag.put()))) {
            const std::wstring name = Attribute(item.get(), L"Name");
            const std::wstring path = where.empty() ? name : where + L"\\" + name;
            if (Text(tag.get()) == L"Key") {
                MergeElement(item.get(), FindOrAdd(key.keys, name), file, path);
            } else if (Text(tag.get()) == L"Value") {
                SettingsValue value{name, VT_EMPTY, Attribute(item.get(), L"Type"), L"", file};
                value.type = TypeOfName(value.typeName);
                UniqueBstr text;
                item->get_text(text.put());
                value.text = Text(text.get());
                if (value.type == VT_EMPTY) {
                    Err(file + L": warning: value \"" + path + L"\" left out: Type \"" +
                        value.typeName + L"\" is unknown (veskaopt check tells more)\n");
                } else {
                    FindOrAdd(key.values, name) = std::move(value);
                }
            }
        }
        ComPtr<IXMLDOMNode> next;
        child->get_nextSibling(next.put());
        child = std::move(next);
    }
}

}  // namespace

// Parses one settings file into tree; false, with the parser's reason on
// standard output as "file:line:col: error: ...", when it does not parse or is
// not a settings file.
bool ReadSettingsFile(const std::wstring& file, SettingsKey& tree) {
    ComPtr<IXMLDOMDocument2> document = NewDocument();
    UniqueVariant path = TextVariant(file);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = document->load(*path.get(), &loaded);
    if (FAILED(hr) || loaded != VARIANT_TRUE) {
        ComPtr<IXMLDOMParseError> error;
        long line = 0, column = 0;
        UniqueBstr reason;
        if (SUCCEEDED(document->get_parseError(error.put())) && error) {
            error->get_line(&line);
            error->get_linepos(&column);
            error->get_reason(reason.put());
        }
        Out(file + L":" + std::to_wstring(line) + L":" + std::to_wstring(column) +
            L": error: the XML is not well-formed: " + Text(reason.get()) + L"\n");
        return false;
    }
    ComPtr<IXMLDOMElement> root;
    UniqueBstr tag;
    if (FAILED(document->get_documentElement(root.put())) || !root ||
        FAILED(root->get_tagName(tag.put())) || !SameFolded(Text(tag.get()), L"OxaTest")) {
        Out(file + L": error: not a settings file: the root element must be OxaTest\n");
        return false;
    }
    MergeElement(root.get(), tree, file, L"");
    return true;
}

}  // namespace veskaopt

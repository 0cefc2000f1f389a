#include "inspector/Admx.h"

#include <msxml2.h>

#include "inspector/Console.h"
#include "inspector/SettingsCheck.h"
#include "inspector/SettingsTree.h"

namespace veskaopt {

using veska::ComPtr;
using veska::CopyBstr;
using veska::UniqueBstr;
using veska::UniqueVariant;

namespace {

// The namespace every administrative template is written in.
const wchar_t kPolicyDefinitions[] =
    L"http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions";
const wchar_t kLanguage[] = L"en-US";

// ---- names and ranges of the templates ----------------------------------------------

// A name the templates may use for an item: letters, digits and "_" only,
// beginning with a letter or "_"; every other character becomes "_".
std::wstring ItemName(const std::wstring& text) {
    std::wstring name;
    for (wchar_t c : text) {
        const bool plain = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
                           (c >= L'0' && c <= L'9') || c == L'_';
        name += plain ? c : L'_';
    }
    if (name.empty() || (name[0] >= L'0' && name[0] <= L'9')) name.insert(0, 1, L'_');
    return name;
}

// Item names must be unique in a file; paths that differ only in the characters
// ItemName replaces get a number.
class NameTable {
public:
    std::wstring Unique(const std::wstring& text) {
        const std::wstring base = ItemName(text);
        std::wstring name = base;
        for (int n = 2; !Free(name); ++n) name = base + L"_" + std::to_wstring(n);
        used_.push_back(name);
        return name;
    }

private:
    bool Free(const std::wstring& name) const {
        for (const std::wstring& used : used_) {
            if (SameFolded(used, name.c_str())) return false;
        }
        return true;
    }
    std::vector<std::wstring> used_;
};

// How a value is presented: a switch, a number field with its range, or text.
// The templates' number elements are unsigned, so a signed type's range starts
// at 0; 64-bit types take the 64-bit element.
struct Presentation {
    const wchar_t* element;  // decimal, longDecimal or text; null for a switch
    const wchar_t* box;      // the matching control of the language file
    const wchar_t* maxValue;
};

Presentation PresentationOf(VARTYPE type) {
    switch (type) {
        case VT_BOOL: return {nullptr, nullptr, nullptr};
        case VT_I1: return {L"decimal", L"decimalTextBox", L"127"};
        case VT_I2: return {L"decimal", L"decimalTextBox", L"32767"};
        case VT_I4:
        case VT_INT: return {L"decimal", L"decimalTextBox", L"2147483647"};
        case VT_UINT: return {L"decimal", L"decimalTextBox", L"4294967295"};
        case VT_I8: return {L"longDecimal", L"longDecimalTextBox", L"9223372036854775807"};
        default: return {L"text", L"textBox", nullptr};
    }
}

// ---- writing through the platform's XML document ----------------------------------

class TemplateDocument {
public:
    explicit TemplateDocument(const wchar_t* rootName) : document_(NewDocument()) {
        ComPtr<IXMLDOMProcessingInstruction> declaration;
        UniqueBstr target = CopyBstr(L"xml");
        UniqueBstr data = CopyBstr(L"version=\"1.0\" encoding=\"utf-8\"");
        ThrowIfFailed(document_->createProcessingInstruction(target.get(), data.get(),
                                                             declaration.put()),
                      L"writing a template");
        Append(document_.get(), declaration.get());
        root_ = Element(document_.get(), rootName,
                        {{L"revision", L"1.0"}, {L"schemaVersion", L"1.0"}});
    }

    IXMLDOMElement* Root() const noexcept { return root_.get(); }

    // A new element name in the templates' namespace, last child of parent, with
    // its attributes and, when text is given, its text. The document escapes
    // what the names and texts hold.
    ComPtr<IXMLDOMElement> Element(
        IXMLDOMNode* parent, const wchar_t* name,
        std::initializer_list<std::pair<const wchar_t*, std::wstring>> attributes = {},
        const std::wstring* text = nullptr) {
        UniqueBstr tag = CopyBstr(name);
        UniqueBstr space = CopyBstr(kPolicyDefinitions);
        VARIANT kind;
        kind.vt = VT_I4;
        kind.lVal = NODE_ELEMENT;
        ComPtr<IXMLDOMNode> node;
        ThrowIfFailed(document_->createNode(kind, tag.get(), space.get(), node.put()),
                      L"writing a template");
        ComPtr<IXMLDOMElement> element = node.try_query<IXMLDOMElement>(IID_IXMLDOMElement);
        if (!element) ThrowIfFailed(E_NOINTERFACE, L"writing a template");
        for (const auto& [attribute, value] : attributes) {
            UniqueBstr attributeName = CopyBstr(attribute);
            UniqueVariant attributeValue = TextVariant(value);
            ThrowIfFailed(element->setAttribute(attributeName.get(), *attributeValue.get()),
                          L"writing a template");
        }
        if (text != nullptr) {
            UniqueBstr content = CopyBstr(text->c_str(), static_cast<UINT>(text->size()));
            ThrowIfFailed(element->put_text(content.get()), L"writing a template");
        }
        Append(parent, element.get());
        return element;
    }

    // Indents the elements two spaces a level, then saves the document as UTF-8.
    void Save(const std::wstring& path) {
        Indent(root_.get(), 1);
        UniqueVariant target = TextVariant(path);
        ThrowIfFailed(document_->save(*target.get()), L"writing " + path);
        Out(L"wrote " + path + L"\n");
    }

private:
    void Append(IXMLDOMNode* parent, IXMLDOMNode* child) {
        ComPtr<IXMLDOMNode> added;
        ThrowIfFailed(parent->appendChild(child, added.put()), L"writing a template");
    }

    // A line break and the depth's indentation before every child element, and
    // before the end tag of an element that has some.
    void Indent(IXMLDOMNode* node, int depth) {
        std::vector<ComPtr<IXMLDOMNode>> children;
        ComPtr<IXMLDOMNode> child;
        node->get_firstChild(child.put());
        while (child) {
            ComPtr<IXMLDOMNode> next;
            child->get_nextSibling(next.put());
            DOMNodeType type = NODE_INVALID;
            child->get_nodeType(&type);
            if (type == NODE_ELEMENT) children.push_back(std::move(child));
            child = std::move(next);
        }
        for (const ComPtr<IXMLDOMNode>& element : children) {
            InsertBreak(node, element.get(), depth);
            Indent(element.get(), depth + 1);
        }
        if (!children.empty()) InsertBreak(node, nullptr, depth - 1);
    }

    void InsertBreak(IXMLDOMNode* parent, IXMLDOMNode* before, int depth) {
        UniqueBstr text = CopyBstr((L"\n" + std::wstring(static_cast<size_t>(depth) * 2, L' ')).c_str());
        ComPtr<IXMLDOMText> node;
        ThrowIfFailed(document_->createTextNode(text.get(), node.put()), L"writing a template");
        VARIANT where;
        ::VariantInit(&where);
        if (before != nullptr) {
            where.vt = VT_UNKNOWN;
            where.punkVal = before;
        }
        ComPtr<IXMLDOMNode> added;
        ThrowIfFailed(parent->insertBefore(node.get(), where, added.put()), L"writing a template");
    }

    ComPtr<IXMLDOMDocument2> document_;
    ComPtr<IXMLDOMElement> root_;
};

// Both templates, built side by side as the keys and values are walked.
class TemplateWriter {
public:
    explicit TemplateWriter(const AdmxRequest& request)
        : request_(request),
          policyKey_(PolicyKeyOf(request.root)),
          admx_(L"policyDefinitions"),
          adml_(L"policyDefinitionResources") {
        const std::wstring fileName = FileName();
        prefix_ = ItemName(fileName);
        IXMLDOMElement* definitions = admx_.Root();
        ComPtr<IXMLDOMElement> namespaces = admx_.Element(definitions, L"policyNamespaces");
        admx_.Element(namespaces.get(), L"target",
                      {{L"prefix", prefix_}, {L"namespace", request.targetNamespace}});
        admx_.Element(definitions, L"resources", {{L"minRequiredRevision", L"1.0"}});
        ComPtr<IXMLDOMElement> supported = admx_.Element(definitions, L"supportedOn");
        ComPtr<IXMLDOMElement> supportedList = admx_.Element(supported.get(), L"definitions");
        supportedOn_ = names_.Unique(L"SUPPORTED_" + prefix_);
        admx_.Element(supportedList.get(), L"definition",
                      {{L"name", supportedOn_}, {L"displayName", StringRef(supportedOn_)}});
        categories_ = admx_.Element(definitions, L"categories");
        policies_ = admx_.Element(definitions, L"policies");

        const std::wstring title = fileName + L" options";
        adml_.Element(adml_.Root(), L"displayName", {}, &title);
        const std::wstring description =
            L"Policies for the options of " + request.root + L", from its settings files.";
        adml_.Element(adml_.Root(), L"description", {}, &description);
        ComPtr<IXMLDOMElement> resources = adml_.Element(adml_.Root(), L"resources");
        strings_ = adml_.Element(resources.get(), L"stringTable");
        presentations_ = adml_.Element(resources.get(), L"presentationTable");
        AddString(supportedOn_, L"Hosts with VeskaOptions " VESKA_VERSION_STRING L" or later");
    }

    void Write(const SettingsKey& tree) {
        const std::wstring top = names_.Unique(prefix_);
        AddCategory(top, request_.root, L"");
        AddKey(tree, L"", top);
        admx_.Save(request_.folder + L"\\" + FileName() + L".admx");
        const std::wstring languageFolder = request_.folder + L"\\" + kLanguage;
        if (!::CreateDirectoryW(languageFolder.c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS) {
            throw ToolError(kExitFailure, L"creating " + languageFolder,
                            HRESULT_FROM_WIN32(::GetLastError()));
        }
        adml_.Save(languageFolder + L"\\" + FileName() + L".adml");
    }

private:
    // The templates' file name: the last part of the namespace.
    std::wstring FileName() const {
        const std::wstring& space = request_.targetNamespace;
        return space.substr(space.find_last_of(L'.') + 1);
    }

    static std::wstring StringRef(const std::wstring& id) { return L"$(string." + id + L")"; }

    void AddString(const std::wstring& id, const std::wstring& text) {
        adml_.Element(strings_.get(), L"string", {{L"id", id}}, &text);
    }

    void AddCategory(const std::wstring& name, const std::wstring& title,
                     const std::wstring& parent) {
        ComPtr<IXMLDOMElement> category =
            admx_.Element(categories_.get(), L"category",
                          {{L"name", name}, {L"displayName", StringRef(name)}});
        if (!parent.empty()) admx_.Element(category.get(), L"parentCategory", {{L"ref", parent}});
        AddString(name, title);
    }

    // The values of key as policies in category, then each subkey as a category
    // below it.
    void AddKey(const SettingsKey& key, const std::wstring& path, const std::wstring& category) {
        for (const SettingsValue& value : key.values) AddPolicy(value, path, category);
        for (const SettingsKey& child : key.keys) {
            const std::wstring childPath = path.empty() ? child.name : path + L"\\" + child.name;
            const std::wstring name = names_.Unique(L"Key_" + childPath);
            AddCategory(name, child.name, category);
            AddKey(child, childPath, name);
        }
    }

    void AddPolicy(const SettingsValue& value, const std::wstring& path,
                   const std::wstring& category) {
        const std::wstring name = names_.Unique(path.empty() ? value.name : path + L"_" + value.name);
        const std::wstring key = path.empty() ? policyKey_ : policyKey_ + L"\\" + path;
        const Presentation shown = PresentationOf(value.type);
        std::wstring explain = L"Sets the option \"" + value.name + L"\" in " +
                               (path.empty() ? std::wstring(L"the options root") : L"\"" + path + L"\"") +
                               L" (" + value.typeName + L"; the settings file " + value.file +
                               L" gives \"" + value.text + L"\") and locks it: users cannot "
                               L"change it while this policy is enabled.";
        if (shown.element == nullptr) {
            explain += L" Enabled sets it to True, Disabled to False.";
        } else if (shown.maxValue != nullptr) {
            explain += L" The value is a whole number from 0 to " + std::wstring(shown.maxValue) +
                       L".";
        }
        std::initializer_list<std::pair<const wchar_t*, std::wstring>> common = {
            {L"name", name},
            {L"class", request_.policyClass},
            {L"displayName", StringRef(name)},
            {L"explainText", StringRef(name + L"_Explain")},
            {L"key", key}};
        ComPtr<IXMLDOMElement> policy = admx_.Element(policies_.get(), L"policy", common);
        admx_.Element(policy.get(), L"parentCategory", {{L"ref", category}});
        admx_.Element(policy.get(), L"supportedOn", {{L"ref", supportedOn_}});
        AddString(name, value.name);
        AddString(name + L"_Explain", explain);
        if (shown.element == nullptr) {
            SetAttribute(policy.get(), L"valueName", value.name);
            ComPtr<IXMLDOMElement> enabled = admx_.Element(policy.get(), L"enabledValue");
            admx_.Element(enabled.get(), L"decimal", {{L"value", L"1"}});
            ComPtr<IXMLDOMElement> disabled = admx_.Element(policy.get(), L"disabledValue");
            admx_.Element(disabled.get(), L"decimal", {{L"value", L"0"}});
            return;
        }
        SetAttribute(policy.get(), L"presentation", L"$(presentation." + name + L")");
        ComPtr<IXMLDOMElement> elements = admx_.Element(policy.get(), L"elements");
        ComPtr<IXMLDOMElement> element = admx_.Element(
            elements.get(), shown.element, {{L"id", name}, {L"valueName", value.name}});
        if (shown.maxValue != nullptr) {
            SetAttribute(element.get(), L"minValue", L"0");
            SetAttribute(element.get(), L"maxValue", shown.maxValue);
        }
        ComPtr<IXMLDOMElement> presentation =
            adml_.Element(presentations_.get(), L"presentation", {{L"id", name}});
        if (shown.maxValue != nullptr) {
            ComPtr<IXMLDOMElement> box =
                adml_.Element(presentation.get(), shown.box, {{L"refId", name}}, &value.name);
            // The file's default, where the unsigned field can hold it.
            if (!value.text.empty() && value.text.find_first_not_of(L"0123456789") == std::wstring::npos) {
                SetAttribute(box.get(), L"defaultValue", value.text);
            }
        } else {
            ComPtr<IXMLDOMElement> box =
                adml_.Element(presentation.get(), shown.box, {{L"refId", name}});
            adml_.Element(box.get(), L"label", {}, &value.name);
            adml_.Element(box.get(), L"defaultValue", {}, &value.text);
        }
    }

    static void SetAttribute(IXMLDOMElement* element, const wchar_t* name, const std::wstring& value) {
        UniqueBstr attribute = CopyBstr(name);
        UniqueVariant text = TextVariant(value);
        ThrowIfFailed(element->setAttribute(attribute.get(), *text.get()), L"writing a template");
    }

    const AdmxRequest& request_;
    const std::wstring policyKey_;
    TemplateDocument admx_;
    TemplateDocument adml_;
    NameTable names_;
    std::wstring prefix_;
    std::wstring supportedOn_;
    ComPtr<IXMLDOMElement> categories_, policies_, strings_, presentations_;
};

}  // namespace

std::wstring PolicyKeyOf(std::wstring root) {
    while (!root.empty() && root.back() == L'\\') root.pop_back();
    const std::wstring software = L"Software\\";
    if (root.size() >= software.size() &&
        ::CompareStringOrdinal(root.c_str(), static_cast<int>(software.size()), software.c_str(),
                               static_cast<int>(software.size()), TRUE) == CSTR_EQUAL) {
        root.erase(0, software.size());
    }
    return L"Software\\Policies\\" + root;
}

int WriteAdministrativeTemplates(const AdmxRequest& request) {
    // The output folder is made when missing, as a copy's target would be; its
    // parent must exist.
    if (!IsFolder(request.folder) && !::CreateDirectoryW(request.folder.c_str(), nullptr)) {
        throw ToolError(kExitNotFound, L"the folder " + request.folder + L" cannot be made",
                        HRESULT_FROM_WIN32(::GetLastError()));
    }
    SettingsKey tree;
    bool readable = true;
    for (const std::wstring& argument : request.files) {
        if (::GetFileAttributesW(argument.c_str()) == INVALID_FILE_ATTRIBUTES) {
            throw ToolError(kExitNotFound, argument + L": no such file or folder");
        }
        for (const std::wstring& file : XmlFilesOf(argument)) {
            readable = ReadSettingsFile(file, tree) && readable;
        }
    }
    if (!readable) {
        Out(L"no template written: correct the files above (veskaopt check tells more)\n");
        return kExitCheckFailed;
    }
    TemplateWriter(request).Write(tree);
    return kExitOk;
}

}  // namespace veskaopt

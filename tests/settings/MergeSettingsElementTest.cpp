// MergeSettingsElement and ValueTypeFromName against in-memory elements, so that
// depths and failures no parser would hand over can be checked.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "SettingsTestSupport.h"
#include "com/Dispatch.h"
#include "tests/common/FakeObject.h"
#include "options/DefaultSettings.h"
#include "options/ValueOrigin.h"

namespace veska {
namespace {

using test::CachedValue;

// A node list that counts its references and can be told to fail.
class FakeList final : public test::FakeObject<FakeList, test::FakeLife::Counted,
                                               DispatchWithoutTypeInfo<IXMLDataNodeList>> {
public:
    using Interfaces = InterfaceMap<Entry<IXMLDataNodeList>, Entry<IDispatch, IXMLDataNodeList>>;
    STDMETHODIMP GetCount(ULONG* count) override;
    STDMETHODIMP GetItem(LONG index, IXMLDataNode** item) override;

    std::vector<IXMLDataNode*> items;
    HRESULT listResult = S_OK;  // what GetChildrenByTag answers for this list
    bool handOut = true;        // false: GetChildrenByTag succeeds with no list
};

// An element (or attribute) with Value and Key children; it is its own
// attribute set.
class FakeNode final
    : public test::FakeObject<FakeNode, test::FakeLife::Counted, DispatchWithoutTypeInfo<IXMLDataNode>,
                              DispatchWithoutTypeInfo<IXMLDataAttributes>> {
public:
    using Interfaces = InterfaceMap<Entry<IXMLDataNode>, Entry<IXMLDataAttributes>,
                                    Entry<IDispatch, IXMLDataNode>>;

    STDMETHODIMP GetTagName(BSTR* name) override { return Copy(tag, name); }
    STDMETHODIMP GetText(BSTR* out) override { return Copy(text, out); }
    STDMETHODIMP GetAttributes(IXMLDataAttributes** out) override {
        *out = this;
        AddRef();
        return S_OK;
    }
    // Members the merge never calls.
    STDMETHODIMP GetAttribute(BSTR, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetParent(IXMLDataNode**) override { return E_NOTIMPL; }
    STDMETHODIMP GetChildren(IXMLDataNodeList**) override { return E_NOTIMPL; }
    STDMETHODIMP GetChildCount(ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFirstChildByTag(BSTR, IXMLDataNode**) override { return E_NOTIMPL; }
    STDMETHODIMP GetXml(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCount(ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetItem(LONG, IXMLDataNode**) override { return E_NOTIMPL; }
    STDMETHODIMP GetChildrenByTag(BSTR name, IXMLDataNodeList** out) override {
        FakeList& list = std::wstring(name) == L"Value" ? values : keys;
        *out = nullptr;
        if (FAILED(list.listResult) || !list.handOut) return list.listResult;
        *out = &list;
        list.AddRef();
        return S_OK;
    }
    STDMETHODIMP GetNamedItem(BSTR name, IXMLDataNode** out) override {
        *out = nullptr;
        for (FakeNode* attribute : attributes) {
            if (attribute->tag == name) {
                *out = static_cast<IXMLDataNode*>(attribute);
                attribute->AddRef();
                return S_OK;
            }
        }
        return S_FALSE;
    }

    static HRESULT Copy(const std::wstring& from, BSTR* to) {
        *to = ::SysAllocStringLen(from.data(), static_cast<UINT>(from.size()));
        return S_OK;
    }

    std::wstring tag;
    std::wstring text;
    std::vector<FakeNode*> attributes;
    FakeList values;
    FakeList keys;
};

STDMETHODIMP FakeList::GetCount(ULONG* count) {
    *count = static_cast<ULONG>(items.size());
    return S_OK;
}

STDMETHODIMP FakeList::GetItem(LONG index, IXMLDataNode** item) {
    *item = nullptr;
    if (index < 1 || static_cast<size_t>(index) > items.size()) return E_INVALIDARG;
    *item = items[index - 1];
    (*item)->AddRef();
    return S_OK;
}

// Builds fake documents and checks that every reference handed out came back.
class Document {
public:
    FakeNode* Element(const wchar_t* tag, const wchar_t* name = nullptr) {
        FakeNode* node = New(tag, L"");
        if (name != nullptr) node->attributes.push_back(New(L"Name", name));
        return node;
    }
    FakeNode* Value(FakeNode* parent, const wchar_t* name, const wchar_t* type, const wchar_t* text) {
        FakeNode* value = Element(L"Value", name);
        value->attributes.push_back(New(L"Type", type));
        value->text = text;
        parent->values.items.push_back(value);
        return value;
    }
    FakeNode* Key(FakeNode* parent, const wchar_t* name) {
        FakeNode* key = Element(L"Key", name);
        parent->keys.items.push_back(key);
        return key;
    }
    bool AllReleased() const {
        for (const FakeNode& node : nodes_) {
            // Each holds only its maker's reference again.
            if (node.refs != 1 || node.values.refs != 1 || node.keys.refs != 1) return false;
        }
        return true;
    }

private:
    FakeNode* New(const wchar_t* tag, const wchar_t* text) {
        nodes_.emplace_back();
        nodes_.back().tag = tag;
        nodes_.back().text = text;
        return &nodes_.back();
    }
    std::deque<FakeNode> nodes_;
};

struct Cache {
    OpsInfo* root = new OpsInfo();
    ~Cache() { test::FreeTree(root); }
};

TEST(MergeSettingsElement, TenThousandNestedKeysOnAOneMegabyteStack) {
    constexpr int kDepth = 10000;
    Document document;
    FakeNode* root = document.Element(L"OxaTest");
    FakeNode* parent = root;
    std::wstring path;
    for (int level = 0; level < kDepth; ++level) {
        parent = document.Key(parent, L"K");
        path += level == 0 ? L"k" : L"\\k";
    }
    document.Value(parent, L"Deepest", L"I4", L"7");

    Cache cache;
    HRESULT hr = E_FAIL;
    ASSERT_TRUE(test::RunOnThread(1 << 20, [&] { hr = MergeSettingsElement(*cache.root, root); }));
    EXPECT_EQ(hr, S_OK);
    const VARIANT* deepest = CachedValue(*cache.root, path, L"deepest");
    ASSERT_NE(deepest, nullptr);
    EXPECT_EQ(deepest->vt, VT_I4);
    EXPECT_EQ(deepest->lVal, 7);
    EXPECT_TRUE(document.AllReleased());
}

// The element's own lists decide its result; a child's failure only marks it.
TEST(MergeSettingsElement, ResultsOfFailingLists) {
    struct Case {
        const char* what;
        HRESULT valuesList;
        bool valuesHandedOut;
        HRESULT keysList;
        HRESULT childKeysList;
        HRESULT expected;
        bool valueMerged;
        bool childMerged;
    };
    const Case cases[] = {
        {"all lists", S_OK, true, S_OK, S_OK, S_OK, true, true},
        {"values list fails", E_ACCESSDENIED, true, S_OK, S_OK, E_ACCESSDENIED, false, false},
        {"no values list", S_OK, false, S_OK, S_OK, E_UNEXPECTED, false, false},
        {"keys list fails", S_OK, true, E_OUTOFMEMORY, S_OK, E_OUTOFMEMORY, true, false},
        {"a child's keys list fails", S_OK, true, S_OK, E_FAIL, S_FALSE, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Document document;
        FakeNode* root = document.Element(L"OxaTest");
        document.Value(root, L"Top", L"STRING", L"top");
        FakeNode* child = document.Key(root, L"Child");
        document.Value(child, L"Inner", L"STRING", L"inner");
        root->values.listResult = c.valuesList;
        root->values.handOut = c.valuesHandedOut;
        root->keys.listResult = c.keysList;
        child->keys.listResult = c.childKeysList;

        Cache cache;
        EXPECT_EQ(MergeSettingsElement(*cache.root, root), c.expected);
        EXPECT_EQ(CachedValue(*cache.root, L"", L"top") != nullptr, c.valueMerged);
        EXPECT_EQ(CachedValue(*cache.root, L"child", L"inner") != nullptr, c.childMerged);
        EXPECT_TRUE(document.AllReleased());
    }
}

// A component that gives no element places (no IXMLDataNode2) still gets its
// messages, without a line; the text that did not convert stays, marked.
TEST(MergeSettingsElement, AnOlderComponentGivesMessagesWithoutLines) {
    Document document;
    FakeNode* root = document.Element(L"OxaTest");
    document.Value(root, L"Flag", L"BOOL", L"yes");
    document.Value(root, L"Size", L"I4", L"12");
    Cache cache;
    MergeRecord record;
    EXPECT_EQ(MergeSettingsElement(*cache.root, root, &record), S_FALSE);
    EXPECT_EQ(record.line, 0);
    const std::wstring expected = L"value \"Flag\" at the top level: \"yes\" is not a BOOL: BOOL takes ";
    EXPECT_EQ(record.firstFailure.substr(0, expected.size()), expected);
    const VARIANT* flag = CachedValue(*cache.root, L"", L"flag");
    ASSERT_NE(flag, nullptr);
    EXPECT_EQ(flag->vt, VT_BSTR);
    EXPECT_EQ(SettingsTypeName(OriginOf(*flag).unconverted), L"BOOL");
    const VARIANT* size = CachedValue(*cache.root, L"", L"size");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->vt, VT_I4) << "the values after it merge";
    EXPECT_EQ(OriginOf(*size).unconverted, 0);
    EXPECT_TRUE(document.AllReleased());
}

// What an administrator reads for a Type that is no type: the names it comes
// close to (another system's name, a prefix, a slip of the keys), else all.
TEST(SettingsTypes, UnknownNamesPointAtTheCloseOnes) {
    const std::wstring every = L"the types are BOOL, I1, I2, I8, INT, UI1, UI2, UI4, UI8, UINT, R4, R8, "
                               L"DATE, I4, NUMBER, BSTR or STRING";
    const struct {
        const wchar_t* name;
        std::wstring tail;
    } cases[] = {
        {L"Float", L"did you mean R4 or R8?"},   {L"double", L"did you mean R8?"},
        {L"VT_BOOL", L"did you mean BOOL?"},     {L"Boolean", L"did you mean BOOL?"},
        {L"REG_DWORD", L"did you mean I4?"},     {L"long long", L"did you mean I8?"},
        {L"Strnig", L"did you mean STRING?"},    {L"NUMBR", L"did you mean NUMBER?"},
        {L" bool", L"did you mean BOOL?"},       {L"I3", L"did you mean I1, I2, I4 or I8?"},
        {L"uint32", L"did you mean UI4 or UINT?"}, {L"DateTime", L"did you mean DATE?"},
        {L"Picture", every},                     {L"", every},
        {L"VT_", every},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnknownTypeMessage(c.name), L"Type \"" + std::wstring(c.name) + L"\" is unknown; " + c.tail);
    }
}

// Every name of the table is read from a file in DefaultSettingsTest; these
// must match none.
TEST(ValueTypeFromName, OnlyTheTableNamesMatch) {
    for (const wchar_t* name : {L"", L"BOOL ", L"UI16", L"VT_BOOL", L"\u0130NT", L"STRINGS"}) {
        EXPECT_EQ(ValueTypeFromName(name), 0) << name;
    }
    EXPECT_EQ(ValueTypeFromName(nullptr), 0);
    EXPECT_EQ(ValueTypeFromName(L"uInT"), VT_UINT);
}

}  // namespace
}  // namespace veska

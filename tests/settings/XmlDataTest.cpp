// The XML data component on its own, created by its ProgID as the merge does.
#include <gtest/gtest.h>

#include <string>

#include "SettingsTestSupport.h"
#include "tests/common/TestRegistry.h"
#include "contracts/XmlData.h"
#include "support/Owners.h"

namespace veska {
namespace {

// Calls own member `position` (from 1, after IUnknown's three and IDispatch's
// four) through the virtual table, as the merge's contract counts them.
template <class... Args>
HRESULT CallMember(void* object, int position, Args... args) {
    using Member = HRESULT(STDMETHODCALLTYPE*)(void*, Args...);
    return reinterpret_cast<Member>((*static_cast<void***>(object))[6 + position])(object, args...);
}

std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : L"(null)"; }

class XmlData : public ::testing::Test {
protected:
    test::CompanionRegistration companion_;
    test::SettingsLayout layout_;  // a folder for the files
    ComPtr<IXMLDataDocument> document_;

    void SetUp() override {
        CLSID clsid;
        ASSERT_EQ(CLSIDFromProgID(kXmlDataProgId, &clsid), S_OK);
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, __uuidof(IXMLDataDocument),
                                   document_.put_void()),
                  S_OK);
    }
    ~XmlData() override {
        document_.reset();
        EXPECT_EQ(companion_.CanUnloadNow(), S_OK) << "an object of the component leaked";
    }

    HRESULT LoadBytes(const std::string& bytes) {
        layout_.AddFile(L"doc.xml", bytes);
        UniqueBstr path = CopyBstr((layout_.SettingsFolder() + L"doc.xml").c_str());
        return document_->LoadFile(path.get());
    }
    HRESULT LoadText(const wchar_t* xml) {
        UniqueBstr text = CopyBstr(xml);
        return document_->LoadXml(text.get());
    }
    ComPtr<IXMLDataNode> Root() {
        ComPtr<IXMLDataNode> root;
        EXPECT_EQ(document_->GetRootElement(root.put()), S_OK);
        return root;
    }
};

TEST_F(XmlData, CalledMembersAtTheirPositions) {
    layout_.AddFile(L"doc.xml", test::SettingsXml("<Value Name=\"a\" Type=\"I4\"> 1 </Value><Value/>"));
    UniqueBstr path = CopyBstr((layout_.SettingsFolder() + L"doc.xml").c_str());
    ASSERT_EQ(CallMember(document_.get(), 2, path.get()), S_OK);  // LoadFile
    ComPtr<IXMLDataNode> root;
    ASSERT_EQ(CallMember(document_.get(), 6, root.put()), S_OK);  // GetRootElement
    UniqueBstr tag;
    EXPECT_EQ(CallMember(root.get(), 1, tag.put()), S_OK);  // GetTagName
    EXPECT_EQ(Text(tag.get()), L"OxaTest");

    UniqueBstr valueTag = CopyBstr(L"Value");
    ComPtr<IXMLDataNodeList> values;
    ASSERT_EQ(CallMember(root.get(), 10, valueTag.get(), values.put()), S_OK);  // GetChildrenByTag
    ULONG count = 0;
    EXPECT_EQ(CallMember(values.get(), 1, &count), S_OK);  // GetCount
    EXPECT_EQ(count, 2u);
    ComPtr<IXMLDataNode> item;
    ASSERT_EQ(CallMember(values.get(), 2, 1L, item.put()), S_OK);  // GetItem, from 1
    UniqueBstr text;
    EXPECT_EQ(CallMember(item.get(), 2, text.put()), S_OK);  // GetText
    EXPECT_EQ(Text(text.get()), L"1");
    ComPtr<IXMLDataAttributes> attributes;
    ASSERT_EQ(CallMember(item.get(), 4, attributes.put()), S_OK);  // GetAttributes
    UniqueBstr nameTag = CopyBstr(L"Name");
    ComPtr<IXMLDataNode> name;
    ASSERT_EQ(CallMember(attributes.get(), 3, nameTag.get(), name.put()), S_OK);  // GetNamedItem
    EXPECT_EQ(CallMember(name.get(), 2, text.put()), S_OK);
    EXPECT_EQ(Text(text.get()), L"a");
}

TEST_F(XmlData, NodesListsAndAttributes) {
    ComPtr<IXMLDataNode> root;
    EXPECT_EQ(document_->GetRootElement(root.put()), XMLDATA_E_NOT_LOADED);
    ASSERT_EQ(LoadText(L"<r x=\"1\" y=\"2\"><a/>text<b k=\"v\">in</b><a/><!-- c --></r>"), S_OK);
    root = Root();
    ULONG count = 9;
    EXPECT_EQ(root->GetChildCount(&count), S_OK);
    EXPECT_EQ(count, 3u);
    UniqueBstr value;
    UniqueBstr x = CopyBstr(L"x"), missing = CopyBstr(L"X"), a = CopyBstr(L"a"), b = CopyBstr(L"b");
    EXPECT_EQ(root->GetAttribute(x.get(), value.put()), S_OK);
    EXPECT_EQ(Text(value.get()), L"1");
    EXPECT_EQ(root->GetAttribute(missing.get(), value.put()), S_FALSE) << "names match exactly";
    EXPECT_EQ(value.get(), nullptr);

    ComPtr<IXMLDataNodeList> list;
    ASSERT_EQ(root->GetChildrenByTag(a.get(), list.put()), S_OK);
    EXPECT_EQ(list->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    ComPtr<IXMLDataNode> node;
    EXPECT_EQ(list->GetItem(0, node.put()), E_INVALIDARG);
    EXPECT_EQ(list->GetItem(3, node.put()), E_INVALIDARG);
    EXPECT_FALSE(node);
    ASSERT_EQ(root->GetChildrenByTag(missing.get(), list.put()), S_OK);
    EXPECT_EQ(list->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0u) << "an empty list, not a failure";

    ASSERT_EQ(root->GetFirstChildByTag(b.get(), node.put()), S_OK);
    EXPECT_EQ(node->GetXml(value.put()), S_OK);
    EXPECT_EQ(Text(value.get()), L"<b k=\"v\">in</b>");
    ComPtr<IXMLDataNode> parent;
    EXPECT_EQ(node->GetParent(parent.put()), S_OK);
    EXPECT_EQ(parent->GetTagName(value.put()), S_OK);
    EXPECT_EQ(Text(value.get()), L"r");
    EXPECT_EQ(parent->GetParent(node.put()), S_FALSE) << "the root has no parent element";
    EXPECT_EQ(root->GetFirstChildByTag(missing.get(), node.put()), S_FALSE);

    ComPtr<IXMLDataAttributes> attributes;
    ASSERT_EQ(root->GetAttributes(attributes.put()), S_OK);
    EXPECT_EQ(attributes->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(attributes->GetItem(2, node.put()), S_OK);
    EXPECT_EQ(node->GetTagName(value.put()), S_OK);
    EXPECT_EQ(Text(value.get()), L"y");
    EXPECT_EQ(attributes->GetNamedItem(missing.get(), node.put()), S_FALSE);
    EXPECT_FALSE(node);
    ASSERT_EQ(root->GetChildren(list.put()), S_OK);
    EXPECT_EQ(list->GetCount(&count), S_OK);
    EXPECT_EQ(count, 3u);
}

TEST_F(XmlData, WhatIsReadAndWhatIsRefused) {
    const HRESULT tooLarge = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    const std::string utf16Doctype("\xFF\xFE<\0!\0D\0O\0C\0T\0Y\0P\0E\0 \0r\0>\0<\0r\0/\0>\0", 32);
    std::string bigEndian;
    for (char c : std::string("<?xml version='1.0'?><r>x</r>")) bigEndian += std::string(1, '\0') + c;
    const struct {
        const char* what;
        std::string bytes;
        HRESULT expected;
    } cases[] = {
        {"UTF-8 with a mark", "\xEF\xBB\xBF<r>\xC3\xA9</r>", S_OK},
        {"ISO-8859-1", "<?xml version='1.0' encoding='ISO-8859-1'?><r>\xE9</r>", S_OK},
        {"UTF-16 big-endian without a mark", bigEndian, S_OK},
        {"internal DTD", "<!DOCTYPE r [<!ENTITY a 'b'>]><r>&a;</r>", XMLDATA_E_DTD_PROHIBITED},
        {"lower-case doctype", "<?xml version='1.0'?><!doctype r><r/>", XMLDATA_E_DTD_PROHIBITED},
        {"DTD in UTF-16", utf16Doctype, XMLDATA_E_DTD_PROHIBITED},
        {"UTF-7", "<?xml version='1.0' encoding='UTF-7'?><r/>", XMLDATA_E_UNSUPPORTED_ENCODING},
        {"UTF-32", std::string("<\0\0\0r\0\0\0/\0\0\0>\0\0\0", 16), XMLDATA_E_UNSUPPORTED_ENCODING},
        {"EBCDIC", "\x4C\x6F\xA7\x94\x93", XMLDATA_E_PARSE},
        {"malformed", "<r><a></r>", E_FAIL},  // the parser's own code
        {"empty", "", XMLDATA_E_PARSE},
        {"at the limit", std::string(64, ' ') + "<r/>", S_OK},
        {"over the limit", std::string(65, ' ') + "<r/>", tooLarge},
    };
    ULONG limit = 0;
    EXPECT_EQ(document_->GetMaxFileSize(&limit), S_OK);
    EXPECT_EQ(limit, 8u << 20);
    EXPECT_EQ(document_->SetMaxFileSize(0), E_INVALIDARG);
    EXPECT_EQ(document_->SetMaxFileSize((64u << 20) + 1), E_INVALIDARG);
    ASSERT_EQ(document_->SetMaxFileSize(68), S_OK);
    for (const auto& c : cases) {
        const HRESULT hr = LoadBytes(c.bytes);
        ComPtr<IXMLDataNode> root;
        UniqueBstr reason;
        EXPECT_EQ(document_->GetParseError(reason.put()), S_OK);
        if (c.expected == E_FAIL) {
            EXPECT_TRUE(FAILED(hr)) << c.what;
        } else {
            EXPECT_EQ(hr, c.expected) << c.what;
        }
        EXPECT_EQ(SysStringLen(reason.get()) == 0, SUCCEEDED(hr)) << c.what;
        EXPECT_EQ(document_->GetRootElement(root.put()), SUCCEEDED(hr) ? S_OK : XMLDATA_E_NOT_LOADED)
            << c.what << ": a failed load keeps no document";
    }
    EXPECT_EQ(LoadText(L"<!DOCTYPE r><r/>"), XMLDATA_E_DTD_PROHIBITED);
    UniqueBstr missing = CopyBstr((layout_.SettingsFolder() + L"missing.xml").c_str());
    EXPECT_EQ(document_->LoadFile(missing.get()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    UniqueBstr folder = CopyBstr(layout_.SettingsFolder().c_str());
    EXPECT_TRUE(FAILED(document_->LoadFile(folder.get())));
    EXPECT_EQ(document_->LoadFile(nullptr), E_INVALIDARG);
}

// The line a node's IXMLDataNode2 gives; -1 when it gives none.
LONG LineOf(IXMLDataNode* node) {
    ComPtr<IXMLDataNode2> placed;
    LONG line = -1, column = -1;
    if (FAILED(node->QueryInterface(__uuidof(IXMLDataNode2), placed.put_void())) ||
        placed->GetPosition(&line, &column) != S_OK) {
        EXPECT_EQ(line, 0) << "no place gives 0 and 0";
        EXPECT_EQ(column, 0);
        return -1;
    }
    EXPECT_GT(column, 0);
    return line;
}

// Elements reached every way a node is handed out know their lines, in a file
// and in a string alike; attributes have none.
TEST_F(XmlData, ElementsKnowTheirLines) {
    const char* xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<OxaTest>\r\n  <Key Name=\"Editor\">\r\n"
        "    <Value Name=\"a\" Type=\"I4\">1</Value>\r\n"
        "    <Key Name=\"Inner\"><Value Name=\"b\" Type=\"I4\">2</Value></Key>\r\n"
        "    <!-- <Value/> --><Other><![CDATA[<Value>]]></Other>\r\n"
        "    <Value Name=\"c\" Type=\"I4\">3</Value>\r\n  </Key>\r\n</OxaTest>\r\n";
    UniqueBstr key = CopyBstr(L"Key"), value = CopyBstr(L"Value"), other = CopyBstr(L"Other");
    UniqueBstr name = CopyBstr(L"Name");
    for (const bool file : {true, false}) {
        SCOPED_TRACE(file ? "file" : "string");
        if (file) {
            ASSERT_EQ(LoadBytes(xml), S_OK);
        } else {
            const std::string narrow(xml);
            ASSERT_EQ(LoadText(std::wstring(narrow.begin(), narrow.end()).c_str()), S_OK);
        }
        ComPtr<IXMLDataNode> root = Root();
        EXPECT_EQ(LineOf(root.get()), 2);
        ComPtr<IXMLDataNodeList> list;
        ComPtr<IXMLDataNode> editor, inner, node;
        ASSERT_EQ(root->GetChildrenByTag(key.get(), list.put()), S_OK);
        ASSERT_EQ(list->GetItem(1, editor.put()), S_OK);
        EXPECT_EQ(LineOf(editor.get()), 3);
        ASSERT_EQ(editor->GetChildrenByTag(value.get(), list.put()), S_OK);
        ASSERT_EQ(list->GetItem(1, node.put()), S_OK);
        EXPECT_EQ(LineOf(node.get()), 4);
        ASSERT_EQ(list->GetItem(2, node.put()), S_OK);
        EXPECT_EQ(LineOf(node.get()), 7) << "after a key with a child, a comment and CDATA";
        ASSERT_EQ(editor->GetFirstChildByTag(key.get(), inner.put()), S_OK);
        EXPECT_EQ(LineOf(inner.get()), 5);
        ASSERT_EQ(inner->GetFirstChildByTag(value.get(), node.put()), S_OK);
        EXPECT_EQ(LineOf(node.get()), 5);
        ComPtr<IXMLDataNode> parent;
        ASSERT_EQ(node->GetParent(parent.put()), S_OK);
        EXPECT_EQ(LineOf(parent.get()), 5);
        ASSERT_EQ(editor->GetChildren(list.put()), S_OK);
        ASSERT_EQ(list->GetItem(4, node.put()), S_OK);
        EXPECT_EQ(LineOf(node.get()), 7);
        ASSERT_EQ(editor->GetFirstChildByTag(other.get(), node.put()), S_OK);
        EXPECT_EQ(LineOf(node.get()), 6);
        ComPtr<IXMLDataAttributes> attributes;
        ASSERT_EQ(node->GetParent(parent.put()), S_OK);
        ASSERT_EQ(parent->GetAttributes(attributes.put()), S_OK);
        ASSERT_EQ(attributes->GetNamedItem(name.get(), node.put()), S_OK);
        EXPECT_EQ(LineOf(node.get()), -1) << "an attribute has no place of its own";
    }
}

// A parse error is placed at the character that breaks the markup, in UTF-8
// and UTF-16 files and in strings.
TEST_F(XmlData, ParseErrorsWhereTheyAre) {
    const struct {
        const char* what;
        const char* xml;
        LONG line, column;
    } cases[] = {
        {"a start tag without its \">\"",
         "<?xml version=\"1.0\"?>\n<OxaTest>\n <Key Name=\"E\">\n  <Value Name=\"a\" Type=\"I4\">1</Value>\n"
         "  <Value Name=\"b\" Type=\"BOOL\"True</Value>\n </Key>\n</OxaTest>\n",
         5, 30},
        {"an end tag of another element", "<OxaTest>\r\n<Value Name='m' Type='I4'>1</Valu>\r\n</OxaTest>", 2, 28},
        {"an unquoted attribute", "<OxaTest>\n  <Value Name=m Type='I4'>1</Value>\n</OxaTest>", 2, 15},
        {"a \"<\" in an attribute", "<OxaTest>\n<Value Name='a<b' Type='I4'>1</Value>\n</OxaTest>", 2, 15},
        {"\"=\" missing", "<OxaTest>\n\n   <Key Name 'E'/>\n</OxaTest>", 3, 14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string utf8(c.xml);
        std::string utf16("\xFF\xFE");
        for (char ch : utf8) utf16 += std::string(1, ch) + '\0';
        for (int form = 0; form < 3; ++form) {
            const std::wstring wide(utf8.begin(), utf8.end());
            const HRESULT hr = form == 0 ? LoadBytes(utf8) : form == 1 ? LoadBytes(utf16) : LoadText(wide.c_str());
            EXPECT_TRUE(FAILED(hr)) << form;
            ComPtr<IXMLDataDocument2> positions;
            ASSERT_EQ(document_->QueryInterface(__uuidof(IXMLDataDocument2), positions.put_void()), S_OK);
            LONG line = 0, column = 0;
            EXPECT_EQ(positions->GetParseErrorPosition(&line, &column), S_OK);
            EXPECT_EQ(line, c.line) << form;
            EXPECT_EQ(column, c.column) << form;
        }
    }
}

TEST(XmlDataRegistration, WritesAndRemovesItsKeys) {
    const std::wstring clsidKey = L"CLSID\\{2798977C-2AB4-4CB6-B7AD-3616268B57CC}";
    {
        test::CompanionRegistration companion;
        EXPECT_EQ(test::ReadString(HKEY_CLASSES_ROOT, L"Corvane.XMLDataIfsImpl\\CLSID", nullptr),
                  L"{2798977C-2AB4-4CB6-B7AD-3616268B57CC}");
        EXPECT_EQ(test::ReadString(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", L"ThreadingModel"),
                  L"Apartment");
        const std::wstring server = test::ReadString(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32", nullptr);
        EXPECT_NE(server.find(L"XMLDataIfsImpl.dll"), std::wstring::npos) << server.c_str();
    }
    EXPECT_FALSE(test::KeyExists(HKEY_CLASSES_ROOT, clsidKey));
    EXPECT_FALSE(test::KeyExists(HKEY_CLASSES_ROOT, L"Corvane.XMLDataIfsImpl"));
}

}  // namespace
}  // namespace veska

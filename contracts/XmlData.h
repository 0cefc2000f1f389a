// The XML data component that reads the default settings files, as the options
// store calls it: a document, its element and attribute nodes, lists of nodes and
// the attributes of an element. All interfaces derive from IDispatch and are
// called through their virtual tables; the member order below is the contract.
//
// Strings handed out are BSTRs the caller frees; interface pointers handed out
// carry one reference the caller releases. Out parameters are null (or 0) when a
// member fails.
#pragma once

#include <windows.h>
#include <oaidl.h>

// The ProgID the options store creates the component by.
inline constexpr wchar_t kXmlDataProgId[] = L"Corvane.XMLDataIfsImpl";

// Failures of the component's own (a parse error reports the parser's code).
inline constexpr HRESULT XMLDATA_E_DTD_PROHIBITED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x201);
inline constexpr HRESULT XMLDATA_E_UNSUPPORTED_ENCODING =
    MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x202);
inline constexpr HRESULT XMLDATA_E_NOT_LOADED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x203);
inline constexpr HRESULT XMLDATA_E_PARSE = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x204);

struct IXMLDataNode;
struct IXMLDataNodeList;
struct IXMLDataAttributes;

MIDL_INTERFACE("F2732545-8170-4996-ACDD-746C69DA12B9")
IXMLDataDocument : public IDispatch {
public:
    // Parses a document held in a string; replaces any document loaded before.
    virtual HRESULT STDMETHODCALLTYPE LoadXml(BSTR text) = 0;
    // Reads and parses the file at path (refused before reading when larger than
    // the size limit); replaces any document loaded before.
    virtual HRESULT STDMETHODCALLTYPE LoadFile(BSTR path) = 0;
    // Why the last load failed; an empty string after a successful load.
    virtual HRESULT STDMETHODCALLTYPE GetParseError(BSTR* reason) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMaxFileSize(ULONG* bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMaxFileSize(ULONG bytes) = 0;
    // The document's root element; XMLDATA_E_NOT_LOADED when nothing is loaded.
    virtual HRESULT STDMETHODCALLTYPE GetRootElement(IXMLDataNode** root) = 0;
};

// The document with the position of its last parse failure, beside
// IXMLDataDocument. A caller asks for it and does without when a component
// lacks it.
MIDL_INTERFACE("17F4A39F-B965-4C98-B0D8-2187C31CCD38")
IXMLDataDocument2 : public IXMLDataDocument {
public:
    // Line and column (both from 1, in characters) of the character where the
    // markup of the last load breaks; 0 and 0 when that load succeeded, failed
    // before the parser saw the document, or the parser gave no position.
    virtual HRESULT STDMETHODCALLTYPE GetParseErrorPosition(LONG* line, LONG* column) = 0;
};

// An element or an attribute of a loaded document.
MIDL_INTERFACE("4A4784CA-2330-4944-8BE8-593FDE61FE47")
IXMLDataNode : public IDispatch {
public:
    // The element's tag name or the attribute's name.
    virtual HRESULT STDMETHODCALLTYPE GetTagName(BSTR* name) = 0;
    // An element's text content or an attribute's value, as the parser gives it.
    virtual HRESULT STDMETHODCALLTYPE GetText(BSTR* text) = 0;
    // The value of the named attribute; S_FALSE and null when it is missing.
    virtual HRESULT STDMETHODCALLTYPE GetAttribute(BSTR name, BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAttributes(IXMLDataAttributes** attributes) = 0;
    // The enclosing element; S_FALSE and null for the root element and attributes.
    virtual HRESULT STDMETHODCALLTYPE GetParent(IXMLDataNode** parent) = 0;
    // Every direct child element, in document order.
    virtual HRESULT STDMETHODCALLTYPE GetChildren(IXMLDataNodeList** children) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChildCount(ULONG* count) = 0;
    // The first direct child element named tag; S_FALSE and null when none.
    virtual HRESULT STDMETHODCALLTYPE GetFirstChildByTag(BSTR tag, IXMLDataNode** child) = 0;
    // The node's markup as the parser writes it.
    virtual HRESULT STDMETHODCALLTYPE GetXml(BSTR* xml) = 0;
    // The direct child elements named tag (compared exactly), in document order;
    // an empty list when there are none.
    virtual HRESULT STDMETHODCALLTYPE GetChildrenByTag(BSTR tag, IXMLDataNodeList** children) = 0;
};

// An element with the place of its start tag, beside IXMLDataNode. A caller asks
// each node for it and does without when a component lacks it.
MIDL_INTERFACE("79B2168F-8EC2-4978-B34B-569D147574BE")
IXMLDataNode2 : public IXMLDataNode {
public:
    // Line and column (both from 1) at which the parser reported the element's
    // start tag: the line is the one the tag ends on. S_FALSE with 0 and 0 for an
    // attribute, or where the parser gave no position.
    virtual HRESULT STDMETHODCALLTYPE GetPosition(LONG* line, LONG* column) = 0;
};

// A fixed list of nodes; the first item has index 1.
MIDL_INTERFACE("7A6AA17F-8F84-4DA3-A182-479273833CBA")
IXMLDataNodeList : public IDispatch {
public:
    virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) = 0;
    // E_INVALIDARG for an index outside 1 to the count.
    virtual HRESULT STDMETHODCALLTYPE GetItem(LONG index, IXMLDataNode** item) = 0;
};

// The attributes of an element; the first has index 1.
MIDL_INTERFACE("B382A5BE-F54C-42F6-8D89-6C0E18B7C382")
IXMLDataAttributes : public IDispatch {
public:
    virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItem(LONG index, IXMLDataNode** item) = 0;
    // The attribute named name (compared exactly); S_FALSE and null when missing.
    virtual HRESULT STDMETHODCALLTYPE GetNamedItem(BSTR name, IXMLDataNode** item) = 0;
};

__CRT_UUID_DECL(IXMLDataDocument, 0xf2732545, 0x8170, 0x4996, 0xac, 0xdd, 0x74, 0x6c, 0x69, 0xda,
                0x12, 0xb9)
__CRT_UUID_DECL(IXMLDataDocument2, 0x17f4a39f, 0xb965, 0x4c98, 0xb0, 0xd8, 0x21, 0x87, 0xc3, 0x1c,
                0xcd, 0x38)
__CRT_UUID_DECL(IXMLDataNode, 0x4a4784ca, 0x2330, 0x4944, 0x8b, 0xe8, 0x59, 0x3f, 0xde, 0x61, 0xfe,
                0x47)
__CRT_UUID_DECL(IXMLDataNode2, 0x79b2168f, 0x8ec2, 0x4978, 0xb3, 0x4b, 0x56, 0x9d, 0x14, 0x75, 0x74,
                0xbe)
__CRT_UUID_DECL(IXMLDataNodeList, 0x7a6aa17f, 0x8f84, 0x4da3, 0xa1, 0x82, 0x47, 0x92, 0x73, 0x83,
                0x3c, 0xba)
__CRT_UUID_DECL(IXMLDataAttributes, 0xb382a5be, 0xf54c, 0x42f6, 0x8d, 0x89, 0x6c, 0x0e, 0x18,
                0xb7, 0xc3, 0x82)

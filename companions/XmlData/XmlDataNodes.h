// The node, node list and attribute objects handed out by the XML data
// component. Each wraps nodes of the parser's DOM and holds one reference on
// each, which keeps the parsed document alive for as long as any object of it
// lives. Objects live in the apartment that made the document and are called on
// its thread only.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "contracts/XmlData.h"

namespace xmldata {

// Where the platform's SAX reader met each element of a document, in document
// order: the element numbered n (from 0, the root first) is entry n. extent
// counts the element and every element inside it, so the next sibling of
// element n is element n + extent. name is the element's tag name, which a node
// compares with its own before it trusts its entry.
struct ElementPlace {
    LONG line = 0;
    LONG column = 0;
    ULONG extent = 1;
    std::wstring name;
};
using ElementPlaces = std::shared_ptr<const std::vector<ElementPlace>>;

// A node of the DOM with its element number, -1 where unknown (attributes, or
// a document without places).
struct NumberedNode {
    veska::ComPtr<IXMLDOMNode> node;
    LONG number = -1;
};
using NodeVector = std::vector<NumberedNode>;

// Makes a ComObject<T>, lets prepare fill it, and hands out interface I of it in
// *result (null on failure).
template <class T, class I, class Prepare>
HRESULT MakeObject(I** result, Prepare&& prepare) noexcept {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    auto* object = new (std::nothrow) veska::ComObject<T>();
    if (object == nullptr) return E_OUTOFMEMORY;
    prepare(static_cast<T&>(*object));
    object->AddRef();
    const HRESULT hr = object->QueryInterface(__uuidof(I), reinterpret_cast<void**>(result));
    object->Release();
    return hr;
}

// An element or attribute of a parsed document.
class XmlDataNode : public veska::ObjectRoot<XmlDataNode, veska::SingleThreadModel>,
                    public veska::DispatchWithoutTypeInfo<IXMLDataNode2> {
public:
    using Interfaces = veska::InterfaceMap<veska::Entry<IXMLDataNode, IXMLDataNode2>,
                                           veska::Entry<IXMLDataNode2>,
                                           veska::Entry<IDispatch, IXMLDataNode2>>;

    // A new node object over node (element number `number` of places, -1 where
    // unknown), with a reference of its own on it.
    static HRESULT Create(IXMLDOMNode* node, LONG number, const ElementPlaces& places,
                          IXMLDataNode** result) noexcept;

    STDMETHODIMP GetTagName(BSTR* name) override;
    STDMETHODIMP GetText(BSTR* text) override;
    STDMETHODIMP GetAttribute(BSTR name, BSTR* value) override;
    STDMETHODIMP GetAttributes(IXMLDataAttributes** attributes) override;
    STDMETHODIMP GetParent(IXMLDataNode** parent) override;
    STDMETHODIMP GetChildren(IXMLDataNodeList** children) override;
    STDMETHODIMP GetChildCount(ULONG* count) override;
    STDMETHODIMP GetFirstChildByTag(BSTR tag, IXMLDataNode** child) override;
    STDMETHODIMP GetXml(BSTR* xml) override;
    STDMETHODIMP GetChildrenByTag(BSTR tag, IXMLDataNodeList** children) override;
    STDMETHODIMP GetPosition(LONG* line, LONG* column) override;

private:
    // The direct child elements, numbered; all when tag is null, else those
    // named *tag; only the first when firstOnly.
    HRESULT ChildElements(const BSTR* tag, bool firstOnly, NodeVector& out) const;

    veska::ComPtr<IXMLDOMNode> node_;
    LONG number_ = -1;
    ElementPlaces places_;  // may be null
};

// A fixed list of nodes, taken when the list was asked for.
class XmlDataNodeList : public veska::ObjectRoot<XmlDataNodeList, veska::SingleThreadModel>,
                        public veska::DispatchWithoutTypeInfo<IXMLDataNodeList> {
public:
    using Interfaces = veska::InterfaceMap<veska::Entry<IXMLDataNodeList>,
                                           veska::Entry<IDispatch, IXMLDataNodeList>>;

    // A new list that takes over nodes, numbered in places.
    static HRESULT Create(NodeVector&& nodes, const ElementPlaces& places,
                          IXMLDataNodeList** result) noexcept;

    STDMETHODIMP GetCount(ULONG* count) override;
    STDMETHODIMP GetItem(LONG index, IXMLDataNode** item) override;

private:
    NodeVector nodes_;
    ElementPlaces places_;
};

// The attributes of an element; empty for a node that has none.
class XmlDataAttributes : public veska::ObjectRoot<XmlDataAttributes, veska::SingleThreadModel>,
                          public veska::DispatchWithoutTypeInfo<IXMLDataAttributes> {
public:
    using Interfaces = veska::InterfaceMap<veska::Entry<IXMLDataAttributes>,
                                           veska::Entry<IDispatch, IXMLDataAttributes>>;

    // A new attribute set over map (may be null), with a reference of its own.
    static HRESULT Create(IXMLDOMNamedNodeMap* map, IXMLDataAttributes** result) noexcept;

    STDMETHODIMP GetCount(ULONG* count) override;
    STDMETHODIMP GetItem(LONG index, IXMLDataNode** item) override;
    STDMETHODIMP GetNamedItem(BSTR name, IXMLDataNode** item) override;

private:
    veska::ComPtr<IXMLDOMNamedNodeMap> map_;
};

}  // namespace xmldata

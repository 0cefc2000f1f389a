// The node, node list and attribute objects handed out by the XML data
// component. Each wraps nodes of the parser's DOM and holds one reference on
// each, which keeps the parsed document alive for as long as any object of it
// lives. Objects live in the apartment that made the document and are called on
// its thread only.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <new>
#include <vector>

#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "contracts/XmlData.h"

namespace xmldata {

using NodeVector = std::vector<veska::ComPtr<IXMLDOMNode>>;

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
                    public veska::DispatchWithoutTypeInfo<IXMLDataNode> {
public:
    using Interfaces =
        veska::InterfaceMap<veska::Entry<IXMLDataNode>, veska::Entry<IDispatch, IXMLDataNode>>;

    // A new node object over node, with a reference of its own on it.
    static HRESULT Create(IXMLDOMNode* node, IXMLDataNode** result) noexcept;

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

private:
    veska::ComPtr<IXMLDOMNode> node_;
};

// A fixed list of nodes, taken when the list was asked for.
class XmlDataNodeList : public veska::ObjectRoot<XmlDataNodeList, veska::SingleThreadModel>,
                        public veska::DispatchWithoutTypeInfo<IXMLDataNodeList> {
public:
    using Interfaces = veska::InterfaceMap<veska::Entry<IXMLDataNodeList>,
                                           veska::Entry<IDispatch, IXMLDataNodeList>>;

    // A new list that takes over nodes.
    static HRESULT Create(NodeVector&& nodes, IXMLDataNodeList** result) noexcept;

    STDMETHODIMP GetCount(ULONG* count) override;
    STDMETHODIMP GetItem(LONG index, IXMLDataNode** item) override;

private:
    NodeVector nodes_;
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

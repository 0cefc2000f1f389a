#include "companions/XmlData/XmlDataNodes.h"

#include <string_view>
#include <utility>

#include "support/Result.h"

namespace xmldata {

using veska::ComBoundary;
using veska::ComPtr;

namespace {

std::wstring_view BstrView(BSTR text) noexcept {
    return text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view();
}

// The direct child elements of parent in document order: all of them when tag
// is null, else those whose name equals *tag exactly; only the first when
// firstOnly.
HRESULT ChildElements(IXMLDOMNode* parent, const BSTR* tag, bool firstOnly, NodeVector& out) {
    ComPtr<IXMLDOMNode> child;
    RETURN_IF_FAILED(parent->get_firstChild(child.put()));
    while (child) {
        DOMNodeType type = NODE_INVALID;
        RETURN_IF_FAILED(child->get_nodeType(&type));
        bool wanted = type == NODE_ELEMENT;
        if (wanted && tag != nullptr) {
            veska::UniqueBstr name;
            RETURN_IF_FAILED(child->get_nodeName(name.put()));
            wanted = BstrView(name.get()) == BstrView(*tag);
        }
        if (wanted) {
            out.push_back(ComPtr<IXMLDOMNode>::CopyOf(child.get()));
            if (firstOnly) break;
        }
        ComPtr<IXMLDOMNode> next;
        RETURN_IF_FAILED(child->get_nextSibling(next.put()));
        child = std::move(next);
    }
    return S_OK;
}

// Hands out item index (from 1) of count through fetch(zero-based index, out).
template <class Fetch>
HRESULT ItemAt(LONG index, LONG count, IXMLDataNode** item, Fetch&& fetch) {
    RETURN_HR_IF_NULL(E_POINTER, item);
    *item = nullptr;
    RETURN_HR_IF(E_INVALIDARG, index < 1 || index > count);
    ComPtr<IXMLDOMNode> node;
    RETURN_IF_FAILED(fetch(index - 1, node));
    RETURN_HR_IF_NULL(E_UNEXPECTED, node.get());
    return XmlDataNode::Create(node.get(), item);
}

}  // namespace

HRESULT XmlDataNode::Create(IXMLDOMNode* node, IXMLDataNode** result) noexcept {
    if (node == nullptr) return E_INVALIDARG;
    return MakeObject<XmlDataNode>(
        result, [node](XmlDataNode& object) { object.node_ = ComPtr<IXMLDOMNode>::CopyOf(node); });
}

STDMETHODIMP XmlDataNode::GetTagName(BSTR* name) {
    RETURN_HR_IF_NULL(E_POINTER, name);
    *name = nullptr;
    return node_->get_nodeName(name);
}

STDMETHODIMP XmlDataNode::GetText(BSTR* text) {
    RETURN_HR_IF_NULL(E_POINTER, text);
    *text = nullptr;
    return node_->get_text(text);
}

STDMETHODIMP XmlDataNode::GetAttribute(BSTR name, BSTR* value) {
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = nullptr;
    if (::SysStringLen(name) == 0) return S_FALSE;  // no attribute has an empty name
    ComPtr<IXMLDOMNamedNodeMap> map;
    RETURN_IF_FAILED(node_->get_attributes(map.put()));
    if (!map) return S_FALSE;
    ComPtr<IXMLDOMNode> attribute;
    RETURN_IF_FAILED(map->getNamedItem(name, attribute.put()));
    if (!attribute) return S_FALSE;
    return attribute->get_text(value);
}

STDMETHODIMP XmlDataNode::GetAttributes(IXMLDataAttributes** attributes) {
    RETURN_HR_IF_NULL(E_POINTER, attributes);
    *attributes = nullptr;
    ComPtr<IXMLDOMNamedNodeMap> map;
    RETURN_IF_FAILED(node_->get_attributes(map.put()));
    return XmlDataAttributes::Create(map.get(), attributes);
}

STDMETHODIMP XmlDataNode::GetParent(IXMLDataNode** parent) {
    RETURN_HR_IF_NULL(E_POINTER, parent);
    *parent = nullptr;
    ComPtr<IXMLDOMNode> node;
    RETURN_IF_FAILED(node_->get_parentNode(node.put()));
    if (!node) return S_FALSE;
    DOMNodeType type = NODE_INVALID;
    RETURN_IF_FAILED(node->get_nodeType(&type));
    if (type != NODE_ELEMENT) return S_FALSE;
    return Create(node.get(), parent);
}

STDMETHODIMP XmlDataNode::GetChildren(IXMLDataNodeList** children) {
    RETURN_HR_IF_NULL(E_POINTER, children);
    *children = nullptr;
    return ComBoundary([&]() -> HRESULT {
        NodeVector nodes;
        RETURN_IF_FAILED(ChildElements(node_.get(), nullptr, false, nodes));
        return XmlDataNodeList::Create(std::move(nodes), children);
    });
}

STDMETHODIMP XmlDataNode::GetChildCount(ULONG* count) {
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = 0;
    return ComBoundary([&]() -> HRESULT {
        NodeVector nodes;
        RETURN_IF_FAILED(ChildElements(node_.get(), nullptr, false, nodes));
        *count = static_cast<ULONG>(nodes.size());
        return S_OK;
    });
}

STDMETHODIMP XmlDataNode::GetFirstChildByTag(BSTR tag, IXMLDataNode** child) {
    RETURN_HR_IF_NULL(E_POINTER, child);
    *child = nullptr;
    return ComBoundary([&]() -> HRESULT {
        NodeVector nodes;
        RETURN_IF_FAILED(ChildElements(node_.get(), &tag, true, nodes));
        if (nodes.empty()) return S_FALSE;
        return Create(nodes.front().get(), child);
    });
}

STDMETHODIMP XmlDataNode::GetXml(BSTR* xml) {
    RETURN_HR_IF_NULL(E_POINTER, xml);
    *xml = nullptr;
    return node_->get_xml(xml);
}

STDMETHODIMP XmlDataNode::GetChildrenByTag(BSTR tag, IXMLDataNodeList** children) {
    RETURN_HR_IF_NULL(E_POINTER, children);
    *children = nullptr;
    return ComBoundary([&]() -> HRESULT {
        NodeVector nodes;
        RETURN_IF_FAILED(ChildElements(node_.get(), &tag, false, nodes));
        return XmlDataNodeList::Create(std::move(nodes), children);
    });
}

HRESULT XmlDataNodeList::Create(NodeVector&& nodes, IXMLDataNodeList** result) noexcept {
    return MakeObject<XmlDataNodeList>(
        result, [&nodes](XmlDataNodeList& object) { object.nodes_ = std::move(nodes); });
}

STDMETHODIMP XmlDataNodeList::GetCount(ULONG* count) {
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = static_cast<ULONG>(nodes_.size());
    return S_OK;
}

STDMETHODIMP XmlDataNodeList::GetItem(LONG index, IXMLDataNode** item) {
    return ItemAt(index, static_cast<LONG>(nodes_.size()), item,
                  [this](LONG at, ComPtr<IXMLDOMNode>& node) {
                      node = ComPtr<IXMLDOMNode>::CopyOf(nodes_[at].get());
                      return S_OK;
                  });
}

HRESULT XmlDataAttributes::Create(IXMLDOMNamedNodeMap* map, IXMLDataAttributes** result) noexcept {
    return MakeObject<XmlDataAttributes>(result, [map](XmlDataAttributes& object) {
        object.map_ = ComPtr<IXMLDOMNamedNodeMap>::CopyOf(map);
    });
}

STDMETHODIMP XmlDataAttributes::GetCount(ULONG* count) {
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = 0;
    if (!map_) return S_OK;
    LONG length = 0;
    RETURN_IF_FAILED(map_->get_length(&length));
    *count = length > 0 ? static_cast<ULONG>(length) : 0;
    return S_OK;
}

STDMETHODIMP XmlDataAttributes::GetItem(LONG index, IXMLDataNode** item) {
    ULONG count = 0;
    RETURN_HR_IF_NULL(E_POINTER, item);
    *item = nullptr;
    RETURN_IF_FAILED(GetCount(&count));
    return ItemAt(index, static_cast<LONG>(count), item, [this](LONG at, ComPtr<IXMLDOMNode>& node) {
        return map_->get_item(at, node.put());
    });
}

STDMETHODIMP XmlDataAttributes::GetNamedItem(BSTR name, IXMLDataNode** item) {
    RETURN_HR_IF_NULL(E_POINTER, item);
    *item = nullptr;
    if (!map_ || ::SysStringLen(name) == 0) return S_FALSE;
    ComPtr<IXMLDOMNode> attribute;
    RETURN_IF_FAILED(map_->getNamedItem(name, attribute.put()));
    if (!attribute) return S_FALSE;
    return XmlDataNode::Create(attribute.get(), item);
}

}  // namespace xmldata

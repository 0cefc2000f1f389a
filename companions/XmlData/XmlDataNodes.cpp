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

// Hands out item index (from 1) of count through fetch(zero-based index, out).
template <class Fetch>
HRESULT ItemAt(LONG index, LONG count, IXMLDataNode** item, Fetch&& fetch) {
    RETURN_HR_IF_NULL(E_POINTER, item);
    *item = nullptr;
    RETURN_HR_IF(E_INVALIDARG, index < 1 || index > count);
    NumberedNode found;
    ElementPlaces places;
    RETURN_IF_FAILED(fetch(index - 1, found, places));
    RETURN_HR_IF_NULL(E_UNEXPECTED, found.node.get());
    return XmlDataNode::Create(found.node.get(), found.number, places, item);
}

}  // namespace

HRESULT XmlDataNode::Create(IXMLDOMNode* node, LONG number, const ElementPlaces& places,
                            IXMLDataNode** result) noexcept {
    if (node == nullptr) return E_INVALIDARG;
    return MakeObject<XmlDataNode>(result, [&](XmlDataNode& object) {
        object.node_ = ComPtr<IXMLDOMNode>::CopyOf(node);
        object.number_ =
            places && number >= 0 && static_cast<std::size_t>(number) < places->size() ? number : -1;
        object.places_ = places;
    });
}

// Walks the children in document order. The first child element is the
// element after this one; each later one follows the whole of the one before.
HRESULT XmlDataNode::ChildElements(const BSTR* tag, bool firstOnly, NodeVector& out) const {
    const auto* places = places_.get();
    LONG next = number_ >= 0 ? number_ + 1 : -1;
    ComPtr<IXMLDOMNode> child;
    RETURN_IF_FAILED(node_->get_firstChild(child.put()));
    while (child) {
        DOMNodeType type = NODE_INVALID;
        RETURN_IF_FAILED(child->get_nodeType(&type));
        if (type == NODE_ELEMENT) {
            const LONG number = places != nullptr && next >= 0 &&
                                        static_cast<std::size_t>(next) < places->size()
                                    ? next
                                    : -1;
            next = number >= 0 ? number + static_cast<LONG>((*places)[number].extent) : -1;
            bool wanted = true;
            if (tag != nullptr) {
                veska::UniqueBstr name;
                RETURN_IF_FAILED(child->get_nodeName(name.put()));
                wanted = BstrView(name.get()) == BstrView(*tag);
            }
            if (wanted) {
                out.push_back({ComPtr<IXMLDOMNode>::CopyOf(child.get()), number});
                if (firstOnly) break;
            }
        }
        ComPtr<IXMLDOMNode> following;
        RETURN_IF_FAILED(child->get_nextSibling(following.put()));
        child = std::move(following);
    }
    return S_OK;
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
    // The enclosing element is the nearest one before this whose extent covers it.
    LONG number = -1;
    if (places_ && number_ > 0) {
        for (LONG at = number_ - 1; at >= 0; --at) {
            if (at + static_cast<LONG>((*places_)[at].extent) > number_) {
                number = at;
                break;
            }
        }
    }
    return Create(node.get(), number, places_, parent);
}

STDMETHODIMP XmlDataNode::GetChildren(IXMLDataNodeList** children) {
    RETURN_HR_IF_NULL(E_POINTER, children);
    *children = nullptr;
    return ComBoundary([&]() -> HRESULT {
        NodeVector nodes;
        RETURN_IF_FAILED(ChildElements(nullptr, false, nodes));
        return XmlDataNodeList::Create(std::move(nodes), places_, children);
    });
}

STDMETHODIMP XmlDataNode::GetChildCount(ULONG* count) {
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = 0;
    return ComBoundary([&]() -> HRESULT {
        NodeVector nodes;
        RETURN_IF_FAILED(ChildElements(nullptr, false, nodes));
        *count = static_cast<ULONG>(nodes.size());
        return S_OK;
    });
}

STDMETHODIMP XmlDataNode::GetFirstChildByTag(BSTR tag, IXMLDataNode** child) {
    RETURN_HR_IF_NULL(E_POINTER, child);
    *child = nullptr;
    return ComBoundary([&]() -> HRESULT {
        NodeVector nodes;
        RETURN_IF_FAILED(ChildElements(&tag, true, nodes));
        if (nodes.empty()) return S_FALSE;
        return Create(nodes.front().node.get(), nodes.front().number, places_, child);
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
        RETURN_IF_FAILED(ChildElements(&tag, false, nodes));
        return XmlDataNodeList::Create(std::move(nodes), places_, children);
    });
}

STDMETHODIMP XmlDataNode::GetPosition(LONG* line, LONG* column) {
    RETURN_HR_IF(E_POINTER, line == nullptr || column == nullptr);
    *line = 0;
    *column = 0;
    if (number_ < 0) return S_FALSE;
    const ElementPlace& place = (*places_)[number_];
    veska::UniqueBstr name;
    RETURN_IF_FAILED(node_->get_nodeName(name.put()));
    // A reader that saw other elements than the parser did gives no place.
    if (BstrView(name.get()) != place.name || place.line <= 0) return S_FALSE;
    *line = place.line;
    *column = place.column > 0 ? place.column : 0;
    return S_OK;
}

HRESULT XmlDataNodeList::Create(NodeVector&& nodes, const ElementPlaces& places,
                                IXMLDataNodeList** result) noexcept {
    return MakeObject<XmlDataNodeList>(result, [&](XmlDataNodeList& object) {
        object.nodes_ = std::move(nodes);
        object.places_ = places;
    });
}

STDMETHODIMP XmlDataNodeList::GetCount(ULONG* count) {
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = static_cast<ULONG>(nodes_.size());
    return S_OK;
}

STDMETHODIMP XmlDataNodeList::GetItem(LONG index, IXMLDataNode** item) {
    return ItemAt(index, static_cast<LONG>(nodes_.size()), item,
                  [this](LONG at, NumberedNode& found, ElementPlaces& places) {
                      found.node = ComPtr<IXMLDOMNode>::CopyOf(nodes_[at].node.get());
                      found.number = nodes_[at].number;
                      places = places_;
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
    return ItemAt(index, static_cast<LONG>(count), item,
                  [this](LONG at, NumberedNode& found, ElementPlaces&) {
                      return map_->get_item(at, found.node.put());
                  });
}

STDMETHODIMP XmlDataAttributes::GetNamedItem(BSTR name, IXMLDataNode** item) {
    RETURN_HR_IF_NULL(E_POINTER, item);
    *item = nullptr;
    if (!map_ || ::SysStringLen(name) == 0) return S_FALSE;
    ComPtr<IXMLDOMNode> attribute;
    RETURN_IF_FAILED(map_->getNamedItem(name, attribute.put()));
    if (!attribute) return S_FALSE;
    return XmlDataNode::Create(attribute.get(), -1, nullptr, item);
}

}  // namespace xmldata

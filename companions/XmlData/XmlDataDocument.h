// The document object of the XML data component ("Corvane.XMLDataIfsImpl"): it
// reads a settings file, checks it, and parses it with the platform's XML parser
// (MSXML 6 DOM) with document type definitions prohibited, external resources
// never resolved and no validation. A document that parsed is read once more by
// the platform's SAX reader, whose locator tells where each element starts, for
// the positions its nodes give. Lives in the apartment that made it.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>

#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "companions/XmlData/XmlDataNodes.h"
#include "contracts/XmlData.h"

namespace xmldata {

// {2798977C-2AB4-4CB6-B7AD-3616268B57CC}
inline constexpr CLSID CLSID_XMLDataIfsImpl = {
    0x2798977c, 0x2ab4, 0x4cb6, {0xb7, 0xad, 0x36, 0x16, 0x26, 0x8b, 0x57, 0xcc}};

class XmlDataDocument : public veska::ObjectRoot<XmlDataDocument, veska::SingleThreadModel>,
                        public veska::DispatchWithoutTypeInfo<IXMLDataDocument2> {
public:
    using Interfaces = veska::InterfaceMap<veska::Entry<IXMLDataDocument, IXMLDataDocument2>,
                                           veska::Entry<IXMLDataDocument2>,
                                           veska::Entry<IDispatch, IXMLDataDocument2>>;

    // Files larger than the limit are refused before they are read; the limit
    // can be set from 1 byte up to the ceiling.
    static constexpr ULONG kDefaultMaxFileSize = 8u << 20;
    static constexpr ULONG kMaxFileSizeCeiling = 64u << 20;

    STDMETHODIMP LoadXml(BSTR text) override;
    STDMETHODIMP LoadFile(BSTR path) override;
    STDMETHODIMP GetParseError(BSTR* reason) override;
    STDMETHODIMP GetMaxFileSize(ULONG* bytes) override;
    STDMETHODIMP SetMaxFileSize(ULONG bytes) override;
    STDMETHODIMP GetRootElement(IXMLDataNode** root) override;
    STDMETHODIMP GetParseErrorPosition(LONG* line, LONG* column) override;

private:
    // Drops the document and the reason of the last failure.
    void Reset();
    // Drops the document, records why and returns hr.
    HRESULT Refuse(HRESULT hr, const wchar_t* reason);
    // Parses bytes (VT_ARRAY | VT_UI1) or, when text is given, a string.
    HRESULT Parse(const VARIANT* bytes, BSTR text);
    HRESULT ReadAndParse(BSTR path);

    veska::ComPtr<IXMLDOMDocument2> document_;  // null while nothing is loaded
    ElementPlaces places_;  // where its elements are; null where unknown
    std::wstring parseError_;
    LONG errorLine_ = 0;    // where the parser stopped, 0 when unknown
    LONG errorColumn_ = 0;
    ULONG maxFileSize_ = kDefaultMaxFileSize;
};

}  // namespace xmldata

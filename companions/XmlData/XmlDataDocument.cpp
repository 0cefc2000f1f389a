#include "companions/XmlData/XmlDataDocument.h"

#include <string_view>

#include "companions/XmlData/MarkupCheck.h"
#include "companions/XmlData/SaxReading.h"
#include "companions/XmlData/XmlDataNodes.h"
#include "companions/common/InprocServer.h"
#include "support/MsxmlIds.h"
#include "support/Owners.h"
#include "support/Result.h"

namespace xmldata {

using veska::ComBoundary;
using veska::ComPtr;
using veska::UniqueBstr;

namespace {
// The document as the parsers take it, borrowing bytes or text.
VARIANT SourceOf(const VARIANT* bytes, BSTR text) {
    if (bytes != nullptr) return *bytes;
    VARIANT source;
    ::VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = text;
    return source;
}

// For parsers that report an error where their last accepted piece ended (the
// ">" before a start tag that lacks its own, say): moves the place to the
// character that breaks the markup after it.
void PinpointIn(const VARIANT* bytes, BSTR text, LONG& line, LONG& column) {
    if (bytes == nullptr) {
        PinpointParseError(std::wstring_view(text ? text : L"", ::SysStringLen(text)), line, column);
        return;
    }
    veska::SafeArrayDataAccess access;
    if (FAILED(access.Access(bytes->parray))) return;
    PinpointParseError(access.data<BYTE>(), bytes->parray->rgsabound[0].cElements, line, column);
}

HRESULT SetBoolProperty(IXMLDOMDocument2* parser, const wchar_t* name, bool value) {
    UniqueBstr property = veska::CopyBstr(name);
    VARIANT setting;
    ::VariantInit(&setting);
    setting.vt = VT_BOOL;
    setting.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return parser->setProperty(property.get(), setting);
}

// Synchronous loading, no validation, no document type definitions and nothing
// fetched from outside the document.
HRESULT ConfigureParser(IXMLDOMDocument2* parser) {
    RETURN_IF_FAILED(parser->put_async(VARIANT_FALSE));
    RETURN_IF_FAILED(parser->put_validateOnParse(VARIANT_FALSE));
    RETURN_IF_FAILED(parser->put_resolveExternals(VARIANT_FALSE));
    RETURN_IF_FAILED(SetBoolProperty(parser, L"ProhibitDTD", true));
    return SetBoolProperty(parser, L"ResolveExternals", false);
}

HRESULT MakeParser(ComPtr<IXMLDOMDocument2>& parser) {
    return ::CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER,
                              kIidXmlDomDocument2, parser.put_void());
}

// Where and why parser, which failed to load source, stopped: its parse
// error's place, or, where that has none, the SAX reader's place and its
// message, which goes with it.
void PlaceFailure(IXMLDOMDocument2* parser, const VARIANT& source, LONG& line, LONG& column,
                  LONG& code, std::wstring& reason) {
    line = column = code = 0;
    ComPtr<IXMLDOMParseError> error;
    UniqueBstr text;
    if (SUCCEEDED(parser->get_parseError(error.put())) && error) {
        error->get_errorCode(&code);
        error->get_reason(text.put());
        if (FAILED(error->get_line(&line)) || line < 0) line = 0;
        if (FAILED(error->get_linepos(&column)) || column < 0) column = 0;
    }
    reason.assign(text.get() ? text.get() : L"", ::SysStringLen(text.get()));
    if (line != 0) return;
    const SaxFailure located = LocateParseError(source);
    line = located.line;
    column = located.column;
    if (line != 0 && !located.reason.empty()) reason = located.reason;
}

// Whether the parsers place an error where the last piece they accepted ended,
// so that PinpointParseError finds the real place. Asked once per process of a
// document with a known error: an attribute with no white space before it,
// line 2, column 9. A parser that places it right is left alone.
bool ParsersPlaceErrorsLate() {
    static const bool late = [] {
        constexpr wchar_t kProbe[] = L"<r>\n<e a='1'b='2'/></r>";
        constexpr LONG kLine = 2, kColumn = 9;
        ComPtr<IXMLDOMDocument2> parser;
        if (FAILED(MakeParser(parser)) || FAILED(ConfigureParser(parser.get()))) return false;
        UniqueBstr text = veska::CopyBstr(kProbe);
        VARIANT_BOOL loaded = VARIANT_FALSE;
        if (SUCCEEDED(parser->loadXML(text.get(), &loaded)) && loaded == VARIANT_TRUE) return false;
        LONG line = 0, column = 0, code = 0;
        std::wstring reason;
        PlaceFailure(parser.get(), SourceOf(nullptr, text.get()), line, column, code, reason);
        if (line == 0 || (line == kLine && column == kColumn)) return false;
        PinpointParseError(kProbe, line, column);
        return line == kLine && column == kColumn;
    }();
    return late;
}

const wchar_t* ReasonForCheck(HRESULT hr) {
    if (hr == XMLDATA_E_DTD_PROHIBITED) return L"document type definitions are not accepted";
    if (hr == XMLDATA_E_UNSUPPORTED_ENCODING) return L"the document's encoding is not supported";
    return L"the document does not begin with markup";
}

}  // namespace

void XmlDataDocument::Reset() {
    document_.reset();
    places_.reset();
    parseError_.clear();
    errorLine_ = 0;
    errorColumn_ = 0;
}

HRESULT XmlDataDocument::Refuse(HRESULT hr, const wchar_t* reason) {
    document_.reset();
    places_.reset();
    parseError_ = reason;
    return hr;
}

HRESULT XmlDataDocument::Parse(const VARIANT* bytes, BSTR text) {
    ComPtr<IXMLDOMDocument2> parser;
    const HRESULT created = MakeParser(parser);
    if (FAILED(created)) return Refuse(created, L"the XML parser is not available");
    const HRESULT configured = ConfigureParser(parser.get());
    if (FAILED(configured)) return Refuse(configured, L"the XML parser refused its settings");

    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = bytes ? parser->load(*bytes, &loaded) : parser->loadXML(text, &loaded);
    if (FAILED(hr) || loaded != VARIANT_TRUE) {
        LONG code = 0;
        std::wstring why;
        PlaceFailure(parser.get(), SourceOf(bytes, text), errorLine_, errorColumn_, code, why);
        if (errorLine_ != 0 && ParsersPlaceErrorsLate()) {
            PinpointIn(bytes, text, errorLine_, errorColumn_);
        }
        if (why.empty()) why = L"the document is not well-formed";
        return Refuse(FAILED(hr) ? hr : FAILED(code) ? code : XMLDATA_E_PARSE, why.c_str());
    }
    // The check before parsing refuses every definition; this catches one that a
    // parser found where the check did not look.
    ComPtr<IXMLDOMDocumentType> doctype;
    if (FAILED(parser->get_doctype(doctype.put())) || doctype) {
        return Refuse(XMLDATA_E_DTD_PROHIBITED, ReasonForCheck(XMLDATA_E_DTD_PROHIBITED));
    }
    places_ = LocateElements(SourceOf(bytes, text));
    document_ = std::move(parser);
    return S_OK;
}

HRESULT XmlDataDocument::ReadAndParse(BSTR path) {
    veska::UniqueFile file = veska::UniqueFile::Adopt(::CreateFileW(
        path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
        nullptr));
    if (!file) return Refuse(HRESULT_FROM_WIN32(::GetLastError()), L"the file cannot be opened");
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
        return Refuse(E_INVALIDARG, L"the path does not name a file");
    }
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size)) {
        return Refuse(HRESULT_FROM_WIN32(::GetLastError()), L"the file's size cannot be read");
    }
    if (size.QuadPart > maxFileSize_) {
        return Refuse(HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE),
                      L"the file is larger than the size limit");
    }
    const DWORD length = static_cast<DWORD>(size.QuadPart);
    if (length == 0) return Refuse(XMLDATA_E_PARSE, L"the file is empty");

    veska::UniqueSafeArray bytes =
        veska::UniqueSafeArray::Adopt(::SafeArrayCreateVector(VT_UI1, 0, length));
    if (!bytes) return Refuse(E_OUTOFMEMORY, L"no memory for the file");
    {
        veska::SafeArrayDataAccess access;
        RETURN_IF_FAILED(access.Access(bytes.get()));
        BYTE* data = access.data<BYTE>();
        DWORD total = 0;
        while (total < length) {
            DWORD got = 0;
            if (!::ReadFile(file.get(), data + total, length - total, &got, nullptr)) {
                return Refuse(HRESULT_FROM_WIN32(::GetLastError()), L"the file cannot be read");
            }
            if (got == 0) break;
            total += got;
        }
        if (total != length) {
            return Refuse(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), L"the file shrank while it was read");
        }
        const HRESULT check = CheckMarkupBytes(data, length);
        if (FAILED(check)) return Refuse(check, ReasonForCheck(check));
    }
    file.reset();
    VARIANT source;
    ::VariantInit(&source);
    source.vt = VT_ARRAY | VT_UI1;
    source.parray = bytes.get();
    return Parse(&source, nullptr);
}

STDMETHODIMP XmlDataDocument::LoadXml(BSTR text) {
    return ComBoundary([&]() -> HRESULT {
        Reset();
        if (static_cast<ULONGLONG>(::SysStringLen(text)) * sizeof(wchar_t) > maxFileSize_) {
            return Refuse(HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE),
                          L"the document is larger than the size limit");
        }
        const HRESULT check = CheckMarkupText(
            std::wstring_view(text ? text : L"", ::SysStringLen(text)));
        if (FAILED(check)) return Refuse(check, ReasonForCheck(check));
        return Parse(nullptr, text);
    });
}

STDMETHODIMP XmlDataDocument::LoadFile(BSTR path) {
    return ComBoundary([&]() -> HRESULT {
        Reset();
        if (::SysStringLen(path) == 0) return Refuse(E_INVALIDARG, L"no file was named");
        return ReadAndParse(path);
    });
}

STDMETHODIMP XmlDataDocument::GetParseError(BSTR* reason) {
    RETURN_HR_IF_NULL(E_POINTER, reason);
    *reason = nullptr;
    return ComBoundary([&]() -> HRESULT {
        *reason = veska::CopyBstr(parseError_.data(), static_cast<UINT>(parseError_.size()))
                      .detach();
        return S_OK;
    });
}

STDMETHODIMP XmlDataDocument::GetMaxFileSize(ULONG* bytes) {
    RETURN_HR_IF_NULL(E_POINTER, bytes);
    *bytes = maxFileSize_;
    return S_OK;
}

STDMETHODIMP XmlDataDocument::SetMaxFileSize(ULONG bytes) {
    RETURN_HR_IF(E_INVALIDARG, bytes == 0 || bytes > kMaxFileSizeCeiling);
    maxFileSize_ = bytes;
    return S_OK;
}

STDMETHODIMP XmlDataDocument::GetRootElement(IXMLDataNode** root) {
    RETURN_HR_IF_NULL(E_POINTER, root);
    *root = nullptr;
    RETURN_HR_IF(XMLDATA_E_NOT_LOADED, !document_);
    ComPtr<IXMLDOMElement> element;
    RETURN_IF_FAILED(document_->get_documentElement(element.put()));
    if (!element) return S_FALSE;
    return XmlDataNode::Create(element.get(), 0, places_, root);
}

STDMETHODIMP XmlDataDocument::GetParseErrorPosition(LONG* line, LONG* column) {
    RETURN_HR_IF(E_POINTER, line == nullptr || column == nullptr);
    *line = errorLine_;
    *column = errorColumn_;
    return S_OK;
}

}  // namespace xmldata

// XMLDataIfsImpl.dll serves the document under the ProgID "Corvane.XMLDataIfsImpl"
// with the threading model "Apartment".
const companion::ServedClass companion::servedClass{
    xmldata::CLSID_XMLDataIfsImpl, &veska::CreateUnaggregatedInstance<xmldata::XmlDataDocument>,
    L"XML data component", kXmlDataProgId, L"Apartment"};

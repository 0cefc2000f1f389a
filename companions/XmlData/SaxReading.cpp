#include "companions/XmlData/SaxReading.h"

#include <memory>
#include <utility>
#include <vector>

#include "com/ComObject.h"
#include "support/MsxmlIds.h"
#include "support/Owners.h"
#include "support/Result.h"

namespace xmldata {

using veska::ComBoundary;
using veska::ComPtr;

namespace {

// Keeps the position and message of the first fatal error a SAX parse reports.
// Lives on the stack of its user, who releases the reader before it goes.
class FirstFatalError : public veska::ObjectRoot<FirstFatalError, veska::SingleThreadModel>,
                       public ISAXErrorHandler {
public:
    using Interfaces = veska::InterfaceMap<veska::EntryWithIid<ISAXErrorHandler, kIidSaxErrorHandler>>;

    STDMETHODIMP error(ISAXLocator* locator, const wchar_t* message, HRESULT code) override {
        return fatalError(locator, message, code);
    }
    STDMETHODIMP fatalError(ISAXLocator* locator, const wchar_t* message, HRESULT code) override {
        if (line == 0 && locator != nullptr) {
            int at = 0;
            if (SUCCEEDED(locator->getLineNumber(&at)) && at > 0) line = at;
            at = 0;
            if (SUCCEEDED(locator->getColumnNumber(&at)) && at > 0) column = at;
            // Out of memory, the position alone is still worth reporting.
            if (message != nullptr) {
                try {
                    reason = message;
                } catch (...) {
                    reason.clear();
                }
            }
        }
        return code;  // stops the parse
    }
    STDMETHODIMP ignorableWarning(ISAXLocator*, const wchar_t*, HRESULT) override { return S_OK; }

    LONG line = 0;
    LONG column = 0;
    std::wstring reason;
};

// A SAX reader with definitions and outside entities off, as for the document.
ComPtr<ISAXXMLReader> MakeReader() {
    ComPtr<ISAXXMLReader> reader;
    if (FAILED(::CoCreateInstance(kClsidSaxReader60, nullptr, CLSCTX_INPROC_SERVER, kIidSaxXmlReader,
                                  reader.put_void()))) {
        return reader;
    }
    reader->putFeature(L"prohibit-dtd", VARIANT_TRUE);
    reader->putFeature(L"http://xml.org/sax/features/external-general-entities", VARIANT_FALSE);
    reader->putFeature(L"http://xml.org/sax/features/external-parameter-entities", VARIANT_FALSE);
    return reader;
}

}  // namespace

SaxFailure LocateParseError(const VARIANT& source) {
    veska::ScopedObject<FirstFatalError> found;
    ComPtr<ISAXXMLReader> reader = MakeReader();
    if (!reader || FAILED(reader->putErrorHandler(&found))) return {};
    reader->parse(source);
    reader->putErrorHandler(nullptr);
    return {found.line, found.column, std::move(found.reason)};
}

namespace {

// Numbers the elements of a document in the order the SAX reader starts them,
// with where it was at each start and how many elements each one holds. Lives
// on the stack of its user, who releases the reader before it goes.
class ElementRecorder : public veska::ObjectRoot<ElementRecorder, veska::SingleThreadModel>,
                        public ISAXContentHandler {
public:
    using Interfaces = veska::InterfaceMap<veska::EntryWithIid<ISAXContentHandler, kIidSaxContentHandler>>;

    // The locator serves the parse it is handed over for, and only it.
    STDMETHODIMP putDocumentLocator(ISAXLocator* locator) override {
        locator_ = locator;
        return S_OK;
    }
    STDMETHODIMP startDocument() override { return S_OK; }
    STDMETHODIMP endDocument() override { return S_OK; }
    STDMETHODIMP startPrefixMapping(const wchar_t*, int, const wchar_t*, int) override {
        return S_OK;
    }
    STDMETHODIMP endPrefixMapping(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP startElement(const wchar_t*, int, const wchar_t*, int, const wchar_t* qName,
                              int qNameLength, ISAXAttributes*) override {
        return ComBoundary([&]() -> HRESULT {
            ElementPlace place;
            int at = 0;
            if (locator_ != nullptr && SUCCEEDED(locator_->getLineNumber(&at))) place.line = at;
            at = 0;
            if (locator_ != nullptr && SUCCEEDED(locator_->getColumnNumber(&at))) place.column = at;
            if (qName != nullptr && qNameLength > 0) place.name.assign(qName, qNameLength);
            places.push_back(std::move(place));
            open_.push_back(places.size() - 1);
            return S_OK;
        });
    }
    STDMETHODIMP endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int) override {
        if (open_.empty()) return E_UNEXPECTED;
        places[open_.back()].extent = static_cast<ULONG>(places.size() - open_.back());
        open_.pop_back();
        return S_OK;
    }
    STDMETHODIMP characters(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP ignorableWhitespace(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP processingInstruction(const wchar_t*, int, const wchar_t*, int) override {
        return S_OK;
    }
    STDMETHODIMP skippedEntity(const wchar_t*, int) override { return S_OK; }

    // Ends the elements still open where the reader stopped. Elements past that
    // place then number past the places, and have none.
    void CloseOpen() noexcept {
        for (const std::size_t open : open_) {
            places[open].extent = static_cast<ULONG>(places.size() - open);
        }
        open_.clear();
    }

    std::vector<ElementPlace> places;

private:
    ISAXLocator* locator_ = nullptr;
    std::vector<std::size_t> open_;  // the elements started and not yet ended
};

}  // namespace

// A reader may stop before the end of a document the parser accepted (one
// fails at the end of a document without a final line break): the elements it
// met keep their places.
ElementPlaces LocateElements(const VARIANT& source) {
    ComPtr<ISAXXMLReader> reader = MakeReader();
    if (!reader) return nullptr;
    veska::ScopedObject<ElementRecorder> recorder;
    if (FAILED(reader->putContentHandler(&recorder))) return nullptr;
    reader->parse(source);
    reader->putContentHandler(nullptr);
    recorder.CloseOpen();
    if (recorder.places.empty()) return nullptr;
    return std::make_shared<const std::vector<ElementPlace>>(std::move(recorder.places));
}

}  // namespace xmldata

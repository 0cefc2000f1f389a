// What the platform's SAX reader (MSXML 6) tells of a document that the DOM
// parser, which has no locator, reads: where a parse fails, and where each
// element starts. Document type definitions and outside entities stay off, as
// for the document.
#pragma once

#include <windows.h>

#include <string>

#include "companions/XmlData/XmlDataNodes.h"

namespace xmldata {

struct SaxFailure {
    LONG line = 0;  // 0 when the reader is missing or found no error
    LONG column = 0;
    std::wstring reason;
};

// The place and message of the first fatal error the reader meets in source.
SaxFailure LocateParseError(const VARIANT& source);

// The places of the elements of source, in document order; null when the
// reader is missing or met no element.
ElementPlaces LocateElements(const VARIANT& source);

}  // namespace xmldata

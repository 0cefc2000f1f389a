// Checks made on a document before the parser sees it. The parser is never
// handed a document type definition (it could name outside files or expand
// entities without bound), and never an encoding in which such markup could hide
// from this check. Parsers that honour "ProhibitDTD" refuse the same documents;
// this check keeps the rule where a parser ignores that property.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string_view>

namespace xmldata {

// S_OK for the raw bytes of a file that may be parsed; otherwise
// XMLDATA_E_DTD_PROHIBITED, XMLDATA_E_UNSUPPORTED_ENCODING (UTF-32, a NUL
// character, a declared encoding outside UTF-8, UTF-16, US-ASCII, ISO-8859 and
// windows-125x) or XMLDATA_E_PARSE (the first character is not markup).
HRESULT CheckMarkupBytes(const BYTE* data, std::size_t size) noexcept;

// The same rules for a document held as UTF-16 text.
HRESULT CheckMarkupText(std::wstring_view text) noexcept;

// Where a parse error lies, for a parser that reports an error where the last
// piece of the document it accepted ended (the ">" of the tag before):
// line and column (from 1, in characters) come in as that place and go out as
// the first character after it that breaks the markup of the construct that
// follows (a start tag's missing ">" or quote, an end tag that names another
// element), or that construct's "<" where the construct itself is the fault.
// Left as they are when the place lies outside the document.
void PinpointParseError(const BYTE* data, std::size_t size, LONG& line, LONG& column) noexcept;
void PinpointParseError(std::wstring_view text, LONG& line, LONG& column) noexcept;

}  // namespace xmldata

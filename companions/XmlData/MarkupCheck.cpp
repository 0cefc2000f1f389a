#include "companions/XmlData/MarkupCheck.h"

#include <algorithm>

#include "contracts/XmlData.h"
#include "support/Folding.h"

namespace xmldata {

namespace {

using veska::FoldUnit;

// The code units of a document, whatever their width: at(i) gives unit i of count.
template <class At>
struct Units {
    At at;
    std::size_t count;

    bool Matches(std::size_t pos, std::wstring_view word) const {
        if (pos > count || count - pos < word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (FoldUnit(static_cast<wchar_t>(at(pos + i))) != FoldUnit(word[i])) return false;
        }
        return true;
    }
    bool IsSpace(std::size_t pos) const {
        const unsigned unit = at(pos);
        return unit == ' ' || unit == '\t' || unit == '\r' || unit == '\n';
    }
};

// The encoding named by an XML declaration at the very start, empty when none is
// named. Only the declaration's first 512 units are looked at.
template <class At>
std::wstring_view DeclaredEncoding(const Units<At>& units, wchar_t (&buffer)[48]) {
    if (!units.Matches(0, L"<?xml")) return {};
    const std::size_t end = std::min<std::size_t>(units.count, 512);
    for (std::size_t i = 5; i + 1 < end; ++i) {
        if (units.at(i) == '?' && units.at(i + 1) == '>') break;
        if (!units.Matches(i, L"encoding")) continue;
        std::size_t p = i + 8;
        while (p < end && units.IsSpace(p)) ++p;
        if (p >= end || units.at(p) != '=') return {};
        ++p;
        while (p < end && units.IsSpace(p)) ++p;
        if (p >= end || (units.at(p) != '"' && units.at(p) != '\'')) return {};
        const unsigned quote = units.at(p++);
        std::size_t length = 0;
        while (p < end && units.at(p) != quote && length < 47) {
            buffer[length++] = static_cast<wchar_t>(units.at(p++));
        }
        return std::wstring_view(buffer, length);
    }
    return {};
}

bool StartsFolded(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() &&
           veska::CompareFolded(text.substr(0, prefix.size()), prefix) == 0;
}

// Encodings whose markup characters are the plain ASCII (or UTF-16) units this
// check reads.
bool AcceptedEncoding(std::wstring_view name, bool sixteenBit) {
    if (name.empty() || veska::CompareFolded(name, L"utf-8") == 0) return true;
    if (sixteenBit) return StartsFolded(name, L"utf-16");
    return veska::CompareFolded(name, L"us-ascii") == 0 || StartsFolded(name, L"iso-8859-") ||
           StartsFolded(name, L"windows-125");
}

template <class At>
HRESULT CheckUnits(const Units<At>& units, bool sixteenBit) {
    std::size_t first = 0;
    while (first < units.count && units.IsSpace(first)) ++first;
    if (first == units.count || units.at(first) != '<') return XMLDATA_E_PARSE;
    wchar_t buffer[48];
    if (!AcceptedEncoding(DeclaredEncoding(units, buffer), sixteenBit)) {
        return XMLDATA_E_UNSUPPORTED_ENCODING;
    }
    for (std::size_t i = 0; i < units.count; ++i) {
        const unsigned unit = units.at(i);
        // A NUL is no XML character; finding one means wider units (UTF-32).
        if (unit == 0) return XMLDATA_E_UNSUPPORTED_ENCODING;
        if (unit == '<' && i + 1 < units.count && units.at(i + 1) == '!' &&
            units.Matches(i + 2, L"DOCTYPE")) {
            return XMLDATA_E_DTD_PROHIBITED;
        }
    }
    return S_OK;
}

// Lines and columns over units: a column counts characters, so the trailing
// units of a UTF-8 sequence or of a surrogate pair do not count.
template <class At>
struct Places {
    const Units<At>& units;
    bool utf8;

    bool Continues(std::size_t i) const {
        const unsigned unit = units.at(i);
        return utf8 ? (unit & 0xC0) == 0x80 : (unit & 0xFC00) == 0xDC00;
    }
    // The unit at line:column, or count when the document has no such place.
    std::size_t IndexOf(LONG line, LONG column) const {
        LONG atLine = 1, atColumn = 1;
        for (std::size_t i = 0; i < units.count; ++i) {
            if (Continues(i)) continue;
            if (atLine == line && atColumn == column) return i;
            if (units.at(i) == '\n') {
                if (atLine == line) return i;  // a column past the line's end
                ++atLine;
                atColumn = 1;
            } else {
                ++atColumn;
            }
        }
        return units.count;
    }
    void PlaceOf(std::size_t index, LONG& line, LONG& column) const {
        line = 1;
        column = 1;
        for (std::size_t i = 0; i < index && i < units.count; ++i) {
            if (Continues(i)) continue;
            if (units.at(i) == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
    }
};

bool IsNameEnd(unsigned unit) {
    return unit == ' ' || unit == '\t' || unit == '\r' || unit == '\n' || unit == '/' ||
           unit == '>' || unit == '=' || unit == '"' || unit == '\'' || unit == '<';
}

// The first unit from `from` on that breaks the construct following the
// character data there; the construct's "<" when the construct reads well.
template <class At>
std::size_t BreakAfter(const Units<At>& units, std::size_t from) {
    std::size_t i = from;
    while (i < units.count && units.at(i) != '<') ++i;
    if (i >= units.count) return from;
    const std::size_t open = i++;
    const bool endTag = i < units.count && units.at(i) == '/';
    if (endTag) ++i;
    if (i >= units.count || units.at(i) == '!' || units.at(i) == '?') return open;
    if (IsNameEnd(units.at(i))) return i;  // "<" with no name after it
    while (i < units.count && !IsNameEnd(units.at(i))) ++i;
    for (;;) {
        const std::size_t beforeSpace = i;
        while (i < units.count && units.IsSpace(i)) ++i;
        if (i >= units.count) return open;
        const unsigned unit = units.at(i);
        if (unit == '>') return open;
        if (endTag) return i;
        if (unit == '/') return i + 1 < units.count && units.at(i + 1) == '>' ? open : i + 1;
        // An attribute: after white space, a name, "=" and a quoted value.
        if (i == beforeSpace || IsNameEnd(unit)) return i;
        while (i < units.count && !IsNameEnd(units.at(i))) ++i;
        while (i < units.count && units.IsSpace(i)) ++i;
        if (i >= units.count || units.at(i) != '=') return i;
        ++i;
        while (i < units.count && units.IsSpace(i)) ++i;
        if (i >= units.count || (units.at(i) != '"' && units.at(i) != '\'')) return i;
        const unsigned quote = units.at(i++);
        while (i < units.count && units.at(i) != quote) {
            if (units.at(i) == '<') return i;
            ++i;
        }
        if (i >= units.count) return open;
        ++i;
    }
}

template <class At>
void Pinpoint(const Units<At>& units, bool utf8, LONG& line, LONG& column) {
    const Places<At> places{units, utf8};
    const std::size_t from = places.IndexOf(line, column);
    if (from >= units.count) return;
    places.PlaceOf(BreakAfter(units, from), line, column);
}

// How a file's bytes hold its text: where the text starts after a byte-order
// mark, and whether it is UTF-16 (with no mark, when one byte of the first pair
// is zero) and in which byte order.
struct ByteLayout {
    std::size_t start = 0;
    bool sixteenBit = false;
    bool bigEndian = false;
};

ByteLayout LayoutOf(const BYTE* data, std::size_t size) noexcept {
    ByteLayout layout;
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        layout.start = 3;
    } else if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) ||
                             (data[0] == 0xFE && data[1] == 0xFF))) {
        layout = {2, true, data[0] == 0xFE};
    } else if (size >= 2 && (data[0] == 0) != (data[1] == 0)) {
        layout = {0, true, data[0] == 0};
    }
    return layout;
}

}  // namespace

void PinpointParseError(const BYTE* data, std::size_t size, LONG& line, LONG& column) noexcept {
    const ByteLayout layout = LayoutOf(data, size);
    const std::size_t start = layout.start;
    const BYTE* text = data + start;
    if (!layout.sixteenBit) {
        // Single-byte encodings count a character per byte, as UTF-8's lead bytes do.
        wchar_t buffer[48];
        auto at = [text](std::size_t i) -> unsigned { return text[i]; };
        const Units<decltype(at)> units{at, size - start};
        const std::wstring_view declared = DeclaredEncoding(units, buffer);
        Pinpoint(units, declared.empty() || veska::CompareFolded(declared, L"utf-8") == 0, line, column);
        return;
    }
    const int high = layout.bigEndian ? 0 : 1;
    auto at = [text, high](std::size_t i) -> unsigned {
        return (static_cast<unsigned>(text[2 * i + high]) << 8) | text[2 * i + (1 - high)];
    };
    Pinpoint(Units<decltype(at)>{at, (size - start) / 2}, false, line, column);
}

void PinpointParseError(std::wstring_view text, LONG& line, LONG& column) noexcept {
    if (!text.empty() && text.front() == 0xFEFF) text.remove_prefix(1);
    auto at = [text](std::size_t i) -> unsigned { return static_cast<unsigned>(text[i]); };
    Pinpoint(Units<decltype(at)>{at, text.size()}, false, line, column);
}

HRESULT CheckMarkupBytes(const BYTE* data, std::size_t size) noexcept {
    if (size >= 4 && data[0] == 0xFF && data[1] == 0xFE && data[2] == 0 && data[3] == 0) {
        return XMLDATA_E_UNSUPPORTED_ENCODING;  // UTF-32 little-endian mark
    }
    const ByteLayout layout = LayoutOf(data, size);
    const std::size_t start = layout.start;
    const BYTE* text = data + start;
    if (!layout.sixteenBit) {
        auto at = [text](std::size_t i) -> unsigned { return text[i]; };
        return CheckUnits(Units<decltype(at)>{at, size - start}, false);
    }
    const int high = layout.bigEndian ? 0 : 1;
    auto at = [text, high](std::size_t i) -> unsigned {
        return (static_cast<unsigned>(text[2 * i + high]) << 8) | text[2 * i + (1 - high)];
    };
    return CheckUnits(Units<decltype(at)>{at, (size - start) / 2}, true);
}

HRESULT CheckMarkupText(std::wstring_view text) noexcept {
    if (!text.empty() && text.front() == 0xFEFF) text.remove_prefix(1);  // a byte-order mark
    auto at = [text](std::size_t i) -> unsigned { return static_cast<unsigned>(text[i]); };
    return CheckUnits(Units<decltype(at)>{at, text.size()}, true);
}

}  // namespace xmldata

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

}  // namespace

HRESULT CheckMarkupBytes(const BYTE* data, std::size_t size) noexcept {
    if (size >= 4 && data[0] == 0xFF && data[1] == 0xFE && data[2] == 0 && data[3] == 0) {
        return XMLDATA_E_UNSUPPORTED_ENCODING;  // UTF-32 little-endian mark
    }
    std::size_t start = 0;
    bool sixteenBit = false;
    bool bigEndian = false;
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        start = 3;
    } else if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) ||
                             (data[0] == 0xFE && data[1] == 0xFF))) {
        start = 2;
        sixteenBit = true;
        bigEndian = data[0] == 0xFE;
    } else if (size >= 2 && (data[0] == 0) != (data[1] == 0)) {
        // No mark, but one byte of the first pair is zero: UTF-16 text.
        sixteenBit = true;
        bigEndian = data[0] == 0;
    }
    const BYTE* text = data + start;
    if (!sixteenBit) {
        auto at = [text](std::size_t i) -> unsigned { return text[i]; };
        return CheckUnits(Units<decltype(at)>{at, size - start}, false);
    }
    const int high = bigEndian ? 0 : 1;
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

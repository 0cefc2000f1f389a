// Text as the bytes of little-endian UTF-16, the form of REG_SZ data and of
// the UTF-16 files the platform's tools read, whatever the byte order of the
// machine that builds them.
#pragma once

#include <string>
#include <string_view>

namespace veska {

// The byte-order mark that opens a little-endian UTF-16 file.
inline constexpr std::string_view kUtf16LeMark{"\xFF\xFE", 2};

// The code units of text, low byte first; no mark, no terminator.
inline std::string Utf16LeBytes(std::wstring_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (const wchar_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    return bytes;
}

}  // namespace veska

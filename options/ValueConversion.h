// How the options store reads its arguments and converts and compares the
// values it stores.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>

namespace veska {

// The text of a string argument up to its first null, as the registry reads it.
// Scanned in place: reads run in the hosts' inner loops.
inline std::wstring_view TextOf(const wchar_t* text) noexcept {
    if (text == nullptr) return std::wstring_view();
    const wchar_t* end = text;
    while (*end != L'\0') ++end;
    return std::wstring_view(text, static_cast<std::size_t>(end - text));
}

// Converts a value about to be stored: the 2- and 4-byte integers, booleans and
// decimals become VT_I4, everything else VT_BSTR. The tag of the value itself
// decides; a by-reference value becomes a string.
HRESULT ConvertForStore(VARIANT& value) noexcept;

// True when two stored values have the same tag and compare equal; strings are
// compared case-sensitively.
bool SameValue(const VARIANT& a, const VARIANT& b) noexcept;

}  // namespace veska

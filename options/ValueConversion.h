// How the options store reads its arguments and converts and compares the
// values it stores.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>

#include "support/Folding.h"

namespace veska {

// The text of a string argument up to its first null, as the registry reads it.
// Scanned in place: reads run in the hosts' inner loops.
inline std::wstring_view TextOf(const wchar_t* text) noexcept {
    if (text == nullptr) return std::wstring_view();
    return std::wstring_view(text, TextLength(text));
}

// Copies a cached value into a VARIANT that holds nothing. The types that hold no
// resource are copied whole, as the platform's copy copies them, without a call;
// the others go through VariantCopy.
inline HRESULT CopyValueOut(VARIANT* out, const VARIANT& value) noexcept {
    constexpr unsigned kPlainTypes =
        1u << VT_EMPTY | 1u << VT_NULL | 1u << VT_I2 | 1u << VT_I4 | 1u << VT_R4 | 1u << VT_R8 |
        1u << VT_CY | 1u << VT_DATE | 1u << VT_ERROR | 1u << VT_BOOL | 1u << VT_I1 | 1u << VT_UI1 |
        1u << VT_UI2 | 1u << VT_UI4 | 1u << VT_I8 | 1u << VT_UI8 | 1u << VT_INT | 1u << VT_UINT;
    if (value.vt < 32 && ((kPlainTypes >> value.vt) & 1u) != 0) {
        *out = value;
        return S_OK;
    }
    return ::VariantCopy(out, const_cast<VARIANT*>(&value));
}

// Converts a value about to be stored: the 2- and 4-byte integers, booleans and
// decimals become VT_I4, everything else VT_BSTR. The tag of the value itself
// decides; a by-reference value becomes a string.
HRESULT ConvertForStore(VARIANT& value) noexcept;

// True when two stored values have the same tag and compare equal; strings are
// compared case-sensitively.
bool SameValue(const VARIANT& a, const VARIANT& b) noexcept;

}  // namespace veska

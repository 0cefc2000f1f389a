// Folding of the options cache's names: A to Z become a to z and nothing else
// changes, so that names differing only in the case of those letters are one
// name, as in the registry. Folded names are ordered by plain comparison of their
// UTF-16 code units, a prefix sorting before the longer text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veska {

// Folds one UTF-16 code unit: A to Z become a to z, nothing else changes.
constexpr wchar_t FoldUnit(wchar_t c) noexcept {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
}

// The number of code units of text before its first null. With SSE2, eight
// units are tested at a time in aligned blocks of 16 bytes: an aligned block
// never reaches into the next page, so the units read before text and after
// its null are in memory the process may read; they are ignored.
inline std::size_t TextLength(const wchar_t* text) noexcept {
#if defined(__SSE2__)
    const auto address = reinterpret_cast<std::uintptr_t>(text);
    if ((address & 1) == 0) {
        const __m128i zero = _mm_setzero_si128();
        const auto* block = reinterpret_cast<const __m128i*>(address & ~std::uintptr_t(15));
        unsigned nulls = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(block), zero)));
        nulls &= ~0u << (address & 15);
        while (nulls == 0) {
            ++block;
            nulls = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(block), zero)));
        }
        const auto at = reinterpret_cast<std::uintptr_t>(block) + unsigned(__builtin_ctz(nulls));
        return (at - address) / sizeof(wchar_t);
    }
#endif
    const wchar_t* end = text;
    while (*end != L'\0') ++end;
    return static_cast<std::size_t>(end - text);
}

#if defined(__SSE2__)
// Folds eight units at once: a unit is in A to Z when, moved by 0x8000 - 'A', it
// is below -0x8000 + 26 as a signed 16-bit number.
inline __m128i FoldBlock(__m128i units) noexcept {
    const __m128i shift = _mm_set1_epi16(static_cast<short>(0x8000 - L'A'));
    const __m128i limit = _mm_set1_epi16(static_cast<short>(-0x8000 + 26));
    const __m128i upper = _mm_cmplt_epi16(_mm_add_epi16(units, shift), limit);
    return _mm_add_epi16(units, _mm_and_si128(upper, _mm_set1_epi16(32)));
}
#endif

// The index of the lowest set bit of a nonzero word. The 32-bit build tests the
// halves itself: its compiler would call a library routine for the whole word.
inline unsigned LowestSetBit(std::uint64_t bits) noexcept {
#if defined(__x86_64__)
    return unsigned(__builtin_ctzll(bits));
#else
    const auto low = static_cast<std::uint32_t>(bits);
    return low != 0 ? unsigned(__builtin_ctz(low)) : 32 + unsigned(__builtin_ctz(std::uint32_t(bits >> 32)));
#endif
}

// Names and paths up to this many code units are folded whole into a buffer on
// the stack for a look-up; longer ones are folded as they are compared. A path
// that fits has the places of its backslashes kept as the bits of one word.
inline constexpr std::size_t kStackFoldUnits = 64;

// Writes the folded form of text[0, length) to out, eight units at a time
// where the processor has SSE2. When backslashes is given (length at most
// kStackFoldUnits), *backslashes gets a word whose bit i is set where unit i is
// a backslash. Built into its callers, where a null backslashes drops the
// marking.
__attribute__((always_inline)) inline void FoldUnits(const wchar_t* text, std::size_t length,
                                                     wchar_t* out,
                                                     std::uint64_t* backslashes = nullptr) noexcept {
    std::uint64_t marks = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i backslash = _mm_set1_epi16(L'\\');
    for (; i + 8 <= length; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), FoldBlock(units));
        if (backslashes != nullptr) {
            const __m128i found =
                _mm_packs_epi16(_mm_cmpeq_epi16(units, backslash), _mm_setzero_si128());
            marks |= std::uint64_t(unsigned(_mm_movemask_epi8(found))) << i;
        }
    }
#endif
    for (; i < length; ++i) {
        out[i] = FoldUnit(text[i]);
        if (backslashes != nullptr && text[i] == L'\\') marks |= std::uint64_t(1) << i;
    }
    if (backslashes != nullptr) *backslashes = marks;
}

// Compares the folded forms of two texts by unsigned UTF-16 code units.
int CompareFolded(std::wstring_view a, std::wstring_view b) noexcept;

// An unfolded name used for look-ups: the look-up folds it on the stack, or
// while comparing when it is long, and allocates nothing.
struct UnfoldedName {
    std::wstring_view text;
};

// A name folded already, used for look-ups: compared by plain code units. Views
// text owned by the caller.
struct FoldedView {
    std::wstring_view text;
};

}  // namespace veska

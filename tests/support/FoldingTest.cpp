#include "support/Folding.h"

#include "support/FoldedMap.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace veska {
namespace {

TEST(Folding, FoldsOnlyAsciiCapitals) {
    struct Case {
        const wchar_t* input;
        const wchar_t* folded;
    } cases[] = {
        {L"Options", L"options"},
        {L"OPTIONS", L"options"},
        {L"(Default)", L"(default)"},
        {L"A_Z@[`{", L"a_z@[`{"},           // neighbours of A and Z stay
        {L"\u00C4\u00D6\u00DC", L"\u00C4\u00D6\u00DC"},  // accented capitals stay
        {L"", L""},
    };
    for (const Case& c : cases) {
        const std::wstring input(c.input);
        std::wstring folded(input.size(), L'?');
        FoldUnits(input.data(), input.size(), folded.data());
        EXPECT_EQ(folded, c.folded);
    }
}

// The batched fold against the one-unit fold, for every code unit, starting at
// every offset of an eight-unit block and ending anywhere in one.
TEST(Folding, FoldUnitsFoldsEveryUnitAsFoldUnit) {
    std::vector<wchar_t> all(0x10000 + 16);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<wchar_t>(i);
    std::vector<wchar_t> out(all.size());
    for (std::size_t start = 0; start < 8; ++start) {
        const std::size_t length = all.size() - start - (start * 3) % 8;
        FoldUnits(all.data() + start, length, out.data());
        for (std::size_t i = 0; i < length; ++i) {
            ASSERT_EQ(out[i], FoldUnit(all[start + i])) << "unit " << start + i;
        }
    }
}

// TextLength reads whole aligned blocks: the text may start at any offset of a
// block (or at an odd address) and end anywhere, also next to a page's end.
TEST(Folding, TextLengthStopsAtTheFirstNullWhereverTheTextLies) {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const std::size_t page = system.dwPageSize;
    // Two pages, the second without access: texts end right before it.
    auto* base = static_cast<unsigned char*>(
        ::VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    DWORD old = 0;
    ASSERT_TRUE(::VirtualProtect(base + page, page, PAGE_NOACCESS, &old));
    for (std::size_t length = 0; length < 40; ++length) {
        for (std::size_t tail = 1; tail <= 17; ++tail) {
            // The null ends tail - 1 bytes before the guarded page (even tails
            // give odd addresses).
            unsigned char* end = base + page - tail;
            auto* text = reinterpret_cast<wchar_t*>(end - 2 * (length + 1));
            for (std::size_t i = 0; i < length; ++i) {
                const wchar_t unit = static_cast<wchar_t>(L'a' + i % 26);
                std::memcpy(reinterpret_cast<unsigned char*>(text) + 2 * i, &unit, 2);
            }
            std::memset(reinterpret_cast<unsigned char*>(text) + 2 * length, 0, 2);
            ASSERT_EQ(TextLength(text), length) << "length " << length << ", tail " << tail;
        }
    }
    ::VirtualFree(base, 0, MEM_RELEASE);
}

TEST(Folding, OrdersByFoldedCodeUnits) {
    // Each name sorts strictly before the next one.
    const wchar_t* ordered[] = {L"", L"0", L"9", L"_x", L"Alpha", L"alphabet", L"Default",
                                L"OPTIONS", L"zeta", L"\u00E4"};
    for (size_t i = 0; i + 1 < std::size(ordered); ++i) {
        EXPECT_LT(CompareFolded(ordered[i], ordered[i + 1]), 0) << i;
        EXPECT_GT(CompareFolded(ordered[i + 1], ordered[i]), 0) << i;
    }
}

TEST(Folding, CompareFoldedComparesTheWholeText) {
    EXPECT_EQ(CompareFolded(L"FontSize", L"fontsize"), 0);
    EXPECT_EQ(CompareFolded(L"FontSize", L"FONTSIZE"), 0);
    EXPECT_NE(CompareFolded(L"FontSize", L"fontsiz"), 0);
    EXPECT_NE(CompareFolded(L"FontSize", L"fontsizes"), 0);
    EXPECT_NE(CompareFolded(L"\u00E4", L"\u00C4"), 0);
}

TEST(Folding, MapFilesCaseVariantsAsOneNameInFoldedOrder) {
    FoldedMap<int> map;
    map.emplace(UnfoldedName{L"Zeta"}, 1);
    map.emplace(UnfoldedName{L"alpha"}, 2);
    map.emplace(UnfoldedName{L"_x"}, 3);
    EXPECT_FALSE(map.emplace(UnfoldedName{L"ALPHA"}, 4).second) << "case variants are one name";

    std::wstring order;
    for (const auto& entry : map) order += std::wstring(map.NameOf(entry)) + L",";
    EXPECT_EQ(order, L"_x,alpha,zeta,");

    auto found = map.find(UnfoldedName{L"ZETA"});
    ASSERT_NE(found, map.end());
    EXPECT_EQ(found->second, 1);
    EXPECT_EQ(map.find(UnfoldedName{L"zet"}), map.end());
    EXPECT_EQ(map.find(UnfoldedName{L"zetas"}), map.end());
}

TEST(Folding, CompareFoldedIsUnsigned) {
    // U+FFFF must sort after every ASCII unit, which a signed comparison breaks.
    EXPECT_LT(CompareFolded(L"a", L"\uFFFF"), 0);
    EXPECT_GT(CompareFolded(L"\uFFFF", L"Z"), 0);
    EXPECT_EQ(CompareFolded(L"ABC", L"abc"), 0);
    EXPECT_LT(CompareFolded(L"ab", L"ABC"), 0);
}

}  // namespace
}  // namespace veska

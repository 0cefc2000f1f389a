#include "support/FoldedMap.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace veska {
namespace {

std::wstring Folded(std::wstring text) {
    for (wchar_t& c : text) c = FoldUnit(c);
    return text;
}

// Random filings, removals, loads and clears against a std::map of folded names.
// After every step both hold the same names in the same order with the same
// values, so the pool's bookkeeping (room taken back, unused room dropped on
// growth, names moved by sorting and shrinking) shows up as a wrong name.
TEST(FoldedMap, HoldsWhatAStdMapHoldsThroughRandomChanges) {
    std::mt19937 random(20261209);
    const auto pick = [&](unsigned n) { return unsigned(random() % n); };
    // Few letters, so names repeat; now and then one too long to fold on the stack.
    const auto name = [&] {
        std::wstring text(pick(10) == 0 ? 70 + pick(10) : pick(6), L'a');
        for (wchar_t& c : text) c = L"aAbB\\x"[pick(6)];
        return text;
    };
    FoldedMap<int> map;
    std::map<std::wstring, int> model;
    for (int step = 0; step < 6000; ++step) {
        const std::wstring text = name();
        const std::wstring folded = Folded(text);
        switch (pick(8)) {
            case 0:
            case 1:
            case 2: {
                const bool filed = map.emplace(UnfoldedName{text}, step).second;
                ASSERT_EQ(filed, model.emplace(folded, step).second) << "step " << step;
                break;
            }
            case 3: {
                const auto found = map.find(UnfoldedName{text});
                ASSERT_EQ(found != map.end(), model.erase(folded) == 1) << "step " << step;
                if (found != map.end()) map.erase(found);
                break;
            }
            case 4: {
                // A load of a few names, repeats among them; the last one stays.
                const std::size_t from = map.size();
                std::map<std::wstring, int> loaded;
                for (unsigned n = pick(6); n > 0; --n) {
                    const std::wstring more = name();
                    map.AppendUnsorted(UnfoldedName{more}, step * 10 + int(n));
                    loaded[Folded(more)] = step * 10 + int(n);
                }
                if (pick(3) == 0) {
                    map.DropAppended(from);
                } else {
                    map.SortAppended(from);
                    for (const auto& [key, value] : loaded) model[key] = value;
                }
                break;
            }
            case 5: map.shrink_to_fit(); break;
            case 6:
                if (pick(40) == 0) {
                    map.clear();
                    model.clear();
                }
                break;
            default: {
                const auto found = map.find(UnfoldedName{text});
                const auto expected = model.find(folded);
                ASSERT_EQ(found != map.end(), expected != model.end()) << "step " << step;
                if (found != map.end()) {
                    EXPECT_EQ(found->second, expected->second);
                }
            }
        }
        ASSERT_EQ(map.size(), model.size()) << "step " << step;
        auto expected = model.begin();
        for (const auto& entry : map) {
            ASSERT_EQ(map.NameOf(entry), expected->first) << "step " << step;
            ASSERT_EQ(map.NameOf(entry).data()[entry.pooledName.length], L'\0');
            ASSERT_EQ(entry.second, expected->second) << "step " << step;
            ++expected;
        }
    }
}

}  // namespace
}  // namespace veska

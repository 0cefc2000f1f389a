// A map filed under folded names, kept as one vector of entries sorted by plain
// comparison of the folded code units: the order of FoldedLess, so listing it
// gives the same order as a std::map with that ordering. Look-ups are binary
// searches that allocate nothing; a filing moves the entries after it.
//
// Mapped must move without throwing, so a filing that runs out of memory leaves
// the map unchanged. A null name sorts as the empty name. Iterators and
// references are invalidated by any filing or removal. Not thread-safe: its
// owner's lock guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/FoldedString.h"

namespace veska {

// Compares two folded texts by unsigned UTF-16 code units, a prefix first.
inline int CompareFoldedViews(std::wstring_view a, std::wstring_view b) noexcept {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

template <class Mapped>
class FoldedMap {
    static_assert(std::is_nothrow_move_constructible_v<Mapped> &&
                  std::is_nothrow_move_assignable_v<Mapped>);

public:
    using value_type = std::pair<FoldedString, Mapped>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    // Names up to this many code units are folded into a buffer on the stack
    // once per look-up; longer ones are folded on the fly by every comparison.
    static constexpr std::size_t kStackFoldCapacity = 64;

    iterator begin() noexcept { return entries_.begin(); }
    iterator end() noexcept { return entries_.end(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    void clear() noexcept { entries_.clear(); }

    // Gives back the spare capacity. Throws std::bad_alloc, leaving the map
    // unchanged.
    void shrink_to_fit() {
        if (entries_.capacity() == entries_.size()) return;
        std::vector<value_type> exact;
        exact.reserve(entries_.size());
        for (value_type& entry : entries_) exact.push_back(std::move(entry));
        entries_.swap(exact);
    }

    iterator find(FoldedView name) noexcept {
        const iterator found = LowerBound(name.text);
        return found != end() && CompareFoldedViews(found->first.view(), name.text) == 0 ? found
                                                                                          : end();
    }
    iterator find(const FoldedString& name) noexcept { return find(FoldedView{name.view()}); }
    iterator find(UnfoldedName name) noexcept {
        if (name.text.size() <= kStackFoldCapacity) {
            wchar_t folded[kStackFoldCapacity];
            FoldUnits(name.text.data(), name.text.size(), folded);
            return find(FoldedView{std::wstring_view(folded, name.text.size())});
        }
        const iterator found =
            std::lower_bound(begin(), end(), name, [](const value_type& entry, UnfoldedName n) {
                return CompareFolded(entry.first.view(), n.text) < 0;
            });
        return found != end() && CompareFolded(found->first.view(), name.text) == 0 ? found : end();
    }
    const_iterator find(FoldedView name) const noexcept { return Mutable().find(name); }
    const_iterator find(const FoldedString& name) const noexcept { return Mutable().find(name); }
    const_iterator find(UnfoldedName name) const noexcept { return Mutable().find(name); }

    // Files value under name unless that name is filed already; the bool says
    // whether it was filed. Throws std::bad_alloc, leaving the map unchanged.
    std::pair<iterator, bool> emplace(FoldedString name, Mapped value) {
        const iterator at = LowerBound(name.view());
        if (at != end() && CompareFoldedViews(at->first.view(), name.view()) == 0) return {at, false};
        return {entries_.insert(at, value_type(std::move(name), std::move(value))), true};
    }

    iterator erase(iterator where) noexcept { return entries_.erase(where); }

    // For a loader filing many names at once: AppendUnsorted adds entries in any
    // order, and SortAppended(from) files those from index from on among the ones
    // filed before, leaving no spare capacity. Where names repeat, the entry
    // appended last stays. Both throw std::bad_alloc, SortAppended leaving the
    // map as it was; DropAppended(from) removes the entries from index from on,
    // as a failed load does. Between AppendUnsorted and SortAppended, only
    // destruction, clear and those three are allowed.
    void AppendUnsorted(FoldedString name, Mapped value) {
        entries_.emplace_back(std::move(name), std::move(value));
    }
    void SortAppended(std::size_t from) {
        if (from == entries_.size()) return;
        // Sorted through their indices, which break ties, so that repeated names
        // stand together in the order they were filed.
        std::vector<std::uint32_t> order(entries_.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
        std::sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) {
            const int c = CompareFoldedViews(entries_[a].first.view(), entries_[b].first.view());
            return c != 0 ? c < 0 : a < b;
        });
        const auto lastOfName = [&](std::size_t i) {
            return i + 1 == order.size() || !SameName(order[i], order[i + 1]);
        };
        std::size_t kept = 0;
        for (std::size_t i = 0; i < order.size(); ++i) kept += lastOfName(i) ? 1 : 0;
        std::vector<value_type> sorted;
        sorted.reserve(kept);
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (lastOfName(i)) sorted.push_back(std::move(entries_[order[i]]));
        }
        entries_.swap(sorted);
    }
    void DropAppended(std::size_t from) noexcept {
        entries_.erase(begin() + static_cast<std::ptrdiff_t>(from), end());
    }

    // Reverses the order of the entries, for a walk that takes them one by one
    // from the back until none is left; finding and filing are not allowed after.
    void Reverse() noexcept { std::reverse(entries_.begin(), entries_.end()); }

private:
    bool SameName(std::size_t a, std::size_t b) const noexcept {
        return CompareFoldedViews(entries_[a].first.view(), entries_[b].first.view()) == 0;
    }
    FoldedMap& Mutable() const noexcept { return const_cast<FoldedMap&>(*this); }

    iterator LowerBound(std::wstring_view name) noexcept {
        std::size_t first = 0;
        std::size_t count = entries_.size();
        while (count > 0) {
            const std::size_t half = count / 2;
            if (CompareFoldedViews(entries_[first + half].first.view(), name) < 0) {
                first += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        return begin() + static_cast<std::ptrdiff_t>(first);
    }

    std::vector<value_type> entries_;
};

}  // namespace veska

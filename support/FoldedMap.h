// A map filed under folded names, kept as one vector of entries sorted by plain
// comparison of the folded code units: the order of FoldedLess, so listing it
// gives the same order as a std::map with that ordering. Look-ups are binary
// searches that allocate nothing; a filing moves the entries after it.
//
// The names live in one block per map, the pool, each folded and
// null-terminated; an entry holds its name's place in the pool and its mapped
// value, so a name costs its text and no heap block of its own. A removal leaves
// its name in the pool as unused room, which the next growth of the pool drops.
//
// Mapped must move without throwing, so a filing that runs out of memory leaves
// the map unchanged. Iterators, references and names (NameOf) are invalidated
// by any filing, removal or shrink. Not thread-safe: its owner's lock guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/Folding.h"

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

// Where an entry's name lies in its map's pool, in code units.
struct PooledName {
    std::uint32_t offset;
    std::uint32_t length;
};

template <class Mapped>
class FoldedMap {
    static_assert(std::is_nothrow_move_constructible_v<Mapped> &&
                  std::is_nothrow_move_assignable_v<Mapped>);

public:
    struct Entry {
        // Where the folded name lies in the map's pool: not the name itself,
        // which NameOf gives.
        PooledName pooledName;
        Mapped second;
    };
    using iterator = typename std::vector<Entry>::iterator;
    using const_iterator = typename std::vector<Entry>::const_iterator;

    iterator begin() noexcept { return entries_.begin(); }
    iterator end() noexcept { return entries_.end(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    // The folded name of an entry of this map; null-terminated.
    std::wstring_view NameOf(const Entry& entry) const noexcept { return NameAt(entry.pooledName); }

    void clear() noexcept {
        entries_.clear();
        pool_.reset();
    }

    // Gives back the spare room of the entries and of the pool. Throws
    // std::bad_alloc, leaving the map unchanged.
    void shrink_to_fit() {
        if (entries_.capacity() != entries_.size()) {
            std::vector<Entry> exact;
            exact.reserve(entries_.size());
            for (Entry& entry : entries_) exact.push_back(std::move(entry));
            entries_.swap(exact);
        }
        if (entries_.empty()) {
            pool_.reset();
        } else if (pool_->capacity != pool_->used - pool_->unused) {
            Repool(0);
        }
    }

    iterator find(FoldedView name) noexcept {
        const iterator found = LowerBound(name.text);
        return found != end() && CompareFoldedViews(NameOf(*found), name.text) == 0 ? found : end();
    }
    // Built into its callers for names that fit the fold buffer: reads look
    // names up this way.
    __attribute__((always_inline)) iterator find(UnfoldedName name) noexcept {
        if (__builtin_expect(name.text.size() > kStackFoldUnits, 0)) return FindLong(name);
        wchar_t folded[kStackFoldUnits];
        FoldUnits(name.text.data(), name.text.size(), folded);
        return find(FoldedView{std::wstring_view(folded, name.text.size())});
    }
    const_iterator find(FoldedView name) const noexcept { return Mutable().find(name); }
    const_iterator find(UnfoldedName name) const noexcept { return Mutable().find(name); }

    // Files value under the folded form of name unless that name is filed
    // already; the bool says whether it was filed. Throws std::bad_alloc,
    // leaving the map unchanged.
    std::pair<iterator, bool> emplace(UnfoldedName name, Mapped value) {
        if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.size() * 2 + 1);
        // The name is folded into the pool first and taken back when it is filed
        // already. Nothing after AddName throws: the room is there.
        const PooledName pooled = AddName(name.text);
        const std::wstring_view folded = NameAt(pooled);
        const iterator at = LowerBound(folded);
        if (at != end() && CompareFoldedViews(NameOf(*at), folded) == 0) {
            pool_->used = pooled.offset;
            return {at, false};
        }
        return {entries_.insert(at, Entry{pooled, std::move(value)}), true};
    }

    iterator erase(iterator where) noexcept {
        pool_->unused += where->pooledName.length + 1;
        const iterator next = entries_.erase(where);
        if (entries_.empty()) pool_.reset();
        return next;
    }

    // For a loader filing many names at once: AppendUnsorted adds entries in any
    // order, and SortAppended(from) files those from index from on among the ones
    // filed before, leaving no spare room. Where names repeat, the entry
    // appended last stays. Both throw std::bad_alloc, SortAppended leaving the
    // map as it was; DropAppended(from) removes the entries from index from on,
    // as a failed load does. Between AppendUnsorted and SortAppended, only
    // destruction, clear and those three are allowed.
    void AppendUnsorted(UnfoldedName name, Mapped value) {
        if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.size() * 2 + 1);
        const PooledName pooled = AddName(name.text);
        entries_.push_back(Entry{pooled, std::move(value)});
    }
    void SortAppended(std::size_t from) {
        if (from == entries_.size()) return;
        // Sorted through their indices, which break ties, so that repeated names
        // stand together in the order they were filed.
        std::vector<std::uint32_t> order(entries_.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
        std::sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) {
            const int c = CompareFoldedViews(NameOf(entries_[a]), NameOf(entries_[b]));
            return c != 0 ? c < 0 : a < b;
        });
        const auto lastOfName = [&](std::size_t i) {
            return i + 1 == order.size() || !SameName(order[i], order[i + 1]);
        };
        std::size_t kept = 0;
        std::size_t keptUnits = 0;
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (lastOfName(i)) {
                ++kept;
                keptUnits += entries_[order[i]].pooledName.length + 1;
            }
        }
        std::vector<Entry> sorted;
        sorted.reserve(kept);
        PoolPtr pool = NewPool(keptUnits);
        // Nothing below throws: the entries move to the new vector, their names to
        // the new pool, in sorted order.
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (!lastOfName(i)) continue;
            Entry& entry = entries_[order[i]];
            entry.pooledName = CopyName(*pool, NameOf(entry));
            sorted.push_back(std::move(entry));
        }
        entries_.swap(sorted);
        pool_ = std::move(pool);
    }
    void DropAppended(std::size_t from) noexcept {
        // The names of appended entries lie at the end of the pool, in order.
        if (from < entries_.size()) pool_->used = entries_[from].pooledName.offset;
        entries_.erase(begin() + static_cast<std::ptrdiff_t>(from), end());
    }

    // Reverses the order of the entries, for a walk that takes them one by one
    // from the back until none is left; finding and filing are not allowed after.
    void Reverse() noexcept { std::reverse(entries_.begin(), entries_.end()); }

private:
    // The pool: room for capacity code units, of which the first used are
    // taken, unused of those by names no entry refers to any more.
    struct Pool {
        std::uint32_t capacity;
        std::uint32_t used;
        std::uint32_t unused;
        wchar_t text[1];
    };
    struct PoolDelete {
        void operator()(Pool* pool) const noexcept { ::operator delete(pool); }
    };
    using PoolPtr = std::unique_ptr<Pool, PoolDelete>;

    static PoolPtr NewPool(std::size_t capacity) {
        if (capacity > UINT32_MAX) throw std::bad_alloc();
        PoolPtr pool(static_cast<Pool*>(
            ::operator new(offsetof(Pool, text) + (capacity ? capacity : 1) * sizeof(wchar_t))));
        pool->capacity = static_cast<std::uint32_t>(capacity);
        pool->used = pool->unused = 0;
        return pool;
    }

    // Copies a folded name, with its null, to the end of pool, which has room.
    static PooledName CopyName(Pool& pool, std::wstring_view folded) noexcept {
        const PooledName name{pool.used, static_cast<std::uint32_t>(folded.size())};
        std::copy(folded.begin(), folded.end(), pool.text + pool.used);
        pool.text[pool.used + folded.size()] = L'\0';
        pool.used += name.length + 1;
        return name;
    }

    // Moves the names in use to a new pool of room for their units and extra
    // more, in the order of the entries. Throws std::bad_alloc, leaving the map
    // unchanged.
    void Repool(std::size_t extra) {
        PoolPtr pool = NewPool(std::size_t(pool_->used - pool_->unused) + extra);
        for (Entry& entry : entries_) entry.pooledName = CopyName(*pool, NameOf(entry));
        pool_ = std::move(pool);
    }

    // Folds text into the pool, growing it when full. Throws std::bad_alloc,
    // leaving the map unchanged.
    PooledName AddName(std::wstring_view text) {
        const std::size_t units = text.size() + 1;
        if (pool_ == nullptr) {
            pool_ = NewPool(units);
        } else if (pool_->capacity - pool_->used < units) {
            const std::size_t live = pool_->used - pool_->unused;
            Repool(std::max(live, units) + units);
        }
        Pool& pool = *pool_;
        const PooledName name{pool.used, static_cast<std::uint32_t>(text.size())};
        FoldUnits(text.data(), text.size(), pool.text + pool.used);
        pool.text[pool.used + text.size()] = L'\0';
        pool.used += static_cast<std::uint32_t>(units);
        return name;
    }

    std::wstring_view NameAt(PooledName name) const noexcept {
        return std::wstring_view(pool_->text + name.offset, name.length);
    }
    bool SameName(std::size_t a, std::size_t b) const noexcept {
        return CompareFoldedViews(NameOf(entries_[a]), NameOf(entries_[b])) == 0;
    }
    FoldedMap& Mutable() const noexcept { return const_cast<FoldedMap&>(*this); }

    // find for a name longer than the fold buffer, folded as it is compared.
    __attribute__((noinline)) iterator FindLong(UnfoldedName name) noexcept {
        const iterator found =
            std::lower_bound(begin(), end(), name, [this](const Entry& entry, UnfoldedName n) {
                return CompareFolded(NameOf(entry), n.text) < 0;
            });
        return found != end() && CompareFolded(NameOf(*found), name.text) == 0 ? found : end();
    }

    iterator LowerBound(std::wstring_view name) noexcept {
        std::size_t first = 0;
        std::size_t count = entries_.size();
        while (count > 0) {
            const std::size_t half = count / 2;
            if (CompareFoldedViews(NameOf(entries_[first + half]), name) < 0) {
                first += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        return begin() + static_cast<std::ptrdiff_t>(first);
    }

    std::vector<Entry> entries_;
    PoolPtr pool_;
};

}  // namespace veska

// The walk of the options cache: a path after the Root prefix is split at its
// backslashes and looked up segment by segment from the Init key's node. Runs on
// every read, so it lives in this header and is built into the members that use
// it; it takes no lock, its callers hold the options cache lock.
#pragma once

#include <algorithm>
#include <cstdint>

#include "trace/TimeTrace.h"
#include "options/RegistryTree.h"
#include "options/ValueConversion.h"
#include "options/VeskaOpt.h"
#include "support/Folding.h"

namespace veska {

// Looks up every segment of a path longer than the fold buffer, folding each as
// it is compared. Out of line: paths that long are rare.
__attribute__((noinline)) inline OpsInfo* DescendUnfolded(OpsInfo* node, const wchar_t* p,
                                                         const wchar_t* end) noexcept {
    for (;;) {
        const wchar_t* const segmentEnd = std::find(p, end, L'\\');
        const auto found =
            node->keys.find(UnfoldedName{std::wstring_view(p, static_cast<std::size_t>(segmentEnd - p))});
        if (found == node->keys.end() || found->second == nullptr) return nullptr;
        node = found->second.get();
        if (segmentEnd == end) return node;
        p = segmentEnd + 1;
    }
}

// Looks up every backslash-separated segment of [p, end) in turn, from node
// down; null as soon as one is not filed. A path that fits the fold buffer is
// folded whole first and its segments compared as they are; a longer one is
// folded segment by segment. Built into the read: a call here costs a good part
// of what the read costs above the bare look-ups.
__attribute__((always_inline)) inline OpsInfo* Descend(OpsInfo* node, const wchar_t* p,
                                                       const wchar_t* end) noexcept {
    const std::size_t length = static_cast<std::size_t>(end - p);
    if (__builtin_expect(length > kStackFoldUnits, 0)) return DescendUnfolded(node, p, end);
    wchar_t folded[kStackFoldUnits];
    std::uint64_t backslashes = 0;
    FoldUnits(p, length, folded, &backslashes);
    for (std::size_t start = 0;;) {
        const std::size_t stop = backslashes != 0 ? std::size_t(LowestSetBit(backslashes)) : length;
        const auto found = node->keys.find(FoldedView{std::wstring_view(folded + start, stop - start)});
        if (found == node->keys.end() || found->second == nullptr) return nullptr;
        node = found->second.get();
        if (backslashes == 0) return node;
        backslashes &= backslashes - 1;
        start = stop + 1;
    }
}

// The value filed under name, read up to its first null; the empty name finds
// the key's unnamed value.
inline OpsInfo::ValueMap::const_iterator FindValue(const OpsInfo& node, const wchar_t* name) noexcept {
    return node.values.find(UnfoldedName{CacheValueName(TextOf(name))});
}

// SetCorrectRoot and GetOpsInfo run on every read: they are built into their
// callers, keeping their trace scopes.
__attribute__((always_inline)) inline CVeskaOptions::CorrectedPath CVeskaOptions::SetCorrectRoot(
    const wchar_t* path) const noexcept {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::SetCorrectRoot");
    // put_Root keeps the prefix free of nulls and ending in a backslash, so the
    // segments of the joined path are those of the prefix followed by the path's.
    // Without a prefix the length is not asked of the system.
    const BSTR prefix = m_bstrRoot.get();
    return CorrectedPath{prefix != nullptr ? std::wstring_view(prefix, ::SysStringLen(prefix))
                                           : std::wstring_view(),
                         TextOf(path)};
}

__attribute__((always_inline)) inline OpsInfo* CVeskaOptions::GetOpsInfo(
    const CorrectedPath& path) const noexcept {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetOpsInfo");
    OpsInfo* node = m_pRoot.get();
    if (node == nullptr || path.empty()) return node;
    if (!path.head.empty()) {
        node = Descend(node, path.head.data(), path.head.data() + path.head.size() - 1);
        if (node == nullptr) return nullptr;
    }
    return Descend(node, path.tail.data(), path.tail.data() + path.tail.size());
}

}  // namespace veska

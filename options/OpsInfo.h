// The options cache: one OpsInfo node per registry key, with its child keys and
// its values, both filed under folded names in sorted vectors (FoldedMap).
//
// A node owns its children and its values. Its destructor releases the subtree
// below it without recursion (ReleaseChildren), so trees of any depth are
// released without deep stacks. Every access runs under the options cache lock
// (OptionsCacheLock), held by the caller.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <memory>

#include "support/FoldedMap.h"
#include "support/Owners.h"

namespace veska {

struct OpsInfo {
    using KeyMap = FoldedMap<std::unique_ptr<OpsInfo>>;
    using ValueMap = FoldedMap<UniqueVariant>;

    OpsInfo() noexcept = default;
    ~OpsInfo() {
        ReleaseChildren([] {}, [] {});
    }
    OpsInfo(const OpsInfo&) = delete;
    OpsInfo& operator=(const OpsInfo&) = delete;

    KeyMap keys;      // child keys; a null pointer counts as a missing child
    ValueMap values;  // every entry holds its own copy of its VARIANT

    // The last-write time of the registry key the node was read from, as the
    // registry gave it when the node's values were read: a refresh rereads the
    // values of the keys whose time moved (RegistryTree.h). kNoRegistryStamp for
    // a node that only a settings file made, kLocalStamp for one this object
    // added without the registry.
    std::uint64_t stamp = kNoRegistryStamp;
    static constexpr std::uint64_t kNoRegistryStamp = 0;
    static constexpr std::uint64_t kLocalStamp = 1;

    // Set only while ReleaseChildren releases the tree: the node to go back to
    // once this one is gone, so the release needs no stack of its own.
    OpsInfo* releaseParent = nullptr;

    // The child filed under name (folded), created empty and filed when missing
    // or null. Throws std::bad_alloc; the tree is unchanged when it throws.
    OpsInfo* GetOrCreateChild(const wchar_t* name);

    // The VARIANT filed under the folded form of name, created holding VT_EMPTY
    // when missing. Throws std::bad_alloc.
    VARIANT& ValueEntry(std::wstring_view name);

    // Releases every node below this one, children before their parent, with no
    // recursion and no memory of its own: down() runs when the walk goes into a
    // child, up() when it comes back from one.
    template <class Down, class Up>
    void ReleaseChildren(Down&& down, Up&& up) noexcept {
        // Each node's key map is reversed when the walk reaches it, so that its
        // children go in map order from the back, with no entry moved twice.
        OpsInfo* current = this;
        current->keys.Reverse();
        for (;;) {
            // Go down into the first remaining child in map order; its entry is
            // dropped now, as the whole key map goes with its node anyway.
            std::unique_ptr<OpsInfo> child;
            while (child == nullptr && !current->keys.empty()) {
                const auto first = current->keys.end() - 1;
                child = std::move(first->second);
                current->keys.erase(first);
            }
            if (child != nullptr) {
                child->releaseParent = current;
                current = child.release();
                current->keys.Reverse();
                down();
                continue;
            }
            if (current == this) return;
            // No children left: release the node and go back up.
            OpsInfo* parent = current->releaseParent;
            delete current;
            current = parent;
            up();
        }
    }
};

}  // namespace veska

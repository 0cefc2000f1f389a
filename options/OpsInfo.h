// The options cache: one OpsInfo node per registry key, with its child keys and
// its values, both filed under folded names.
//
// A node owns the children it points to. Nodes are released only through
// CVeskaOptions::FreeOpsInfoMem, never by a destructor chain, so that trees of any
// depth are released without deep recursion. Every access runs under the options
// cache lock (OptionsCacheLock), held by the caller.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <map>

#include "support/FoldedString.h"
#include "support/Owners.h"

namespace veska {

struct OpsInfo {
    using KeyMap = std::map<FoldedString, OpsInfo*, FoldedLess>;
    using ValueMap = std::map<FoldedString, UniqueVariant, FoldedLess>;

    KeyMap keys;      // child keys; a null pointer counts as a missing child
    ValueMap values;  // every entry holds its own copy of its VARIANT

    // Set only while CVeskaOptions::FreeOpsInfoMem releases the tree: the node to
    // go back to once this one is gone, so the release needs no stack of its own.
    OpsInfo* releaseParent = nullptr;

    // The child filed under name (folded), created empty and filed when missing
    // or null. Throws std::bad_alloc; the tree is unchanged when it throws.
    OpsInfo* GetOrCreateChild(const wchar_t* name);

    // The VARIANT filed under name, created holding VT_EMPTY when missing.
    // Throws std::bad_alloc.
    VARIANT& ValueEntry(const FoldedString& name);
};

}  // namespace veska

// Bringing an options cache up to date with its sources: the registry subtree
// of Init, walked by last-write stamps so that only keys that moved are read
// again, and the settings folder, merged again when a file was added, changed
// or removed. The difference is built outside the options cache lock and
// applied under it one key at a time (CVeskaOptions::RefreshCache in
// LiveRefresh.cpp).
//
// What this object changed without ChangeDefault stays: such a value keeps the
// object's edit, and a change of the source under it is reported as kept.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "options/DefaultSettings.h"
#include "options/OpsInfo.h"
#include "support/Owners.h"

namespace veska {

// The kinds of change, numbered as the type library's VeskaChange.
enum class ChangeKind : LONG {
    ValueAdded = 1,
    ValueChanged = 2,
    ValueRemoved = 3,
    KeyAdded = 4,
    KeyRemoved = 5,
    Kept = 6,
};

// One difference a refresh found. key is the folded path from the Init key
// (segments joined by backslashes, empty for the Init key itself); name the
// folded value name, empty for a key event.
struct LiveChange {
    std::wstring key;
    std::wstring name;
    ChangeKind kind;
};

struct RefreshResult {
    std::vector<LiveChange> changes;
    LONG changedValues = 0;  // values added, changed or removed in the cache
    bool rootRemoved = false;  // the Init key went in this refresh
};

// One settings file as the folder listed it.
struct SettingsFileStamp {
    std::wstring name;
    std::uint64_t size = 0;
    std::uint64_t written = 0;
    bool operator==(const SettingsFileStamp& other) const noexcept {
        return name == other.name && size == other.size && written == other.written;
    }
};

// What an options object keeps to refresh its cache exactly. Touched only by
// the object's own calls (one thread at a time), so it needs no lock.
struct LiveCacheState {
    // The values this object's unsaved edits (writes without ChangeDefault)
    // replaced, as the sources last gave them, filed under the folded path and
    // name joined by a U+0001; VT_EMPTY where the edit added the name.
    std::map<std::wstring, UniqueVariant> replaced;

    // The settings files merged into an empty tree, and the folder's listing
    // they came from; empty until the first refresh.
    std::unique_ptr<OpsInfo> fileLayer;
    SettingsFileRows fileRows;
    std::vector<SettingsFileStamp> listing;

    // The policy values as Init or the last refresh read them (PolicyLayer.h);
    // null while there are none.
    std::unique_ptr<OpsInfo> policyLayer;

    // When Init read the sources (system time as a FILETIME number): a file
    // written later has changed since.
    std::uint64_t loadTime = 0;

    // Remembers what an unsaved edit of name (folded) at path (corrected, as
    // the object joins it) replaces, unless an earlier edit already did.
    // Throws std::bad_alloc.
    void RememberReplaced(std::wstring_view head, std::wstring_view tail, std::wstring_view name,
                          const VARIANT* replacedValue);
};

// The key under which LiveCacheState::replaced files a value.
std::wstring ReplacedKey(std::wstring_view path, std::wstring_view name);

// The current system time as a FILETIME number.
std::uint64_t CurrentStamp() noexcept;

}  // namespace veska

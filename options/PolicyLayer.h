// Fleet policy: values an administrator sets below Software\Policies in
// HKEY_LOCAL_MACHINE (machine policy) or HKEY_CURRENT_USER (user policy), laid
// over the registry's and the settings files' values of an options cache.
//
// The policy key of an object is "Software\Policies\" followed by its Init key
// without a leading "Software\". Both hives are read in the process's own
// registry view, as Init reads its key; the platform shares Software\Policies
// between the 32-bit and 64-bit views, so hosts of either kind see one policy.
//
// A value set by policy keeps its kind (OriginKind::MachinePolicy or
// UserPolicy) in its entry's origin word: that is the lock. Reads never look at
// it; writes and removals do.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>
#include <string_view>

#include "options/OpsInfo.h"
#include "options/ValueOrigin.h"

namespace veska {

// True for a value set by policy, which writes and removals must leave alone.
inline bool IsLockedOrigin(const VARIANT& value) noexcept {
    const OriginKind kind = OriginOf(value).kind;
    return kind == OriginKind::MachinePolicy || kind == OriginKind::UserPolicy;
}

// The key below which both hives keep every product's policy. A watch follows
// it whole, so every watching object of the process shares its two
// notifications, whatever its own policy key.
constexpr wchar_t kPoliciesKey[] = L"Software\\Policies";

// The policy key of an Init key: "Software\Policies\" and initKey without a
// leading "Software\" (in any letter case). Throws std::bad_alloc.
std::wstring PolicyKeyOf(std::wstring_view initKey);

// The policy values of policyKey in both hives as one tree: user policy with
// machine policy laid over it, each value tagged with its kind. Null when
// neither hive has the key, so an object without policy keeps no tree. A key
// that cannot be read counts as missing. Throws std::bad_alloc or HResultError.
std::unique_ptr<OpsInfo> ReadPolicyLayer(const std::wstring& policyKey);

// Lays the values and keys of policy over node, as the settings files are laid
// over the registry's values: a policy value replaces what node holds.
void OverlayPolicy(OpsInfo& node, const OpsInfo* policy);

// True when node itself holds a locked value.
bool KeyHoldsLockedValue(const OpsInfo& node) noexcept;
// True when node or a key below it holds a locked value.
bool HoldsLockedValue(const OpsInfo& node) noexcept;

struct LiveCacheState;

// Removes what is not locked below node, for RemoveKey over a subtree holding
// locked values: unlocked values, and keys holding no locked value. With a
// registryPath (node's key below HKEY_CURRENT_USER) their registry values and
// keys go too. Without one the removal is the cache's alone, and removals
// remembers each, filed under cachePath (node's path in the cache), so that a
// refresh leaves them removed as it does other such removals. Throws
// std::bad_alloc.
void RemoveUnlocked(OpsInfo& node, const std::wstring& registryPath, LiveCacheState& removals,
                    const std::wstring& cachePath);

// True when two policy trees (either may be null) hold the same values with the
// same kinds in the same keys.
bool SamePolicy(const OpsInfo* a, const OpsInfo* b) noexcept;

}  // namespace veska

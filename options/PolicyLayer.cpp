#include "options/PolicyLayer.h"

#include <cwchar>
#include <vector>

#include "options/LiveNodes.h"
#include "options/RegistryTree.h"
#include "options/VeskaOpt.h"

namespace veska {

namespace {

constexpr std::wstring_view kSoftwarePrefix = L"Software\\";
constexpr std::wstring_view kPoliciesPrefix = L"Software\\Policies\\";

// Gives every value of node and the keys below it the origin kind.
void TagValues(OpsInfo& node, OriginKind kind) noexcept {
    std::vector<OpsInfo*> pending{&node};
    while (!pending.empty()) {
        OpsInfo* current = pending.back();
        pending.pop_back();
        for (auto& value : current->values) SetOrigin(*value.second.get(), ValueOrigin{kind});
        for (auto& child : current->keys) {
            if (child.second != nullptr) pending.push_back(child.second.get());
        }
    }
}

// The policy tree of one hive, tagged kind; null when the hive has no such key.
std::unique_ptr<OpsInfo> ReadHivePolicy(HKEY hive, const std::wstring& policyKey, OriginKind kind) {
    const UniqueHkey key = OpenKey(hive, policyKey.c_str(), KEY_READ);
    if (!key) return nullptr;
    auto tree = std::make_unique<OpsInfo>();
    CVeskaOptions::FillKeysValues(key.get(), tree.get());
    TagValues(*tree, kind);
    return tree;
}

}  // namespace

std::wstring PolicyKeyOf(std::wstring_view initKey) {
    if (initKey.size() >= kSoftwarePrefix.size() &&
        ::_wcsnicmp(initKey.data(), kSoftwarePrefix.data(), kSoftwarePrefix.size()) == 0) {
        initKey.remove_prefix(kSoftwarePrefix.size());
    }
    std::wstring key(kPoliciesPrefix);
    key += initKey;
    return key;
}

std::unique_ptr<OpsInfo> ReadPolicyLayer(const std::wstring& policyKey) {
    std::unique_ptr<OpsInfo> layer = ReadHivePolicy(HKEY_CURRENT_USER, policyKey, OriginKind::UserPolicy);
    std::unique_ptr<OpsInfo> machine =
        ReadHivePolicy(HKEY_LOCAL_MACHINE, policyKey, OriginKind::MachinePolicy);
    if (layer == nullptr) return machine;
    live::OverlayFiles(*layer, machine.get());
    return layer;
}

void OverlayPolicy(OpsInfo& node, const OpsInfo* policy) { live::OverlayFiles(node, policy); }

bool KeyHoldsLockedValue(const OpsInfo& node) noexcept {
    for (const auto& value : node.values) {
        if (IsLockedOrigin(*value.second.get())) return true;
    }
    return false;
}

bool HoldsLockedValue(const OpsInfo& node) noexcept {
    std::vector<const OpsInfo*> pending;
    const OpsInfo* current = &node;
    for (;;) {
        if (KeyHoldsLockedValue(*current)) return true;
        for (const auto& child : current->keys) {
            if (child.second != nullptr) pending.push_back(child.second.get());
        }
        if (pending.empty()) return false;
        current = pending.back();
        pending.pop_back();
    }
}

void RemoveUnlocked(OpsInfo& node, const std::wstring& registryPath, LiveCacheState& removals,
                    const std::wstring& cachePath) {
    const bool cacheOnly = registryPath.empty();
    const UniqueHkey key = cacheOnly ? UniqueHkey() : OpenForChange(registryPath);
    for (auto value = node.values.begin(); value != node.values.end();) {
        if (IsLockedOrigin(*value->second.get())) {
            ++value;
            continue;
        }
        if (key) DeleteRegistryValue(key.get(), node.values.NameOf(*value).data());
        if (cacheOnly) {
            removals.RememberRemovedValue(cachePath, {}, node.values.NameOf(*value),
                                          *value->second.get());
        }
        value = node.values.erase(value);
    }
    for (auto sub = node.keys.begin(); sub != node.keys.end();) {
        const std::wstring name(node.keys.NameOf(*sub));
        const std::wstring subPath = cachePath + L'\\' + name;
        if (sub->second != nullptr && HoldsLockedValue(*sub->second)) {
            RemoveUnlocked(*sub->second, cacheOnly ? std::wstring() : registryPath + L'\\' + name,
                           removals, subPath);
            ++sub;
            continue;
        }
        if (cacheOnly && sub->second != nullptr) {
            removals.RememberRemovedKey(subPath, {}, sub->second->stamp);
        }
        CVeskaOptions::FreeOpsInfoMem(sub->second.release());
        sub = node.keys.erase(sub);
        if (key) CVeskaOptions::RecurseDeleteKey(key.get(), name.c_str());
    }
}

bool SamePolicy(const OpsInfo* a, const OpsInfo* b) noexcept {
    if (a == nullptr || b == nullptr) {
        const OpsInfo* present = a != nullptr ? a : b;
        return present == nullptr || !HoldsLockedValue(*present);
    }
    if (a->values.size() != b->values.size()) return false;
    for (const auto& value : a->values) {
        const auto found = b->values.find(FoldedView{a->values.NameOf(value)});
        if (found == b->values.end() || !live::SameData(*value.second.get(), *found->second.get()) ||
            !live::SameOrigin(*value.second.get(), *found->second.get())) {
            return false;
        }
    }
    for (const auto& child : a->keys) {
        if (!SamePolicy(child.second.get(), live::ChildOf(b, a->keys.NameOf(child)))) return false;
    }
    for (const auto& child : b->keys) {
        if (live::ChildOf(a, b->keys.NameOf(child)) == nullptr &&
            !SamePolicy(nullptr, child.second.get())) {
            return false;
        }
    }
    return true;
}

}  // namespace veska

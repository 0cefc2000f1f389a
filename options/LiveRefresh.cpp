#include "options/LiveRefresh.h"

#include "options/LiveNodes.h"

#include <cstring>
#include <unordered_map>
#include <utility>

#include "options/PolicyLayer.h"
#include "options/RegistryTree.h"
#include "options/ValueOrigin.h"
#include "options/VeskaOpt.h"
#include "support/Folding.h"
#include "support/Result.h"

namespace veska {

using namespace live;

namespace {

// The longest key name the registry allows, and its terminator.
constexpr DWORD kKeyNameCapacity = 256;

// What a refresh changes in one node, applied under the lock in one step.
struct NodeUpdate {
    struct ValueChange {
        std::wstring name;  // folded
        UniqueVariant value;
        bool remove = false;
    };
    OpsInfo* node = nullptr;
    bool setStamp = false;
    std::uint64_t stamp = 0;
    std::vector<ValueChange> values;
    std::vector<std::pair<std::wstring, std::unique_ptr<OpsInfo>>> addKeys;
    std::vector<std::wstring> removeKeys;
};

}  // namespace

// Builds the difference between the cache and its sources, outside the lock,
// and applies it under the lock one node at a time.
class RefreshBuilder {
public:
    RefreshBuilder(CVeskaOptions& options, RefreshResult& result, const OpsInfo* files)
        : options_(options), result_(result), files_(files) {}

    void RegistryPass() {
        OpsInfo& top = *options_.m_pRoot;
        LONG status = ERROR_SUCCESS;
        const UniqueHkey root = OpenKey(options_.m_hive, options_.m_sMainKey.c_str(), KEY_READ, &status);
        if (!root) {
            // Any other failure leaves everything for the next refresh.
            if (top.stamp <= OpsInfo::kLocalStamp || status != ERROR_FILE_NOT_FOUND) return;
            // The Init key went: what the registry gave goes, the files' stays.
            RegistryKeyGone(nullptr, std::wstring(), top, files_);
            result_.changes.clear();
            result_.changes.push_back(LiveChange{std::wstring(), std::wstring(), ChangeKind::KeyRemoved});
            result_.rootRemoved = true;
            return;
        }
        const std::uint64_t stamp = KeyStamp(root.get());
        if (stamp != top.stamp) {
            OpsInfo fresh;
            if (ReadKeyValues(root.get(), fresh)) {
                DeriveValues(top, std::wstring(), &fresh, files_);
                SetStamp(top, stamp);
            }
        }
        VisitRegistry(root.get(), top, std::wstring(), files_);
    }

    void FilesPass() { VisitFiles(*options_.m_pRoot, std::wstring(), files_); }

    void Apply() {
        for (NodeUpdate& update : updates_) {
            std::vector<std::unique_ptr<OpsInfo>> released;
            released.reserve(update.removeKeys.size() + update.addKeys.size());
            {
                ExclusiveLock lock(OptionsCacheLock);
                OpsInfo& node = *update.node;
                for (NodeUpdate::ValueChange& change : update.values) {
                    const auto found = node.values.find(FoldedView{change.name});
                    if (change.remove) {
                        if (found != node.values.end()) node.values.erase(found);
                    } else if (found != node.values.end()) {
                        found->second = std::move(change.value);
                    } else {
                        node.values.emplace(UnfoldedName{change.name}, std::move(change.value));
                    }
                }
                for (const std::wstring& name : update.removeKeys) {
                    const auto found = node.keys.find(FoldedView{name});
                    if (found == node.keys.end()) continue;
                    released.push_back(std::move(found->second));
                    node.keys.erase(found);
                }
                for (auto& added : update.addKeys) {
                    const auto found = node.keys.find(FoldedView{added.first});
                    if (found != node.keys.end()) {
                        released.push_back(std::move(found->second));
                        found->second = std::move(added.second);
                    } else {
                        node.keys.emplace(UnfoldedName{added.first}, std::move(added.second));
                    }
                }
                if (update.setStamp) node.stamp = update.stamp;
            }
            // Released subtrees are freed after the lock, which readers wait for.
        }
        updates_.clear();
        index_.clear();
    }

private:
    NodeUpdate& UpdateOf(OpsInfo& node) {
        const auto found = index_.find(&node);
        if (found != index_.end()) return updates_[found->second];
        updates_.emplace_back();
        updates_.back().node = &node;
        index_.emplace(&node, updates_.size() - 1);
        return updates_.back();
    }

    void SetStamp(OpsInfo& node, std::uint64_t stamp) {
        NodeUpdate& update = UpdateOf(node);
        update.setStamp = true;
        update.stamp = stamp;
    }

    void Report(const std::wstring& key, std::wstring_view name, ChangeKind kind) {
        result_.changes.push_back(LiveChange{key, std::wstring(name), kind});
        if (kind == ChangeKind::ValueAdded || kind == ChangeKind::ValueChanged ||
            kind == ChangeKind::ValueRemoved) {
            ++result_.changedValues;
        }
    }

    // The values a fresh Init would give node (registry's under the files'),
    // compared with the cached ones.
    void DeriveValues(OpsInfo& node, const std::wstring& path, const OpsInfo* registry,
                      const OpsInfo* files) {
        OpsInfo expected;
        if (registry != nullptr) {
            for (const auto& value : registry->values) {
                expected.values.emplace(UnfoldedName{registry->values.NameOf(value)},
                                        UniqueVariant::CopyOf(*value.second.get()));
            }
        }
        OverlayFiles(expected, files != nullptr ? &FilesValuesOnly(*files) : nullptr);
        for (const auto& value : expected.values) {
            const std::wstring_view name = expected.values.NameOf(value);
            const auto cached = node.values.find(FoldedView{name});
            Compare(node, path, name, cached != node.values.end() ? cached->second.get() : nullptr,
                    value.second.get());
        }
        for (const auto& value : node.values) {
            const std::wstring_view name = node.values.NameOf(value);
            if (expected.values.find(FoldedView{name}) == expected.values.end()) {
                Compare(node, path, name, value.second.get(), nullptr);
            }
        }
    }

    // A node holding only the values of files (OverlayFiles takes its keys too).
    const OpsInfo& FilesValuesOnly(const OpsInfo& files) {
        valuesOnly_.values.clear();
        for (const auto& value : files.values) {
            valuesOnly_.values.emplace(UnfoldedName{files.values.NameOf(value)},
                                       UniqueVariant::CopyOf(*value.second.get()));
        }
        return valuesOnly_;
    }

    void Compare(OpsInfo& node, const std::wstring& path, std::wstring_view name,
                 const VARIANT* cached, const VARIANT* expected) {
        if (cached != nullptr && OriginOf(*cached).kind == OriginKind::Written &&
            (expected == nullptr || !IsLockedOrigin(*expected))) {
            // An unsaved edit stays, unless policy now sets the value; a change
            // of what it replaced is reported.
            auto& replaced = options_.m_liveCache.replaced;
            std::wstring key = ReplacedKey(path, name);
            const auto found = replaced.find(key);
            const VARIANT* before =
                found != replaced.end() && found->second.vt() != VT_EMPTY ? found->second.get() : nullptr;
            if (SameSource(before, expected)) return;
            UniqueVariant now = expected != nullptr ? UniqueVariant::CopyOf(*expected) : UniqueVariant();
            if (found != replaced.end()) {
                found->second = std::move(now);
            } else {
                replaced.emplace(std::move(key), std::move(now));
            }
            Report(path, name, ChangeKind::Kept);
            return;
        }
        if (cached == nullptr && expected == nullptr) return;
        ChangeKind kind;
        if (expected == nullptr) {
            kind = ChangeKind::ValueRemoved;
        } else if (cached == nullptr) {
            kind = ChangeKind::ValueAdded;
        } else if (!SameData(*cached, *expected)) {
            kind = ChangeKind::ValueChanged;
        } else if (IsLockedOrigin(*cached) != IsLockedOrigin(*expected)) {
            // The same value, locked or freed by policy: a change for whoever
            // shows it.
            kind = ChangeKind::ValueChanged;
        } else if (!SameOrigin(*cached, *expected)) {
            // The same value from another place: the origin follows, silently.
            UpdateOf(node).values.push_back({std::wstring(name), UniqueVariant::CopyOf(*expected), false});
            return;
        } else {
            return;
        }
        NodeUpdate::ValueChange change{std::wstring(name), UniqueVariant(), expected == nullptr};
        if (expected != nullptr) change.value = UniqueVariant::CopyOf(*expected);
        UpdateOf(node).values.push_back(std::move(change));
        Report(path, name, kind);
    }

    void AddSubtree(OpsInfo& parent, const std::wstring& name, std::unique_ptr<OpsInfo> tree,
                    const std::wstring& path) {
        ReportAdded(*tree, path);
        UpdateOf(parent).addKeys.emplace_back(name, std::move(tree));
    }

    void ReportAdded(const OpsInfo& node, const std::wstring& path) {
        Report(path, std::wstring_view(), ChangeKind::KeyAdded);
        for (const auto& value : node.values) Report(path, node.values.NameOf(value), ChangeKind::ValueAdded);
        for (const auto& child : node.keys) {
            if (child.second != nullptr) ReportAdded(*child.second, Join(path, node.keys.NameOf(child)));
        }
    }

    void RemoveKey(OpsInfo& parent, std::wstring_view name, const OpsInfo& child, const std::wstring& path) {
        Report(path, std::wstring_view(), ChangeKind::KeyRemoved);
        result_.changedValues += CountCache(child).values;
        UpdateOf(parent).removeKeys.emplace_back(name);
    }

    // Compares the sub-keys of the registry key with node's children, by
    // stamps, and goes down where a stamp moved or registry children lie below.
    void VisitRegistry(HKEY key, OpsInfo& node, const std::wstring& path, const OpsInfo* files) {
        std::vector<std::wstring> seen;
        wchar_t name[kKeyNameCapacity];
        bool listed = false;  // every sub-key was enumerated
        for (DWORD index = 0;; ++index) {
            DWORD length = kKeyNameCapacity;
            FILETIME lastWrite;
            const LONG status =
                ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, &lastWrite);
            if (status != ERROR_SUCCESS) {
                listed = status == ERROR_NO_MORE_ITEMS;
                break;
            }
            const std::wstring folded = Folded(std::wstring_view(name, length));
            seen.push_back(folded);
            const std::uint64_t stamp = StampOf(lastWrite);
            const std::wstring childPath = Join(path, folded);
            const OpsInfo* childFiles = ChildOf(files, folded);
            const auto found = node.keys.find(FoldedView{folded});
            if (found == node.keys.end() || found->second == nullptr) {
                // A key that cannot be opened now is taken by a later refresh.
                const UniqueHkey subKey = OpenKey(key, name, KEY_READ);
                if (!subKey) continue;
                auto tree = std::make_unique<OpsInfo>();
                CVeskaOptions::FillKeysValues(subKey.get(), tree.get());
                // The load does not say when the registry failed on the way:
                // the next refresh reads the new keys once more.
                MarkUnverified(*tree);
                OverlayFiles(*tree, childFiles);
                AddSubtree(node, folded, std::move(tree), childPath);
                continue;
            }
            OpsInfo& child = *found->second;
            const bool moved = child.stamp != stamp;
            if (!moved && !HasRegistryChildren(child)) continue;
            const UniqueHkey subKey = OpenKey(key, name, KEY_READ);
            if (!subKey) continue;  // kept as it is, and its stamp: the next refresh tries again
            if (moved) {
                OpsInfo fresh;
                if (ReadKeyValues(subKey.get(), fresh)) {
                    DeriveValues(child, childPath, &fresh, childFiles);
                    SetStamp(child, stamp);
                }
            }
            VisitRegistry(subKey.get(), child, childPath, childFiles);
        }
        for (auto& child : node.keys) {
            if (!listed) break;
            if (child.second == nullptr || child.second->stamp <= OpsInfo::kLocalStamp) continue;
            const std::wstring_view childName = node.keys.NameOf(child);
            bool present = false;
            for (const std::wstring& name : seen) present = present || name == childName;
            if (!present) {
                RegistryKeyGone(&node, Join(path, childName), *child.second, ChildOf(files, childName));
            }
        }
    }

    // The registry key of child went: the key goes unless files give it too,
    // in which case it keeps what they give.
    void RegistryKeyGone(OpsInfo* parent, const std::wstring& path, OpsInfo& child, const OpsInfo* files) {
        if (files == nullptr && parent != nullptr) {
            const std::size_t slash = path.rfind(L'\\');
            RemoveKey(*parent, slash == std::wstring::npos ? std::wstring_view(path)
                                                            : std::wstring_view(path).substr(slash + 1),
                      child, path);
            return;
        }
        DeriveValues(child, path, nullptr, files);
        SetStamp(child, OpsInfo::kNoRegistryStamp);
        for (auto& grandchild : child.keys) {
            if (grandchild.second == nullptr || grandchild.second->stamp <= OpsInfo::kLocalStamp) continue;
            const std::wstring_view name = child.keys.NameOf(grandchild);
            RegistryKeyGone(&child, Join(path, name), *grandchild.second, ChildOf(files, name));
        }
    }

    // After the settings files changed: every node the old or the new files
    // touch is derived again, with its registry values read afresh.
    void VisitFiles(OpsInfo& node, const std::wstring& path, const OpsInfo* files) {
        if ((files != nullptr && !files->values.empty()) || HoldsFileOrEdit(node)) {
            OpsInfo fresh;
            const bool inRegistry = node.stamp > OpsInfo::kLocalStamp;
            if (inRegistry) {
                const std::wstring keyPath = path.empty() ? options_.m_sMainKey
                                                          : options_.m_sMainKey + L'\\' + path;
                const UniqueHkey key = OpenKey(options_.m_hive, keyPath.c_str(), KEY_READ);
                ReadKeyValues(key.get(), fresh);
            }
            DeriveValues(node, path, inRegistry ? &fresh : nullptr, files);
        }
        for (auto& child : node.keys) {
            if (child.second == nullptr) continue;
            const std::wstring_view name = node.keys.NameOf(child);
            const OpsInfo* childFiles = ChildOf(files, name);
            if (childFiles == nullptr && OnlyFilesMade(*child.second)) {
                RemoveKey(node, name, *child.second, Join(path, name));
            } else {
                VisitFiles(*child.second, Join(path, name), childFiles);
            }
        }
        if (files == nullptr) return;
        for (const auto& child : files->keys) {
            const std::wstring_view name = files->keys.NameOf(child);
            if (child.second == nullptr || node.keys.find(FoldedView{name}) != node.keys.end()) continue;
            auto tree = std::make_unique<OpsInfo>();
            OverlayFiles(*tree, child.second.get());
            AddSubtree(node, std::wstring(name), std::move(tree), Join(path, name));
        }
    }

    CVeskaOptions& options_;
    RefreshResult& result_;
    const OpsInfo* files_;
    OpsInfo valuesOnly_;
    std::vector<NodeUpdate> updates_;
    std::unordered_map<const OpsInfo*, std::size_t> index_;
};

void CVeskaOptions::RefreshCache(bool registry, bool files, RefreshResult& result) {
    LiveCacheState& state = m_liveCache;
    // The settings folder first: the registry pass lays the files over what it reads.
    std::wstring folder;
    bool filesChanged = false;
    if ((files || !state.fileLayer) && SettingsFolderPath(folder)) {
        std::vector<SettingsFileStamp> listing = ListSettingsFolder(folder);
        filesChanged = state.fileLayer ? listing != state.listing
                                       : ChangedSinceInit(listing, folder, m_settingsFiles, state.loadTime);
        bool failed = false;
        if (filesChanged || !state.fileLayer) {
            auto layer = std::make_unique<OpsInfo>();
            SettingsFileRows rows;
            failed = MergeSettingsFiles(*layer, folder, true, &rows);
            state.fileLayer = std::move(layer);
            state.fileRows = std::move(rows);
            // A file that failed may merge next time (its component may have
            // been missing): the next refresh merges the folder again.
            if (failed) filesChanged = true;
        }
        state.listing = std::move(listing);
        if (failed) state.listing.push_back(SettingsFileStamp{L"\x1 merge again"});
    }
    if (!state.fileLayer) state.fileLayer = std::make_unique<OpsInfo>();
    filesChanged = filesChanged && files;

    // Policy lives in the registry: a registry refresh reads it again, and a
    // change of it derives again every node it or the files touch.
    bool policyChanged = false;
    if (registry) {
        std::unique_ptr<OpsInfo> policy = ReadPolicyLayer(m_policyKey);
        policyChanged = !SamePolicy(policy.get(), state.policyLayer.get());
        state.policyLayer = std::move(policy);
    }
    // What is laid over the registry's values: the files', policy over them.
    std::unique_ptr<OpsInfo> layered;
    if (state.policyLayer) {
        layered = std::make_unique<OpsInfo>();
        OverlayFiles(*layered, state.fileLayer.get());
        OverlayPolicy(*layered, state.policyLayer.get());
    }

    RefreshBuilder builder(*this, result, layered ? layered.get() : state.fileLayer.get());
    if (registry) {
        builder.RegistryPass();
        builder.Apply();
    }
    if (filesChanged || policyChanged) {
        builder.FilesPass();
        builder.Apply();
    }
    // The diagnostics follow: the file list and the counts of the cache now.
    const LoadCounts counts = CountCache(*m_pRoot);
    SettingsFileRows rows;
    if (filesChanged) rows = state.fileRows;
    ExclusiveLock lock(OptionsCacheLock);
    if (filesChanged) m_settingsFiles = std::move(rows);
    m_loadCounts = counts;
}

}  // namespace veska

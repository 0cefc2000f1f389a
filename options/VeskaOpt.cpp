#include "options/VeskaOpt.h"

#include <algorithm>
#include <memory>

#include "options/DefaultSettings.h"
#include "options/OxaSafeArray.h"
#include "options/PathWalk.h"
#include "options/PolicyLayer.h"
#include "options/RegistryTree.h"
#include "options/ValueConversion.h"
#include "options/ValueOrigin.h"
#include "support/MainKeyHives.h"
#include "support/Result.h"
#include "trace/TimeTrace.h"

namespace veska {

// The library's static objects are built at the default priority, later than
// this one.
__attribute__((init_priority(1000))) ReaderWriterLock OptionsCacheLock;

namespace {

// Splits a corrected path at its last backslash into the parent's path and the
// key name; false when the path has no backslash.
bool SplitAtLastBackslash(const CVeskaOptions::CorrectedPath& path,
                          CVeskaOptions::CorrectedPath* parent, std::wstring_view* name) noexcept {
    const std::size_t last = path.tail.rfind(L'\\');
    if (last != std::wstring_view::npos) {
        *parent = {path.head, path.tail.substr(0, last)};
        *name = path.tail.substr(last + 1);
        return true;
    }
    if (!path.head.empty()) {
        // The last backslash is the one that ends the prefix.
        *parent = {std::wstring_view(), path.head.substr(0, path.head.size() - 1)};
        *name = path.tail;
        return true;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// The cache

HRESULT CVeskaOptions::MainKeyToHive(int mainKey, HKEY* hive) noexcept {
    const MainKeyHive* row = FindMainKey(mainKey);
    RETURN_HR_IF_NULL(E_INVALIDARG, row);
    *hive = row->hive;
    return S_OK;
}

std::wstring CVeskaOptions::RegistryPathOf(const CorrectedPath& path) const {
    std::wstring result;
    result.reserve(m_sMainKey.size() + 1 + path.head.size() + path.tail.size());
    result += m_sMainKey;
    result += L'\\';
    result += path.head;
    result += path.tail;
    return result;
}

// ---------------------------------------------------------------------------
// Life cycle, Apply, Dirty and Root

STDMETHODIMP CVeskaOptions::Init(int MainKey, BSTR Root) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::Init");
    RETURN_HR_IF_NULL(E_INVALIDARG, Root);
    RETURN_HR_IF(E_FAIL, m_pRoot != nullptr);
    HKEY hive = nullptr;
    RETURN_IF_FAILED(MainKeyToHive(MainKey, &hive));
    return ComBoundary([&]() -> HRESULT {
        // A key that cannot be opened leaves the cache empty.
        const UniqueHkey key = OpenKey(hive, Root, KEY_READ);
        // Built aside and kept only when complete, so a failure leaves the object
        // uninitialised.
        std::wstring mainKey(TextOf(Root));
        std::wstring policyKey = PolicyKeyOf(mainKey);
        // Read before the lock, so that other objects' reads do not wait for it.
        std::unique_ptr<OpsInfo> policy = ReadPolicyLayer(policyKey);
        OpsInfoTree root(new OpsInfo());
        // Stamped before reading, so a change made during the load is seen again
        // by the next refresh.
        root->stamp = KeyStamp(key.get());
        const std::uint64_t loadTime = CurrentStamp();
        ExclusiveLock lock(OptionsCacheLock);
        SettingsFileRows files;
        HRESULT hr = FillKeysValues(key.get(), root.get());
        if (SUCCEEDED(hr)) hr = LoadDefaultSettings(*root, &files);
        // Policy last: it wins over the files and the registry.
        OverlayPolicy(*root, policy.get());
        const LoadCounts counts = CountCache(*root);
        m_sMainKey = std::move(mainKey);
        m_hive = hive;
        m_policyKey = std::move(policyKey);
        m_liveCache.policyLayer = std::move(policy);
        m_settingsFiles = std::move(files);
        m_loadCounts = counts;
        m_liveCache.loadTime = loadTime;
        m_pRoot = std::move(root);
        return hr;
    });
}

STDMETHODIMP CVeskaOptions::Apply() { return m_pRoot != nullptr ? S_OK : E_FAIL; }

STDMETHODIMP CVeskaOptions::get_Dirty(VARIANT_BOOL* pVal) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::get_Dirty");
    RETURN_HR_IF_NULL(E_FAIL, pVal);
    SharedLock lock(OptionsCacheLock);
    *pVal = m_bDirty;
    return S_OK;
}

STDMETHODIMP CVeskaOptions::put_Dirty(VARIANT_BOOL newVal) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::put_Dirty");
    ExclusiveLock lock(OptionsCacheLock);
    m_bDirty = newVal;
    return S_OK;
}

STDMETHODIMP CVeskaOptions::get_Root(BSTR* Root) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::get_Root");
    RETURN_HR_IF_NULL(E_FAIL, Root);
    SharedLock lock(OptionsCacheLock);
    UniqueBstr copy;
    if (m_bstrRoot) {
        copy = TryCopyBstr(m_bstrRoot.get());
        RETURN_HR_IF(E_OUTOFMEMORY, !copy);
    }
    *Root = copy.detach();
    return S_OK;
}

STDMETHODIMP CVeskaOptions::put_Root(BSTR newVal) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::put_Root");
    ExclusiveLock lock(OptionsCacheLock);
    // The prefix is read up to its first null, like every path, so that it keeps
    // ending in the backslash that separates it from the path.
    const std::wstring_view text = TextOf(newVal);
    if (text.empty()) {
        m_bstrRoot.reset();
        return S_OK;
    }
    const bool separated = text.back() == L'\\';
    const UINT length = static_cast<UINT>(text.size() + (separated ? 0 : 1));
    UniqueBstr prefix = TryCopyBstr(nullptr, length);
    RETURN_HR_IF(E_OUTOFMEMORY, !prefix);
    std::wmemcpy(prefix.get(), text.data(), text.size());
    prefix.get()[length - 1] = L'\\';
    m_bstrRoot = std::move(prefix);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Reading

STDMETHODIMP CVeskaOptions::GetKeys(BSTR Root, SAFEARRAY** Keys) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetKeys");
    return ComBoundary([&]() -> HRESULT {
        SharedLock lock(OptionsCacheLock);
        RETURN_HR_IF(E_FAIL, m_pRoot == nullptr || Root == nullptr || Keys == nullptr);
        const OpsInfo* node = GetOpsInfo(SetCorrectRoot(Root));
        RETURN_HR_IF_NULL(E_FAIL, node);
        if (node->keys.empty()) {
            *Keys = nullptr;
            return S_OK;
        }
        COxaSafeArray<BSTR> keys;
        keys.Create(static_cast<ULONG>(node->keys.size()), 1, VT_BSTR);
        {
            SafeArrayDataAccess access;
            ThrowIfFailed(access.Access(keys.Array()));
            BSTR* slot = access.data<BSTR>();
            for (const auto& entry : node->keys) {
                const std::wstring_view name = node->keys.NameOf(entry);
                *slot++ = CopyBstr(name.data(), static_cast<UINT>(name.size())).detach();
            }
        }
        *Keys = keys.Detach();
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::GetValues(BSTR Root, SAFEARRAY** Values) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetValues");
    return ComBoundary([&]() -> HRESULT {
        SharedLock lock(OptionsCacheLock);
        RETURN_HR_IF(E_FAIL, m_pRoot == nullptr || Root == nullptr || Values == nullptr);
        const OpsInfo* node = GetOpsInfo(SetCorrectRoot(Root));
        RETURN_HR_IF_NULL(E_FAIL, node);
        if (node->values.empty()) {
            *Values = nullptr;
            return S_OK;
        }
        COxaSafeArray<VARIANT> values;
        values.Create(static_cast<ULONG>(node->values.size()), 2, VT_VARIANT);
        {
            SafeArrayDataAccess access;
            ThrowIfFailed(access.Access(values.Array()));
            // Row by row: the name in column 0, a copy of the value in column 1.
            VARIANT* slot = access.data<VARIANT>();
            for (const auto& entry : node->values) {
                const std::wstring_view name = node->values.NameOf(entry);
                slot[0].bstrVal = CopyBstr(name.data(), static_cast<UINT>(name.size())).detach();
                slot[0].vt = VT_BSTR;
                ThrowIfFailed(CopyValueOut(&slot[1], *entry.second.get()));
                slot += 2;
            }
        }
        *Values = values.Detach();
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::GetValueByName(BSTR Root, BSTR Attr, VARIANT* Val) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetValueByName");
    SharedLock lock(OptionsCacheLock);
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr || Root == nullptr || Val == nullptr);
    const CorrectedPath path = SetCorrectRoot(Root);
    Val->vt = VT_EMPTY;
    const OpsInfo* node = GetOpsInfo(path);
    RETURN_HR_IF(E_FAIL, node == nullptr || Attr == nullptr);
    const auto found = FindValue(*node, Attr);
    RETURN_HR_IF(E_FAIL, found == node->values.end());
    return CopyValueOut(Val, *found->second.get());
}

STDMETHODIMP OptionsDispatch::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) {
    const HRESULT hr = DispatchImpl::GetIDsOfNames(iid, names, count, lcid, ids);
    return hr == DISP_E_UNKNOWNNAME ? LiveIDsOfNames(names, count, ids, hr) : hr;
}

// ---------------------------------------------------------------------------
// Writing and adding

HRESULT CVeskaOptions::InternalSetValueByName(const wchar_t* root, const wchar_t* attr,
                                              const VARIANT* val, WriteMode mode) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::InternalSetValueByName");
    RETURN_HR_IF(E_FAIL, val == nullptr || m_pRoot == nullptr || root == nullptr || attr == nullptr);
    return ComBoundary([&]() -> HRESULT {
        ExclusiveLock lock(OptionsCacheLock);
        UniqueVariant value = UniqueVariant::CopyOf(*val);
        const CorrectedPath path = SetCorrectRoot(root);
        RETURN_HR_IF(E_FAIL, FAILED(ConvertForStore(*value.get())));
        OpsInfo* node = GetOpsInfo(path);
        RETURN_HR_IF_NULL(E_FAIL, node);

        const std::wstring_view name = CacheValueName(TextOf(attr));
        const auto found = node->values.find(UnfoldedName{name});
        RETURN_HR_IF(E_ACCESSDENIED, found != node->values.end() && IsLockedOrigin(*found->second.get()));
        RETURN_HR_IF(E_FAIL, found != node->values.end() && mode.addOnly);
        RETURN_HR_IF(E_FAIL, found == node->values.end() && !mode.changeDefault && !mode.addOnly);
        // What can run out of memory is made before the cache changes.
        std::wstring registryPath;
        if (mode.changeDefault) registryPath = RegistryPathOf(path);

        // The registry receives the value written, also when the cache keeps a
        // value that only compares equal to it (the comparison follows the
        // locale, which ignores some characters).
        // The entry's origin becomes the write, whether or not the value changed;
        // a write over a value that stood for the registry's keeps saying so.
        const VARIANT* written = value.get();
        VARIANT* entry = nullptr;
        ValueOrigin origin{OriginKind::Written};
        // A refresh keeps an unsaved edit and reports a change of what it replaced.
        if (!mode.changeDefault) {
            m_liveCache.RememberReplaced(path.head, path.tail, name,
                                         found != node->values.end() ? found->second.get() : nullptr);
        }
        m_liveCache.ForgetRemovedValue(path.head, path.tail, name);
        if (found != node->values.end()) {
            origin.replacedRegistry = OriginOf(*found->second.get()).StandsForRegistry();
            if (!SameValue(*found->second.get(), *value.get())) {
                found->second = std::move(value);
                if (mode.setDirtyBit) m_bDirty = VARIANT_TRUE;
                written = found->second.get();
            }
            entry = found->second.get();
        } else {
            entry = node->values.emplace(UnfoldedName{name}, std::move(value)).first->second.get();
            written = entry;
        }
        SetOrigin(*entry, origin);
        if (!mode.changeDefault) return S_OK;
        // A value the registry refused lives in the cache alone: S_FALSE says
        // that the next load will not have it.
        if (!WriteRegistryValue(registryPath, attr, *written)) return S_FALSE;
        origin.kind = OriginKind::Persisted;
        SetOrigin(*entry, origin);
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::SetValueByName(BSTR Root, BSTR Attr, VARIANT* Val, LONG ChangeDefault,
                                           LONG SetDirtyBit) {
    return InternalSetValueByName(Root, Attr, Val, {ChangeDefault != 0, SetDirtyBit != 0, false});
}

// SetKeys and SetValues change nothing. Over locked values they say what a
// change would meet: SetKeys that part of the subtree at Root is locked
// (S_FALSE), SetValues that the key at Root holds a locked value (refused).
STDMETHODIMP CVeskaOptions::SetKeys(BSTR Root, SAFEARRAY*, LONG) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::SetKeys");
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
    SharedLock lock(OptionsCacheLock);
    if (m_loadCounts.locked == 0 || Root == nullptr) return S_OK;
    const OpsInfo* node = GetOpsInfo(SetCorrectRoot(Root));
    return node != nullptr && HoldsLockedValue(*node) ? S_FALSE : S_OK;
}

STDMETHODIMP CVeskaOptions::SetValues(BSTR Root, SAFEARRAY*, LONG) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::SetValues");
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
    SharedLock lock(OptionsCacheLock);
    if (m_loadCounts.locked == 0 || Root == nullptr) return S_OK;
    const OpsInfo* node = GetOpsInfo(SetCorrectRoot(Root));
    return node != nullptr && KeyHoldsLockedValue(*node) ? E_ACCESSDENIED : S_OK;
}

STDMETHODIMP CVeskaOptions::AddKey(BSTR Root, LONG ChangeDefault) {
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr || Root == nullptr);
    return ComBoundary([&]() -> HRESULT {
        ExclusiveLock lock(OptionsCacheLock);
        const CorrectedPath path = SetCorrectRoot(Root);
        CorrectedPath parentPath;
        std::wstring_view name;
        if (!SplitAtLastBackslash(path, &parentPath, &name)) name = path.tail;
        OpsInfo* parent = GetOpsInfo(parentPath);
        RETURN_HR_IF_NULL(E_FAIL, parent);
        RETURN_HR_IF(E_FAIL, parent->keys.find(UnfoldedName{name}) != parent->keys.end());

        std::wstring registryPath;
        std::wstring keyName;
        if (ChangeDefault != 0) {
            registryPath = RegistryPathOf(parentPath);
            keyName.assign(name);
        }
        m_liveCache.ForgetRemovedKey(path.head, path.tail);
        // A key the registry does not have yet: a refresh keeps it.
        auto added = std::make_unique<OpsInfo>();
        added->stamp = OpsInfo::kLocalStamp;
        parent->keys.emplace(UnfoldedName{name}, std::move(added));
        if (ChangeDefault == 0) return S_OK;

        // The new node stays in the cache whatever the registry says.
        RETURN_IF_WIN32_ERROR(CreateRegistryKey(registryPath, keyName.c_str()));
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::AddValueByName(BSTR Root, BSTR Attr, VARIANT* Val, LONG ChangeDefault) {
    return InternalSetValueByName(Root, Attr, Val, {ChangeDefault != 0, false, true});
}

// ---------------------------------------------------------------------------
// Removing. These hold the lock in shared mode only: the cache they change is
// the object's own, and calls on one object do not overlap.

STDMETHODIMP CVeskaOptions::RemoveValueByName(BSTR Root, BSTR Attr, LONG ChangeDefault) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::RemoveValueByName");
    return ComBoundary([&]() -> HRESULT {
        SharedLock lock(OptionsCacheLock);
        RETURN_HR_IF(E_FAIL, m_pRoot == nullptr || Root == nullptr);
        const CorrectedPath path = SetCorrectRoot(Root);
        OpsInfo* node = GetOpsInfo(path);
        RETURN_HR_IF(E_FAIL, node == nullptr || Attr == nullptr);
        const auto found = node->values.find(UnfoldedName{CacheValueName(TextOf(Attr))});
        RETURN_HR_IF(E_FAIL, found == node->values.end());
        RETURN_HR_IF(E_ACCESSDENIED, IsLockedOrigin(*found->second.get()));
        std::wstring registryPath;
        if (ChangeDefault != 0) registryPath = RegistryPathOf(path);
        // A refresh leaves a removal the registry does not have until the
        // value changes there.
        if (ChangeDefault == 0) {
            m_liveCache.RememberRemovedValue(path.head, path.tail, TextOf(Attr), *found->second.get());
        }

        node->values.erase(found);
        if (ChangeDefault != 0) {
            if (const UniqueHkey key = OpenForChange(registryPath)) {
                DeleteRegistryValue(key.get(), Attr);
            }
        }
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::RemoveValues(BSTR Root, LONG ChangeDefault) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::RemoveValues");
    return ComBoundary([&]() -> HRESULT {
        SharedLock lock(OptionsCacheLock);
        RETURN_HR_IF(E_FAIL, m_pRoot == nullptr || Root == nullptr);
        const CorrectedPath path = SetCorrectRoot(Root);
        OpsInfo* node = GetOpsInfo(path);
        RETURN_HR_IF_NULL(E_FAIL, node);
        // A key holding a locked value keeps all its values.
        RETURN_HR_IF(E_ACCESSDENIED, KeyHoldsLockedValue(*node));
        if (ChangeDefault != 0) {
            // Deleted by the folded names the cache holds; the registry matches
            // value names without regard to case.
            if (const UniqueHkey key = OpenForChange(RegistryPathOf(path))) {
                for (const auto& entry : node->values) {
                    DeleteRegistryValue(key.get(), node->values.NameOf(entry).data());
                }
            }
        }
        if (ChangeDefault == 0) {
            for (const auto& entry : node->values) {
                m_liveCache.RememberRemovedValue(path.head, path.tail, node->values.NameOf(entry),
                                                 *entry.second.get());
            }
        }
        node->values.clear();
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::RemoveKey(BSTR Root, LONG ChangeDefault) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::RemoveKey");
    return ComBoundary([&]() -> HRESULT {
        SharedLock lock(OptionsCacheLock);
        RETURN_HR_IF(E_FAIL, m_pRoot == nullptr || Root == nullptr);
        CorrectedPath parentPath;
        std::wstring_view name;
        const CorrectedPath path = SetCorrectRoot(Root);
        if (!SplitAtLastBackslash(path, &parentPath, &name)) return S_OK;
        OpsInfo* parent = GetOpsInfo(parentPath);
        RETURN_HR_IF_NULL(E_FAIL, parent);
        const auto found = parent->keys.find(UnfoldedName{name});
        if (found == parent->keys.end()) return S_OK;
        std::wstring registryPath;
        std::wstring keyName;
        if (ChangeDefault != 0) {
            registryPath = RegistryPathOf(parentPath);
            keyName.assign(name);
        }

        if (found->second != nullptr && m_loadCounts.locked != 0 && HoldsLockedValue(*found->second)) {
            RemoveUnlocked(*found->second,
                           ChangeDefault != 0 ? RegistryPathOf(parentPath) + L'\\' + std::wstring(name)
                                              : std::wstring(),
                           m_liveCache, std::wstring(path.head) + std::wstring(path.tail));
            return S_FALSE;
        }
        // A refresh leaves a removal the registry does not have until the
        // key's own stamp moves there.
        if (ChangeDefault == 0) m_liveCache.RememberRemovedKey(path.head, path.tail, found->second->stamp);
        OpsInfo* child = found->second.release();
        parent->keys.erase(found);
        FreeOpsInfoMem(child);
        if (ChangeDefault != 0) {
            if (const UniqueHkey key = OpenForChange(registryPath)) {
                RecurseDeleteKey(key.get(), keyName.c_str());
            }
        }
        return S_OK;
    });
}

}  // namespace veska

// The members of IVeskaOptionsDiagnostics: what the last Init read, and from
// where; and those of IVeskaOptionsPolicy: what policy set.
#include "trace/TimeTrace.h"
#include "options/DefaultSettings.h"
#include "options/OxaSafeArray.h"
#include "options/PathWalk.h"
#include "options/PolicyLayer.h"
#include "options/ValueOrigin.h"
#include "options/VeskaOpt.h"
#include "support/MainKeyHives.h"
#include "support/Result.h"

namespace veska {

namespace {

// Appends a path to a key's text with one backslash between them.
void AppendKeyPath(std::wstring& text, std::wstring_view path) {
    while (!path.empty() && path.front() == L'\\') path.remove_prefix(1);
    while (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
    if (path.empty()) return;
    text += L'\\';
    text += path;
}

// A VARIANT holding a VT_BSTR copy of text; throws when memory runs out.
void PutText(VARIANT& slot, std::wstring_view text) {
    slot.bstrVal = CopyBstr(text.data(), static_cast<UINT>(text.size())).detach();
    slot.vt = VT_BSTR;
}

void PutNumber(VARIANT& slot, LONG number) noexcept {
    slot.lVal = number;
    slot.vt = VT_I4;
}

// The rows of settings files as the diagnostics hand them out, in a VARIANT of
// VT_ARRAY | VT_VARIANT: the first dimension the five columns, the second the
// rows, as GetValues lays out its array.
void PutFileRows(const SettingsFileRows& rows, VARIANT* out) {
    COxaSafeArray<VARIANT> table;
    table.Create(static_cast<ULONG>(rows.size()), 5, VT_VARIANT);
    if (!rows.empty()) {
        SafeArrayDataAccess access;
        ThrowIfFailed(access.Access(table.Array()));
        VARIANT* slot = access.data<VARIANT>();
        for (const SettingsFileRow& row : rows) {
            PutText(slot[0], row.path);
            PutText(slot[1], SettingsResultName(row.result));
            PutNumber(slot[2], row.line);
            PutNumber(slot[3], row.column);
            PutText(slot[4], row.message);
            slot += 5;
        }
    }
    out->parray = table.Detach();
    out->vt = VT_ARRAY | VT_VARIANT;
}

}  // namespace

// Walks with a list of its own, at any depth.
LoadCounts CountCache(const OpsInfo& root) {
    LoadCounts counts;
    std::vector<const OpsInfo*> pending{&root};
    while (!pending.empty()) {
        const OpsInfo* node = pending.back();
        pending.pop_back();
        for (const auto& value : node->values) {
            ++counts.values;
            const VARIANT& cached = *value.second.get();
            if (OriginOf(cached).kind == OriginKind::SettingsFile) ++counts.overridden;
            if (IsLockedOrigin(cached)) {
                ++counts.overridden;
                ++counts.locked;
            }
        }
        for (const auto& child : node->keys) {
            if (child.second == nullptr) continue;
            ++counts.keys;
            pending.push_back(child.second.get());
        }
    }
    return counts;
}

std::wstring CVeskaOptions::RegistryKeyText(const CorrectedPath& path) const {
    const MainKeyHive* hive = FindHive(m_hive);
    std::wstring text = hive != nullptr ? hive->name : L"HKEY_CURRENT_USER";
    AppendKeyPath(text, m_sMainKey);
    AppendKeyPath(text, path.head);
    AppendKeyPath(text, path.tail);
    return text;
}

std::wstring CVeskaOptions::PolicyKeyText(OriginKind kind, const CorrectedPath& path) const {
    std::wstring text = kind == OriginKind::MachinePolicy ? L"HKEY_LOCAL_MACHINE" : L"HKEY_CURRENT_USER";
    AppendKeyPath(text, m_policyKey);
    AppendKeyPath(text, path.head);
    AppendKeyPath(text, path.tail);
    return text;
}

static_assert(static_cast<int>(OriginKind::Registry) == VeskaOriginRegistry &&
              static_cast<int>(OriginKind::SettingsFile) == VeskaOriginSettingsFile &&
              static_cast<int>(OriginKind::Written) == VeskaOriginWritten &&
              static_cast<int>(OriginKind::Persisted) == VeskaOriginPersisted &&
              static_cast<int>(OriginKind::MachinePolicy) == VeskaOriginMachinePolicy &&
              static_cast<int>(OriginKind::UserPolicy) == VeskaOriginUserPolicy);

STDMETHODIMP CVeskaOptions::GetValueOrigin(BSTR Root, BSTR Attr, VARIANT* Origin) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetValueOrigin");
    RETURN_HR_IF_NULL(E_POINTER, Origin);
    ::VariantInit(Origin);
    return ComBoundary([&]() -> HRESULT {
        SharedLock lock(OptionsCacheLock);
        RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
        RETURN_HR_IF(E_INVALIDARG, Root == nullptr || Attr == nullptr);
        const CorrectedPath path = SetCorrectRoot(Root);
        const OpsInfo* node = GetOpsInfo(path);
        RETURN_HR_IF_NULL(E_INVALIDARG, node);
        const auto found = FindValue(*node, Attr);
        RETURN_HR_IF(E_INVALIDARG, found == node->values.end());
        const ValueOrigin origin = OriginOf(*found->second.get());

        UniqueSafeArray array = UniqueSafeArray::Adopt(::SafeArrayCreateVector(VT_VARIANT, 0, 5));
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, array.get());
        {
            SafeArrayDataAccess access;
            ThrowIfFailed(access.Access(array.get()));
            VARIANT* slot = access.data<VARIANT>();
            PutNumber(slot[0], static_cast<LONG>(origin.kind));
            if (origin.kind == OriginKind::Registry) {
                PutText(slot[1], RegistryKeyText(path));
            } else if (IsLockedOrigin(*found->second.get())) {
                PutText(slot[1], PolicyKeyText(origin.kind, path));
            } else if (origin.kind == OriginKind::SettingsFile &&
                       origin.file < m_settingsFiles.size()) {
                PutText(slot[1], m_settingsFiles[origin.file].path);
            } else {
                PutText(slot[1], std::wstring_view());
            }
            const bool fromFile = origin.kind == OriginKind::SettingsFile;
            PutNumber(slot[2], fromFile ? origin.line : 0);
            PutText(slot[3], origin.replacedRegistry ? RegistryKeyText(path) : std::wstring());
            PutText(slot[4], fromFile ? SettingsTypeName(origin.unconverted) : std::wstring_view());
        }
        Origin->parray = array.detach();
        Origin->vt = VT_ARRAY | VT_VARIANT;
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::GetSettingsFiles(VARIANT* Files) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetSettingsFiles");
    RETURN_HR_IF_NULL(E_POINTER, Files);
    ::VariantInit(Files);
    return ComBoundary([&]() -> HRESULT {
        SharedLock lock(OptionsCacheLock);
        RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
        PutFileRows(m_settingsFiles, Files);
        return S_OK;
    });
}

HRESULT CVeskaOptions::LoadCount(LONG LoadCounts::*count, LONG* result) const {
    RETURN_HR_IF_NULL(E_POINTER, result);
    *result = 0;
    SharedLock lock(OptionsCacheLock);
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
    *result = m_loadCounts.*count;
    return S_OK;
}

STDMETHODIMP CVeskaOptions::get_KeyCount(LONG* Count) {
    return LoadCount(&LoadCounts::keys, Count);
}

STDMETHODIMP CVeskaOptions::get_ValueCount(LONG* Count) {
    return LoadCount(&LoadCounts::values, Count);
}

STDMETHODIMP CVeskaOptions::get_OverriddenCount(LONG* Count) {
    return LoadCount(&LoadCounts::overridden, Count);
}

STDMETHODIMP CVeskaOptions::IsLocked(BSTR Root, BSTR Attr, VARIANT_BOOL* Locked) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::IsLocked");
    RETURN_HR_IF_NULL(E_POINTER, Locked);
    *Locked = VARIANT_FALSE;
    SharedLock lock(OptionsCacheLock);
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
    if (Root == nullptr || Attr == nullptr) return S_OK;
    const OpsInfo* node = GetOpsInfo(SetCorrectRoot(Root));
    if (node == nullptr) return S_OK;
    const auto found = FindValue(*node, Attr);
    if (found != node->values.end() && IsLockedOrigin(*found->second.get())) *Locked = VARIANT_TRUE;
    return S_OK;
}

STDMETHODIMP CVeskaOptions::get_PolicyRoot(BSTR* Root) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::get_PolicyRoot");
    RETURN_HR_IF_NULL(E_POINTER, Root);
    *Root = nullptr;
    SharedLock lock(OptionsCacheLock);
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
    UniqueBstr copy = TryCopyBstr(m_policyKey.c_str(), static_cast<UINT>(m_policyKey.size()));
    RETURN_HR_IF(E_OUTOFMEMORY, !copy);
    *Root = copy.detach();
    return S_OK;
}

STDMETHODIMP CVeskaOptions::get_LockedCount(LONG* Count) {
    return LoadCount(&LoadCounts::locked, Count);
}

STDMETHODIMP CVeskaOptions::get_SettingsFolder(BSTR* Folder) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::get_SettingsFolder");
    RETURN_HR_IF_NULL(E_POINTER, Folder);
    *Folder = nullptr;
    return ComBoundary([&]() -> HRESULT {
        std::wstring folder;
        RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), !SettingsFolderPath(folder));
        *Folder = CopyBstr(folder.data(), static_cast<UINT>(folder.size())).detach();
        return S_OK;
    });
}

// Touches nothing of the object: the merge runs into a tree of its own, which
// goes when the call returns, so no lock is held while files are parsed.
STDMETHODIMP CVeskaOptions::CheckSettings(BSTR Path, VARIANT* Files) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::CheckSettings");
    RETURN_HR_IF_NULL(E_POINTER, Files);
    ::VariantInit(Files);
    RETURN_HR_IF(E_INVALIDARG, ::SysStringLen(Path) == 0);
    return ComBoundary([&]() -> HRESULT {
        std::wstring path(TextOf(Path));
        // The rows name files by their full paths, as Init's do.
        const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
        if (needed != 0) {
            std::wstring full(needed, L'\0');
            const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
            if (length != 0 && length < needed) path.assign(full.data(), length);
        }
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        RETURN_HR_IF(E_INVALIDARG, attributes == INVALID_FILE_ATTRIBUTES);
        OpsInfoTree scratch(new OpsInfo());
        SettingsFileRows rows;
        const HRESULT merged = MergeSettingsFiles(
            *scratch, path, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, &rows);
        PutFileRows(rows, Files);
        return merged;
    });
}

}  // namespace veska

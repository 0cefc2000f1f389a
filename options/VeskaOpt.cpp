#include "options/VeskaOpt.h"

#include <algorithm>
#include <memory>

#include "module/TimeTrace.h"
#include "options/DefaultSettings.h"
#include "options/OxaSafeArray.h"
#include "options/RegistryTree.h"
#include "options/ValueConversion.h"
#include "options/ValueOrigin.h"
#include "support/Result.h"

namespace veska {

// The library's static objects are built at the default priority, later than
// this one.
__attribute__((init_priority(1000))) ReaderWriterLock OptionsCacheLock;

namespace {

// Paths up to this many code units are folded whole on the stack, the places
// of their backslashes kept as the bits of one word.
constexpr std::size_t kPathFoldCapacity = 64;

// Folds text[0, length), length <= 64, into out and returns a word whose bit i
// is set where unit i is a backslash. With SSE2, eight units at a time.
std::uint64_t FoldPath(const wchar_t* text, std::size_t length, wchar_t* out) noexcept {
    std::uint64_t backslashes = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i backslash = _mm_set1_epi16(L'\\');
    for (; i + 8 <= length; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), FoldBlock(units));
        const __m128i found = _mm_packs_epi16(_mm_cmpeq_epi16(units, backslash), _mm_setzero_si128());
        backslashes |= std::uint64_t(unsigned(_mm_movemask_epi8(found))) << i;
    }
#endif
    for (; i < length; ++i) {
        out[i] = FoldUnit(text[i]);
        if (text[i] == L'\\') backslashes |= std::uint64_t(1) << i;
    }
    return backslashes;
}

// Looks up every backslash-separated segment of [p, end) in turn, from node
// down; null as soon as one is not filed. A path that fits the fold buffer is
// folded whole first and its segments compared as they are; a longer one is
// folded segment by segment.
OpsInfo* Descend(OpsInfo* node, const wchar_t* p, const wchar_t* end) noexcept {
    const std::size_t length = static_cast<std::size_t>(end - p);
    if (length <= kPathFoldCapacity) {
        wchar_t folded[kPathFoldCapacity];
        std::uint64_t backslashes = FoldPath(p, length, folded);
        for (std::size_t start = 0;;) {
            const std::size_t stop = backslashes != 0 ? std::size_t(__builtin_ctzll(backslashes)) : length;
            const auto found = node->keys.find(FoldedView{std::wstring_view(folded + start, stop - start)});
            if (found == node->keys.end() || found->second == nullptr) return nullptr;
            node = found->second.get();
            if (backslashes == 0) return node;
            backslashes &= backslashes - 1;
            start = stop + 1;
        }
    }
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

// The value filed under name, read up to its first null; the empty name finds
// the key's unnamed value.
OpsInfo::ValueMap::const_iterator FindValue(const OpsInfo& node, const wchar_t* name) noexcept {
    return node.values.find(UnfoldedName{CacheValueName(TextOf(name))});
}

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

// Walks with a list of its own, at any depth.
LoadCounts CountCache(const OpsInfo& root) {
    LoadCounts counts;
    std::vector<const OpsInfo*> pending{&root};
    while (!pending.empty()) {
        const OpsInfo* node = pending.back();
        pending.pop_back();
        for (const auto& value : node->values) {
            ++counts.values;
            if (OriginOf(*value.second.get()).kind == OriginKind::SettingsFile) ++counts.overridden;
        }
        for (const auto& child : node->keys) {
            if (child.second == nullptr) continue;
            ++counts.keys;
            pending.push_back(child.second.get());
        }
    }
    return counts;
}

namespace {

const wchar_t* HiveName(HKEY hive) noexcept {
    if (hive == HKEY_LOCAL_MACHINE) return L"HKEY_LOCAL_MACHINE";
    if (hive == HKEY_CLASSES_ROOT) return L"HKEY_CLASSES_ROOT";
    return L"HKEY_CURRENT_USER";
}

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

// ---------------------------------------------------------------------------
// The cache

HRESULT CVeskaOptions::MainKeyToHive(int mainKey, HKEY* hive) noexcept {
    switch (mainKey) {
        case 0: *hive = HKEY_LOCAL_MACHINE; return S_OK;
        case 1: *hive = HKEY_CURRENT_USER; return S_OK;
        case 2: *hive = HKEY_CLASSES_ROOT; return S_OK;
        default: return E_INVALIDARG;
    }
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

std::wstring CVeskaOptions::RegistryPathOf(const CorrectedPath& path) const {
    std::wstring result;
    result.reserve(m_sMainKey.size() + 1 + path.head.size() + path.tail.size());
    result += m_sMainKey;
    result += L'\\';
    result += path.head;
    result += path.tail;
    return result;
}

std::wstring CVeskaOptions::RegistryKeyText(const CorrectedPath& path) const {
    std::wstring text = HiveName(m_hive);
    AppendKeyPath(text, m_sMainKey);
    AppendKeyPath(text, path.head);
    AppendKeyPath(text, path.tail);
    return text;
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
        OpsInfoTree root(new OpsInfo());
        // Stamped before reading, so a change made during the load is seen again
        // by the next refresh.
        root->stamp = KeyStamp(key.get());
        const std::uint64_t loadTime = CurrentStamp();
        ExclusiveLock lock(OptionsCacheLock);
        SettingsFileRows files;
        HRESULT hr = FillKeysValues(key.get(), root.get());
        if (SUCCEEDED(hr)) hr = LoadDefaultSettings(*root, &files) ? S_FALSE : S_OK;
        const LoadCounts counts = CountCache(*root);
        m_sMainKey = std::move(mainKey);
        m_hive = hive;
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
    BSTR copy = nullptr;
    if (m_bstrRoot) {
        copy = ::SysAllocStringLen(m_bstrRoot.get(), ::SysStringLen(m_bstrRoot.get()));
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, copy);
    }
    *Root = copy;
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
    BSTR prefix = ::SysAllocStringLen(nullptr, length);
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, prefix);
    std::wmemcpy(prefix, text.data(), text.size());
    prefix[length - 1] = L'\\';
    m_bstrRoot.reset(prefix);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Reading

namespace {

constexpr DISPID kDispidGetKeys = 3;
constexpr DISPID kDispidGetValues = 5;

// True for a call of GetKeys or GetValues in a form only scripts use: Root alone,
// or Root and a VARIANT passed by reference.
bool IsScriptArrayCall(DISPID id, WORD flags, const DISPPARAMS* params) noexcept {
    if (id != kDispidGetKeys && id != kDispidGetValues) return false;
    if ((flags & DISPATCH_METHOD) == 0 || params == nullptr || params->rgvarg == nullptr ||
        params->cNamedArgs != 0) {
        return false;
    }
    return params->cArgs == 1 ||
           (params->cArgs == 2 && V_VT(&params->rgvarg[0]) == (VT_BYREF | VT_VARIANT));
}

// The keys' array of strings as an array of VARIANTs of the same shape, each
// holding a copy of its string: the scripting engines index arrays of VARIANTs
// only.
HRESULT ToVariantArray(SAFEARRAY* strings, UniqueSafeArray& variants) noexcept {
    // The descriptor keeps its bounds last dimension first; SafeArrayCreate
    // takes them first dimension first.
    SAFEARRAYBOUND bounds[2] = {strings->rgsabound[1], strings->rgsabound[0]};
    variants.reset(::SafeArrayCreate(VT_VARIANT, 2, bounds));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, variants.get());
    SafeArrayDataAccess from;
    SafeArrayDataAccess to;
    RETURN_IF_FAILED(from.Access(strings));
    RETURN_IF_FAILED(to.Access(variants.get()));
    const BSTR* text = from.data<BSTR>();
    VARIANT* slot = to.data<VARIANT>();
    const ULONG count = bounds[0].cElements * bounds[1].cElements;
    for (ULONG i = 0; i < count; ++i) {
        if (text[i] != nullptr) {
            slot[i].bstrVal = ::SysAllocStringLen(text[i], ::SysStringLen(text[i]));
            RETURN_HR_IF_NULL(E_OUTOFMEMORY, slot[i].bstrVal);
        }
        slot[i].vt = VT_BSTR;
    }
    return S_OK;
}

}  // namespace

STDMETHODIMP OptionsDispatch::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) {
    if (IsLiveDispId(id)) {
        return InvokeLive(static_cast<IVeskaOptions3*>(this), id, iid, flags, params, result,
                          exception, argError);
    }
    if (!IsScriptArrayCall(id, flags, params)) {
        return DispatchImpl::Invoke(id, iid, lcid, flags, params, result, exception, argError);
    }
    if (!::InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    RETURN_IF_FAILED(CheckInvokeArguments(params, argError));
    const UINT rootIndex = params->cArgs - 1;  // the arguments come last first
    UniqueVariant root;
    if (FAILED(::VariantChangeType(root.get(), &params->rgvarg[rootIndex], 0, VT_BSTR))) {
        if (argError != nullptr) *argError = rootIndex;
        return DISP_E_TYPEMISMATCH;
    }
    UniqueSafeArray array;
    const HRESULT hr = id == kDispidGetKeys ? GetKeys(V_BSTR(root.get()), array.put())
                                            : GetValues(V_BSTR(root.get()), array.put());
    RETURN_IF_FAILED(hr);
    if (id == kDispidGetKeys && array.get() != nullptr) {
        UniqueSafeArray variants;
        RETURN_IF_FAILED(ToVariantArray(array.get(), variants));
        array = std::move(variants);
    }
    // No keys or values: an empty VARIANT, as the member hands out a null array.
    UniqueVariant value;
    if (array.get() != nullptr) {
        V_VT(value.get()) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(value.get()) = array.detach();
    }
    if (result != nullptr) RETURN_IF_FAILED(::VariantCopy(result, value.get()));
    if (params->cArgs == 2) {
        VARIANT* target = V_VARIANTREF(&params->rgvarg[0]);
        ::VariantClear(target);
        *target = value.detach();
    }
    return hr;
}

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
                                              const VARIANT* val, LONG changeDefault,
                                              LONG setDirtyBit, LONG addOnly) {
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
        RETURN_HR_IF(E_FAIL, found != node->values.end() && addOnly != 0);
        RETURN_HR_IF(E_FAIL, found == node->values.end() && changeDefault == 0 && addOnly == 0);
        // What can run out of memory is made before the cache changes.
        std::wstring registryPath;
        if (changeDefault != 0) registryPath = RegistryPathOf(path);

        // The registry receives the value written, also when the cache keeps a
        // value that only compares equal to it (the comparison follows the
        // locale, which ignores some characters).
        // The entry's origin becomes the write, whether or not the value changed;
        // a write over a value that stood for the registry's keeps saying so.
        const VARIANT* written = value.get();
        VARIANT* entry = nullptr;
        ValueOrigin origin{OriginKind::Written};
        // A refresh keeps an unsaved edit and reports a change of what it replaced.
        if (changeDefault == 0) {
            m_liveCache.RememberReplaced(path.head, path.tail, name,
                                         found != node->values.end() ? found->second.get() : nullptr);
        }
        if (found != node->values.end()) {
            origin.replacedRegistry = OriginOf(*found->second.get()).StandsForRegistry();
            if (!SameValue(*found->second.get(), *value.get())) {
                found->second = std::move(value);
                if (setDirtyBit != 0) m_bDirty = VARIANT_TRUE;
                written = found->second.get();
            }
            entry = found->second.get();
        } else {
            entry = node->values.emplace(UnfoldedName{name}, std::move(value)).first->second.get();
            written = entry;
        }
        SetOrigin(*entry, origin);
        if (changeDefault == 0) return S_OK;
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
    return InternalSetValueByName(Root, Attr, Val, ChangeDefault, SetDirtyBit, 0);
}

STDMETHODIMP CVeskaOptions::SetKeys(BSTR, SAFEARRAY*, LONG) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::SetKeys");
    return m_pRoot != nullptr ? S_OK : E_FAIL;
}

STDMETHODIMP CVeskaOptions::SetValues(BSTR, SAFEARRAY*, LONG) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::SetValues");
    return m_pRoot != nullptr ? S_OK : E_FAIL;
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
    return InternalSetValueByName(Root, Attr, Val, ChangeDefault, 0, 1);
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
        std::wstring registryPath;
        if (ChangeDefault != 0) registryPath = RegistryPathOf(path);

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
        if (ChangeDefault != 0) {
            // Deleted by the folded names the cache holds; the registry matches
            // value names without regard to case.
            if (const UniqueHkey key = OpenForChange(RegistryPathOf(path))) {
                for (const auto& entry : node->values) {
                    DeleteRegistryValue(key.get(), node->values.NameOf(entry).data());
                }
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
        if (!SplitAtLastBackslash(SetCorrectRoot(Root), &parentPath, &name)) return S_OK;
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

// ---------------------------------------------------------------------------
// Diagnostics: what the last Init read, and from where

static_assert(static_cast<int>(OriginKind::Registry) == VeskaOriginRegistry &&
              static_cast<int>(OriginKind::SettingsFile) == VeskaOriginSettingsFile &&
              static_cast<int>(OriginKind::Written) == VeskaOriginWritten &&
              static_cast<int>(OriginKind::Persisted) == VeskaOriginPersisted);

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
        const bool failed = MergeSettingsFiles(*scratch, path,
                                               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, &rows);
        PutFileRows(rows, Files);
        return failed ? S_FALSE : S_OK;
    });
}

// ---------------------------------------------------------------------------
// IPersistStreamInit: exposed, not implemented.

STDMETHODIMP CVeskaOptions::GetClassID(CLSID*) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetClassID");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::IsDirty() {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::IsDirty");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::Load(LPSTREAM) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::Load");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::Save(LPSTREAM, BOOL) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::Save");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::GetSizeMax(ULARGE_INTEGER*) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetSizeMax");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::InitNew() {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::InitNew");
    return E_NOTIMPL;
}

}  // namespace veska

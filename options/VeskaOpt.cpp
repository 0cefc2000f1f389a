#include "options/VeskaOpt.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include "module/Module.h"
#include "module/TimeTrace.h"
#include "options/DefaultSettings.h"
#include "options/OxaSafeArray.h"
#include "support/ReaderWriterLock.h"
#include "support/Result.h"

namespace veska {

namespace {

// The loader's first buffers: a name of 255 characters and its terminator, and
// 4096 bytes of data. They grow to whatever a key holds.
constexpr DWORD kNameCapacity = 256;
constexpr DWORD kDataCapacity = 4096;
// The largest value data the loader reads (1 MiB); a larger value is skipped
// alone, and the rest of its key loads as usual.
constexpr DWORD kLargestValueData = 1024 * 1024;

// Access of the keys that writes and removals open below HKEY_CURRENT_USER.
constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

// The name under which a key's unnamed value is filed, and the value name that
// writes a string to the unnamed value.
constexpr wchar_t kDefaultValueName[] = L"(Default)";

// The text of a string argument up to its first null, as the registry reads it.
// Scanned in place: reads run in the hosts' inner loops.
std::wstring_view TextOf(const wchar_t* text) noexcept {
    if (text == nullptr) return std::wstring_view();
    const wchar_t* end = text;
    while (*end != L'\0') ++end;
    return std::wstring_view(text, static_cast<std::size_t>(end - text));
}

// The trace scopes of a walk over a tree that visits it level by level: one scope
// per level, entered when the walk goes down into the level and left when it
// comes back, as a recursive walk would open and close them. The scope records
// live on the heap, and only while a trace sink is loaded (without one a scope has
// no effect); when memory runs out the deeper levels go untraced.
class LevelScopes {
public:
    LevelScopes(const wchar_t* function, const wchar_t* file, int line) noexcept
        : function_(function), file_(file), line_(line) {}
    ~LevelScopes() {
        while (depth_ > 0) Leave();
    }
    LevelScopes(const LevelScopes&) = delete;
    LevelScopes& operator=(const LevelScopes&) = delete;

    void Enter() noexcept {
        // Records are kept for the uppermost levels only, without gaps.
        if (traced_ == depth_ && TimeTraceCallback != nullptr) {
            if (Link* link = new (std::nothrow) Link(function_, file_, line_, top_)) {
                top_ = link;
                ++traced_;
            }
        }
        ++depth_;
    }

    void Leave() noexcept {
        if (traced_ == depth_) {
            Link* link = top_;
            top_ = link->below;
            delete link;
            --traced_;
        }
        --depth_;
    }

private:
    struct Link {
        Link(const wchar_t* function, const wchar_t* file, int line, Link* under) noexcept
            : scope(function, file, line), below(under) {}
        TimeTraceScope scope;
        Link* below;
    };

    const wchar_t* function_;
    const wchar_t* file_;
    int line_;
    Link* top_ = nullptr;
    std::size_t depth_ = 0;
    std::size_t traced_ = 0;
};

// Buffers of the loader, shared by every level of one load; they grow to the
// longest name and the largest value met.
struct LoadBuffers {
    std::vector<wchar_t> name = std::vector<wchar_t>(kNameCapacity);
    std::vector<BYTE> data = std::vector<BYTE>(kDataCapacity);
};

// Grows name to hold the longest value name (values) or sub-key name of key and
// its terminator; false when the key cannot say or name is that long already.
bool GrowNameBuffer(HKEY key, bool values, std::vector<wchar_t>& name) {
    DWORD longestSubKey = 0;
    DWORD longestValueName = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &longestSubKey, nullptr,
                           nullptr, &longestValueName, nullptr, nullptr,
                           nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::size_t needed = std::size_t(values ? longestValueName : longestSubKey) + 1;
    if (needed <= name.size()) return false;
    name.resize(needed);
    return true;
}

// Reads value index of key into buffers, growing them when its name or data does
// not fit. ERROR_MORE_DATA means a value over kLargestValueData, or one that
// kept changing its size while it was read: the caller skips it.
LONG ReadValue(HKEY key, DWORD index, LoadBuffers& buffers, DWORD* nameLength, DWORD* type,
               DWORD* size) {
    for (int attempt = 0;; ++attempt) {
        *nameLength = static_cast<DWORD>(buffers.name.size());
        *size = static_cast<DWORD>(buffers.data.size());
        const LONG status = ::RegEnumValueW(key, index, buffers.name.data(), nameLength, nullptr,
                                            type, buffers.data.data(), size);
        if (status != ERROR_MORE_DATA || attempt == 3) return status;
        // The name may be what does not fit; with room for it, the size of the
        // data alone is asked for.
        GrowNameBuffer(key, true, buffers.name);
        *nameLength = static_cast<DWORD>(buffers.name.size());
        DWORD needed = 0;
        if (::RegEnumValueW(key, index, buffers.name.data(), nameLength, nullptr, type, nullptr,
                            &needed) != ERROR_SUCCESS) {
            return ERROR_MORE_DATA;
        }
        if (needed > kLargestValueData) return ERROR_MORE_DATA;
        if (needed > buffers.data.size()) buffers.data.resize(needed);
    }
}

// Reads the REG_SZ and REG_DWORD values of key into node, in the registry's
// enumeration order; a value too large to load is passed over alone.
void LoadValues(HKEY key, OpsInfo& node, LoadBuffers& buffers) {
    if (key == nullptr) return;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 0;
        DWORD type = REG_NONE;
        DWORD size = 0;
        const LONG status = ReadValue(key, index, buffers, &nameLength, &type, &size);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) return;
        UniqueVariant value;
        if (type == REG_SZ) {
            // The text ends at its first null, and never beyond the data returned.
            const wchar_t* text = reinterpret_cast<const wchar_t*>(buffers.data.data());
            const std::size_t length = ::wcsnlen(text, size / sizeof(wchar_t));
            BSTR copy = CopyBstr(text, static_cast<UINT>(length)).detach();
            value.get()->vt = VT_BSTR;
            value.get()->bstrVal = copy;
        } else if (type == REG_DWORD) {
            // Shorter data is zero-extended instead of reading stale buffer bytes.
            DWORD number = 0;
            std::memcpy(&number, buffers.data.data(), size < sizeof(number) ? size : sizeof(number));
            value.get()->vt = VT_I4;
            value.get()->lVal = static_cast<LONG>(number);
        } else {
            continue;
        }
        const std::wstring_view name =
            nameLength != 0 ? std::wstring_view(buffers.name.data(), nameLength) : kDefaultValueName;
        auto entry = node.values.find(UnfoldedName{name});
        if (entry != node.values.end()) {
            // The key's unnamed value and a value literally named "(Default)"
            // share one name in the cache: the literal one wins, in whichever
            // order the registry lists them.
            if (nameLength == 0) continue;
            entry->second = std::move(value);
        } else {
            node.values.emplace(FoldedString(name), std::move(value));
        }
    }
}

// Looks up every backslash-separated segment of text in turn, from node down;
// null as soon as one is not filed.
OpsInfo* Descend(OpsInfo* node, std::wstring_view text) noexcept {
    const wchar_t* const end = text.data() + text.size();
    const wchar_t* segment = text.data();
    for (const wchar_t* p = segment;; ++p) {
        if (p != end && *p != L'\\') continue;
        const auto found = node->keys.find(UnfoldedName{std::wstring_view(segment, std::size_t(p - segment))});
        if (found == node->keys.end() || found->second == nullptr) return nullptr;
        node = found->second;
        if (p == end) return node;
        segment = p + 1;
    }
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

// Converts a value about to be stored: the 2- and 4-byte integers, booleans and
// decimals become VT_I4, everything else VT_BSTR. The tag of the value itself
// decides; a by-reference value becomes a string.
HRESULT ConvertForStore(VARIANT& value) noexcept {
    const VARTYPE vt = value.vt;
    const bool numeric = vt == VT_I2 || vt == VT_I4 || vt == VT_BOOL || vt == VT_DECIMAL;
    // A by-reference value without its target cannot be converted.
    if ((vt & VT_BYREF) != 0 && value.byref == nullptr) return E_FAIL;
    return ::VariantChangeType(&value, &value, 0, numeric ? VT_I4 : VT_BSTR);
}

// True when two stored values have the same tag and compare equal; strings are
// compared case-sensitively.
bool SameValue(const VARIANT& a, const VARIANT& b) noexcept {
    if (a.vt != b.vt) return false;
    return ::VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), LOCALE_USER_DEFAULT, 0) ==
           VARCMP_EQ;
}

// Writes a stored value (VT_I4 or VT_BSTR) below HKEY_CURRENT_USER at path. A
// string named exactly "(Default)" goes to the key's unnamed value. False when
// the registry refused the key or the value.
bool WriteRegistryValue(const std::wstring& path, const wchar_t* name, const VARIANT& value) noexcept {
    HKEY opened = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          kReadWrite, nullptr, &opened, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const UniqueHkey key = UniqueHkey::Adopt(opened);
    if (value.vt == VT_I4) {
        const DWORD number = static_cast<DWORD>(value.lVal);
        return ::RegSetValueExW(key.get(), name, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&number),
                                sizeof(number)) == ERROR_SUCCESS;
    }
    const bool unnamed = std::wcscmp(name, kDefaultValueName) == 0;
    const wchar_t* text = value.bstrVal != nullptr ? value.bstrVal : L"";
    const DWORD bytes = (::SysStringLen(value.bstrVal) + 1) * sizeof(wchar_t);
    if (::RegSetValueExW(key.get(), unnamed ? nullptr : name, 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(text), bytes) != ERROR_SUCCESS) {
        return false;
    }
    // A value literally named "(Default)" would win over the unnamed one at the
    // next load: it goes, so that the load gives back what was written.
    if (unnamed) ::RegDeleteValueW(key.get(), kDefaultValueName);
    return true;
}

// Opens a key below HKEY_CURRENT_USER for reading and writing; empty on failure.
UniqueHkey OpenForChange(const std::wstring& path) noexcept {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, kReadWrite, &opened) != ERROR_SUCCESS) {
        return UniqueHkey();
    }
    return UniqueHkey::Adopt(opened);
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

HRESULT CVeskaOptions::FillKeysValues(HKEY key, OpsInfo* node) {
    LevelScopes scopes(L"CVeskaOptions::FillKeysValues", VESKA_WIDEN(__FILE__), __LINE__);
    scopes.Enter();
    // One entry per key on the way down from key: its handle (owned below the
    // first), its node and the index of the next sub-key to read.
    struct Level {
        HKEY key;
        UniqueHkey owned;
        OpsInfo* node;
        DWORD nextSubKey;
    };
    std::vector<Level> levels;
    const auto buffers = std::make_unique<LoadBuffers>();

    LoadValues(key, *node, *buffers);
    levels.push_back(Level{key, UniqueHkey(), node, 0});
    while (!levels.empty()) {
        Level& level = levels.back();
        LONG status = ERROR_NO_MORE_ITEMS;
        if (level.key != nullptr) {
            do {
                DWORD nameLength = static_cast<DWORD>(buffers->name.size());
                FILETIME lastWrite;
                status = ::RegEnumKeyExW(level.key, level.nextSubKey, buffers->name.data(),
                                         &nameLength, nullptr, nullptr, nullptr, &lastWrite);
            } while (status == ERROR_MORE_DATA && GrowNameBuffer(level.key, false, buffers->name));
        }
        if (status != ERROR_SUCCESS) {
            levels.pop_back();
            scopes.Leave();
            continue;
        }
        ++level.nextSubKey;
        OpsInfo* child = level.node->GetOrCreateChild(buffers->name.data());
        // A sub-key that cannot be opened stays an empty node.
        HKEY opened = nullptr;
        UniqueHkey subKey;
        if (::RegOpenKeyExW(level.key, buffers->name.data(), 0, KEY_READ, &opened) == ERROR_SUCCESS) {
            subKey = UniqueHkey::Adopt(opened);
        }
        const HKEY handle = subKey.get();
        levels.push_back(Level{handle, std::move(subKey), child, 0});
        scopes.Enter();
        LoadValues(handle, *child, *buffers);
    }
    return S_OK;
}

void CVeskaOptions::FreeOpsInfoMem(OpsInfo* node) noexcept {
    LevelScopes scopes(L"CVeskaOptions::FreeOpsInfoMem", VESKA_WIDEN(__FILE__), __LINE__);
    scopes.Enter();
    if (node == nullptr) return;
    node->releaseParent = nullptr;
    OpsInfo* current = node;
    while (current != nullptr) {
        // Go down into the first remaining child in map order; its entry is
        // dropped now, as the whole key map goes with its node anyway.
        OpsInfo* child = nullptr;
        while (child == nullptr && !current->keys.empty()) {
            const auto first = current->keys.begin();
            child = first->second;
            current->keys.erase(first);
        }
        if (child != nullptr) {
            child->releaseParent = current;
            current = child;
            scopes.Enter();
            continue;
        }
        // No children left: release the node and go back up.
        OpsInfo* parent = current->releaseParent;
        current->values.clear();
        current->keys.clear();
        delete current;
        current = parent;
        if (current != nullptr) scopes.Leave();
    }
}

LONG CVeskaOptions::RecurseDeleteKey(HKEY parent, const wchar_t* name) noexcept {
    if (name == nullptr || *name == L'\0') return ERROR_INVALID_PARAMETER;
    try {
        // The keys on the way down from name, each with the name to delete it by.
        struct Level {
            UniqueHkey key;
            std::wstring name;
        };
        std::vector<Level> levels;
        HKEY opened = nullptr;
        LONG result = ::RegOpenKeyExW(parent, name, 0, kReadWrite, &opened);
        if (result != ERROR_SUCCESS) return result;
        levels.push_back(Level{UniqueHkey::Adopt(opened), name});
        wchar_t child[kNameCapacity];
        while (!levels.empty()) {
            DWORD length = kNameCapacity;
            if (::RegEnumKeyExW(levels.back().key.get(), 0, child, &length, nullptr, nullptr,
                                nullptr, nullptr) == ERROR_SUCCESS) {
                result = ::RegOpenKeyExW(levels.back().key.get(), child, 0, kReadWrite, &opened);
                if (result != ERROR_SUCCESS) return result;
                levels.push_back(Level{UniqueHkey::Adopt(opened), child});
                continue;
            }
            const std::wstring doomed = std::move(levels.back().name);
            levels.pop_back();
            const HKEY above = levels.empty() ? parent : levels.back().key.get();
            result = ::RegDeleteKeyW(above, doomed.c_str());
            if (result != ERROR_SUCCESS) return result;
        }
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

CVeskaOptions::CorrectedPath CVeskaOptions::SetCorrectRoot(const wchar_t* path) const noexcept {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::SetCorrectRoot");
    // put_Root keeps the prefix free of nulls and ending in a backslash, so the
    // segments of the joined path are those of the prefix followed by the path's.
    return CorrectedPath{std::wstring_view(m_bstrRoot.get(), ::SysStringLen(m_bstrRoot.get())),
                         TextOf(path)};
}

OpsInfo* CVeskaOptions::GetOpsInfo(const CorrectedPath& path) const noexcept {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetOpsInfo");
    OpsInfo* node = m_pRoot.get();
    if (node == nullptr || path.empty()) return node;
    if (!path.head.empty()) {
        node = Descend(node, path.head.substr(0, path.head.size() - 1));
        if (node == nullptr) return nullptr;
    }
    return Descend(node, path.tail);
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
        UniqueHkey key;
        HKEY opened = nullptr;
        if (::RegOpenKeyExW(hive, Root, 0, KEY_READ, &opened) == ERROR_SUCCESS) {
            key = UniqueHkey::Adopt(opened);
        }
        // Built aside and kept only when complete, so a failure leaves the object
        // uninitialised.
        std::wstring mainKey(TextOf(Root));
        OpsInfoTree root(new OpsInfo());
        ExclusiveLock lock(OptionsCacheLock);
        HRESULT hr = FillKeysValues(key.get(), root.get());
        if (SUCCEEDED(hr)) hr = LoadDefaultSettings(*root) ? S_FALSE : S_OK;
        m_sMainKey = std::move(mainKey);
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
                const FoldedString& name = entry.first;
                if (!name.IsNull()) {
                    *slot = CopyBstr(name.text(), static_cast<UINT>(name.view().size())).detach();
                }
                ++slot;
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
                const FoldedString& name = entry.first;
                if (!name.IsNull()) {
                    slot[0].bstrVal =
                        CopyBstr(name.text(), static_cast<UINT>(name.view().size())).detach();
                }
                slot[0].vt = VT_BSTR;
                ThrowIfFailed(::VariantCopy(&slot[1], const_cast<VARIANT*>(entry.second.get())));
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
    ::VariantInit(Val);
    const OpsInfo* node = GetOpsInfo(path);
    RETURN_HR_IF(E_FAIL, node == nullptr || Attr == nullptr);
    const auto found = node->values.find(UnfoldedName{TextOf(Attr)});
    RETURN_HR_IF(E_FAIL, found == node->values.end());
    return ::VariantCopy(Val, const_cast<VARIANT*>(found->second.get()));
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

        const std::wstring_view name = TextOf(attr);
        const auto found = node->values.find(UnfoldedName{name});
        RETURN_HR_IF(E_FAIL, found != node->values.end() && addOnly != 0);
        RETURN_HR_IF(E_FAIL, found == node->values.end() && changeDefault == 0 && addOnly == 0);
        // What can run out of memory is made before the cache changes.
        std::wstring registryPath;
        if (changeDefault != 0) registryPath = RegistryPathOf(path);

        // The registry receives the value written, also when the cache keeps a
        // value that only compares equal to it (the comparison follows the
        // locale, which ignores some characters).
        const VARIANT* written = value.get();
        if (found != node->values.end()) {
            if (!SameValue(*found->second.get(), *value.get())) {
                found->second = std::move(value);
                if (setDirtyBit != 0) m_bDirty = VARIANT_TRUE;
                written = found->second.get();
            }
        } else {
            written = node->values.emplace(FoldedString(name), std::move(value)).first->second.get();
        }
        // A value the registry refused lives in the cache alone: S_FALSE says
        // that the next load will not have it.
        if (changeDefault != 0 && !WriteRegistryValue(registryPath, attr, *written)) return S_FALSE;
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
        auto node = std::make_unique<OpsInfo>();
        parent->keys.emplace(FoldedString(name), node.get());
        node.release();
        if (ChangeDefault == 0) return S_OK;

        // The new node stays in the cache whatever the registry says.
        HKEY opened = nullptr;
        RETURN_IF_WIN32_ERROR(
            ::RegOpenKeyExW(HKEY_CURRENT_USER, registryPath.c_str(), 0, KEY_WRITE, &opened));
        const UniqueHkey parentKey = UniqueHkey::Adopt(opened);
        HKEY created = nullptr;
        RETURN_IF_WIN32_ERROR(::RegCreateKeyExW(parentKey.get(), keyName.c_str(), 0, nullptr,
                                                REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                                &created, nullptr));
        ::RegCloseKey(created);
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
        const auto found = node->values.find(UnfoldedName{TextOf(Attr)});
        RETURN_HR_IF(E_FAIL, found == node->values.end());
        std::wstring registryPath;
        if (ChangeDefault != 0) registryPath = RegistryPathOf(path);

        node->values.erase(found);
        if (ChangeDefault != 0) {
            if (const UniqueHkey key = OpenForChange(registryPath)) {
                ::RegDeleteValueW(key.get(), Attr);
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
                    if (!entry.first.IsNull()) ::RegDeleteValueW(key.get(), entry.first.text());
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

        OpsInfo* child = found->second;
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

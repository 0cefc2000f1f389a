#include "options/RegistryTree.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "options/LevelScopes.h"
#include "options/ValueOrigin.h"
#include "options/VeskaOpt.h"

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

// Reads the REG_SZ and REG_DWORD values of key into node. They are appended in
// the registry's enumeration order and filed once the key is read, so a key with
// many values loads in n log n, and the node keeps no spare room. A value too
// large to load is passed over alone. True when the enumeration reached its end
// (false when the registry failed on the way, or for a null key).
bool LoadValues(HKEY key, OpsInfo& node, LoadBuffers& buffers) {
    if (key == nullptr) return false;
    bool complete = false;
    const std::size_t filed = node.values.size();
    UniqueVariant unnamed;
    bool hasUnnamed = false;
    try {
        for (DWORD index = 0;; ++index) {
            DWORD nameLength = 0;
            DWORD type = REG_NONE;
            DWORD size = 0;
            const LONG status = ReadValue(key, index, buffers, &nameLength, &type, &size);
            if (status == ERROR_MORE_DATA) continue;
            if (status != ERROR_SUCCESS) {
                complete = status == ERROR_NO_MORE_ITEMS;
                break;
            }
            UniqueVariant value;
            if (type == REG_SZ) {
                // The text is the whole data less its terminating null, so that
                // embedded nulls come back as written. Data of odd length or
                // without a terminating null ends at its first null, and never
                // beyond the data returned.
                const wchar_t* text = reinterpret_cast<const wchar_t*>(buffers.data.data());
                const std::size_t units = size / sizeof(wchar_t);
                const std::size_t length = size % sizeof(wchar_t) == 0 && units > 0 && text[units - 1] == L'\0'
                                               ? units - 1
                                               : ::wcsnlen(text, units);
                BSTR copy = CopyBstr(text, static_cast<UINT>(length)).detach();
                value.get()->vt = VT_BSTR;
                value.get()->bstrVal = copy;
            } else if (type == REG_DWORD) {
                // Shorter data is zero-extended instead of reading stale buffer bytes.
                DWORD number = 0;
                std::memcpy(&number, buffers.data.data(),
                            size < sizeof(number) ? size : sizeof(number));
                value.get()->vt = VT_I4;
                value.get()->lVal = static_cast<LONG>(number);
            } else {
                continue;
            }
            SetOrigin(*value.get(), ValueOrigin{OriginKind::Registry});
            if (nameLength == 0) {
                unnamed = std::move(value);
                hasUnnamed = true;
                continue;
            }
            // Of named values that fold alike, the one listed last stays.
            node.values.AppendUnsorted(
                UnfoldedName{std::wstring_view(buffers.name.data(), nameLength)}, std::move(value));
        }
        node.values.SortAppended(filed);
    } catch (...) {
        // The node keeps its order: what this load appended goes.
        node.values.DropAppended(filed);
        throw;
    }
    // The key's unnamed value and a value literally named "(Default)" share one
    // name in the cache: the literal one wins, in whichever order the registry
    // lists them.
    if (hasUnnamed) {
        node.values.emplace(UnfoldedName{kDefaultValueName}, std::move(unnamed));
        node.values.shrink_to_fit();
    }
    return complete;
}

}  // namespace

// The handle is taken over only on success: a failing call need not leave it null.
UniqueHkey OpenKey(HKEY parent, const wchar_t* path, REGSAM access, LONG* status) noexcept {
    HKEY opened = nullptr;
    const LONG result = ::RegOpenKeyExW(parent, path, 0, access, &opened);
    if (status != nullptr) *status = result;
    return result == ERROR_SUCCESS ? UniqueHkey::Adopt(opened) : UniqueHkey();
}

UniqueHkey CreateKey(HKEY parent, const wchar_t* path, REGSAM access, LONG* status) noexcept {
    HKEY created = nullptr;
    const LONG result = ::RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                          nullptr, &created, nullptr);
    if (status != nullptr) *status = result;
    return result == ERROR_SUCCESS ? UniqueHkey::Adopt(created) : UniqueHkey();
}

bool ReadKeyValues(HKEY key, OpsInfo& node) {
    const auto buffers = std::make_unique<LoadBuffers>();
    return LoadValues(key, node, *buffers);
}

std::uint64_t KeyStamp(HKEY key) noexcept {
    FILETIME lastWrite{};
    if (key == nullptr || ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr, nullptr,
                                             &lastWrite) != ERROR_SUCCESS) {
        return 0;
    }
    return StampOf(lastWrite);
}

bool WriteRegistryValue(const std::wstring& path, const wchar_t* name, const VARIANT& value) noexcept {
    const UniqueHkey key = CreateKey(HKEY_CURRENT_USER, path.c_str(), kReadWrite);
    if (!key) return false;
    const bool unnamed = *name == L'\0' || (value.vt != VT_I4 && std::wcscmp(name, kDefaultValueName) == 0);
    LSTATUS status;
    if (value.vt == VT_I4) {
        const DWORD number = static_cast<DWORD>(value.lVal);
        status = ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                  sizeof(number));
    } else {
        // The whole text, embedded nulls included, and its terminating null.
        const wchar_t* text = value.bstrVal != nullptr ? value.bstrVal : L"";
        const DWORD bytes = (::SysStringLen(value.bstrVal) + 1) * sizeof(wchar_t);
        status = ::RegSetValueExW(key.get(), unnamed ? nullptr : name, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text), bytes);
    }
    if (status != ERROR_SUCCESS) return false;
    // A value literally named "(Default)" would win over the unnamed one at the
    // next load: it goes, so that the load gives back what was written.
    if (unnamed) ::RegDeleteValueW(key.get(), kDefaultValueName);
    return true;
}

void DeleteRegistryValue(HKEY key, const wchar_t* name) noexcept {
    if (CompareFolded(CacheValueName(name), kDefaultValueName) == 0) {
        ::RegDeleteValueW(key, nullptr);
        ::RegDeleteValueW(key, kDefaultValueName);
        return;
    }
    ::RegDeleteValueW(key, name);
}

UniqueHkey OpenForChange(const std::wstring& path) noexcept {
    return OpenKey(HKEY_CURRENT_USER, path.c_str(), kReadWrite);
}

LONG CreateRegistryKey(const std::wstring& parentPath, const wchar_t* name) noexcept {
    LONG status = ERROR_SUCCESS;
    const UniqueHkey parent = OpenKey(HKEY_CURRENT_USER, parentPath.c_str(), KEY_WRITE, &status);
    if (parent) CreateKey(parent.get(), name, KEY_ALL_ACCESS, &status);
    return status;
}

// ---------------------------------------------------------------------------
// The tree members of CVeskaOptions

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
        FILETIME lastWrite{};
        if (level.key != nullptr) {
            do {
                DWORD nameLength = static_cast<DWORD>(buffers->name.size());
                status = ::RegEnumKeyExW(level.key, level.nextSubKey, buffers->name.data(),
                                         &nameLength, nullptr, nullptr, nullptr, &lastWrite);
            } while (status == ERROR_MORE_DATA && GrowNameBuffer(level.key, false, buffers->name));
        }
        if (status != ERROR_SUCCESS) {
            // Every sub-key is filed: the node keeps no spare room.
            level.node->keys.shrink_to_fit();
            levels.pop_back();
            scopes.Leave();
            continue;
        }
        ++level.nextSubKey;
        OpsInfo* child = level.node->GetOrCreateChild(buffers->name.data());
        child->stamp = StampOf(lastWrite);
        // A sub-key that cannot be opened stays an empty node.
        UniqueHkey subKey = OpenKey(level.key, buffers->name.data(), KEY_READ);
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
    node->ReleaseChildren([&] { scopes.Enter(); }, [&] { scopes.Leave(); });
    delete node;
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
        LONG result = ERROR_SUCCESS;
        UniqueHkey top = OpenKey(parent, name, kReadWrite, &result);
        if (!top) return result;
        levels.push_back(Level{std::move(top), name});
        wchar_t child[kNameCapacity];
        while (!levels.empty()) {
            DWORD length = kNameCapacity;
            if (::RegEnumKeyExW(levels.back().key.get(), 0, child, &length, nullptr, nullptr,
                                nullptr, nullptr) == ERROR_SUCCESS) {
                UniqueHkey below = OpenKey(levels.back().key.get(), child, kReadWrite, &result);
                if (!below) return result;
                levels.push_back(Level{std::move(below), child});
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

}  // namespace veska

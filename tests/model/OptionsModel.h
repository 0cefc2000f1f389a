// A reference model of one options object, written from the object's documented
// behaviour and not from its code: the cache tree with folded names, the stored
// values with their type tags, the dirty flag, the Root prefix with the path
// correction, and the registry subtree below the Init path that writes, removals
// and additions change under HKEY_CURRENT_USER.
//
// Every string argument counts up to its first null, as the object reads it.
// Platform facts the model relies on (Wine's registry): key and value names
// compare without regard to case and keep the spelling they were created with;
// empty segments of a key path are skipped; an empty sub-key name opens the key
// itself; the unnamed value enumerates before every named one. Names in the
// tests vary in case only in A to Z, so folding A to Z is the registry's
// comparison as well.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veska::test {

// A string argument of a call: null, or the BSTR's text (which may hold nulls).
using Arg = std::optional<std::wstring>;

// The text a member reads from an argument: up to its first null.
std::wstring TextOf(const Arg& arg);

// A to Z folded to a to z, nothing else changed.
std::wstring Fold(std::wstring_view text);

// The folded name the cache files a value name under: the empty name and
// "(Default)" in any case are the key's unnamed value, "(default)".
std::wstring CacheName(std::wstring_view name);

// ---------------------------------------------------------------------------
// The registry below the Init path.

struct RegValue {
    std::wstring name;  // as first created; empty for the unnamed value
    DWORD type = REG_NONE;
    std::string data;
};

struct RegKey {
    std::wstring name;                        // as first created
    std::map<std::wstring, RegKey> keys;      // by folded name
    std::map<std::wstring, RegValue> values;  // by folded name
};

class RegistryModel {
public:
    // The key at path below the top, or null with the platform's error in
    // *error; empty segments are skipped.
    const RegKey* Open(std::wstring_view path, LONG* error = nullptr) const;
    // Creates the missing keys of path one by one, spelled as in the path; a
    // name longer than 255 characters stops it with ERROR_INVALID_PARAMETER.
    LONG Create(std::wstring_view path);
    // The key at path exists. An empty name is the unnamed value.
    void SetValue(std::wstring_view path, std::wstring_view name, DWORD type, std::string data);
    void DeleteValue(std::wstring_view path, std::wstring_view name);
    void DeleteKey(std::wstring_view parent, std::wstring_view name);

    // Sorted lines in the format of Snapshot(): the whole tree, or the values
    // and sub-key names of the key at path (none when it is missing).
    std::vector<std::wstring> Render() const;
    std::vector<std::wstring> RenderKey(std::wstring_view path) const;
    // The paths of the keys changed since the last call, each once.
    std::vector<std::wstring> TakeChanged();
    // Creates every key and value of the model below hive\path.
    void WriteTo(HKEY hive, const std::wstring& path) const;

    RegKey top;

private:
    RegKey* Find(std::wstring_view path, LONG* error = nullptr);
    std::vector<std::wstring> changed_;
};

// Snapshot() of hive\path split into sorted lines: the registry as a set.
std::vector<std::wstring> SortedSnapshot(HKEY hive, const std::wstring& path);
// The values and sub-key names of the key hive\path as RenderKey renders them.
std::vector<std::wstring> KeySnapshot(HKEY hive, const std::wstring& path);

// ---------------------------------------------------------------------------
// The options object.

// A value as the cache holds it: VT_I4 or VT_BSTR (null or text).
struct ModelValue {
    VARTYPE vt = VT_EMPTY;
    LONG number = 0;
    Arg text;
    bool locked = false;  // set by policy: writes and removals are refused
};

// "vt:text" as RenderVariant renders the same VARIANT.
std::wstring Render(const ModelValue& value);

struct ModelNode {
    std::map<std::wstring, std::unique_ptr<ModelNode>> keys;  // by folded name
    std::map<std::wstring, ModelValue> values;                // by folded name
};

// What a write does with the VARIANT it is given: its copy fails with copyHr,
// its conversion fails, or it is stored as stored.
struct Conversion {
    HRESULT copyHr = S_OK;
    bool converts = true;
    ModelValue stored;
};

// Rendering of an out-parameter that a failing member left as the caller set it.
inline constexpr wchar_t kUntouched[] = L"<untouched>";

class OptionsModel {
public:
    // registry: the subtree below the Init path, shared with later objects.
    explicit OptionsModel(RegistryModel& registry) : registry_(registry) {}

    // Loads from the registry model for MainKey 1; the other hives hold nothing
    // at the Init path of the tests.
    HRESULT Init(int mainKey, const Arg& root);
    HRESULT Apply() const;
    // The out-parameters are rendered as RenderKeys, RenderValues and
    // RenderVariant render the real ones, or kUntouched. A null out-parameter
    // is asked for with hasOut false.
    HRESULT GetKeys(const Arg& root, bool hasOut, std::wstring* keys) const;
    HRESULT GetValues(const Arg& root, bool hasOut, std::wstring* values) const;
    HRESULT GetValueByName(const Arg& root, const Arg& attr, bool hasOut,
                           std::wstring* value) const;
    // SetValueByName (addOnly 0) and AddValueByName (addOnly 1, setDirtyBit 0);
    // a null val is a null VARIANT pointer.
    HRESULT SetValue(const Arg& root, const Arg& attr, const Conversion* val, LONG changeDefault,
                     LONG setDirtyBit, LONG addOnly);
    // SetKeys (keys true) or SetValues at root: nothing changes; over locked
    // values S_FALSE (a subtree holding one) or E_ACCESSDENIED (a key holding one).
    HRESULT SetKeysOrValues(const Arg& root, bool keys) const;
    HRESULT GetDirty(bool hasOut, VARIANT_BOOL* dirty) const;
    HRESULT PutDirty(VARIANT_BOOL dirty);
    HRESULT GetRoot(bool hasOut, Arg* root) const;
    HRESULT PutRoot(const Arg& root);
    HRESULT RemoveValueByName(const Arg& root, const Arg& attr, LONG changeDefault);
    HRESULT RemoveValues(const Arg& root, LONG changeDefault);
    HRESULT RemoveKey(const Arg& root, LONG changeDefault);
    HRESULT AddKey(const Arg& root, LONG changeDefault);

    bool Initialised() const { return root_ != nullptr; }
    const ModelNode* Root() const { return root_.get(); }
    const Arg& Prefix() const { return prefix_; }
    // The node at a path argument, after the path correction; null when missing.
    const ModelNode* Find(const Arg& path) const;
    // The node the Root prefix names (the cache root without a prefix); null
    // when missing or not initialised.
    const ModelNode* PrefixNode() const;
    // The cache as a fresh object loads it from the registry model.
    static std::unique_ptr<ModelNode> Load(const RegKey& key);
    // Lays the values of the policy key over node, locked.
    static void OverlayPolicy(ModelNode& node, const RegKey& policy);
    // True when node or a key below it holds a locked value.
    static bool HoldsLocked(const ModelNode& node);

    // The policy key's tree (machine policy), laid over the cache by Init.
    RegKey policy;

private:
    std::wstring Corrected(const std::wstring& path) const;
    ModelNode* Lookup(const std::wstring& corrected) const;
    void DeleteRegistryValue(const std::wstring& corrected, const std::wstring& name);
    bool WriteRegistry(const std::wstring& corrected, const std::wstring& attr,
                       const ModelValue& value);
    // RemoveKey over a subtree holding locked values: what is not locked goes.
    void RemoveUnlocked(ModelNode& node, const std::wstring& corrected, LONG changeDefault);

    RegistryModel& registry_;
    std::unique_ptr<ModelNode> root_;
    VARIANT_BOOL dirty_ = 0;
    Arg prefix_;  // null, or text ending in a backslash
};

}  // namespace veska::test

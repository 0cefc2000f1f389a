#include "OptionsModel.h"

#include <algorithm>
#include <cstdio>

#include "support/Owners.h"
#include "tests/common/TestRegistry.h"

namespace veska::test {

namespace {

// The segments of a path split at every backslash, empty ones included.
std::vector<std::wstring> Segments(std::wstring_view path) {
    std::vector<std::wstring> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find(L'\\', start);
        out.emplace_back(path.substr(start, end == std::wstring_view::npos ? end : end - start));
        if (end == std::wstring_view::npos) return out;
        start = end + 1;
    }
}

std::string Bytes(const void* data, std::size_t size) {
    return std::string(static_cast<const char*>(data), size);
}

// REG_SZ data of a stored string: its text and a terminating null.
std::string StringData(const Arg& text) {
    const std::wstring body = text.value_or(L"") + L'\0';
    return Bytes(body.data(), body.size() * sizeof(wchar_t));
}

bool SameValue(const ModelValue& a, const ModelValue& b) {
    if (a.vt != b.vt) return false;
    if (a.vt == VT_I4) return a.number == b.number;
    // Strings compare as the platform's variant comparison does, in the user's
    // locale and case-sensitively.
    auto bstr = [](const Arg& text) {
        return text ? ::SysAllocStringLen(text->data(), UINT(text->size())) : nullptr;
    };
    VARIANT left{}, right{};
    left.vt = right.vt = VT_BSTR;
    left.bstrVal = bstr(a.text);
    right.bstrVal = bstr(b.text);
    const HRESULT order = ::VarCmp(&left, &right, LOCALE_USER_DEFAULT, 0);
    ::VariantClear(&left);
    ::VariantClear(&right);
    return order == VARCMP_EQ;
}

std::wstring RenderNames(const std::vector<std::wstring>& names) {
    if (names.empty()) return L"<null>";
    std::wstring out = names.front();
    for (std::size_t i = 1; i < names.size(); ++i) out += L"|" + names[i];
    return out;
}

std::wstring ValueLine(const std::wstring& prefix, const std::wstring& name, DWORD type,
                       const BYTE* data, std::size_t size) {
    wchar_t head[64];
    std::swprintf(head, 64, L" type=%lu size=%lu data=", type, static_cast<unsigned long>(size));
    std::wstring line = prefix + L"@" + name + head;
    static const wchar_t kDigits[] = L"0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i) {
        line += kDigits[data[i] >> 4];
        line += kDigits[data[i] & 15];
    }
    return line;
}

void RenderLines(const RegKey& key, const std::wstring& prefix, bool recursive,
                 std::vector<std::wstring>& out) {
    for (const auto& entry : key.values) {
        const RegValue& value = entry.second;
        const BYTE* data = reinterpret_cast<const BYTE*>(value.data.data());
        out.push_back(ValueLine(prefix, value.name, value.type, data, value.data.size()));
    }
    for (const auto& entry : key.keys) {
        const RegKey& child = entry.second;
        out.push_back(prefix + child.name + L"\\");
        if (recursive) RenderLines(child, prefix + child.name + L"\\", true, out);
    }
}

void WriteKey(const RegKey& key, HKEY hive, const std::wstring& path) {
    CreateKey(hive, path);
    for (const auto& [folded, value] : key.values) {
        SetRaw(hive, path, value.name.c_str(), value.type, value.data.data(),
               DWORD(value.data.size()));
    }
    for (const auto& [folded, child] : key.keys) WriteKey(child, hive, path + L"\\" + child.name);
}

}  // namespace

std::wstring TextOf(const Arg& arg) {
    if (!arg) return std::wstring();
    return arg->substr(0, arg->find(L'\0'));
}

std::wstring Fold(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        if (c >= L'A' && c <= L'Z') c = wchar_t(c + 32);
    }
    return out;
}

std::wstring CacheName(std::wstring_view name) {
    return name.empty() ? L"(default)" : Fold(name);
}

// ---------------------------------------------------------------------------
// Registry

// The longest key name the registry creates.
constexpr std::size_t kKeyNameLimit = 255;

RegKey* RegistryModel::Find(std::wstring_view path, LONG* error) {
    RegKey* key = &top;
    for (const std::wstring& segment : Segments(path)) {
        if (segment.empty()) continue;
        const auto found = key->keys.find(Fold(segment));
        if (found == key->keys.end()) {
            const bool tooLong = segment.size() > kKeyNameLimit;
            if (error != nullptr) *error = tooLong ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        key = &found->second;
    }
    return key;
}

const RegKey* RegistryModel::Open(std::wstring_view path, LONG* error) const {
    return const_cast<RegistryModel*>(this)->Find(path, error);
}

LONG RegistryModel::Create(std::wstring_view path) {
    RegKey* key = &top;
    std::wstring walked;
    for (const std::wstring& segment : Segments(path)) {
        if (segment.empty()) continue;
        const auto found = key->keys.find(Fold(segment));
        if (found == key->keys.end()) {
            if (segment.size() > kKeyNameLimit) return ERROR_INVALID_PARAMETER;
            changed_.push_back(walked);  // a new key in its parent's listing
        }
        RegKey& child = key->keys[Fold(segment)];
        if (child.name.empty()) child.name = segment;
        walked += (walked.empty() ? L"" : L"\\") + segment;
        key = &child;
    }
    return ERROR_SUCCESS;
}

void RegistryModel::SetValue(std::wstring_view path, std::wstring_view name, DWORD type,
                             std::string data) {
    RegKey& key = *Find(path);
    RegValue& value =
        key.values.try_emplace(Fold(name), RegValue{std::wstring(name)}).first->second;
    value.type = type;
    value.data = std::move(data);
    changed_.emplace_back(path);
}

void RegistryModel::DeleteValue(std::wstring_view path, std::wstring_view name) {
    Find(path)->values.erase(Fold(name));
    changed_.emplace_back(path);
}

void RegistryModel::DeleteKey(std::wstring_view parent, std::wstring_view name) {
    Find(parent)->keys.erase(Fold(name));
    changed_.emplace_back(parent);
}

std::vector<std::wstring> RegistryModel::Render() const {
    std::vector<std::wstring> out;
    RenderLines(top, L"", true, out);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::wstring> RegistryModel::RenderKey(std::wstring_view path) const {
    std::vector<std::wstring> out;
    if (const RegKey* key = Open(path)) RenderLines(*key, L"", false, out);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::wstring> RegistryModel::TakeChanged() {
    std::vector<std::wstring> out;
    for (std::wstring& path : changed_) {
        if (std::find(out.begin(), out.end(), path) == out.end()) out.push_back(std::move(path));
    }
    changed_.clear();
    return out;
}

void RegistryModel::WriteTo(HKEY hive, const std::wstring& path) const {
    WriteKey(top, hive, path);
}

std::vector<std::wstring> SortedSnapshot(HKEY hive, const std::wstring& path) {
    const std::wstring text = Snapshot(hive, path);
    std::vector<std::wstring> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find(L'\n', at);
        out.push_back(text.substr(at, end - at));
        at = end == std::wstring::npos ? text.size() : end + 1;
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::wstring> KeySnapshot(HKEY hive, const std::wstring& path) {
    std::vector<std::wstring> out;
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return out;
    const UniqueHkey key = UniqueHkey::Adopt(opened);
    std::vector<BYTE> data(65536);
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = DWORD(data.size());
        if (::RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        out.push_back(ValueLine(L"", name, type, data.data(), size));
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        out.push_back(std::wstring(name) + L"\\");
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---------------------------------------------------------------------------
// Options object

std::wstring Render(const ModelValue& value) {
    if (value.vt == VT_I4) return L"3:" + std::to_wstring(value.number);
    return value.text ? L"8:" + *value.text : L"8:<null>";
}

std::unique_ptr<ModelNode> OptionsModel::Load(const RegKey& key) {
    auto node = std::make_unique<ModelNode>();
    // The unnamed value (filed first, under the empty name) and a value
    // literally named "(Default)" share a name in the cache: the literal wins.
    for (const auto& [folded, value] : key.values) {
        ModelValue loaded;
        if (value.type == REG_SZ) {
            // All of it but a terminating null; odd-length or unterminated data
            // up to its first null.
            std::wstring text(value.data.size() / sizeof(wchar_t), L'\0');
            std::copy_n(value.data.data(), text.size() * sizeof(wchar_t),
                        reinterpret_cast<char*>(text.data()));
            const bool terminated = value.data.size() % 2 == 0 && !text.empty() && text.back() == L'\0';
            loaded.vt = VT_BSTR;
            loaded.text = terminated ? text.substr(0, text.size() - 1) : TextOf(text);
        } else if (value.type == REG_DWORD) {
            DWORD number = 0;
            std::copy_n(value.data.data(), std::min<std::size_t>(value.data.size(), 4),
                        reinterpret_cast<char*>(&number));
            loaded.vt = VT_I4;
            loaded.number = LONG(number);
        } else {
            continue;
        }
        node->values[value.name.empty() ? L"(default)" : Fold(value.name)] = loaded;
    }
    for (const auto& [folded, child] : key.keys) node->keys[Fold(child.name)] = Load(child);
    return node;
}

void OptionsModel::OverlayPolicy(ModelNode& node, const RegKey& policy) {
    const std::unique_ptr<ModelNode> values = Load(policy);
    for (auto& [name, value] : values->values) {
        node.values[name] = value;
        node.values[name].locked = true;
    }
    for (const auto& [folded, child] : policy.keys) {
        std::unique_ptr<ModelNode>& target = node.keys[Fold(child.name)];
        if (!target) target = std::make_unique<ModelNode>();
        OverlayPolicy(*target, child);
    }
}

bool OptionsModel::HoldsLocked(const ModelNode& node) {
    for (const auto& entry : node.values) {
        if (entry.second.locked) return true;
    }
    for (const auto& entry : node.keys) {
        if (HoldsLocked(*entry.second)) return true;
    }
    return false;
}

HRESULT OptionsModel::SetKeysOrValues(const Arg& root, bool keys) const {
    if (!root_) return E_FAIL;
    const ModelNode* node = Find(root);
    if (node == nullptr) return S_OK;
    if (keys) return HoldsLocked(*node) ? S_FALSE : S_OK;
    for (const auto& entry : node->values) {
        if (entry.second.locked) return E_ACCESSDENIED;
    }
    return S_OK;
}

void OptionsModel::RemoveUnlocked(ModelNode& node, const std::wstring& corrected, LONG changeDefault) {
    const bool registry = changeDefault != 0 && registry_.Open(corrected) != nullptr;
    for (auto value = node.values.begin(); value != node.values.end();) {
        if (value->second.locked) {
            ++value;
            continue;
        }
        if (registry) DeleteRegistryValue(corrected, value->first);
        value = node.values.erase(value);
    }
    for (auto key = node.keys.begin(); key != node.keys.end();) {
        if (HoldsLocked(*key->second)) {
            RemoveUnlocked(*key->second, corrected + L"\\" + key->first, registry ? 1 : 0);
            ++key;
            continue;
        }
        if (registry && !key->first.empty()) registry_.DeleteKey(corrected, key->first);
        key = node.keys.erase(key);
    }
}

std::wstring OptionsModel::Corrected(const std::wstring& path) const {
    return prefix_ ? *prefix_ + path : path;
}

ModelNode* OptionsModel::Lookup(const std::wstring& corrected) const {
    ModelNode* node = root_.get();
    if (node == nullptr || corrected.empty()) return node;
    for (const std::wstring& segment : Segments(corrected)) {
        const auto found = node->keys.find(Fold(segment));
        if (found == node->keys.end()) return nullptr;
        node = found->second.get();
    }
    return node;
}

const ModelNode* OptionsModel::Find(const Arg& path) const {
    return path ? Lookup(Corrected(TextOf(path))) : nullptr;
}

const ModelNode* OptionsModel::PrefixNode() const {
    if (!prefix_) return root_.get();
    // The prefix without its closing backslash, walked segment by segment.
    const ModelNode* node = root_.get();
    const std::wstring_view named = std::wstring_view(*prefix_).substr(0, prefix_->size() - 1);
    for (const std::wstring& segment : Segments(named)) {
        if (node == nullptr) return nullptr;
        const auto found = node->keys.find(Fold(segment));
        node = found == node->keys.end() ? nullptr : found->second.get();
    }
    return node;
}

HRESULT OptionsModel::Init(int mainKey, const Arg& root) {
    if (!root) return E_INVALIDARG;
    if (root_) return E_FAIL;
    if (mainKey < 0 || mainKey > 2) return E_INVALIDARG;
    root_ = mainKey == 1 ? Load(registry_.top) : std::make_unique<ModelNode>();
    OverlayPolicy(*root_, policy);
    return S_OK;
}

HRESULT OptionsModel::Apply() const { return root_ ? S_OK : E_FAIL; }

HRESULT OptionsModel::GetKeys(const Arg& root, bool hasOut, std::wstring* keys) const {
    *keys = kUntouched;
    if (!root_ || !root || !hasOut) return E_FAIL;
    const ModelNode* node = Find(root);
    if (node == nullptr) return E_FAIL;
    std::vector<std::wstring> names;
    for (const auto& entry : node->keys) names.push_back(entry.first);
    *keys = RenderNames(names);
    return S_OK;
}

HRESULT OptionsModel::GetValues(const Arg& root, bool hasOut, std::wstring* values) const {
    *values = kUntouched;
    if (!root_ || !root || !hasOut) return E_FAIL;
    const ModelNode* node = Find(root);
    if (node == nullptr) return E_FAIL;
    std::vector<std::wstring> rows;
    for (const auto& [name, value] : node->values) rows.push_back(name + L"=" + Render(value));
    *values = RenderNames(rows);
    return S_OK;
}

HRESULT OptionsModel::GetValueByName(const Arg& root, const Arg& attr, bool hasOut,
                                     std::wstring* value) const {
    *value = kUntouched;
    if (!root_ || !root || !hasOut) return E_FAIL;
    *value = L"0:";  // VT_EMPTY from here on
    const ModelNode* node = Find(root);
    if (node == nullptr || !attr) return E_FAIL;
    const auto found = node->values.find(CacheName(TextOf(attr)));
    if (found == node->values.end()) return E_FAIL;
    *value = Render(found->second);
    return S_OK;
}

HRESULT OptionsModel::SetValue(const Arg& root, const Arg& attr, const Conversion* val,
                               LONG changeDefault, LONG setDirtyBit, LONG addOnly) {
    if (val == nullptr || !root_ || !root || !attr) return E_FAIL;
    if (FAILED(val->copyHr)) return val->copyHr;
    const std::wstring corrected = Corrected(TextOf(root));
    if (!val->converts) return E_FAIL;
    ModelNode* node = Lookup(corrected);
    if (node == nullptr) return E_FAIL;
    const std::wstring name = TextOf(attr);
    const auto found = node->values.find(CacheName(name));
    if (found != node->values.end()) {
        if (found->second.locked) return E_ACCESSDENIED;
        if (addOnly != 0) return E_FAIL;
        if (!SameValue(found->second, val->stored)) {
            found->second = val->stored;
            if (setDirtyBit != 0) dirty_ = VARIANT_TRUE;
        }
    } else {
        if (changeDefault == 0 && addOnly == 0) return E_FAIL;
        node->values[CacheName(name)] = val->stored;
    }
    // The registry receives the value written, whether or not the cache changed;
    // one it refuses stays in the cache alone, with S_FALSE.
    if (changeDefault != 0 && !WriteRegistry(corrected, name, val->stored)) return S_FALSE;
    return S_OK;
}

void OptionsModel::DeleteRegistryValue(const std::wstring& corrected, const std::wstring& name) {
    if (registry_.Open(corrected) == nullptr) return;
    // Deleted as the caller spelled it (the registry ignores the case); the
    // unnamed value's names delete it and a literal "(Default)" alike.
    if (CacheName(name) != L"(default)") return registry_.DeleteValue(corrected, name);
    registry_.DeleteValue(corrected, L"");
    registry_.DeleteValue(corrected, L"(Default)");
}

bool OptionsModel::WriteRegistry(const std::wstring& corrected, const std::wstring& attr,
                                 const ModelValue& value) {
    if (registry_.Create(corrected) != ERROR_SUCCESS) return false;
    // The empty name, and a string named exactly "(Default)", write the key's
    // unnamed value; a value literally named "(Default)", which a load would
    // prefer, goes.
    const bool unnamed = attr.empty() || (value.vt != VT_I4 && attr == L"(Default)");
    if (value.vt == VT_I4) {
        registry_.SetValue(corrected, attr, REG_DWORD, Bytes(&value.number, sizeof(value.number)));
    } else {
        registry_.SetValue(corrected, unnamed ? L"" : attr, REG_SZ, StringData(value.text));
    }
    if (unnamed) registry_.DeleteValue(corrected, L"(Default)");
    return true;
}

HRESULT OptionsModel::GetDirty(bool hasOut, VARIANT_BOOL* dirty) const {
    if (!hasOut) return E_FAIL;
    *dirty = dirty_;
    return S_OK;
}

HRESULT OptionsModel::PutDirty(VARIANT_BOOL dirty) {
    dirty_ = dirty;
    return S_OK;
}

HRESULT OptionsModel::GetRoot(bool hasOut, Arg* root) const {
    if (!hasOut) return E_FAIL;
    *root = prefix_;
    return S_OK;
}

HRESULT OptionsModel::PutRoot(const Arg& root) {
    const std::wstring text = TextOf(root);
    if (text.empty()) {
        prefix_.reset();
    } else {
        prefix_ = text.back() == L'\\' ? text : text + L'\\';
    }
    return S_OK;
}

HRESULT OptionsModel::RemoveValueByName(const Arg& root, const Arg& attr, LONG changeDefault) {
    if (!root_ || !root) return E_FAIL;
    const std::wstring corrected = Corrected(TextOf(root));
    ModelNode* node = Lookup(corrected);
    if (node == nullptr || !attr) return E_FAIL;
    const std::wstring name = TextOf(attr);
    const auto found = node->values.find(CacheName(name));
    if (found == node->values.end()) return E_FAIL;
    if (found->second.locked) return E_ACCESSDENIED;
    node->values.erase(found);
    if (changeDefault != 0) DeleteRegistryValue(corrected, name);
    return S_OK;
}

HRESULT OptionsModel::RemoveValues(const Arg& root, LONG changeDefault) {
    if (!root_ || !root) return E_FAIL;
    const std::wstring corrected = Corrected(TextOf(root));
    ModelNode* node = Lookup(corrected);
    if (node == nullptr) return E_FAIL;
    for (const auto& entry : node->values) {
        if (entry.second.locked) return E_ACCESSDENIED;
    }
    if (changeDefault != 0) {
        // Deleted by the folded names the cache holds.
        for (const auto& entry : node->values) DeleteRegistryValue(corrected, entry.first);
    }
    node->values.clear();
    return S_OK;
}

HRESULT OptionsModel::RemoveKey(const Arg& root, LONG changeDefault) {
    if (!root_ || !root) return E_FAIL;
    const std::wstring corrected = Corrected(TextOf(root));
    const std::size_t last = corrected.rfind(L'\\');
    if (last == std::wstring::npos) return S_OK;
    const std::wstring parentPath = corrected.substr(0, last);
    const std::wstring name = corrected.substr(last + 1);
    ModelNode* parent = Lookup(parentPath);
    if (parent == nullptr) return E_FAIL;
    const auto found = parent->keys.find(Fold(name));
    if (found != parent->keys.end() && HoldsLocked(*found->second)) {
        RemoveUnlocked(*found->second, corrected, changeDefault);
        return S_FALSE;
    }
    if (parent->keys.erase(Fold(name)) == 0) return S_OK;
    // An empty key name would name the parent itself in the registry: the
    // registry is left alone then.
    if (changeDefault != 0 && !name.empty()) {
        if (registry_.Open(parentPath) != nullptr) registry_.DeleteKey(parentPath, name);
    }
    return S_OK;
}

HRESULT OptionsModel::AddKey(const Arg& root, LONG changeDefault) {
    if (!root_ || !root) return E_FAIL;
    const std::wstring corrected = Corrected(TextOf(root));
    const std::size_t last = corrected.rfind(L'\\');
    const std::wstring parentPath = last == std::wstring::npos ? L"" : corrected.substr(0, last);
    const std::wstring name = last == std::wstring::npos ? corrected : corrected.substr(last + 1);
    ModelNode* parent = Lookup(parentPath);
    if (parent == nullptr) return E_FAIL;
    if (parent->keys.count(Fold(name)) != 0) return E_FAIL;
    parent->keys[Fold(name)] = std::make_unique<ModelNode>();
    if (changeDefault == 0) return S_OK;
    // Only the last key is created: the parent must be in the registry. A
    // failure is reported as the HRESULT of the registry's error code.
    LONG error = ERROR_SUCCESS;
    if (registry_.Open(parentPath, &error) == nullptr) return HRESULT_FROM_WIN32(error);
    if (!name.empty()) error = registry_.Create(parentPath + L"\\" + name);
    return HRESULT_FROM_WIN32(error);
}

}  // namespace veska::test

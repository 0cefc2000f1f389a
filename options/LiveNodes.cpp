// The cache nodes as a refresh compares, marks and overlays them, what an
// options object keeps between refreshes, and the settings folder's listing.
#include "options/LiveNodes.h"

#include <cstring>

#include "options/RegistryTree.h"
#include "options/ValueOrigin.h"
#include "support/Folding.h"

namespace veska {

namespace live {

std::wstring Folded(std::wstring_view text) {
    std::wstring folded(text);
    FoldUnits(folded.data(), folded.size(), folded.data());
    return folded;
}

std::wstring Join(const std::wstring& path, std::wstring_view name) {
    std::wstring joined = path;
    if (!joined.empty()) joined += L'\\';
    joined += name;
    return joined;
}

bool SameData(const VARIANT& a, const VARIANT& b) noexcept {
    if (a.vt != b.vt) return false;
    switch (a.vt) {
        case VT_EMPTY:
        case VT_NULL: return true;
        case VT_BSTR: {
            const UINT length = ::SysStringLen(a.bstrVal);
            return length == ::SysStringLen(b.bstrVal) &&
                   (length == 0 || std::memcmp(a.bstrVal, b.bstrVal, length * sizeof(wchar_t)) == 0);
        }
        case VT_I1: case VT_UI1: return a.bVal == b.bVal;
        case VT_I2: case VT_UI2: case VT_BOOL: return a.iVal == b.iVal;
        case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
            return a.lVal == b.lVal;
        case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return a.llVal == b.llVal;
        default:
            return ::VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), LOCALE_INVARIANT, 0) == VARCMP_EQ;
    }
}

bool SameOrigin(const VARIANT& a, const VARIANT& b) noexcept {
    return a.wReserved1 == b.wReserved1 && a.wReserved2 == b.wReserved2 && a.wReserved3 == b.wReserved3;
}

bool SameSource(const VARIANT* a, const VARIANT* b) noexcept {
    if (a == nullptr || b == nullptr) return a == b;
    return SameData(*a, *b);
}

const OpsInfo* ChildOf(const OpsInfo* node, std::wstring_view folded) noexcept {
    if (node == nullptr) return nullptr;
    const auto found = node->keys.find(FoldedView{folded});
    return found != node->keys.end() ? found->second.get() : nullptr;
}

bool HasRegistryChildren(const OpsInfo& node) noexcept {
    for (const auto& child : node.keys) {
        if (child.second != nullptr && child.second->stamp > OpsInfo::kLocalStamp) return true;
    }
    return false;
}

bool HoldsFileOrEdit(const OpsInfo& node) noexcept {
    for (const auto& value : node.values) {
        const OriginKind kind = OriginOf(*value.second.get()).kind;
        if (kind == OriginKind::SettingsFile || kind == OriginKind::Written ||
            kind == OriginKind::MachinePolicy || kind == OriginKind::UserPolicy) {
            return true;
        }
    }
    return false;
}

bool OnlyFilesMade(const OpsInfo& node) noexcept {
    if (node.stamp != OpsInfo::kNoRegistryStamp) return false;
    for (const auto& child : node.keys) {
        if (child.second != nullptr && !OnlyFilesMade(*child.second)) return false;
    }
    return true;
}

void MarkUnverified(OpsInfo& node) noexcept {
    node.stamp = kUnverifiedStamp;
    for (auto& child : node.keys) {
        if (child.second != nullptr) MarkUnverified(*child.second);
    }
}

void OverlayFiles(OpsInfo& node, const OpsInfo* files) {
    if (files == nullptr) return;
    for (const auto& value : files->values) {
        const std::wstring_view name = files->values.NameOf(value);
        UniqueVariant copy = UniqueVariant::CopyOf(*value.second.get());
        ValueOrigin origin = OriginOf(*value.second.get());
        const auto found = node.values.find(FoldedView{name});
        origin.replacedRegistry = found != node.values.end() && OriginOf(*found->second.get()).StandsForRegistry();
        SetOrigin(*copy.get(), origin);
        if (found != node.values.end()) {
            found->second = std::move(copy);
        } else {
            node.values.emplace(UnfoldedName{name}, std::move(copy));
        }
    }
    for (const auto& child : files->keys) {
        if (child.second == nullptr) continue;
        const std::wstring name(files->keys.NameOf(child));
        OverlayFiles(*node.GetOrCreateChild(name.c_str()), child.second.get());
    }
}

std::vector<SettingsFileStamp> ListSettingsFolder(const std::wstring& folder) {
    std::vector<SettingsFileStamp> listing;
    WIN32_FIND_DATAW found;
    UniqueFindHandle search = UniqueFindHandle::Adopt(::FindFirstFileW((folder + L"*.xml").c_str(), &found));
    if (!search) return listing;
    do {
        listing.push_back(SettingsFileStamp{
            found.cFileName, (std::uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
            StampOf(found.ftLastWriteTime)});
    } while (::FindNextFileW(search.get(), &found));
    return listing;
}

bool ChangedSinceInit(const std::vector<SettingsFileStamp>& listing, const std::wstring& folder,
                      const SettingsFileRows& rows, std::uint64_t loadTime) {
    if (listing.size() != rows.size()) return true;
    for (std::size_t i = 0; i < listing.size(); ++i) {
        if (rows[i].path != folder + listing[i].name || listing[i].written >= loadTime) return true;
    }
    return false;
}

}  // namespace live

std::wstring ReplacedKey(std::wstring_view path, std::wstring_view name) {
    std::wstring key(path);
    key += L'\x1';
    key += name;
    return key;
}

std::uint64_t CurrentStamp() noexcept {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return StampOf(now);
}

void LiveCacheState::RememberReplaced(std::wstring_view head, std::wstring_view tail,
                                      std::wstring_view name, const VARIANT* replacedValue) {
    std::wstring path(head);
    path += tail;
    std::wstring key = ReplacedKey(live::Folded(path), live::Folded(CacheValueName(name)));
    const bool fromSource = replacedValue != nullptr && OriginOf(*replacedValue).kind != OriginKind::Written;
    const auto found = replaced.find(key);
    // An edit over an edit keeps what the first one replaced.
    if (found != replaced.end() && !fromSource) return;
    UniqueVariant value = fromSource ? UniqueVariant::CopyOf(*replacedValue) : UniqueVariant();
    if (found != replaced.end()) {
        found->second = std::move(value);
    } else {
        replaced.emplace(std::move(key), std::move(value));
    }
}

}  // namespace veska

#include "options/OpsInfo.h"

#include <memory>

#include "options/RegistryTree.h"

namespace veska {

OpsInfo* OpsInfo::GetOrCreateChild(const wchar_t* name) {
    auto found = keys.find(UnfoldedName{name ? std::wstring_view(name) : std::wstring_view()});
    if (found != keys.end() && found->second != nullptr) return found->second.get();
    auto child = std::make_unique<OpsInfo>();
    if (found == keys.end()) {
        found = keys.emplace(UnfoldedName{name ? std::wstring_view(name) : std::wstring_view()}, nullptr)
                    .first;
    }
    found->second = std::move(child);
    return found->second.get();
}

VARIANT& OpsInfo::ValueEntry(std::wstring_view name) {
    name = CacheValueName(name);
    auto found = values.find(UnfoldedName{name});
    if (found == values.end()) found = values.emplace(UnfoldedName{name}, UniqueVariant()).first;
    return *found->second.get();
}

}  // namespace veska

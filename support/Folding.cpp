#include "support/Folding.h"

namespace veska {

int CompareFolded(std::wstring_view a, std::wstring_view b) noexcept {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const wchar_t x = FoldUnit(a[i]);
        const wchar_t y = FoldUnit(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace veska

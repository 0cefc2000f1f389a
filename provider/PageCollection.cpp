// Collecting the pages: every registered object is asked for its pages, which
// are merged into one list in priority order, with the objects that gave them.
#include "provider/PropertyProvider.h"

#include <algorithm>

#include "support/Result.h"

namespace veska {

namespace {

// Length of a CLSID in braced registry form, without the terminator.
constexpr int kGuidStringLength = 38;

}  // namespace

HRESULT CPropertyProvider::CollectPages(CollectedPages& pages) {
    pages.objects.reserve(m_registered.size() + 1);
    std::vector<PageEntry> working;

    // Our own references on the entries: an object that answers for its pages may
    // call back into the provider and change the list meanwhile.
    std::vector<ComPtr<IUnknown>> held;
    held.reserve(m_registered.size());
    for (const ComPtr<IUnknown>& entry : m_registered) {
        if (entry) held.push_back(ComPtr<IUnknown>::CopyOf(entry.get()));
    }

    for (const ComPtr<IUnknown>& entry : held) {
        ULONG added = 0;
        if (ComPtr<IOrderedPropertyPages> ordered = entry.try_query<IOrderedPropertyPages>()) {
            added = AddOrderedPages(ordered.get(), working);
        } else if (ComPtr<ISpecifyPropertyPages> specified =
                       entry.try_query<ISpecifyPropertyPages>()) {
            added = AddSpecifiedPages(specified.get(), working);
        } else {
            pages.objects.clear();
            return E_FAIL;
        }
        if (added > 0) {
            pages.objects.push_back(ComPtr<IUnknown>::CopyOf(entry.get()));
            pages.totalPages += added;
        }
    }
    pages.objects.push_back(ComPtr<IUnknown>::CopyOf(ControllingUnknown()));

    pages.pageClsids.reset(new CLSID[pages.totalPages]);
    if (pages.totalPages > 0) {
        pages.pageGuidStrings = UniqueSafeArray::Adopt(
            ThrowIfNull(::SafeArrayCreateVector(VT_BSTR, 0, pages.totalPages)));
    }
    SafeArrayDataAccess strings;
    if (pages.pageGuidStrings) ThrowIfFailed(strings.Access(pages.pageGuidStrings.get()));
    wchar_t buffer[kGuidStringLength + 1];
    for (const PageEntry& entry : working) {
        if (pages.pageClsidCount >= pages.totalPages) break;
        pages.pageClsids[pages.pageClsidCount] = entry.clsid;
        ::StringFromGUID2(entry.clsid, buffer, kGuidStringLength + 1);
        strings.data<BSTR>()[pages.pageClsidCount] = CopyBstr(buffer, kGuidStringLength).detach();
        ++pages.pageClsidCount;
    }
    return S_OK;
}

void CPropertyProvider::ReleasePagesAndClearReadOnly(CollectedPages& pages) noexcept {
    pages.objects.clear();
    pages.pageClsids.reset();
    m_bPropertySheetReadOnly = false;
    m_bReadOnly = false;
}

void CPropertyProvider::InsertPageSorted(std::vector<PageEntry>& pages, const PageEntry& entry) {
    // Before the first page of a strictly lower priority: the list stays in
    // descending order and pages of equal priority keep their arrival order.
    const auto position = std::upper_bound(pages.begin(), pages.end(), entry,
                                           [](const PageEntry& inserted, const PageEntry& listed) {
                                               return inserted.priority > listed.priority;
                                           });
    pages.insert(position, entry);
}

ULONG CPropertyProvider::AddSpecifiedPages(ISpecifyPropertyPages* specified,
                                           std::vector<PageEntry>& pages) {
    CAUUID announced = {0, nullptr};
    if (FAILED(specified->GetPages(&announced))) return 0;
    const UniqueCoTaskMem elements = UniqueCoTaskMem::Adopt(announced.pElems);
    // A count without an array announces nothing.
    if (announced.cElems == 0 || !elements) return 0;
    for (ULONG i = 0; i < announced.cElems; ++i) InsertPageSorted(pages, {announced.pElems[i], 0});
    return announced.cElems;
}

ULONG CPropertyProvider::AddOrderedPages(IOrderedPropertyPages* ordered,
                                         std::vector<PageEntry>& pages) {
    UniqueSafeArray array;
    if (FAILED(ordered->GetOrderedPages(array.put())) || !array) return 0;
    // Only a two-dimensional array of VARIANT has the rows this reads; anything
    // else would be read as the wrong element type.
    VARTYPE vt = VT_EMPTY;
    if (::SafeArrayGetDim(array.get()) != 2 || FAILED(::SafeArrayGetVartype(array.get(), &vt)) ||
        vt != VT_VARIANT) {
        return 0;
    }
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(::SafeArrayGetLBound(array.get(), 2, &lower)) ||
        FAILED(::SafeArrayGetUBound(array.get(), 2, &upper))) {
        return 0;
    }
    const LONGLONG rows = static_cast<LONGLONG>(upper) - lower + 1;

    ULONG added = 0;
    for (LONGLONG row = 0; row < rows; ++row) {
        LONG clsidIndex[2] = {0, static_cast<LONG>(row)};
        LONG priorityIndex[2] = {1, static_cast<LONG>(row)};
        UniqueVariant clsidText;
        UniqueVariant priority;
        // An index outside the array leaves the VARIANT empty, which skips the row.
        ::SafeArrayGetElement(array.get(), clsidIndex, clsidText.get());
        ::SafeArrayGetElement(array.get(), priorityIndex, priority.get());
        if (clsidText.vt() != VT_BSTR || priority.vt() != VT_I4) continue;
        CLSID clsid;
        if (FAILED(::CLSIDFromString(clsidText.get()->bstrVal, &clsid))) continue;
        InsertPageSorted(pages, {clsid, priority.get()->lVal});
        ++added;
    }
    return added;
}

}  // namespace veska

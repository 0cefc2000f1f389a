// Two-dimensional safe arrays as the reading members hand them out: the first
// dimension (the one a script indexes first) holds the columns, the second the
// rows, both from 0, so the elements of one row lie next to each other.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "support/Owners.h"

namespace veska {

// Builds one such array of Element (BSTR or VARIANT) in a UniqueSafeArray: the
// builder destroys it unless Detach hands it to the caller.
template <class Element>
class COxaSafeArray {
public:
    // Makes an array of rows x columns elements of type vt, all zero, replacing
    // (and destroying) the one held. The one place the library makes such an
    // array. Throws HResultError (E_OUTOFMEMORY) when the platform makes none.
    void Create(ULONG rows, ULONG columns, VARTYPE vt);

    // Stores a copy of *element at (column, row); the caller keeps its own value.
    // E_UNEXPECTED before Create, E_POINTER for no element, E_INVALIDARG outside
    // the bounds.
    HRESULT PutElement(const Element* element, LONG row, LONG column) noexcept;

    // The array held, still owned by the builder.
    SAFEARRAY* Array() const noexcept { return array_.get(); }

    // Gives the array to the caller, who then destroys it; the builder is left
    // empty.
    [[nodiscard]] SAFEARRAY* Detach() noexcept { return array_.detach(); }

private:
    UniqueSafeArray array_;
};

extern template class COxaSafeArray<BSTR>;
extern template class COxaSafeArray<VARIANT>;

}  // namespace veska

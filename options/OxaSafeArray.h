// Two-dimensional safe arrays as the reading members hand them out: the first
// dimension (the one a script indexes first) holds the columns, the second the
// rows, both from 0, so the elements of one row lie next to each other.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <stdexcept>

#include "support/Result.h"

namespace veska {

// Thrown when an array cannot be allocated: a runtime error named after the
// builder that also carries the platform's HRESULT to the COM boundary.
class COxaSafeArrayError : public std::runtime_error, public HResultError {
public:
    explicit COxaSafeArrayError(HRESULT hr) : std::runtime_error("COxaSafeArray"), HResultError(hr) {}
};

// Holds one two-dimensional SAFEARRAY whose elements are Element (BSTR or
// VARIANT). While m_bOwner is true the holder destroys the array it holds; Detach
// hands the array to the caller.
template <class Element>
class COxaSafeArray {
public:
    COxaSafeArray() noexcept = default;
    ~COxaSafeArray();
    COxaSafeArray(const COxaSafeArray&) = delete;
    COxaSafeArray& operator=(const COxaSafeArray&) = delete;

    // Makes an array of rows x columns elements of type vt, all zero, replacing
    // (and destroying) the one held. Throws COxaSafeArrayError.
    void Create(ULONG rows, ULONG columns, VARTYPE vt);

    // Stores a copy of *element at (column, row); the caller keeps its own value.
    HRESULT PutElement(const Element* element, LONG row, LONG column) noexcept;

    // Elements of the first dimension; 1 for a one-dimensional array or none.
    ULONG ColumnCount() const noexcept;

    // Destroys the array held; S_OK when none is held.
    HRESULT Destroy() noexcept;

    // The array held, still owned by the holder.
    SAFEARRAY* Array() const noexcept { return m_psa; }

    // Gives the array to the caller, who then destroys it; the holder is left empty.
    [[nodiscard]] SAFEARRAY* Detach() noexcept;

private:
    SAFEARRAY* m_psa = nullptr;
    bool m_bOwner = true;
};

extern template class COxaSafeArray<BSTR>;
extern template class COxaSafeArray<VARIANT>;

}  // namespace veska

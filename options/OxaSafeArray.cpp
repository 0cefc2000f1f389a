#include "options/OxaSafeArray.h"

namespace veska {

namespace {

// The features that tell how an element is handed to SafeArrayPutElement.
constexpr USHORT kElementKindMask = 0x0FFF & ~(FADF_HAVEVARTYPE | FADF_FIXEDSIZE);

}  // namespace

template <class Element>
void COxaSafeArray<Element>::Create(ULONG rows, ULONG columns, VARTYPE vt) {
    array_.reset();
    // Bounds are given first dimension first: the columns, then the rows. The
    // platform records the element type and the features that go with it.
    SAFEARRAYBOUND bounds[2] = {{columns, 0}, {rows, 0}};
    array_.reset(ThrowIfNull(::SafeArrayCreate(vt, 2, bounds)));
}

template <class Element>
HRESULT COxaSafeArray<Element>::PutElement(const Element* element, LONG row, LONG column) noexcept {
    SAFEARRAY* const psa = array_.get();
    if (psa == nullptr) return E_UNEXPECTED;
    if (element == nullptr) return E_POINTER;
    if (row < 0 || static_cast<ULONG>(row) >= psa->rgsabound[0].cElements || column < 0 ||
        static_cast<ULONG>(column) >= psa->rgsabound[1].cElements) {
        return E_INVALIDARG;
    }
    LONG indexes[2] = {column, row};
    void* passed = nullptr;
    switch (psa->fFeatures & kElementKindMask) {
        case 0:
        case FADF_VARIANT:
            passed = const_cast<Element*>(element);
            break;
        case FADF_BSTR:
        case FADF_UNKNOWN:
        case FADF_DISPATCH:
            passed = *reinterpret_cast<void* const*>(element);
            break;
        default:
            return E_FAIL;
    }
    return ::SafeArrayPutElement(psa, indexes, passed);
}

template class COxaSafeArray<BSTR>;
template class COxaSafeArray<VARIANT>;

}  // namespace veska

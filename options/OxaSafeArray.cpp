#include "options/OxaSafeArray.h"

namespace veska {

namespace {

// The features an array of element type vt announces besides FADF_HAVEVARTYPE.
USHORT FeaturesOf(VARTYPE vt) noexcept {
    switch (vt) {
        case VT_BSTR: return FADF_BSTR;
        case VT_DISPATCH: return FADF_DISPATCH;
        case VT_VARIANT: return FADF_VARIANT;
        case VT_UNKNOWN: return FADF_UNKNOWN;
        default: return 0;
    }
}

// The features that tell how an element is handed to SafeArrayPutElement.
constexpr USHORT kElementKindMask = 0x0FFF & ~(FADF_HAVEVARTYPE | FADF_FIXEDSIZE);

}  // namespace

template <class Element>
void COxaSafeArray<Element>::Create(ULONG rows, ULONG columns, VARTYPE vt) {
    array_.reset();
    SAFEARRAY* psa = nullptr;
    // The Ex form reserves and fills the hidden element-type field.
    ThrowIfFailed(::SafeArrayAllocDescriptorEx(vt, 2, &psa));
    // Bounds are stored from the last dimension to the first.
    psa->rgsabound[0].cElements = rows;
    psa->rgsabound[0].lLbound = 0;
    psa->rgsabound[1].cElements = columns;
    psa->rgsabound[1].lLbound = 0;
    psa->cbElements = sizeof(Element);
    psa->fFeatures = FADF_HAVEVARTYPE | FeaturesOf(vt);
    const HRESULT hr = ::SafeArrayAllocData(psa);
    if (FAILED(hr)) {
        ::SafeArrayDestroyDescriptor(psa);
        throw HResultError(hr);
    }
    array_.reset(psa);
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

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
COxaSafeArray<Element>::~COxaSafeArray() {
    if (m_bOwner) Destroy();
}

template <class Element>
void COxaSafeArray<Element>::Create(ULONG rows, ULONG columns, VARTYPE vt) {
    if (m_bOwner) Destroy();
    SAFEARRAY* psa = nullptr;
    // The Ex form reserves and fills the hidden element-type field.
    HRESULT hr = ::SafeArrayAllocDescriptorEx(vt, 2, &psa);
    if (FAILED(hr)) throw COxaSafeArrayError(hr);
    m_bOwner = true;
    // Bounds are stored from the last dimension to the first.
    psa->rgsabound[0].cElements = rows;
    psa->rgsabound[0].lLbound = 0;
    psa->rgsabound[1].cElements = columns;
    psa->rgsabound[1].lLbound = 0;
    psa->cbElements = sizeof(Element);
    psa->fFeatures = FADF_HAVEVARTYPE | FeaturesOf(vt);
    hr = ::SafeArrayAllocData(psa);
    if (FAILED(hr)) {
        ::SafeArrayDestroyDescriptor(psa);
        throw COxaSafeArrayError(hr);
    }
    m_psa = psa;
}

template <class Element>
HRESULT COxaSafeArray<Element>::PutElement(const Element* element, LONG row, LONG column) noexcept {
    if (m_psa == nullptr) return E_UNEXPECTED;
    if (element == nullptr) return E_POINTER;
    const ULONG rowCount = m_psa->cDims >= 2 ? m_psa->rgsabound[m_psa->cDims - 2].cElements : 1;
    if (row < 0 || static_cast<ULONG>(row) >= rowCount || column < 0 ||
        static_cast<ULONG>(column) >= ColumnCount()) {
        return E_INVALIDARG;
    }
    LONG indexes[2] = {column, row};
    void* passed = nullptr;
    switch (m_psa->fFeatures & kElementKindMask) {
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
    return ::SafeArrayPutElement(m_psa, indexes, passed);
}

template <class Element>
ULONG COxaSafeArray<Element>::ColumnCount() const noexcept {
    if (m_psa == nullptr || m_psa->cDims < 2) return 1;
    return m_psa->rgsabound[m_psa->cDims - 1].cElements;
}

template <class Element>
HRESULT COxaSafeArray<Element>::Destroy() noexcept {
    if (m_psa == nullptr) return S_OK;
    while (m_psa->cLocks > 0 && SUCCEEDED(::SafeArrayUnlock(m_psa))) {
    }
    ::SafeArrayDestroyData(m_psa);
    const HRESULT hr = ::SafeArrayDestroyDescriptor(m_psa);
    m_psa = nullptr;
    return hr;
}

template <class Element>
SAFEARRAY* COxaSafeArray<Element>::Detach() noexcept {
    SAFEARRAY* psa = m_psa;
    m_psa = nullptr;
    return psa;
}

template class COxaSafeArray<BSTR>;
template class COxaSafeArray<VARIANT>;

}  // namespace veska

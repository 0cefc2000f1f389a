#include "options/ValueConversion.h"

namespace veska {

HRESULT ConvertForStore(VARIANT& value) noexcept {
    const VARTYPE vt = value.vt;
    const bool numeric = vt == VT_I2 || vt == VT_I4 || vt == VT_BOOL || vt == VT_DECIMAL;
    // A by-reference value without its target cannot be converted.
    if ((vt & VT_BYREF) != 0 && value.byref == nullptr) return E_FAIL;
    return ::VariantChangeType(&value, &value, 0, numeric ? VT_I4 : VT_BSTR);
}

bool SameValue(const VARIANT& a, const VARIANT& b) noexcept {
    if (a.vt != b.vt) return false;
    return ::VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), LOCALE_USER_DEFAULT, 0) ==
           VARCMP_EQ;
}

}  // namespace veska

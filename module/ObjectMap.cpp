#include "module/ObjectMap.h"

namespace veska {

HRESULT GetClassObjectFromMap(ObjectMapEntry* map, REFCLSID clsid, REFIID iid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    for (ObjectMapEntry* row = map; row != nullptr && row->clsid != nullptr; ++row) {
        if (!::InlineIsEqualGUID(clsid, *row->clsid) || row->CreateClassObject == nullptr) continue;
        return row->classObject.Get(row->CreateInstance, iid, ppv, row->CreateClassObject);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

void StopObjectMap(ObjectMapEntry* map) noexcept {
    for (ObjectMapEntry* row = map; row != nullptr && row->clsid != nullptr; ++row) {
        row->classObject.Clear();
    }
}

}  // namespace veska

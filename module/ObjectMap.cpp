#include "module/ObjectMap.h"

#include "module/Module.h"

namespace veska {

HRESULT GetClassObjectFromMap(ObjectMapEntry* map, REFCLSID clsid, REFIID iid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    for (ObjectMapEntry* row = map; row != nullptr && row->clsid != nullptr; ++row) {
        if (!::InlineIsEqualGUID(clsid, *row->clsid) || row->CreateClassObject == nullptr) continue;
        if (row->classObject == nullptr) {
            CriticalSectionLock lock(TheModule.ClassObjectLock());
            if (row->classObject == nullptr) {
                void* created = nullptr;
                RETURN_IF_FAILED(row->CreateClassObject(row->CreateInstance, IID_IUnknown, &created));
                row->classObject = static_cast<IUnknown*>(created);
            }
        }
        return row->classObject->QueryInterface(iid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

void StopObjectMap(ObjectMapEntry* map) noexcept {
    for (ObjectMapEntry* row = map; row != nullptr && row->clsid != nullptr; ++row) {
        if (row->classObject != nullptr) {
            row->classObject->Release();
            row->classObject = nullptr;
        }
    }
}

}  // namespace veska

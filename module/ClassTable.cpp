// The object map of this library: the options store, then the property provider.
#include "com/ClassFactory.h"
#include "com/ComObject.h"
#include "module/ObjectMap.h"
#include "module/Registration.h"
#include "options/VeskaOpt.h"
#include "provider/PropertyProvider.h"

namespace veska {

namespace {

constexpr UINT kOptionsScript = 101;
constexpr UINT kProviderScript = 202;

HRESULT UpdateOptionsRegistry(bool registering) {
    return UpdateClassRegistry(CLSID_VeskaOptions, kOptionsScript, registering);
}

HRESULT UpdateProviderRegistry(bool registering) {
    return UpdateClassRegistry(CLSID_PropertyProvider, kProviderScript, registering);
}

ObjectMapEntry objectMap[] = {
    {&CLSID_VeskaOptions, &UpdateOptionsRegistry, &CreateCachedClassFactory,
     &CreateComInstance<CVeskaOptions>, nullptr},
    {&CLSID_PropertyProvider, &UpdateProviderRegistry, &CreateCachedClassFactory,
     &CreateComInstance<CPropertyProvider>, nullptr},
    {},
};

}  // namespace

ObjectMapEntry* LibraryObjectMap() noexcept { return objectMap; }

}  // namespace veska

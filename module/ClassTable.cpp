// The object map of this library: the options store, then the property provider.
#include "com/ClassFactory.h"
#include "com/ComObject.h"
#include "module/ObjectMap.h"
#include "module/Registration.h"
#include "options/VeskaOpt.h"
#include "provider/PropertyProvider.h"
#include "res/ResourceIds.h"

namespace veska {

namespace {

HRESULT UpdateOptionsRegistry(bool registering) {
    return UpdateClassRegistry(CLSID_VeskaOptions, IDR_OPTIONS_SCRIPT, registering);
}

HRESULT UpdateProviderRegistry(bool registering) {
    return UpdateClassRegistry(CLSID_PropertyProvider, IDR_PROVIDER_SCRIPT, registering);
}

ObjectMapEntry objectMap[] = {
    {&CLSID_VeskaOptions, &UpdateOptionsRegistry, &CreateCachedClassFactory,
     &CreateComInstance<CVeskaOptions>, {}},
    {&CLSID_PropertyProvider, &UpdateProviderRegistry, &CreateCachedClassFactory,
     &CreateComInstance<CPropertyProvider>, {}},
    {},
};

}  // namespace

ObjectMapEntry* LibraryObjectMap() noexcept { return objectMap; }

}  // namespace veska

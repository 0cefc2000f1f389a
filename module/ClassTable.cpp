// The object map of this library: the options store, then the property provider.
#include "module/ClassFactory.h"
#include "module/ComObject.h"
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

// Neither class has a description or component categories, or work to do when
// the library attaches and detaches.
const wchar_t* NoDescription() { return nullptr; }
const void* NoCategories() { return nullptr; }
void NoObjectMain(bool) {}

ObjectMapEntry objectMap[] = {
    {&CLSID_VeskaOptions, &UpdateOptionsRegistry, &CreateCachedClassFactory,
     &CreateComInstance<CVeskaOptions>, nullptr, 0, &NoDescription, &NoCategories, &NoObjectMain},
    {&CLSID_PropertyProvider, &UpdateProviderRegistry, &CreateCachedClassFactory,
     &CreateComInstance<CPropertyProvider>, nullptr, 0, &NoDescription, &NoCategories, &NoObjectMain},
    {},
};

}  // namespace

ObjectMapEntry* LibraryObjectMap() noexcept { return objectMap; }

}  // namespace veska

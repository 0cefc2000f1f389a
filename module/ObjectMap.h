// The object map: one row per creatable class, and the class objects it caches.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "com/ClassFactory.h"

namespace veska {

struct ObjectMapEntry {
    const CLSID* clsid;  // null ends the map
    // Registers (true) or unregisters (false) the class's registry entries.
    HRESULT (*UpdateRegistry)(bool registering);
    // Makes the class object for this row, asked for iid.
    ClassObjectCreator CreateClassObject;
    // Makes an instance: plain, or aggregated when an outer object is given.
    InstanceCreator CreateInstance;
    ClassObjectCache classObject;  // holds one reference while set
};

// The class object of clsid, created on first use and cached in its row, asked
// for iid. CLASS_E_CLASSNOTAVAILABLE (with *ppv null) for a class the map does
// not hold.
HRESULT GetClassObjectFromMap(ObjectMapEntry* map, REFCLSID clsid, REFIID iid, void** ppv) noexcept;

// Releases the cached class objects; run when the library detaches.
void StopObjectMap(ObjectMapEntry* map) noexcept;

// The rows of this library: the options store, then the property provider.
ObjectMapEntry* LibraryObjectMap() noexcept;

}  // namespace veska

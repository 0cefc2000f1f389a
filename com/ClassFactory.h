// The class object of a class: makes instances through the row's creator.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace veska {

using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** ppv);

// Makes a cached class factory bound to create and returns it asked for iid.
// The reference that the object map's cache holds does not keep the library
// loaded; every further reference does (LockModule when the count reaches 2,
// UnlockModule when it drops back to 1).
HRESULT CreateCachedClassFactory(InstanceCreator create, REFIID iid, void** ppv) noexcept;

}  // namespace veska

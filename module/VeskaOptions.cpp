// Entry points of VeskaOptions.dll: the in-process server contract.
#include <windows.h>
#include <objbase.h>

#include "module/Module.h"
#include "module/ObjectMap.h"
#include "module/Registration.h"
#include "support/RuntimeTeardown.h"

using namespace veska;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        TheModule.SetInstance(instance);
        TheModule.SetObjectMap(LibraryObjectMap());
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        StopObjectMap(TheModule.ObjectMap());
        TheModule.TypeInfo().Clear();
        if (reserved == nullptr) FreeRuntimeArena();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    return GetClassObjectFromMap(TheModule.ObjectMap(), clsid, iid, ppv);
}

STDAPI DllCanUnloadNow() { return TheModule.LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return RegisterServer(TheModule.ObjectMap()); }

STDAPI DllUnregisterServer() { return UnregisterServer(TheModule.ObjectMap()); }

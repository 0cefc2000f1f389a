// Entry points of VeskaOptions.dll.
#include <windows.h>
#include <objbase.h>

#include "module/Dispatch.h"
#include "module/Module.h"

using veska::TheModule;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        TheModule.SetInstance(instance);
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        veska::ReleaseCachedTypeInfo();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID, REFIID, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return TheModule.LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return E_NOTIMPL; }

STDAPI DllUnregisterServer() { return E_NOTIMPL; }

// The entry points of a companion DLL that serves one class: DllMain and the
// four exports, all forwarding to the companion's companion::servedClass.
#include "companions/common/InprocServer.h"
#include "support/RuntimeTeardown.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        companion::moduleInstance = instance;
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        veska::FreeRuntimeArena();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    return companion::GetClassObject(companion::servedClass, clsid, iid, ppv);
}

STDAPI DllCanUnloadNow() { return companion::objectCount == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return companion::Register(companion::servedClass); }

STDAPI DllUnregisterServer() { return companion::Unregister(companion::servedClass); }

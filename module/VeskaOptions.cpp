// Entry points of VeskaOptions.dll: the in-process server contract.
#include <windows.h>
#include <objbase.h>

#include "module/Dispatch.h"
#include "module/Module.h"
#include "module/ObjectMap.h"
#include "module/Registration.h"

using namespace veska;

namespace __gnu_cxx {
// Frees the C++ runtime's emergency exception arena.
void __freeres();
}  // namespace __gnu_cxx

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        TheModule.SetInstance(instance);
        TheModule.SetObjectMap(LibraryObjectMap());
        StartObjectMap(TheModule.ObjectMap());
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        StopObjectMap(TheModule.ObjectMap());
        ReleaseCachedTypeInfo();
        // The C++ runtime is linked in, and its emergency exception arena (about
        // 19 KB, taken when the library loads) is not freed by its own teardown:
        // without this every unload would leave one behind. Nothing of the
        // library throws from here on. At process exit it goes with the process.
        if (reserved == nullptr) __gnu_cxx::__freeres();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    return GetClassObjectFromMap(TheModule.ObjectMap(), clsid, iid, ppv);
}

STDAPI DllCanUnloadNow() { return TheModule.LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return RegisterServer(TheModule.ObjectMap()); }

STDAPI DllUnregisterServer() { return UnregisterServer(TheModule.ObjectMap()); }

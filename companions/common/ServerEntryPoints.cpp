// The entry points of a companion DLL that serves one class: DllMain and the
// four exports, all serving the companion's companion::servedClass, and the
// DLL's lock count behind the COM kit's LockModule.
#include "companions/common/InprocServer.h"
#include "com/ModuleLock.h"
#include "support/RuntimeTeardown.h"

namespace {

volatile long lockCount = 0;
// The class factory, made on first use; its own reference does not keep the DLL
// loaded.
IUnknown* volatile classObject = nullptr;

}  // namespace

long veska::LockModule() noexcept { return ::InterlockedIncrement(&lockCount); }
long veska::UnlockModule() noexcept { return ::InterlockedDecrement(&lockCount); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        if (classObject != nullptr) classObject->Release();
        classObject = nullptr;
        veska::FreeRuntimeArena();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    const companion::ServedClass& served = companion::servedClass;
    if (!::InlineIsEqualGUID(clsid, served.clsid)) return CLASS_E_CLASSNOTAVAILABLE;
    if (classObject == nullptr) {
        void* made = nullptr;
        RETURN_IF_FAILED(veska::CreateCachedClassFactory(served.create, IID_IUnknown, &made));
        // Two first callers may both make one; the first kept wins.
        if (::InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&classObject),
                                                made, nullptr) != nullptr) {
            static_cast<IUnknown*>(made)->Release();
        }
    }
    return classObject->QueryInterface(iid, ppv);
}

STDAPI DllCanUnloadNow() { return lockCount == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    const companion::ServedClass& served = companion::servedClass;
    return veska::ComBoundary([&] {
        return companion::RegisterServer(served.clsid, served.description, served.progId,
                                         served.threadingModel);
    });
}

STDAPI DllUnregisterServer() {
    const companion::ServedClass& served = companion::servedClass;
    return veska::ComBoundary(
        [&] { return companion::UnregisterServer(served.clsid, served.progId); });
}

// The entry points of a companion DLL: DllMain and the four exports, serving the
// companion's companion::servedClass and the classes chained to it, and the
// DLL's lock count behind the COM kit's LockModule.
#include "companions/common/InprocServer.h"
#include "com/ModuleLock.h"
#include "support/RuntimeTeardown.h"

namespace {

volatile long lockCount = 0;
// One class factory per served class, in chain order, each made on first use;
// their own references do not keep the DLL loaded.
veska::ClassObjectCache classObjects[companion::kMaxServedClasses];

// Calls visit(class, index) for each served class in chain order until a call
// returns anything but S_OK, and returns that; S_OK when every call did.
template <class Visit>
HRESULT ForEachServedClass(Visit&& visit) {
    int index = 0;
    for (const companion::ServedClass* served = &companion::servedClass;
         served != nullptr && index < companion::kMaxServedClasses;
         served = served->next, ++index) {
        const HRESULT hr = visit(*served, index);
        if (hr != S_OK) return hr;
    }
    return S_OK;
}

}  // namespace

long veska::LockModule() noexcept { return ::InterlockedIncrement(&lockCount); }
long veska::UnlockModule() noexcept { return ::InterlockedDecrement(&lockCount); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        for (veska::ClassObjectCache& classObject : classObjects) classObject.Clear();
        veska::FreeRuntimeArena();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    HRESULT result = CLASS_E_CLASSNOTAVAILABLE;
    ForEachServedClass([&](const companion::ServedClass& served, int index) -> HRESULT {
        if (!::InlineIsEqualGUID(clsid, served.clsid)) return S_OK;
        result = classObjects[index].Get(served.create, iid, ppv);
        return S_FALSE;  // the class is found: stop
    });
    return result;
}

STDAPI DllCanUnloadNow() { return lockCount == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    return veska::ComBoundary([&] {
        const HRESULT hr = ForEachServedClass([](const companion::ServedClass& served, int) {
            return companion::RegisterServer(served.clsid, served.description, served.progId,
                                             served.threadingModel);
        });
        // A DLL registers whole or not at all.
        if (FAILED(hr)) {
            ForEachServedClass([](const companion::ServedClass& served, int) {
                companion::UnregisterServer(served.clsid, served.progId);
                return S_OK;
            });
        }
        return hr;
    });
}

STDAPI DllUnregisterServer() {
    return veska::ComBoundary([&] {
        HRESULT first = S_OK;
        ForEachServedClass([&](const companion::ServedClass& served, int) {
            const HRESULT hr = companion::UnregisterServer(served.clsid, served.progId);
            if (SUCCEEDED(first)) first = hr;
            return S_OK;
        });
        return first;
    });
}

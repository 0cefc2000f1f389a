// Entry points of XMLDataIfsImpl.dll: one class, the XML data document, served
// through a static class object and registered under the ProgID
// "Corvane.XMLDataIfsImpl" with the threading model "Apartment".
#include <windows.h>
#include <objbase.h>

#include "companions/XmlData/XmlDataDocument.h"
#include "companions/common/InprocServer.h"
#include "module/ComObject.h"
#include "support/Owners.h"
#include "support/Result.h"
#include "support/RuntimeTeardown.h"

namespace veska {
// The component's own module state: its handle and its lock count.
Module TheModule;
}  // namespace veska

namespace xmldata {
namespace {

using veska::TheModule;

// The static class object; a client holding it keeps the library loaded.
class DocumentFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!::InlineIsEqualGUID(iid, IID_IUnknown) && !::InlineIsEqualGUID(iid, IID_IClassFactory)) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(TheModule.Lock()) + 1; }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(TheModule.Unlock()) + 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return veska::CreateComInstance<XmlDataDocument>(nullptr, iid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            TheModule.Lock();
        } else {
            TheModule.Unlock();
        }
        return S_OK;
    }
};

DocumentFactory factory;

}  // namespace

const companion::ServedClass served{CLSID_XMLDataIfsImpl, factory, L"XML data component",
                                    kXmlDataProgId, L"Apartment"};

}  // namespace xmldata

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        veska::TheModule.SetInstance(instance);
        companion::moduleInstance = instance;
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        veska::FreeRuntimeArena();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    return companion::GetClassObject(xmldata::served, clsid, iid, ppv);
}

STDAPI DllCanUnloadNow() { return veska::TheModule.LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return companion::Register(xmldata::served); }

STDAPI DllUnregisterServer() { return companion::Unregister(xmldata::served); }

// An early-bound host of VeskaOptions: creates both classes through the
// component runtime by class identifier, calls them through the interfaces of
// the generated header, writes a value below HKEY_CURRENT_USER and reads it
// back, and registers a component of its own that owns property pages with the
// property provider. Prints what it did; exits 0 when every step succeeded.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>

#include "VeskaOptions_h.h"

namespace {

// The options tree of this sample, below HKEY_CURRENT_USER; removed at the end.
const wchar_t kRoot[] = L"Software\\Corvane Interactive\\VeskaSdkSample";

// Prints a failed step with its HRESULT and the system's words for it.
bool Succeeded(HRESULT hr, const char* what) {
    if (SUCCEEDED(hr)) return true;
    wchar_t text[256] = L"";
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(hr), 0, text, 256, nullptr) == 0) {
        lstrcpyW(text, L"no text for it");
    }
    for (wchar_t* end = text + lstrlenW(text); end > text && (end[-1] == L'\r' || end[-1] == L'\n' ||
                                                             end[-1] == L'.' || end[-1] == L' ');) {
        *--end = L'\0';
    }
    std::printf("%s failed: 0x%08lx (%ls)\n", what, static_cast<unsigned long>(hr), text);
    return false;
}

// The platform's stock font page.
const CLSID kStockFontPage = {0x7ebdaae0, 0x8120, 0x11cf, {0x89, 0x9f, 0x00, 0xaa, 0x00, 0x68, 0x8b, 0x10}};

// A component of the host that owns property pages, as the provider pools
// them: it names its pages through ISpecifyPropertyPages (here one page, the
// platform's stock font page, so that the sample needs no page of its own).
class PageOwner : public ISpecifyPropertyPages {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_ISpecifyPropertyPages) return E_NOINTERFACE;
        *object = static_cast<ISpecifyPropertyPages*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetPages(CAUUID* pages) override {
        if (pages == nullptr) return E_POINTER;
        pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
        pages->cElems = pages->pElems != nullptr ? 1 : 0;
        if (pages->pElems == nullptr) return E_OUTOFMEMORY;
        pages->pElems[0] = kStockFontPage;
        return S_OK;
    }

private:
    LONG references_ = 1;
};

int Run() {
    IVeskaOptions3* options = nullptr;
    if (!Succeeded(CoCreateInstance(CLSID_VeskaOptions, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IVeskaOptions3, reinterpret_cast<void**>(&options)),
                   "creating VeskaOptions")) {
        return 1;
    }
    int status = 1;
    BSTR root = SysAllocString(kRoot);
    BSTR path = SysAllocString(L"Sample");
    BSTR name = SysAllocString(L"Greeting");
    VARIANT written;
    VariantInit(&written);
    written.vt = VT_BSTR;
    written.bstrVal = SysAllocString(L"Hello from the SDK sample");
    VARIANT read;
    VariantInit(&read);
    // MainKey 1 is HKEY_CURRENT_USER; ChangeDefault 1 writes the registry too.
    // AddKey fails when the key is there already, from an earlier run.
    if (Succeeded(options->Init(1, root), "Init") &&
        (options->AddKey(path, 1), true) &&
        Succeeded(options->SetValueByName(path, name, &written, 1, 1), "SetValueByName") &&
        Succeeded(options->GetValueByName(path, name, &read), "GetValueByName") &&
        read.vt == VT_BSTR) {
        std::printf("VeskaOptions: Sample\\Greeting = %ls\n", read.bstrVal);
        status = 0;
    }
    VariantClear(&read);
    VariantClear(&written);
    SysFreeString(name);
    SysFreeString(path);
    SysFreeString(root);

    IPropertyProvider* provider = nullptr;
    if (Succeeded(CoCreateInstance(CLSID_PropertyProvider, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IPropertyProvider, reinterpret_cast<void**>(&provider)),
                  "creating PropertyProvider")) {
        // The provider keeps a reference on the owner until it is unregistered.
        PageOwner* owner = new PageOwner;
        HRESULT hr = provider->RegisterObject(owner);
        if (Succeeded(hr, "RegisterObject(page owner)")) {
            std::printf("PropertyProvider: RegisterObject(page owner) = 0x%08lx: registered; the provider pools its pages\n",
                        static_cast<unsigned long>(hr));
            hr = provider->UnRegisterObject(owner);
            if (Succeeded(hr, "UnRegisterObject(page owner)")) {
                std::printf("PropertyProvider: UnRegisterObject(page owner) = 0x%08lx\n",
                            static_cast<unsigned long>(hr));
            } else {
                status = 1;
            }
        } else {
            status = 1;
        }
        owner->Release();
        provider->Release();
    } else {
        status = 1;
    }
    options->Release();
    RegDeleteTreeW(HKEY_CURRENT_USER, kRoot);
    return status;
}

}  // namespace

int main() {
    if (!Succeeded(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx")) return 1;
    const int status = Run();
    CoUninitialize();
    return status;
}

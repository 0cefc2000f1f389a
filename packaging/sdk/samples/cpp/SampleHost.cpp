// An early-bound host of VeskaOptions: creates both classes through the
// component runtime by class identifier, calls them through the interfaces of
// the generated header, writes a value below HKEY_CURRENT_USER and reads it back.
// Prints what it did; exits 0 when every step succeeded.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>

#include "VeskaOptions_h.h"

namespace {

// The options tree of this sample, below HKEY_CURRENT_USER; removed at the end.
const wchar_t kRoot[] = L"Software\\Corvane Interactive\\VeskaSdkSample";

bool Succeeded(HRESULT hr, const char* what) {
    if (FAILED(hr)) std::printf("%s failed: 0x%08lx\n", what, static_cast<unsigned long>(hr));
    return SUCCEEDED(hr);
}

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
        // The options object announces no property pages, so the provider refuses it.
        const HRESULT hr = provider->RegisterObject(options);
        std::printf("PropertyProvider: RegisterObject(options) = 0x%08lx\n",
                    static_cast<unsigned long>(hr));
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

#include "module/Registration.h"

#include <objbase.h>
#include <oleauto.h>

#include <cwchar>

#include "module/Module.h"
#include "support/ModulePath.h"
#include "module/ObjectMap.h"
#include "contracts/Registrar.h"
#include "support/Owners.h"
#include "support/RegistryView.h"

namespace veska {

namespace {

// How an unregistration treats the keys that the script marks %SHARED%: the
// ProgID keys, which both registry views share. They are removed only when no
// other view still registers the class, and kept (the script's "NoRemove") while
// one does. Registration writes them either way.
enum class SharedKeys { Remove, Keep };

HRESULT RunRegistryScript(UINT scriptId, bool registering, SharedKeys shared) noexcept {
    return ComBoundary([&]() -> HRESULT {
        const std::wstring path = ModulePath(LibraryModule());
        const std::wstring fileName = ModuleFileName(LibraryModule());
        ComPtr<IRegistrar> registrar;
        RETURN_IF_FAILED(::CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER,
                                            __uuidof(IRegistrar), registrar.put_void()));
        RETURN_IF_FAILED(registrar->AddReplacement(L"APPID", L""));
        RETURN_IF_FAILED(registrar->AddReplacement(L"RELATIVE_PATH", fileName.c_str()));
        RETURN_IF_FAILED(registrar->AddReplacement(
            L"SHARED", shared == SharedKeys::Keep ? L"NoRemove" : L""));
        return registering ? registrar->ResourceRegister(path.c_str(), scriptId, L"REGISTRY")
                           : registrar->ResourceUnregister(path.c_str(), scriptId, L"REGISTRY");
    });
}

// The platform key below a type library's locale: "Win32" for a 32-bit type
// library, "Win64" for a 64-bit one.
const wchar_t* PlatformKeyName(SYSKIND kind) noexcept {
    return kind == SYS_WIN64 ? L"Win64" : L"Win32";
}

// HKCR\TypeLib\{libid}\major.minor\lcid\<platform>, opened with full access, for
// the platform the type library was built for.
HRESULT OpenTypeLibKey(ITypeLib* library, UniqueHkey& key) noexcept {
    UniqueLibAttr attr;
    RETURN_IF_FAILED(attr.Load(library));
    wchar_t guid[40];
    ::StringFromGUID2(attr->guid, guid, 40);
    wchar_t name[MAX_PATH];
    std::swprintf(name, MAX_PATH, L"TypeLib\\%ls\\%d.%d\\%d\\%ls", guid, attr->wMajorVerNum,
                  attr->wMinorVerNum, static_cast<int>(attr->lcid), PlatformKeyName(attr->syskind));
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, name, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) {
        return E_FAIL;
    }
    return S_OK;
}

// Registers the type library with the bare file name as its path and no help
// directory, so the registry entry holds no folder.
HRESULT RegisterTypeLibByFileName(ITypeLib* library) noexcept {
    std::wstring fileName;
    try {
        fileName = ModuleFileName(LibraryModule());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    wchar_t noHelpDir[] = L"";
    return ::RegisterTypeLib(library, &fileName[0], noHelpDir);
}

// Registers the embedded type library under the module's full path. The default
// registration of a module names the module's folder as help directory; the one
// before a removal names none, so that the help directory, which both platforms'
// registrations share, stays as the other platform's registration left it.
enum class HelpDir { ModuleFolder, None };

HRESULT RegisterEmbeddedTypeLib(HelpDir helpDir) noexcept {
    return ComBoundary([&]() -> HRESULT {
        std::wstring path = ModulePath(LibraryModule());
        ComPtr<ITypeLib> library;
        RETURN_IF_FAILED(::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put()));
        std::wstring folder;
        if (helpDir == HelpDir::ModuleFolder) folder = path.substr(0, path.find_last_of(L'\\') + 1);
        return ::RegisterTypeLib(library.get(), &path[0], &folder[0]);
    });
}

HRESULT LoadEmbeddedTypeLib(ComPtr<ITypeLib>& library) noexcept {
    return ComBoundary([&]() -> HRESULT {
        return ::LoadTypeLibEx(ModulePath(LibraryModule()).c_str(), REGKIND_NONE, library.put());
    });
}

}  // namespace

std::wstring ModuleFileName(HMODULE module) {
    const std::wstring path = ModulePath(module);
    const std::size_t separator = path.find_last_of(L'\\');
    if (separator == std::wstring::npos || separator == 0) return path;
    return path.substr(separator + 1);
}

DWORD RegistrationRefCount(HKEY key, bool registering) noexcept {
    DWORD count = 0;
    DWORD type = 0;
    DWORD size = sizeof(count);
    if (::RegQueryValueExW(key, L"RefCount", nullptr, &type, reinterpret_cast<BYTE*>(&count),
                           &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        count = 0;
    }
    if (registering) {
        ++count;
    } else if (count >= 2) {
        --count;
    } else {
        if (count == 1) ::RegDeleteValueW(key, L"RefCount");
        return 0;
    }
    ::RegSetValueExW(key, L"RefCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                     sizeof(count));
    return count;
}

HRESULT UpdateClassRegistry(const CLSID& clsid, UINT scriptId, bool registering) noexcept {
    HRESULT result = S_OK;
    if (registering) {
        result = RunRegistryScript(scriptId, true, SharedKeys::Remove);
        RETURN_IF_FAILED(result);
    }
    wchar_t guid[40];
    ::StringFromGUID2(clsid, guid, 40);
    wchar_t name[256];
    std::swprintf(name, 256, L"CLSID\\%ls\\%ls", guid, L"InprocServer32");
    UniqueHkey key;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, name, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) {
        return E_FAIL;
    }
    const DWORD count = RegistrationRefCount(key.get(), registering);
    if (!registering && count == 0) {
        key.reset();
        // A failed removal is not reported.
        RunRegistryScript(scriptId, false,
                          OtherViewRegistersClass(clsid) ? SharedKeys::Keep : SharedKeys::Remove);
    }
    return result;
}

HRESULT RegisterServer(ObjectMapEntry* map) noexcept {
    for (ObjectMapEntry* row = map; row != nullptr && row->clsid != nullptr; ++row) {
        if (row->UpdateRegistry != nullptr) RETURN_IF_FAILED(row->UpdateRegistry(true));
    }
    RETURN_IF_FAILED(RegisterEmbeddedTypeLib(HelpDir::ModuleFolder));

    ComPtr<ITypeLib> library;
    RETURN_IF_FAILED(LoadEmbeddedTypeLib(library));
    if (FAILED(RegisterTypeLibByFileName(library.get()))) {
        ::Sleep(kTypeLibRetryDelayMs);
        RegisterTypeLibByFileName(library.get());  // the retry's outcome is not reported
    }
    UniqueHkey key;
    RETURN_IF_FAILED(OpenTypeLibKey(library.get(), key));
    RegistrationRefCount(key.get(), true);
    return S_OK;
}

HRESULT UnregisterServer(ObjectMapEntry* map) noexcept {
    ComPtr<ITypeLib> library;
    RETURN_IF_FAILED(LoadEmbeddedTypeLib(library));
    UniqueHkey key;
    RETURN_IF_FAILED(OpenTypeLibKey(library.get(), key));
    const DWORD remaining = RegistrationRefCount(key.get(), false);

    // Each class removes its own entries when its own count reaches 0; the first
    // class whose key cannot be opened ends the walk.
    for (ObjectMapEntry* row = map; row != nullptr && row->clsid != nullptr; ++row) {
        if (row->UpdateRegistry != nullptr && FAILED(row->UpdateRegistry(false))) break;
    }

    HRESULT result = S_OK;
    if (remaining == 0) {
        // The platform reloads the library from its registered path to find the
        // interfaces it must remove; the bare file name need not be on the
        // search path, so point the entry at this module first. The removal
        // takes this platform's key and this view's interface keys; the type
        // library's own key, shared by both views, goes only when no other
        // platform's key is left below it.
        key.reset();
        result = RegisterEmbeddedTypeLib(HelpDir::None);
        UniqueLibAttr attr;
        if (SUCCEEDED(result)) result = attr.Load(library.get());
        if (SUCCEEDED(result)) {
            result = ::UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum,
                                         attr->lcid, attr->syskind);
        }
    } else {
        // The remaining registrations keep a valid entry with the bare file name.
        result = RegisterTypeLibByFileName(library.get());
    }
    RETURN_IF_FAILED(result);
    return remaining == 0 ? S_OK : S_FALSE;
}

}  // namespace veska

// Self-registration with counted registrations.
//
// Each class's InprocServer32 key and the type library's platform key ("Win32"
// or "Win64", after the type library's own platform) carry a "RefCount"
// (REG_DWORD): every registration adds one, every unregistration takes one away,
// and the entries go only when the count reaches zero. The server path written
// for both is the library's bare file name, so the runtime finds the library
// through the platform's search order.
#pragma once

#include <windows.h>

#include <string>

namespace veska {

struct ObjectMapEntry;

// The part of the module's path after its last backslash; the whole path when it
// has none or only a leading one; empty when the path cannot be read.
std::wstring ModuleFileName(HMODULE module);

// Reads "RefCount" from key (0 when missing or not a REG_DWORD), moves it one up
// or down and stores it; the value is deleted when it drops to 0. Returns the new
// count.
DWORD RegistrationRefCount(HKEY key, bool registering) noexcept;

// Registers or unregisters one class: runs its registry script (resource type
// REGISTRY, id scriptId) through the registrar and counts on
// HKCR\CLSID\{clsid}\InprocServer32. The script's removal runs only when the
// count reaches 0, and leaves the keys both registry views share (the ProgIDs)
// while the other view still registers the class.
HRESULT UpdateClassRegistry(const CLSID& clsid, UINT scriptId, bool registering) noexcept;

// DllRegisterServer and DllUnregisterServer over the classes of map.
HRESULT RegisterServer(ObjectMapEntry* map) noexcept;
HRESULT UnregisterServer(ObjectMapEntry* map) noexcept;

// How long registration waits before its one retry of the type library.
inline constexpr DWORD kTypeLibRetryDelayMs = 172;

}  // namespace veska

// The fault seam: forced into every source of the fault-injection build of the
// library (veska_core_faults) and of the fault tests, ahead of everything else.
// It declares the platform headers first, then routes the registry calls and the
// OLE allocations the library makes to counting wrappers (FaultInjector.cpp) that
// fail the call the armed injector picks. Only builds that define
// VESKA_FAULT_INJECTION may include it: the shipped library never sees it.
#pragma once

#ifndef VESKA_FAULT_INJECTION
#error "the fault seam belongs to the fault-injection build only"
#endif

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

// The wrappers, with the platform functions' signatures.
LSTATUS WINAPI FaultRegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
LSTATUS WINAPI FaultRegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                                    const LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
LSTATUS WINAPI FaultRegEnumValueW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LSTATUS WINAPI FaultRegEnumKeyExW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD,
                                  PFILETIME);
LSTATUS WINAPI FaultRegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LSTATUS WINAPI FaultRegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
LSTATUS WINAPI FaultRegDeleteValueW(HKEY, LPCWSTR);
LSTATUS WINAPI FaultRegDeleteKeyW(HKEY, LPCWSTR);
BSTR WINAPI FaultSysAllocString(const OLECHAR*);
BSTR WINAPI FaultSysAllocStringLen(const OLECHAR*, UINT);
BSTR WINAPI FaultSysAllocStringByteLen(LPCSTR, UINT);
HRESULT WINAPI FaultVariantCopy(VARIANTARG*, VARIANTARG*);
HRESULT WINAPI FaultVariantChangeType(VARIANTARG*, VARIANTARG*, USHORT, VARTYPE);
SAFEARRAY* WINAPI FaultSafeArrayCreate(VARTYPE, UINT, SAFEARRAYBOUND*);
SAFEARRAY* WINAPI FaultSafeArrayCreateVector(VARTYPE, LONG, ULONG);
HRESULT WINAPI FaultSafeArrayAllocDescriptor(UINT, SAFEARRAY**);
HRESULT WINAPI FaultSafeArrayAllocDescriptorEx(VARTYPE, UINT, SAFEARRAY**);
HRESULT WINAPI FaultSafeArrayAllocData(SAFEARRAY*);
HRESULT WINAPI FaultSafeArrayPutElement(SAFEARRAY*, LONG*, void*);
HRESULT WINAPI FaultCLSIDFromProgID(LPCOLESTR, LPCLSID);
HRESULT WINAPI FaultCoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);

#ifndef VESKA_FAULT_SEAM_REAL_CALLS
#define RegOpenKeyExW FaultRegOpenKeyExW
#define RegCreateKeyExW FaultRegCreateKeyExW
#define RegEnumValueW FaultRegEnumValueW
#define RegEnumKeyExW FaultRegEnumKeyExW
#define RegQueryValueExW FaultRegQueryValueExW
#define RegSetValueExW FaultRegSetValueExW
#define RegDeleteValueW FaultRegDeleteValueW
#define RegDeleteKeyW FaultRegDeleteKeyW
#define SysAllocString FaultSysAllocString
#define SysAllocStringLen FaultSysAllocStringLen
#define SysAllocStringByteLen FaultSysAllocStringByteLen
#define VariantCopy FaultVariantCopy
#define VariantChangeType FaultVariantChangeType
#define SafeArrayCreate FaultSafeArrayCreate
#define SafeArrayCreateVector FaultSafeArrayCreateVector
#define SafeArrayAllocDescriptor FaultSafeArrayAllocDescriptor
#define SafeArrayAllocDescriptorEx FaultSafeArrayAllocDescriptorEx
#define SafeArrayAllocData FaultSafeArrayAllocData
#define SafeArrayPutElement FaultSafeArrayPutElement
#define CLSIDFromProgID FaultCLSIDFromProgID
#define CoCreateInstance FaultCoCreateInstance
#endif

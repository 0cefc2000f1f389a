// Compiled with VESKA_FAULT_SEAM_REAL_CALLS: the seam declares the wrappers here
// without renaming the platform calls, so each wrapper reaches the real one.
#include "FaultInjector.h"

#include <windows.h>
#include <oleauto.h>

#include <cstdlib>
#include <new>

namespace veska::test {

namespace {

struct State {
    bool armed = false;
    DWORD thread = 0;
    unsigned long failAt = 0;
    FaultRun run;
};
State state;
volatile long liveAllocations = 0;

// Counts a call of the armed thread; true when it is the one to fail.
bool ShouldFail(FaultKind kind, const char* call) noexcept {
    if (!state.armed || ::GetCurrentThreadId() != state.thread) return false;
    if (++state.run.calls != state.failAt) return false;
    state.run.injected = true;
    state.run.kind = kind;
    state.run.call = call;
    return true;
}

void* Allocate(std::size_t size) noexcept {
    if (ShouldFail(FaultKind::Allocation, "operator new")) return nullptr;
    void* block = std::malloc(size != 0 ? size : 1);
    if (block != nullptr) ::InterlockedIncrement(&liveAllocations);
    return block;
}

void Free(void* block) noexcept {
    if (block == nullptr) return;
    ::InterlockedDecrement(&liveAllocations);
    std::free(block);
}

}  // namespace

void FaultInjector::Arm(unsigned long failAt) noexcept {
    state.run = FaultRun();
    state.failAt = failAt;
    state.thread = ::GetCurrentThreadId();
    state.armed = true;
}

FaultRun FaultInjector::Disarm() noexcept {
    state.armed = false;
    return state.run;
}

long FaultInjector::LiveAllocations() noexcept { return liveAllocations; }

const char* KindName(FaultKind kind) noexcept {
    switch (kind) {
        case FaultKind::Allocation: return "allocation";
        case FaultKind::Conversion: return "conversion";
        case FaultKind::Registry: return "registry";
        case FaultKind::Component: return "component";
    }
    return "?";
}

}  // namespace veska::test

using veska::test::FaultKind;
using veska::test::ShouldFail;

// ---------------------------------------------------------------------------
// C++ allocation: every form of operator new ends in Allocate, every delete in
// Free.

void* operator new(std::size_t size) {
    if (void* block = veska::test::Allocate(size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return veska::test::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return veska::test::Allocate(size);
}
void operator delete(void* block) noexcept { veska::test::Free(block); }
void operator delete[](void* block) noexcept { veska::test::Free(block); }
void operator delete(void* block, std::size_t) noexcept { veska::test::Free(block); }
void operator delete[](void* block, std::size_t) noexcept { veska::test::Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { veska::test::Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { veska::test::Free(block); }

// ---------------------------------------------------------------------------
// The seamed platform calls.

namespace {

constexpr LSTATUS kRegistryFailure = ERROR_ACCESS_DENIED;

bool FailRegistry(const char* call) noexcept { return ShouldFail(FaultKind::Registry, call); }
bool FailAllocation(const char* call) noexcept { return ShouldFail(FaultKind::Allocation, call); }

}  // namespace

LSTATUS WINAPI FaultRegOpenKeyExW(HKEY key, LPCWSTR sub, DWORD options, REGSAM access,
                                  PHKEY result) {
    if (FailRegistry("RegOpenKeyExW")) {
        if (result != nullptr) *result = nullptr;
        return kRegistryFailure;
    }
    return ::RegOpenKeyExW(key, sub, options, access, result);
}

LSTATUS WINAPI FaultRegCreateKeyExW(HKEY key, LPCWSTR sub, DWORD reserved, LPWSTR keyClass,
                                    DWORD options, REGSAM access,
                                    const LPSECURITY_ATTRIBUTES security, PHKEY result,
                                    LPDWORD disposition) {
    if (FailRegistry("RegCreateKeyExW")) {
        if (result != nullptr) *result = nullptr;
        return kRegistryFailure;
    }
    return ::RegCreateKeyExW(key, sub, reserved, keyClass, options, access, security, result,
                             disposition);
}

LSTATUS WINAPI FaultRegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                  LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (FailRegistry("RegEnumValueW")) return kRegistryFailure;
    return ::RegEnumValueW(key, index, name, nameLength, reserved, type, data, size);
}

LSTATUS WINAPI FaultRegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                  LPDWORD reserved, LPWSTR keyClass, LPDWORD classLength,
                                  PFILETIME lastWrite) {
    if (FailRegistry("RegEnumKeyExW")) return kRegistryFailure;
    return ::RegEnumKeyExW(key, index, name, nameLength, reserved, keyClass, classLength,
                           lastWrite);
}

LSTATUS WINAPI FaultRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                     LPBYTE data, LPDWORD size) {
    if (FailRegistry("RegQueryValueExW")) return kRegistryFailure;
    return ::RegQueryValueExW(key, name, reserved, type, data, size);
}

LSTATUS WINAPI FaultRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD size) {
    if (FailRegistry("RegSetValueExW")) return kRegistryFailure;
    return ::RegSetValueExW(key, name, reserved, type, data, size);
}

LSTATUS WINAPI FaultRegDeleteValueW(HKEY key, LPCWSTR name) {
    if (FailRegistry("RegDeleteValueW")) return kRegistryFailure;
    return ::RegDeleteValueW(key, name);
}

LSTATUS WINAPI FaultRegDeleteKeyW(HKEY key, LPCWSTR sub) {
    if (FailRegistry("RegDeleteKeyW")) return kRegistryFailure;
    return ::RegDeleteKeyW(key, sub);
}

BSTR WINAPI FaultSysAllocString(const OLECHAR* text) {
    if (FailAllocation("SysAllocString")) return nullptr;
    return ::SysAllocString(text);
}

BSTR WINAPI FaultSysAllocStringLen(const OLECHAR* text, UINT length) {
    if (FailAllocation("SysAllocStringLen")) return nullptr;
    return ::SysAllocStringLen(text, length);
}

BSTR WINAPI FaultSysAllocStringByteLen(LPCSTR text, UINT length) {
    if (FailAllocation("SysAllocStringByteLen")) return nullptr;
    return ::SysAllocStringByteLen(text, length);
}

HRESULT WINAPI FaultVariantCopy(VARIANTARG* target, VARIANTARG* source) {
    if (FailAllocation("VariantCopy")) return E_OUTOFMEMORY;
    return ::VariantCopy(target, source);
}

HRESULT WINAPI FaultVariantChangeType(VARIANTARG* target, VARIANTARG* source, USHORT flags,
                                      VARTYPE type) {
    if (ShouldFail(FaultKind::Conversion, "VariantChangeType")) return E_OUTOFMEMORY;
    return ::VariantChangeType(target, source, flags, type);
}

SAFEARRAY* WINAPI FaultSafeArrayCreate(VARTYPE type, UINT dimensions, SAFEARRAYBOUND* bounds) {
    if (FailAllocation("SafeArrayCreate")) return nullptr;
    return ::SafeArrayCreate(type, dimensions, bounds);
}

SAFEARRAY* WINAPI FaultSafeArrayCreateVector(VARTYPE type, LONG lower, ULONG count) {
    if (FailAllocation("SafeArrayCreateVector")) return nullptr;
    return ::SafeArrayCreateVector(type, lower, count);
}

HRESULT WINAPI FaultSafeArrayAllocDescriptor(UINT dimensions, SAFEARRAY** array) {
    if (FailAllocation("SafeArrayAllocDescriptor")) return E_OUTOFMEMORY;
    return ::SafeArrayAllocDescriptor(dimensions, array);
}

HRESULT WINAPI FaultSafeArrayAllocDescriptorEx(VARTYPE type, UINT dimensions, SAFEARRAY** array) {
    if (FailAllocation("SafeArrayAllocDescriptorEx")) return E_OUTOFMEMORY;
    return ::SafeArrayAllocDescriptorEx(type, dimensions, array);
}

HRESULT WINAPI FaultSafeArrayAllocData(SAFEARRAY* array) {
    if (FailAllocation("SafeArrayAllocData")) return E_OUTOFMEMORY;
    return ::SafeArrayAllocData(array);
}

HRESULT WINAPI FaultSafeArrayPutElement(SAFEARRAY* array, LONG* indexes, void* element) {
    if (FailAllocation("SafeArrayPutElement")) return E_OUTOFMEMORY;
    return ::SafeArrayPutElement(array, indexes, element);
}

HRESULT WINAPI FaultCLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    if (ShouldFail(FaultKind::Component, "CLSIDFromProgID")) return E_OUTOFMEMORY;
    return ::CLSIDFromProgID(progId, clsid);
}

HRESULT WINAPI FaultCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                     LPVOID* object) {
    if (ShouldFail(FaultKind::Component, "CoCreateInstance")) {
        if (object != nullptr) *object = nullptr;
        return E_OUTOFMEMORY;
    }
    return ::CoCreateInstance(clsid, outer, context, iid, object);
}

// The module: the process-wide state of the library.
//
// Built when the library loads, in this order, and torn down in reverse at unload:
// the "INSTALLDIR" token and its length and the options cache lock (owned by the
// options store: options/DefaultSettings.h, options/VeskaOpt.h), the trace
// loader, then the module object (lock count, module instance, type-information
// cache).
// The module supplies the COM kit's hooks (LockModule, GetCachedTypeInfo,
// LibraryModule).
#pragma once

#include <windows.h>

#include "com/Dispatch.h"
#include "com/ModuleLock.h"
#include "support/Owners.h"
#include "trace/TimeTrace.h"

namespace veska {

struct ObjectMapEntry;

class Module {
public:
    Module() noexcept;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Reasons the library must stay loaded: live instances, held class objects
    // and LockServer calls. Interlocked; may go below 0 after unbalanced
    // LockServer(FALSE) calls.
    long Lock() noexcept { return ::InterlockedIncrement(&lockCount_); }
    long Unlock() noexcept { return ::InterlockedDecrement(&lockCount_); }
    long LockCount() const noexcept { return lockCount_; }

    // The library's own handle; holds the registry scripts and the type library.
    // Null until DllMain attaches (and in programs that link the classes
    // directly).
    HINSTANCE Instance() const noexcept { return instance_; }
    void SetInstance(HINSTANCE instance) noexcept { instance_ = instance; }

    // The class table; set when the library attaches.
    ObjectMapEntry* ObjectMap() const noexcept { return objectMap_; }
    void SetObjectMap(ObjectMapEntry* map) noexcept { objectMap_ = map; }

    // The type information behind the classes' IDispatch, loaded once per
    // interface; cleared when the library detaches.
    TypeInfoCache& TypeInfo() noexcept { return typeInfo_; }

private:
    volatile long lockCount_ = 0;
    ObjectMapEntry* objectMap_ = nullptr;
    HINSTANCE instance_ = nullptr;
    TypeInfoCache typeInfo_;
};

extern TimeTraceLoader TheTimeTraceLoader;
extern Module TheModule;

// The module defines the kit's LibraryModule hook (com/ModuleLock.h) as
// TheModule's instance, or, in programs that link the classes directly and have
// no DllMain, the binary this code runs in.

}  // namespace veska

#include "module/Module.h"

#include "VeskaOptions_h.h"
#include "com/ModuleLock.h"
#include "support/ModulePath.h"

namespace veska {

namespace {

// The dual interfaces whose IDispatch the classes serve.
const IID* const kDualInterfaces[] = {
    &IID_IVeskaOptions3,
    &IID_IVeskaOptionsDiagnostics,
    &IID_IPropertyProvider2,
#ifndef VESKA_EARLIER_EDITION
    &IID_IVeskaOptionsLive,
    &IID_IVeskaOptionsPolicy,
    &IID_IPropertyProvider4,
#endif
};

}  // namespace

// Definition order is construction order; teardown runs in reverse. The options
// store's state is built before these (see OptionsCacheLock).
// The module's main source as the original build named it: a single backslash,
// no folder, so the loader finds no component name and tracing stays off unless
// a program loads the sink with a loader of its own.
TimeTraceLoader TheTimeTraceLoader(L".\\VeskaOptions.cpp");

Module TheModule;

Module::Module() noexcept
    : typeInfo_(LIBID_VESKAOPTIONSLib, 1, 0, &LibraryModule, kDualInterfaces,
                sizeof(kDualInterfaces) / sizeof(kDualInterfaces[0])) {}

HMODULE LibraryModule() noexcept {
    return TheModule.Instance() != nullptr ? TheModule.Instance() : CodeModule();
}

long LockModule() noexcept { return TheModule.Lock(); }
long UnlockModule() noexcept { return TheModule.Unlock(); }

HRESULT GetCachedTypeInfo(REFIID iid, ITypeInfo** typeInfo) noexcept {
    return TheModule.TypeInfo().Get(iid, typeInfo);
}

}  // namespace veska

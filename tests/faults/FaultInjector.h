// The counting failure injector behind the fault seam (FaultSeam.h). While armed
// on a thread, it counts every seamed call that thread makes (the registry calls,
// the OLE allocations, the creation of outside components, and C++ allocations
// through operator new) and fails the one numbered failAt, counting from 1: a
// registry call with ERROR_ACCESS_DENIED, an OLE allocation with a null result or
// E_OUTOFMEMORY, operator new with std::bad_alloc. Disarmed, every call passes
// through uncounted.
#pragma once

namespace veska::test {

enum class FaultKind {
    Allocation,  // SysAlloc*, VariantCopy, SafeArray*, operator new
    Conversion,  // VariantChangeType
    Registry,    // Reg*
    Component,   // CLSIDFromProgID, CoCreateInstance
};

// What one armed stretch saw.
struct FaultRun {
    unsigned long calls = 0;  // seamed calls counted
    bool injected = false;    // whether call failAt came and was failed
    FaultKind kind = FaultKind::Allocation;
    const char* call = "";  // the name of the failed call
};

class FaultInjector {
public:
    // Starts counting on the calling thread; failAt 0 fails nothing.
    static void Arm(unsigned long failAt) noexcept;
    static FaultRun Disarm() noexcept;

    // C++ allocations made through operator new and not yet freed, armed or not.
    static long LiveAllocations() noexcept;
};

const char* KindName(FaultKind kind) noexcept;

}  // namespace veska::test

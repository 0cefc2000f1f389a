// The hooks through which the COM kit, and the classes built on it, reach the
// DLL they are linked into.
//
// Every DLL that uses the kit defines LockModule and UnlockModule: the count
// behind them is what its DllCanUnloadNow reports (live instances, class objects
// held by clients, LockServer calls). A DLL whose classes need their own file
// (to find what is installed beside it) defines LibraryModule as well. The kit
// itself knows nothing else of the DLL.
#pragma once

#include <windows.h>

namespace veska {

// Interlocked; both return the new count, which may go below 0 after unbalanced
// LockServer(FALSE) calls.
long LockModule() noexcept;
long UnlockModule() noexcept;

// The binary that holds the classes: the DLL once it is loaded, or whatever
// module the DLL says stands in for it (a program that links the classes
// directly has no DLL).
HMODULE LibraryModule() noexcept;

}  // namespace veska

// The hook through which the COM kit keeps the DLL it is linked into loaded.
//
// Every DLL that uses the kit defines these two: the count behind them is what
// its DllCanUnloadNow reports (live instances, class objects held by clients,
// LockServer calls). The kit itself knows nothing else of the DLL.
#pragma once

namespace veska {

// Interlocked; both return the new count, which may go below 0 after unbalanced
// LockServer(FALSE) calls.
long LockModule() noexcept;
long UnlockModule() noexcept;

}  // namespace veska

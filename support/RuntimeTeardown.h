// Teardown of the statically linked C++ runtime when a DLL is unloaded.
#pragma once

namespace __gnu_cxx {
// Frees the runtime's emergency exception arena (about 19 KB, taken when the DLL
// loads), which the runtime's own teardown leaves behind.
void __freeres();
}  // namespace __gnu_cxx

namespace veska {

// Called from DllMain on a detach caused by FreeLibrary (reserved == null), after
// the last code that could throw; at process exit the arena goes with the process.
inline void FreeRuntimeArena() noexcept { __gnu_cxx::__freeres(); }

}  // namespace veska

// Where a binary lives on disk.
#pragma once

#include <windows.h>

#include <string>

namespace veska {

// The binary (DLL or program) this code is linked into.
HMODULE CodeModule() noexcept;

// The full path of module; empty when it cannot be read or does not fit 260
// characters (a cut path would name another file).
std::wstring ModulePath(HMODULE module);

}  // namespace veska

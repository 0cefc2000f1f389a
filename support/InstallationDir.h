// The product's installation directory, as the installation information
// component reports it.
#pragma once

#include <string>

namespace veska {

// Overwrites dir with the installation directory and returns true when it is not
// empty. The first non-empty answer is kept for the rest of the process; while
// none has come, every call asks the component again (a component that is not
// registered or gives no text leaves dir empty and returns false). Safe for
// first calls from several threads at once. Throws HResultError(E_OUTOFMEMORY)
// or std::bad_alloc when a string cannot be made.
bool GetInstallationDir(std::wstring& dir);

}  // namespace veska

#include "module/Module.h"

#include <cwchar>

namespace veska {

// Definition order is construction order; teardown runs in reverse.
const wchar_t* const InstallDirToken = L"INSTALLDIR";
const std::size_t InstallDirTokenLength = std::wcslen(InstallDirToken);

ReaderWriterLock OptionsCacheLock;

// The module's main source as the original build named it: a single backslash,
// no folder, so the loader finds no component name and tracing stays off unless
// a program loads the sink with a loader of its own.
TimeTraceLoader TheTimeTraceLoader(L".\\VeskaOptions.cpp");

Module TheModule;

}  // namespace veska

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

HMODULE LibraryModule() noexcept {
    if (TheModule.Instance() != nullptr) return TheModule.Instance();
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&LibraryModule), &self);
    return self;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(path, length);
}

}  // namespace veska

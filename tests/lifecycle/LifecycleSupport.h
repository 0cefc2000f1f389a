// Pieces shared by the lifecycle and fault-injection tests: what the process holds
// (heap bytes over all its heaps, handles), the entry points of a loaded copy of
// the library, and an options tree of 100 values, 80 in the registry and 20 from
// a settings file.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

#include "support/Owners.h"

namespace veska::test {

struct ResourceUse {
    SIZE_T heapBytes = 0;  // bytes in busy blocks of every heap of the process
    DWORD handles = 0;
};

// Walks every heap of the process, unless heap totals do not compare (then
// heapBytes is 0); the heaps stay locked while each is walked.
ResourceUse MeasureResources();

// False while Wine checks the heap (wine-run with VESKA_HEAP_CHECK): freed blocks
// are then held back for checking and walk as in use, so heap totals taken at two
// times do not compare. Handle counts still do.
bool HeapTotalsCompare();

// The class objects and the lock count of a loaded library; the library must
// stay loaded while the object is used.
class ServerEntryPoints {
public:
    explicit ServerEntryPoints(HMODULE module);

    // The class object of clsid, or null when the library refuses it.
    ComPtr<IClassFactory> Factory(REFCLSID clsid) const;
    // A new instance of clsid asked for I, or null.
    template <class I>
    ComPtr<I> Create(REFCLSID clsid) const {
        ComPtr<I> object;
        if (ComPtr<IClassFactory> factory = Factory(clsid)) {
            factory->CreateInstance(nullptr, __uuidof(I), object.put_void());
        }
        return object;
    }
    HRESULT CanUnloadNow() const;

private:
    using GetClassObjectFn = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);
    using CanUnloadNowFn = HRESULT(__stdcall*)();
    GetClassObjectFn getClassObject_ = nullptr;
    CanUnloadNowFn canUnloadNow_ = nullptr;
};

// The options tree. The registry part, 8 keys of 10 values each (s0 to s4 REG_SZ,
// d0 to d4 REG_DWORD) up to three levels deep, goes below HKEY_CURRENT_USER\path;
// the settings file adds 5 typed values to "Editor" and a key "Defaults" with 15
// more, "Defaults\Deep" among them. No name is in both, and every typed value
// renders as the text it was converted from, so a value left unconverted reads
// as the same text.
inline constexpr std::size_t kOptionsTreeValues = 100;
void SeedOptionsTree(const std::wstring& path);
std::string OptionsTreeSettingsFile();

}  // namespace veska::test

// A library with nothing of VeskaOptions in it, built and linked like
// VeskaOptions.dll: what loading and unloading it leaves behind is the share of
// the C++ runtime linked into every such library, which the load-cycle test
// allows for. Its teardown frees the runtime's exception arena as the real
// library's does, and Exercise uses a function-local static as the real
// library's settings merge does.
#include <windows.h>

#include <string>

namespace __gnu_cxx {
void __freeres();
}  // namespace __gnu_cxx

extern "C" __declspec(dllexport) int Exercise() {
    static const std::wstring text(L"the runtime's guard of a function-local static");
    return static_cast<int>(text.size());
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
    return TRUE;
}

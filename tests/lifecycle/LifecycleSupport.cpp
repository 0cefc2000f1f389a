#include "LifecycleSupport.h"

#include <vector>

#include "tests/common/TestRegistry.h"
#include "tests/settings/SettingsTestSupport.h"

namespace veska::test {

namespace {

// The process's handles as the system's handle list counts them, for platforms
// where GetProcessHandleCount answers 0 (a live process always holds some).
DWORD HandlesInSystemList() {
    struct Entry {
        ULONG processId;
        BYTE objectType;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct List {
        ULONG count;
        Entry entries[1];
    };
    using QueryFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    static const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    std::vector<BYTE> buffer(1 << 18);
    ULONG length = 0;
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &length)) == kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return 0;
    const auto* list = reinterpret_cast<const List*>(buffer.data());
    const ULONG self = ::GetCurrentProcessId();
    DWORD count = 0;
    for (ULONG i = 0; i < list->count; ++i) {
        if (list->entries[i].processId == self) ++count;
    }
    return count;
}

}  // namespace

ResourceUse MeasureResources() {
    ResourceUse use;
    if (HeapTotalsCompare()) {
        // Room for heaps made meanwhile; the list is taken before the walk so that
        // the walk itself allocates nothing.
        std::vector<HANDLE> heaps(::GetProcessHeaps(0, nullptr) + 16);
        heaps.resize(::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
        for (HANDLE heap : heaps) {
            if (!::HeapLock(heap)) continue;
            PROCESS_HEAP_ENTRY entry = {};
            while (::HeapWalk(heap, &entry)) {
                if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) use.heapBytes += entry.cbData;
            }
            ::HeapUnlock(heap);
        }
    }
    if (!::GetProcessHandleCount(::GetCurrentProcess(), &use.handles) || use.handles == 0) {
        use.handles = HandlesInSystemList();
    }
    return use;
}

bool HeapTotalsCompare() {
    return ::GetEnvironmentVariableW(L"VESKA_HEAP_CHECK", nullptr, 0) == 0;
}

ServerEntryPoints::ServerEntryPoints(HMODULE module) {
    // Through a generic function pointer: FARPROC's own signature is unrelated.
    auto entry = [module](const char* name) {
        return reinterpret_cast<void (*)()>(::GetProcAddress(module, name));
    };
    getClassObject_ = reinterpret_cast<GetClassObjectFn>(entry("DllGetClassObject"));
    canUnloadNow_ = reinterpret_cast<CanUnloadNowFn>(entry("DllCanUnloadNow"));
}

ComPtr<IClassFactory> ServerEntryPoints::Factory(REFCLSID clsid) const {
    ComPtr<IClassFactory> factory;
    if (getClassObject_ != nullptr) getClassObject_(clsid, IID_IClassFactory, factory.put_void());
    return factory;
}

HRESULT ServerEntryPoints::CanUnloadNow() const {
    return canUnloadNow_ != nullptr ? canUnloadNow_() : E_FAIL;
}

void SeedOptionsTree(const std::wstring& path) {
    static const wchar_t* const kKeys[] = {L"Editor", L"Editor\\Fonts", L"Editor\\Colors",
                                           L"View",   L"View\\Panels",  L"View\\Panels\\Left",
                                           L"Files",  L"Network"};
    for (const wchar_t* key : kKeys) {
        const std::wstring full = path + L"\\" + key;
        for (int i = 0; i < 5; ++i) {
            const std::wstring digit = std::to_wstring(i);
            SetString(HKEY_CURRENT_USER, full, (L"s" + digit).c_str(), key + (L" text " + digit));
            SetDword(HKEY_CURRENT_USER, full, (L"d" + digit).c_str(), 1000 + 7 * i);
        }
    }
}

std::string OptionsTreeSettingsFile() {
    std::string deep;
    for (int i = 0; i < 5; ++i) {
        deep += "<Value Name='Level" + std::to_string(i) + "' Type='I2'>" + std::to_string(i) +
                "</Value>";
    }
    return SettingsXml(
        "<Key Name='Editor'>"
        "<Value Name='WordWrap' Type='BOOL'>-1</Value>"
        "<Value Name='Zoom' Type='R8'>1.5</Value>"
        "<Value Name='FontSize' Type='I4'>12</Value>"
        "<Value Name='Help' Type='STRING'>INSTALLDIR\\Help</Value>"
        "<Value Name='Theme' Type='BSTR'>Plain</Value>"
        "</Key>"
        "<Key Name='Defaults'>"
        "<Value Name='Flag' Type='BOOL'>0</Value>"
        "<Value Name='Ratio' Type='R4'>2.5</Value>"
        "<Value Name='Small' Type='I1'>-3</Value>"
        "<Value Name='Short' Type='UI2'>300</Value>"
        "<Value Name='Count' Type='NUMBER'>42</Value>"
        "<Value Name='Big' Type='I8'>5000000000</Value>"
        "<Value Name='Unsigned' Type='UINT'>7</Value>"
        "<Value Name='Whole' Type='INT'>-8</Value>"
        "<Value Name='Name' Type='STRING'>Defaults</Value>"
        "<Value Name='Empty' Type='STRING'></Value>"
        "<Key Name='Deep'>" +
        deep + "</Key></Key>");
}

}  // namespace veska::test

#include "bench/LiveBench.h"

#include <windows.h>
#include <ocidl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "options/VeskaOpt.h"

namespace veska::bench {
namespace {

LONGLONG Ticks() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double TicksToMs(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return double(ticks) * 1000.0 / double(frequency.QuadPart);
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))];
}

// On each Changed, the latency from the tick count the writer stored in the
// value to now (the performance counter is one clock for every process).
class LatencySink final : public IDispatch {
public:
    explicit LatencySink(IVeskaOptions3* options) : options_(options) {}
    std::vector<double> latencies;

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        *ppv = iid == IID_IUnknown || iid == IID_IDispatch ? static_cast<IDispatch*>(this) : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        const LONGLONG now = Ticks();
        UniqueBstr empty = CopyBstr(L"");
        UniqueBstr name = CopyBstr(L"Stamp");
        UniqueVariant value;
        if (SUCCEEDED(options_->GetValueByName(empty.get(), name.get(), value.put())) && value.vt() == VT_BSTR) {
            latencies.push_back(TicksToMs(now - _wtoi64(value.get()->bstrVal)));
        }
        return S_OK;
    }

private:
    IVeskaOptions3* options_;
};

ComPtr<IVeskaOptions3> NewInitialised(const std::wstring& path) {
    ComPtr<IVeskaOptions3> options;
    CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, options.put_void());
    UniqueBstr bstr = CopyBstr(path.c_str());
    options->Init(1, bstr.get());
    return options;
}

}  // namespace

void LiveRows(const std::wstring& tree, const std::wstring& program) {
    // Refresh after one value change, against Init of a new object.
    ComPtr<IVeskaOptions3> watched = NewInitialised(tree);
    auto* object = static_cast<CVeskaOptions*>(watched.get());
    LONG changed = 0;
    object->Refresh(&changed);  // the first refresh reads the settings folder once
    std::vector<double> refreshes, inits, ratios;
    const std::wstring changedKey = tree + L"\\Key1000";
    for (int run = 0; run < 9; ++run) {
        const DWORD number = DWORD(run);
        ::RegSetKeyValueW(HKEY_CURRENT_USER, changedKey.c_str(), L"Value00", REG_DWORD, &number, 4);
        const LONGLONG start = Ticks();
        object->Refresh(&changed);
        const double refresh = TicksToMs(Ticks() - start);
        const LONGLONG initStart = Ticks();
        ComPtr<IVeskaOptions3> fresh = NewInitialised(tree);
        const double init = TicksToMs(Ticks() - initStart);
        refreshes.push_back(refresh);
        inits.push_back(init);
        ratios.push_back(refresh / init);
    }
    std::printf("%-44s %12.2f ms  | %-26s %12.2f ms  | ratio %8.3f  (%s)\n",
                "Refresh after one value change, 2,000 keys", Percentile(refreshes, 0.5),
                "Init of a new object", Percentile(inits, 0.5), Percentile(ratios, 0.5), "goal <= 0.1");

    // Latency: a writer process stores the counter in a value, the sink reads it back.
    const std::wstring root = tree + L"\\Latency";
    ::RegSetKeyValueW(HKEY_CURRENT_USER, root.c_str(), L"Stamp", REG_SZ, L"0", 4);
    ComPtr<IVeskaOptions3> options = NewInitialised(root);
    auto* live = static_cast<CVeskaOptions*>(options.get());
    LatencySink sink(options.get());
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    live->FindConnectionPoint(DIID__IVeskaOptionsLiveEvents, point.put());
    point->Advise(&sink, &cookie);
    live->Watch(1);
    const int writes = 60;
    std::wstring command = L"\"" + program + L"\" live-writer \"" + root + L"\" " + std::to_wstring(writes);
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        std::printf("latency: the writer process did not start (%lu)\n", ::GetLastError());
        return;
    }
    while (::WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        VARIANT_BOOL delivered;
        live->WaitForChange(200, &delivered);
    }
    VARIANT_BOOL delivered;
    live->WaitForChange(500, &delivered);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    live->Unwatch();
    point->Unadvise(cookie);
    std::printf("%-44s %12.1f ms  | %-26s %12.1f ms  | %zu of %d events  (%s)\n",
                "RegSetValueExW in another process to Changed", Percentile(sink.latencies, 0.5),
                "99th percentile", Percentile(sink.latencies, 0.99), sink.latencies.size(), writes,
                "goal median <= 150, p99 <= 300");
}

int LiveWriter(const std::wstring& path, int count) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return 1;
    ::Sleep(500);  // the watch is armed by now
    for (int i = 0; i < count; ++i) {
        ::Sleep(200 + DWORD(::GetTickCount() % 200));
        const std::wstring text = std::to_wstring(Ticks());
        ::RegSetValueExW(key, L"Stamp", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         DWORD((text.size() + 1) * sizeof(wchar_t)));
    }
    ::RegCloseKey(key);
    return 0;
}

}  // namespace veska::bench

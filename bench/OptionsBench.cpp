// Measures the options store against bare baselines, side by side in one run:
//   Init against a bare registry walk with the same enumeration calls,
//   GetValueByName against RegGetValueW and against bare map look-ups,
//   GetValues against building the same array directly,
//   heap bytes the cache holds per value and per key.
// Each figure is the median of repeated runs, in nanoseconds per operation.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "module/Module.h"
#include "options/VeskaOpt.h"

namespace {

// Every operator new in the process is counted, so a read path that allocates
// shows up in the report.
std::atomic<long> newCalls{0};

}  // namespace

void* operator new(std::size_t size) {
    ++newCalls;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace veska;

const std::wstring kBenchRoot = L"Software\\VeskaOptionsBench";

double NowNs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return double(now.QuadPart) * 1e9 / double(frequency.QuadPart);
}

// Runs a and b in turn, runs times, so that the load of the machine hits both
// alike; each returns the nanoseconds it spent on its ops operations. Medians of
// ns per operation and of the per-run ratio a/b.
struct Pair {
    double a;
    double b;
    double ratio;
};

template <class A, class B>
Pair Paired(int runs, long opsA, A a, long opsB, B b) {
    std::vector<double> as, bs, ratios;
    for (int r = 0; r < runs; ++r) {
        const bool aFirst = r % 2 == 0;
        double ta = 0, tb = 0;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == aFirst) {
                ta = a() / double(opsA);
            } else {
                tb = b() / double(opsB);
            }
        }
        as.push_back(ta);
        bs.push_back(tb);
        ratios.push_back(ta / tb);
    }
    auto median = [](std::vector<double>& v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    return Pair{median(as), median(bs), median(ratios)};
}

HKEY Create(const std::wstring& path) {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr);
    return key;
}

// keys sub-keys of path, each with valuesPerKey values: half REG_DWORD, half
// 16-character REG_SZ.
void MakeTree(const std::wstring& path, int keys, int valuesPerKey) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    for (int k = 0; k < keys; ++k) {
        wchar_t name[32];
        swprintf(name, 32, L"\\Key%04d", k);
        HKEY key = Create(path + name);
        for (int v = 0; v < valuesPerKey; ++v) {
            wchar_t valueName[32];
            swprintf(valueName, 32, L"Value%02d", v);
            if (v % 2 == 0) {
                const DWORD number = DWORD(v * 1000 + k);
                ::RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
            } else {
                const wchar_t text[] = L"text of sixteen!";
                ::RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
            }
        }
        ::RegCloseKey(key);
    }
}

// The loader's registry calls, with its capacities, and nothing kept.
void BareWalk(HKEY key) {
    static wchar_t name[256];
    static BYTE data[4096];
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 256, type = 0, size = 4096;
        if (::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 256;
        FILETIME lastWrite;
        if (::RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, &lastWrite) !=
            ERROR_SUCCESS) {
            break;
        }
        HKEY sub = nullptr;
        if (::RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            BareWalk(sub);
            ::RegCloseKey(sub);
        }
    }
}

ComPtr<IVeskaOptions3> NewOptions() {
    ComPtr<IVeskaOptions3> options;
    CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, options.put_void());
    return options;
}

// The nanoseconds body() takes.
template <class Body>
double Timed(Body body) {
    const double start = NowNs();
    body();
    return NowNs() - start;
}

// Init of a new object on path against the bare walk of the same subtree.
Pair MeasureInit(const std::wstring& path, int runs) {
    UniqueBstr bstr = CopyBstr(path.c_str());
    return Paired(
        runs, 1,
        [&] {
            ComPtr<IVeskaOptions3> options = NewOptions();
            return Timed([&] { options->Init(1, bstr.get()); });  // the release is not timed
        },
        1,
        [&] {
            return Timed([&] {
                HKEY key = nullptr;
                ::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
                BareWalk(key);
                ::RegCloseKey(key);
            });
        });
}

// Bytes in use on every heap of the process.
SIZE_T HeapBytesInUse() {
    HANDLE heaps[64];
    const DWORD count = ::GetProcessHeaps(64, heaps);
    SIZE_T total = 0;
    for (DWORD h = 0; h < count && h < 64; ++h) {
        PROCESS_HEAP_ENTRY entry{};
        ::HeapLock(heaps[h]);
        while (::HeapWalk(heaps[h], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData + entry.cbOverhead;
        }
        ::HeapUnlock(heaps[h]);
    }
    return total;
}

// Heap bytes an initialised object holds for the tree at path.
double HeapOfTree(const std::wstring& path) {
    UniqueBstr bstr = CopyBstr(path.c_str());
    ComPtr<IVeskaOptions3> options = NewOptions();
    const SIZE_T before = HeapBytesInUse();
    options->Init(1, bstr.get());
    return double(HeapBytesInUse()) - double(before);
}

// One line of the table; inverted prints b as the measured side and a as the
// baseline, with the ratio a/b (how many times faster b is).
void Row(const char* what, const Pair& pair, const char* against, const char* goal, bool inverted = false) {
    std::printf("%-44s %12.0f ns  | %-26s %12.0f ns  | ratio %8.2f  (%s)\n", what,
                inverted ? pair.b : pair.a, against, inverted ? pair.a : pair.b,
                pair.ratio, goal);
}

}  // namespace

int main() {
    ::CoInitialize(nullptr);
    const std::wstring small = kBenchRoot + L"\\T200";
    const std::wstring large = kBenchRoot + L"\\T2000";
    const std::wstring keysOnly = kBenchRoot + L"\\K2000";
    const std::wstring reads = kBenchRoot + L"\\Reads";
    std::printf("preparing registry trees...\n");
    MakeTree(small, 200, 10);
    MakeTree(large, 2000, 10);
    MakeTree(keysOnly, 2000, 0);
    {
        HKEY key = Create(reads + L"\\Alpha\\Beta\\Gamma");
        const DWORD number = 42;
        const wchar_t text[] = L"0123456789abcdef0123456789ABCDEF";  // 32 characters
        ::RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
        ::RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
        ::RegCloseKey(key);
        key = Create(reads + L"\\Many");
        for (int v = 0; v < 1000; ++v) {
            wchar_t name[32];
            swprintf(name, 32, L"Value%04d", v);
            const DWORD n = DWORD(v);
            ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4);
        }
        ::RegCloseKey(key);
    }

    std::printf("\n%-44s %15s  | %-26s %15s  | %s\n", "measured", "per op", "baseline", "per op",
                "ratio, median of paired runs");
    const Pair init200 = MeasureInit(small, 11);
    const Pair init2000 = MeasureInit(large, 7);
    Row("Init, 200 keys x 10 values", init200, "bare walk, same calls", "goal <= 1.05");
    Row("Init, 2,000 keys x 10 values", init2000, "bare walk, same calls", "goal <= 1.05");
    const double perValueSmall = init200.a / 2000, perValueLarge = init2000.a / 20000;
    std::printf("%-44s %12.0f ns  | %-26s %12.0f ns  | ratio %8.2f  (%s)\n", "Init per value, 2,000-key tree",
                perValueLarge, "per value, 200-key tree", perValueSmall, perValueLarge / perValueSmall,
                "goal <= 1.2");

    // Reads of one object's cache, against the registry and against bare look-ups
    // in a tree loaded the same way.
    ComPtr<IVeskaOptions3> options = NewOptions();
    UniqueBstr readsPath = CopyBstr(reads.c_str());
    options->Init(1, readsPath.get());
    OpsInfo* floorTree = new OpsInfo();
    {
        HKEY key = nullptr;
        ::RegOpenKeyExW(HKEY_CURRENT_USER, reads.c_str(), 0, KEY_READ, &key);
        CVeskaOptions::FillKeysValues(key, floorTree);
        ::RegCloseKey(key);
    }
    const FoldedString alpha(L"Alpha"), beta(L"Beta"), gamma(L"Gamma"), many(L"Many");
    UniqueBstr path = CopyBstr(L"Alpha\\Beta\\Gamma");
    const std::wstring regPath = reads + L"\\Alpha\\Beta\\Gamma";
    for (const wchar_t* valueName : {L"Number", L"Text"}) {
        UniqueBstr attr = CopyBstr(valueName);
        const FoldedString folded(valueName);
        const long ops = 100000;
        const long regOps = 1000;
        VARIANT out;
        ::VariantInit(&out);
        const auto ours = [&] {
            return Timed([&] {
                for (long i = 0; i < ops; ++i) {
                    options->GetValueByName(path.get(), attr.get(), &out);
                    ::VariantClear(&out);
                }
            });
        };
        const auto floor = [&] {
            return Timed([&] {
                for (long i = 0; i < ops; ++i) {
                    const OpsInfo* a = floorTree->keys.find(alpha)->second.get();
                    const OpsInfo* b = a->keys.find(beta)->second.get();
                    const OpsInfo* c = b->keys.find(gamma)->second.get();
                    ::VariantCopy(&out, const_cast<VARIANT*>(c->values.find(folded)->second.get()));
                    ::VariantClear(&out);
                }
            });
        };
        // The floor inside the options cache lock's shared mode: how much of the
        // read's cost above the floor the lock takes.
        const auto lockedFloor = [&] {
            return Timed([&] {
                for (long i = 0; i < ops; ++i) {
                    SharedLock lock(OptionsCacheLock);
                    const OpsInfo* a = floorTree->keys.find(alpha)->second.get();
                    const OpsInfo* b = a->keys.find(beta)->second.get();
                    const OpsInfo* c = b->keys.find(gamma)->second.get();
                    ::VariantCopy(&out, const_cast<VARIANT*>(c->values.find(folded)->second.get()));
                    ::VariantClear(&out);
                }
            });
        };
        const auto registry = [&] {
            return Timed([&] {
                for (long i = 0; i < regOps; ++i) {
                    BYTE data[128];
                    DWORD size = sizeof(data);
                    ::RegGetValueW(HKEY_CURRENT_USER, regPath.c_str(), valueName, RRF_RT_ANY, nullptr,
                                   data, &size);
                }
            });
        };
        const long callsBefore = newCalls;
        const Pair againstFloor = Paired(15, ops, ours, ops, floor);
        const double callsPerRead = double(newCalls - callsBefore) / (15.0 * 2 * ops);
        const Pair againstRegistry = Paired(5, regOps, registry, ops, ours);
        const std::string label = std::string("GetValueByName, 3 segments, ") +
                                  (valueName[0] == L'N' ? "VT_I4" : "32-char VT_BSTR");
        Row(label.c_str(), againstRegistry, "RegGetValueW (as measured)", "goal: registry/ours >= 100",
            true);
        Row(label.c_str(), againstFloor, "3 look-ups + VariantCopy", "goal <= 2.0");
        Row("  the floor inside the shared lock", Paired(15, ops, lockedFloor, ops, floor),
            "3 look-ups + VariantCopy", "the lock's share");
        std::printf("%-44s operator new calls per read (both sides): %.3f\n", "", callsPerRead);
    }

    {
        const OpsInfo* node = floorTree->keys.find(many)->second.get();
        UniqueBstr manyPath = CopyBstr(L"Many");
        const long ops = 100;
        const auto ours = [&] {
            return Timed([&] {
                for (long i = 0; i < ops; ++i) {
                    SAFEARRAY* values = nullptr;
                    options->GetValues(manyPath.get(), &values);
                    ::SafeArrayDestroy(values);
                }
            });
        };
        const auto floor = [&] {
            return Timed([&] {
                for (long i = 0; i < ops; ++i) {
                    SAFEARRAYBOUND bounds[2] = {{ULONG(node->values.size()), 0}, {2, 0}};
                    SAFEARRAY* values = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
                    VARIANT* slot = nullptr;
                    ::SafeArrayAccessData(values, reinterpret_cast<void**>(&slot));
                    for (const auto& entry : node->values) {
                        slot[0].vt = VT_BSTR;
                        slot[0].bstrVal =
                            ::SysAllocStringLen(entry.first.text(), UINT(entry.first.view().size()));
                        ::VariantCopy(&slot[1], const_cast<VARIANT*>(entry.second.get()));
                        slot += 2;
                    }
                    ::SafeArrayUnaccessData(values);
                    ::SafeArrayDestroy(values);
                }
            });
        };
        Row("GetValues, 1,000 values", Paired(15, ops, ours, ops, floor), "same array built directly",
            "goal <= 1.5");
    }
    CVeskaOptions::FreeOpsInfoMem(floorTree);

    // Per key from the tree without values; per value from the difference.
    // Text: key names "key0000" (7 characters); value names "value00" (7), and the
    // 16-character strings of half the values.
    const double keysHeap = HeapOfTree(keysOnly);
    const double fullHeap = HeapOfTree(large);
    const double keyText = 7 * sizeof(wchar_t);
    const double valueText = 7 * sizeof(wchar_t) + 0.5 * 16 * sizeof(wchar_t);
    std::printf("\nheap held per key   (2,000 keys)        %8.1f bytes beyond its name     (goal <= 256)\n",
                keysHeap / 2001 - keyText);
    std::printf("heap held per value (20,000 values)     %8.1f bytes beyond name and text (goal <= 96)\n",
                (fullHeap - keysHeap) / 20000 - valueText);

    options.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kBenchRoot.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kBenchRoot.c_str());
    ::CoUninitialize();
    return 0;
}

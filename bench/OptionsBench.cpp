// Measures the options store against bare baselines, side by side in one run:
//   Init against a bare registry walk with the same enumeration calls,
//   GetValueByName against RegGetValueW and against bare map look-ups,
//   GetValues against building the same array directly,
//   heap bytes the cache holds per value and per key,
//   reads per second of threads reading at once, alone and beside a writer.
// Each figure is the median of repeated runs, in nanoseconds per operation
// unless the row says otherwise. Sections named on the command line (init,
// reads, threads, heap) run alone.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/LiveBench.h"
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

// The processors the process may use.
DWORD_PTR ProcessProcessors() {
    DWORD_PTR process = 0, system = 0;
    ::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system);
    return process;
}

// The single-thread rows run on the first of the process's processors, where
// wine-run keeps the wineserver; the threaded rows need them all.
void RunOnFirstProcessor() {
    const DWORD_PTR all = ProcessProcessors();
    ::SetThreadAffinityMask(::GetCurrentThread(), all & (~all + 1));
}

void RunOnEveryProcessor() {
    const DWORD_PTR all = ProcessProcessors();
    ::SetThreadAffinityMask(::GetCurrentThread(), all);
    int count = 0;
    for (DWORD_PTR bits = all; bits != 0; bits &= bits - 1) ++count;
    std::printf("\nthreads reading at once, on %d processor%s%s:\n", count, count == 1 ? "" : "s",
                count == 1 ? " (run with VESKA_ALL_CPUS=1 for the thread rows' goals)" : "");
}

// The threads of a run of ReadTogether: readers, and a writer when asked.
struct ReadingRun {
    int readers = 1;
    IVeskaOptions3* shared = nullptr;  // null: each reader reads an object of its own
    bool writer = false;               // writes to shared about once per millisecond
};

struct ReadingFigures {
    double readsPerSecond = 0;
    double longestWriteNs = 0;  // the longest SetValueByName call of the writer
    long writes = 0;
};

// GetValueByName (VT_I4, 3 segments) on run.readers threads at once for one
// window of windowMs; reads per second of them all together. Objects of their
// own are made on root before the window opens.
ReadingFigures ReadTogether(const ReadingRun& run, const std::wstring& root, DWORD windowMs) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false}, stop{false};
    std::atomic<long> reads{0};
    ReadingFigures figures;
    std::vector<std::thread> threads;
    for (int t = 0; t < run.readers; ++t) {
        threads.emplace_back([&] {
            ComPtr<IVeskaOptions3> own;
            IVeskaOptions3* options = run.shared;
            if (options == nullptr) {
                own = NewOptions();
                own->Init(1, CopyBstr(root.c_str()).get());
                options = own.get();
            }
            const UniqueBstr path = CopyBstr(L"Alpha\\Beta\\Gamma");
            const UniqueBstr attr = CopyBstr(L"Number");
            VARIANT out;
            ::VariantInit(&out);
            ++ready;
            while (!go) std::this_thread::yield();
            long done = 0;
            for (; !stop.load(std::memory_order_relaxed); ++done) {
                options->GetValueByName(path.get(), attr.get(), &out);
                ::VariantClear(&out);
            }
            reads += done;
        });
    }
    if (run.writer) {
        threads.emplace_back([&] {
            const UniqueBstr path = CopyBstr(L"Alpha\\Beta\\Gamma");
            const UniqueBstr attr = CopyBstr(L"Written");
            ++ready;
            while (!go) std::this_thread::yield();
            // One write per millisecond on average: a sleep that overruns is made
            // up by writing at once.
            const double first = NowNs();
            for (long i = 1;; ++i) {
                while (!stop && NowNs() < first + 1e6 * double(i)) ::Sleep(1);
                if (stop) break;
                VARIANT value;
                value.vt = VT_I4;
                value.lVal = i;
                const double start = NowNs();
                run.shared->SetValueByName(path.get(), attr.get(), &value, 0, 0);
                figures.longestWriteNs = std::max(figures.longestWriteNs, NowNs() - start);
                ++figures.writes;
            }
        });
    }
    const int expected = run.readers + (run.writer ? 1 : 0);
    while (ready < expected) ::Sleep(1);
    const double start = NowNs();
    go = true;
    ::Sleep(windowMs);
    stop = true;
    const double window = NowNs() - start;
    for (std::thread& thread : threads) thread.join();
    figures.readsPerSecond = double(reads) * 1e9 / window;
    return figures;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A row of reads per second, laid out like Row.
void RateRow(const char* what, double rate, const char* against, double baseline, double ratio,
             const char* goal) {
    std::printf("%-44s %12.0f /s  | %-26s %12.0f /s  | ratio %8.2f  (%s)\n", what, rate, against,
                baseline, ratio, goal);
}

// Reads of one shared object and of an object per thread on 1, 2 and 4 threads,
// and 2 threads beside a writer, every configuration once per round so that the
// load of the machine hits them alike. Rates and ratios are medians over the
// rounds; the writer's longest call is the longest of all rounds.
void MeasureThreadedReads(IVeskaOptions3* shared, const std::wstring& root) {
    constexpr int kRounds = 7;
    constexpr DWORD kWindowMs = 200;
    const UniqueBstr path = CopyBstr(L"Alpha\\Beta\\Gamma");
    VARIANT first;
    first.vt = VT_I4;
    first.lVal = 0;
    shared->AddValueByName(path.get(), CopyBstr(L"Written").get(), &first, 0);

    const int counts[] = {1, 2, 4};
    std::vector<double> rates[2][3], scale[2][2], alone, withWriter, besideWriter;
    double longestWrite = 0;
    long writes = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (int kind = 0; kind < 2; ++kind) {
            double rate[3];
            for (int c = 0; c < 3; ++c) {
                rate[c] = ReadTogether({counts[c], kind == 0 ? shared : nullptr, false}, root,
                                       kWindowMs).readsPerSecond;
                rates[kind][c].push_back(rate[c]);
            }
            scale[kind][0].push_back(rate[1] / rate[0]);
            scale[kind][1].push_back(rate[2] / rate[1]);
            if (kind == 0) alone.push_back(rate[1]);
        }
        const ReadingFigures written = ReadTogether({2, shared, true}, root, kWindowMs);
        withWriter.push_back(written.readsPerSecond);
        besideWriter.push_back(written.readsPerSecond / alone.back());
        longestWrite = std::max(longestWrite, written.longestWriteNs);
        writes += written.writes;
    }
    const char* kinds[] = {"one object", "own objects"};
    for (int kind = 0; kind < 2; ++kind) {
        const std::string two = std::string("GetValueByName VT_I4, 2 threads, ") + kinds[kind];
        const std::string four = std::string("GetValueByName VT_I4, 4 threads, ") + kinds[kind];
        RateRow(two.c_str(), Median(rates[kind][1]), "1 thread", Median(rates[kind][0]),
                Median(scale[kind][0]), "goal 2/1 >= 1.6");
        RateRow(four.c_str(), Median(rates[kind][2]), "2 threads", Median(rates[kind][1]),
                Median(scale[kind][1]), "goal 4/2 >= 0.95");
    }
    RateRow("GetValueByName VT_I4, 2 threads, 1 writer", Median(withWriter), "2 threads alone",
            Median(alone), Median(besideWriter), "goal >= 0.8");
    std::printf("%-44s %12.3f ms  | %-26s %12.0f /s  |                 (goal <= 5 ms)\n",
                "  the writer's longest SetValueByName", longestWrite / 1e6, "writes made",
                writes * 1000.0 / (kRounds * kWindowMs));
}

// The sections named on the command line, or every section when none is named:
// init, reads, threads, heap.
bool Wanted(int argc, char** argv, const char* section) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], section) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "live-writer") == 0) {
        const std::string path = argv[2];
        return bench::LiveWriter(std::wstring(path.begin(), path.end()), std::atoi(argv[3]));
    }
    ::CoInitialize(nullptr);
    RunOnFirstProcessor();
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
    if (Wanted(argc, argv, "init")) {
        const Pair init200 = MeasureInit(small, 11);
        const Pair init2000 = MeasureInit(large, 7);
        Row("Init, 200 keys x 10 values", init200, "bare walk, same calls", "goal <= 1.05");
        Row("Init, 2,000 keys x 10 values", init2000, "bare walk, same calls", "goal <= 1.05");
        const double perValueSmall = init200.a / 2000, perValueLarge = init2000.a / 20000;
        std::printf("%-44s %12.0f ns  | %-26s %12.0f ns  | ratio %8.2f  (%s)\n", "Init per value, 2,000-key tree",
                    perValueLarge, "per value, 200-key tree", perValueSmall, perValueLarge / perValueSmall,
                    "goal <= 1.2");
    }

    // Reads of one object's cache, against the registry and against bare look-ups
    // in a tree loaded the same way.
    ComPtr<IVeskaOptions3> options = NewOptions();
    UniqueBstr readsPath = CopyBstr(reads.c_str());
    options->Init(1, readsPath.get());
    if (Wanted(argc, argv, "reads")) {
        OpsInfo* floorTree = new OpsInfo();
        {
            HKEY key = nullptr;
            ::RegOpenKeyExW(HKEY_CURRENT_USER, reads.c_str(), 0, KEY_READ, &key);
            CVeskaOptions::FillKeysValues(key, floorTree);
            ::RegCloseKey(key);
        }
        // The floor's names are folded already.
        const FoldedView alpha{L"alpha"}, beta{L"beta"}, gamma{L"gamma"}, many{L"many"};
        UniqueBstr path = CopyBstr(L"Alpha\\Beta\\Gamma");
        const std::wstring regPath = reads + L"\\Alpha\\Beta\\Gamma";
        for (const wchar_t* valueName : {L"Number", L"Text"}) {
            UniqueBstr attr = CopyBstr(valueName);
            const std::wstring lower = valueName[0] == L'N' ? L"number" : L"text";
            const FoldedView folded{lower};
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
            Row(label.c_str(), againstFloor, "3 look-ups + VariantCopy", "goal <= 1.6");
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
                                ::SysAllocStringLen(node->values.NameOf(entry).data(),
                                                    UINT(entry.pooledName.length));
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
    }

    if (Wanted(argc, argv, "threads")) {
        // Threads reading at once; the rows before ran on the first processor alone.
        RunOnEveryProcessor();
        MeasureThreadedReads(options.get(), reads);
    }

    if (Wanted(argc, argv, "heap")) {
        // Per key from the tree without values; per value from the difference.
        // Text: key names "key0000" (7 characters); value names "value00" (7), and the
        // 16-character strings of half the values.
        const double keysHeap = HeapOfTree(keysOnly);
        const double fullHeap = HeapOfTree(large);
        const double keyText = 7 * sizeof(wchar_t);
        const double valueText = 7 * sizeof(wchar_t) + 0.5 * 16 * sizeof(wchar_t);
        std::printf("\nheap held per key   (2,000 keys)        %8.1f bytes beyond its name     "
                    "(goal <= 160 on x64)\n",
                    keysHeap / 2001 - keyText);
        std::printf("heap held per value (20,000 values)     %8.1f bytes beyond name and text "
                    "(goal <= 64 on x64, 48 on x86)\n",
                    (fullHeap - keysHeap) / 20000 - valueText);
    }

    if (Wanted(argc, argv, "live")) {
        wchar_t program[MAX_PATH];
        ::GetModuleFileNameW(nullptr, program, MAX_PATH);
        bench::LiveRows(large, program);
    }

    options.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kBenchRoot.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kBenchRoot.c_str());
    ::CoUninitialize();
    return 0;
}

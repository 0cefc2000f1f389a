// Concurrency stress of the options store.
//
// MixedCallsOnEightThreads: eight threads, each in its own single-threaded
// apartment with two options objects on registry roots of their own, make
// seeded random calls of every member (ModelDriver) for a bounded time, each
// object checked against its own model after every call; two more threads only
// read. A watchdog ends the process with what every thread was doing when one
// of them makes no progress for kStallSeconds. At the end every object and its
// registry subtree equal their model, a fresh object loads what the model
// holds, and the process-wide options cache lock is idle.
//
// WritersGetThroughASteadyStreamOfReaders: overlapping readers read back to back
// while several writers wait at once; every write must get through within a
// bound.
//
// ReadsOfAKeyWhileKeysComeAndGoBelowIt: readers read one key's values back to
// back while writers add and remove keys below it and one of them rewrites a
// value of the key; every read must give a value the key may hold.
//
// VESKA_STRESS_SECONDS sets the time of the mixed calls (30 by default). A
// failure prints the object's seed, the number of its call and the latest
// calls before it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "ModelDriver.h"
#include "com/ComObject.h"
#include "module/Module.h"
#include "options/VeskaOpt.h"
#include "tests/options/OptionsTestSupport.h"

namespace veska::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMixedThreads = 8;
constexpr int kReadingThreads = 2;
constexpr int kObjectsPerThread = 2;
constexpr int kStallSeconds = 20;

unsigned Seconds() {
    const char* text = std::getenv("VESKA_STRESS_SECONDS");
    return text != nullptr && *text != '\0' ? unsigned(std::strtoul(text, nullptr, 10)) : 30;
}

// One thread with its objects, and what it is doing for the watchdog.
struct StressThread {
    std::vector<std::wstring> roots;
    bool readOnly = false;
    std::uint32_t firstSeed = 0;

    std::atomic<unsigned> heartbeat{0};
    std::atomic<const char*> phase{"starting"};
    std::atomic<ModelDriver*> driver{nullptr};
    std::atomic<unsigned> calls{0};
    std::wstring failure;
    std::thread thread;
};

// Runs one thread's objects until the deadline, then compares them with their
// models; keeps the objects until release is set, so the watchdog can still
// look at them.
void RunStressThread(StressThread& self, Clock::time_point deadline,
                     std::shared_future<void> release) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        std::vector<std::unique_ptr<ModelDriver>> drivers;
        std::wstring diff;
        for (std::size_t i = 0; i < self.roots.size() && diff.empty(); ++i) {
            drivers.push_back(std::make_unique<ModelDriver>(self.roots[i], self.firstSeed + i,
                                                            false, self.readOnly));
            self.driver = drivers.back().get();
            drivers.back()->SeedRegistry();
            diff = drivers.back()->Initialise();
        }
        std::minstd_rand pick(self.firstSeed);
        self.phase = "calling";
        std::size_t at = 0;
        while (diff.empty() && Clock::now() < deadline) {
            at = pick() % drivers.size();
            ModelDriver& driver = *drivers[at];
            self.driver = &driver;
            diff = driver.Step();
            // The changed keys are read now and then, to keep their list short.
            bool changed = false;
            if (diff.empty() && driver.Steps() % 50 == 0) {
                diff = driver.CompareChangedKeys(&changed);
            }
            ++self.calls;
            ++self.heartbeat;
        }
        self.phase = "comparing with the models";
        for (std::size_t i = 0; i < drivers.size() && diff.empty(); ++i) {
            at = i;
            self.driver = drivers[i].get();
            diff = drivers[i]->CompareAll() + drivers[i]->CompareRegistry() +
                   drivers[i]->CompareReload();
            ++self.heartbeat;
        }
        if (!diff.empty()) {
            const ModelDriver& driver = *drivers[at];
            self.failure = L"object of seed " + std::to_wstring(self.firstSeed + at) +
                           L" at call " + std::to_wstring(driver.Steps()) + L":\n" + diff +
                           L"latest calls:\n" + driver.RecentCalls();
        }
        self.phase = "done";
        release.wait();
        self.driver = nullptr;
    }
    ::CoUninitialize();
}

// Watches the threads' heartbeats; on a stall prints what each thread was doing,
// removes the threads' registry roots and ends the process, since the stuck
// threads cannot be joined.
class Watchdog {
public:
    explicit Watchdog(std::vector<std::unique_ptr<StressThread>>& threads)
        : threads_(threads), thread_([this] { Run(); }) {}
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }

private:
    void Run() {
        std::vector<unsigned> seen(threads_.size(), ~0u);
        std::vector<Clock::time_point> since(threads_.size(), Clock::now());
        while (!stop_) {
            std::this_thread::sleep_for(200ms);
            for (std::size_t i = 0; i < threads_.size(); ++i) {
                const StressThread& t = *threads_[i];
                if (t.heartbeat != seen[i] || std::string(t.phase.load()) == "done") {
                    seen[i] = t.heartbeat;
                    since[i] = Clock::now();
                } else if (Clock::now() - since[i] > std::chrono::seconds(kStallSeconds)) {
                    Dump(i);
                }
            }
        }
    }

    [[noreturn]] void Dump(std::size_t stalled) {
        std::printf("watchdog: thread %u made no progress for %d s; the threads:\n",
                    unsigned(stalled), kStallSeconds);
        for (std::size_t i = 0; i < threads_.size(); ++i) {
            const StressThread& t = *threads_[i];
            const ModelDriver* driver = t.driver;
            std::printf("  thread %u (%s): %u calls, %s, in %s\n", unsigned(i),
                        t.readOnly ? "reads only" : "mixed", t.calls.load(), t.phase.load(),
                        driver != nullptr ? driver->CurrentCall() : "-");
        }
        std::fflush(stdout);
        // The scratch keys' owners never run: the keys go here.
        for (const auto& t : threads_) {
            for (const std::wstring& root : t->roots) DeleteTree(HKEY_CURRENT_USER, root);
        }
        ::TerminateProcess(::GetCurrentProcess(), 3);
        for (;;) ::Sleep(INFINITE);
    }

    std::vector<std::unique_ptr<StressThread>>& threads_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// True when body finishes on another thread within the limit; a stuck body is
// left behind rather than hanging the run.
bool FinishesWithin(std::chrono::milliseconds limit, std::function<void()> body) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([body = std::move(body), done] {
        body();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

TEST(ConcurrencyStress, MixedCallsOnEightThreads) {
    std::vector<std::unique_ptr<ScratchKey>> scratch;
    std::vector<std::unique_ptr<StressThread>> threads;
    for (int i = 0; i < kMixedThreads + kReadingThreads; ++i) {
        auto thread = std::make_unique<StressThread>();
        thread->readOnly = i >= kMixedThreads;
        thread->firstSeed = 1000 + 10 * unsigned(i);
        for (int j = 0; j < (thread->readOnly ? 1 : kObjectsPerThread); ++j) {
            scratch.push_back(std::make_unique<ScratchKey>());
            thread->roots.push_back(scratch.back()->Path());
        }
        threads.push_back(std::move(thread));
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(Seconds());
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    {
        Watchdog watchdog(threads);
        for (auto& t : threads) {
            t->thread = std::thread(RunStressThread, std::ref(*t), deadline, released);
        }
        for (auto& t : threads) {
            while (std::string(t->phase.load()) != "done") std::this_thread::sleep_for(50ms);
        }
    }
    release.set_value();
    unsigned mixed = 0, reads = 0;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        StressThread& t = *threads[i];
        t.thread.join();
        (t.readOnly ? reads : mixed) += t.calls;
        EXPECT_TRUE(t.failure.empty()) << "thread " << i << ", " << t.failure;
    }
    std::printf("concurrency stress: %u mixed and %u reading calls in %u s\n", mixed, reads,
                Seconds());

    EXPECT_EQ(OptionsCacheLock.ReaderCount(), 0);
    EXPECT_EQ(OptionsCacheLock.WaitingWriterCount(), 0);
    EXPECT_TRUE(FinishesWithin(1000ms, [] {
        OptionsCacheLock.LockExclusive();
        OptionsCacheLock.UnlockExclusive();
    })) << "the exclusive mode is not free at the end";
}

// Reader threads read a key of many values back to back, so that some reader is
// nearly always inside the shared mode; then several writers write at once, each
// first waiting for the readers inside. Every write must get through within the
// bound while the readers keep coming.
TEST(ConcurrencyStress, WritersGetThroughASteadyStreamOfReaders) {
    constexpr int kReaders = 12;
    constexpr int kWriters = 3;
    constexpr int kWrites = 20;
    constexpr long long kWriteBoundMs = 2000;
    constexpr auto kReadingLimit = 30s;
    ScratchKey scratch;
    for (int i = 0; i < 300; ++i) {
        SetDword(HKEY_CURRENT_USER, scratch.PathOf(L"Big"), (L"v" + std::to_wstring(i)).c_str(), i);
    }
    auto newOptions = [&] {
        ComPtr<IVeskaOptions3> options;
        EXPECT_EQ(CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, options.put_void()),
                  S_OK);
        EXPECT_EQ(options->Init(1, Bstr(scratch.Path())), S_OK);
        return options;
    };

    std::atomic<bool> writersDone{false};
    std::atomic<unsigned> reads{0};
    std::vector<std::thread> readers;
    const Clock::time_point readingEnds = Clock::now() + kReadingLimit;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            {
                const ComPtr<IVeskaOptions3> options = newOptions();
                while (!writersDone && Clock::now() < readingEnds) {
                    SAFEARRAY* values = nullptr;
                    EXPECT_EQ(options->GetValues(Bstr(L"Big"), &values), S_OK);
                    const UniqueSafeArray owner = UniqueSafeArray::Adopt(values);
                    ++reads;
                }
            }
            ::CoUninitialize();
        });
    }
    while (reads < 200 && Clock::now() < readingEnds) std::this_thread::sleep_for(1ms);

    std::atomic<int> ready{0};
    std::vector<Clock::duration> longest(kWriters);
    std::vector<int> written(kWriters);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            {
                const ComPtr<IVeskaOptions3> options = newOptions();
                for (++ready; ready < kWriters;) std::this_thread::yield();
                for (int i = 0; i < kWrites && Clock::now() < readingEnds; ++i) {
                    const Clock::time_point start = Clock::now();
                    UniqueVariant value = I4(i + 1000 * w);
                    EXPECT_EQ(options->SetValueByName(Bstr(L"Big"), Bstr(L"v0"), value.get(), 0, 1),
                              S_OK);
                    longest[w] = std::max(longest[w], Clock::now() - start);
                    ++written[w];
                }
            }
            ::CoUninitialize();
        });
    }
    for (std::thread& writer : writers) writer.join();
    const unsigned readsWhileWriting = reads;
    writersDone = true;
    for (std::thread& reader : readers) reader.join();

    for (int w = 0; w < kWriters; ++w) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(longest[w]).count();
        std::printf("writer %d: %d writes, longest %lld ms\n", w, written[w],
                    static_cast<long long>(ms));
        EXPECT_EQ(written[w], kWrites) << "writer " << w << " held off until the readers stopped";
        EXPECT_LT(ms, kWriteBoundMs) << "writer " << w << " waited that long for one write";
    }
    std::printf("%u reads while the writers wrote\n", readsWhileWriting);
    EXPECT_EQ(OptionsCacheLock.ReaderCount(), 0);
    EXPECT_EQ(OptionsCacheLock.WaitingWriterCount(), 0);
}

// Readers and one writer share one object; the other writers have objects of
// their own on the same registry key and meet the readers at the cache lock
// alone. The shared writer's removals hold the lock in shared mode beside the
// readers: they change only the key's list of sub-keys, which a read of the
// key's values never looks at. The watchdog ends the process when a thread
// stops making progress.
TEST(ConcurrencyStress, ReadsOfAKeyWhileKeysComeAndGoBelowIt) {
    constexpr int kReaders = 3;
    constexpr int kWriters = 2;
    constexpr LONG kFirstValue = 1000;  // "v" cycles through kValues values from here
    constexpr LONG kValues = 7;
    constexpr LONG kSteady = 77;  // "w", never written
    constexpr auto kTime = 3s;
    const std::wstring key = L"A\\B\\C";
    ScratchKey scratch;
    SetDword(HKEY_CURRENT_USER, scratch.PathOf(key), L"v", kFirstValue);
    SetDword(HKEY_CURRENT_USER, scratch.PathOf(key), L"w", kSteady);
    auto newOptions = [&] {
        ComPtr<IVeskaOptions3> options;
        EXPECT_EQ(CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, options.put_void()),
                  S_OK);
        EXPECT_EQ(options->Init(1, Bstr(scratch.Path())), S_OK);
        return options;
    };
    const ComPtr<IVeskaOptions3> shared = newOptions();
    std::vector<ComPtr<IVeskaOptions3>> own;
    for (int w = 1; w < kWriters; ++w) own.push_back(newOptions());

    std::vector<std::unique_ptr<StressThread>> threads;
    for (int i = 0; i < kReaders + kWriters; ++i) {
        threads.push_back(std::make_unique<StressThread>());
        threads.back()->roots.push_back(scratch.Path());
        threads.back()->readOnly = i < kReaders;
    }
    // Runs body until the deadline or its first complaint, which it returns.
    auto run = [](StressThread& self, Clock::time_point deadline,
                  std::function<std::wstring(unsigned)> body) {
        self.phase = "calling";
        while (self.failure.empty() && Clock::now() < deadline) {
            self.failure = body(self.calls);
            ++self.calls;
            ++self.heartbeat;
        }
        self.phase = "done";
    };
    auto read = [&](const wchar_t* name, LONG low, LONG high) -> std::wstring {
        UniqueVariant value;
        const HRESULT hr = shared->GetValueByName(Bstr(key), Bstr(name), value.put());
        if (hr == S_OK && value.vt() == VT_I4 && value.get()->lVal >= low &&
            value.get()->lVal < high) {
            return L"";
        }
        return std::wstring(name) + L" read as " + RenderVariant(*value.get()) + L", hr " +
               std::to_wstring(hr);
    };
    auto expect = [](const wchar_t* call, HRESULT hr) {
        return hr == S_OK ? std::wstring() : std::wstring(call) + L" gave " + std::to_wstring(hr);
    };
    const Clock::time_point deadline = Clock::now() + kTime;
    {
        Watchdog watchdog(threads);
        for (int i = 0; i < kReaders + kWriters; ++i) {
            StressThread& self = *threads[i];
            std::function<std::wstring(unsigned)> body;
            if (i < kReaders) {
                body = [&](unsigned) {
                    return read(L"v", kFirstValue, kFirstValue + kValues) +
                           read(L"w", kSteady, kSteady + 1);
                };
            } else {
                const bool onShared = i == kReaders;
                IVeskaOptions3* options = onShared ? shared.get() : own[i - kReaders - 1].get();
                const std::wstring sub = key + L"\\K" + std::to_wstring(i);
                body = [&, options, sub, onShared](unsigned call) {
                    std::wstring complaint = expect(L"AddKey", options->AddKey(Bstr(sub), 0));
                    if (onShared) {
                        UniqueVariant value = I4(kFirstValue + LONG(call % kValues));
                        const HRESULT hr =
                            options->SetValueByName(Bstr(key), Bstr(L"v"), value.get(), 0, 0);
                        complaint += expect(L"SetValueByName", hr);
                    }
                    return complaint + expect(L"RemoveKey", options->RemoveKey(Bstr(sub), 0));
                };
            }
            self.thread = std::thread(run, std::ref(self), deadline, body);
        }
        for (auto& t : threads) {
            while (std::string(t->phase.load()) != "done") std::this_thread::sleep_for(50ms);
        }
    }
    unsigned reads = 0, rounds = 0;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        StressThread& t = *threads[i];
        t.thread.join();
        (t.readOnly ? reads : rounds) += t.calls;
        EXPECT_TRUE(t.failure.empty())
            << "thread " << i << " at call " << t.calls << ": " << t.failure;
        EXPECT_GT(t.calls, 0u) << "thread " << i << " never got through";
    }
    std::printf("%u reads of one key beside %u rounds of adding and removing keys below it\n",
                reads, rounds);
    EXPECT_EQ(read(L"v", kFirstValue, kFirstValue + kValues), L"");
    SAFEARRAY* keys = nullptr;
    EXPECT_EQ(shared->GetKeys(Bstr(key), &keys), S_OK);
    const UniqueSafeArray keysOwner = UniqueSafeArray::Adopt(keys);
    EXPECT_EQ(RenderKeys(keys), L"<null>") << "a key added below the read key stayed";
    EXPECT_EQ(OptionsCacheLock.ReaderCount(), 0);
    EXPECT_EQ(OptionsCacheLock.WaitingWriterCount(), 0);
}

}  // namespace
}  // namespace veska::test

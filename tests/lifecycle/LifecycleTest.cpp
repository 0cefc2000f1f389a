// Leak and unload cycles of the built library, loaded from a copy of its file in
// an installation layout whose settings folder holds the options tree's settings
// file, with the XML data component registered:
//
// - 10,000 lives of an options object made through the library's class object:
//   Init on the 100-value tree, reads, writes, removals and additions (the
//   registry changes a life makes are undone within it), release;
// - 10,000 lives of a property provider with four registered page-owning test
//   objects: collection, look-up, unregistration, release;
// - 200 loads of the library by its full path, each making and releasing both
//   objects before the library is freed and must be gone from the process.
//
// What the process holds (heap bytes in use over all its heaps, and handles) is
// measured after a warm-up and again at the end. Bounds: 64 KiB of heap over
// 10,000 lives is under 7 bytes a life, less than the smallest block a life could
// leak (an empty string takes 8 bytes with its length and terminator, a cache
// node or map entry more), while it leaves room for the platform's one-off
// caches; 8 handles, where one handle leaked per life would show thousands.
//
// Every load of a library linked like this one also leaves behind what its
// statically linked C++ runtime never releases (two handles per load under
// Wine 8), which no code of the library can free. So the unload cycles first
// load a bare library built the same way (RuntimeBaseline.cpp) and allow
// VeskaOptions.dll no more than that growth plus 4 KiB and 8 handles over 190
// measured cycles, so state of the library's own left behind by every load fails
// the test from 22 bytes or one handle up. Every test object's reference count is
// checked after each life, the class objects' lock count at the end.
//
// In the suite's heap-checking run (VESKA_HEAP_CHECK) Wine holds freed blocks
// back for checking, so heap totals are not compared there; the rest is.
// VESKA_LIFECYCLE_LIVES sets the number of lives of each kind (10,000 by
// default) for a shorter run by hand.
//
// Runs are deterministic: a failure names its life or cycle, and running the
// test again with --gtest_filter=Lifecycle.<Test> replays it.
#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <functional>

#include "LifecycleSupport.h"
#include "TestPaths.h"
#include "tests/common/TestRegistry.h"
#include "tests/provider/ProviderTestSupport.h"
#include "tests/settings/SettingsTestSupport.h"

namespace veska {
namespace {

constexpr int kWarmUpLives = 200;
constexpr int kLoadCycles = 200;
constexpr int kWarmUpCycles = 10;
constexpr long long kLivesHeapBound = 64 * 1024;
constexpr long long kCyclesHeapBound = 4 * 1024;
constexpr long kHandleBound = 8;
const wchar_t kRuntimeBaseline[] = VESKA_TEST_BUILD_DIR L"\\tests\\lifecycle\\runtime_baseline.dll";

// Lives of each kind, warm-up included.
int Lives() {
    const char* text = std::getenv("VESKA_LIFECYCLE_LIVES");
    const int lives = text != nullptr && *text != '\0' ? std::atoi(text) : 10000;
    return std::max(lives, kWarmUpLives + 1);
}

// A BSTR for the duration of one call.
UniqueBstr B(const wchar_t* text) { return CopyBstr(text); }

LONG RowCount(SAFEARRAY* array) {
    LONG upper = -1;
    if (array != nullptr) ::SafeArrayGetUBound(array, ::SafeArrayGetDim(array), &upper);
    return upper + 1;
}

struct Growth {
    long long heapBytes;
    long handles;
};

// How much more the process holds at end than at start, reported with what and
// the time the measured cycles took.
Growth Measured(const char* what, const test::ResourceUse& start, int cycles,
                std::chrono::steady_clock::time_point started) {
    const test::ResourceUse end = test::MeasureResources();
    const Growth growth{
        static_cast<long long>(end.heapBytes) - static_cast<long long>(start.heapBytes),
        static_cast<long>(end.handles) - static_cast<long>(start.handles)};
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    std::printf("%s: %d measured, heap %+lld bytes (of %lu), handles %+ld (of %lu), %lld ms\n",
                what, cycles, growth.heapBytes, static_cast<unsigned long>(end.heapBytes),
                growth.handles, static_cast<unsigned long>(end.handles),
                static_cast<long long>(took.count()));
    return growth;
}

// The threads of this process.
int ThreadCount() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{sizeof(entry)};
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    }
    ::CloseHandle(snapshot);
    return count;
}

// Loads the library at path kLoadCycles times and runs body on each load; after
// each FreeLibrary the library must be gone from the process. Returns the growth
// over the cycles after the warm-up.
Growth LoadCycles(const char* what, const std::wstring& path,
                  const std::function<void(HMODULE, int)>& body) {
    test::ResourceUse start;
    auto started = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < kLoadCycles; ++cycle) {
        if (cycle == kWarmUpCycles) {
            start = test::MeasureResources();
            started = std::chrono::steady_clock::now();
        }
        const HMODULE module = ::LoadLibraryW(path.c_str());
        EXPECT_NE(module, nullptr) << what << " cycle " << cycle;
        if (module == nullptr) break;
        body(module, cycle);
        EXPECT_TRUE(::FreeLibrary(module)) << what << " cycle " << cycle;
        EXPECT_EQ(::GetModuleHandleW(path.c_str()), nullptr)
            << what << " still loaded, cycle " << cycle;
        if (::testing::Test::HasFailure()) break;
    }
    return Measured(what, start, kLoadCycles - kWarmUpCycles, started);
}

// The installation layout with the settings file, the options tree below a
// scratch key, and the page-owning objects the providers register.
class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        test::SeedOptionsTree(scratch_.Path());
        layout_.AddFile(L"tree.xml", test::OptionsTreeSettingsFile());
        specified_.specified = {test::PageClsid(1), test::PageClsid(2)};
        ordered_.ordered = [] {
            return test::OrderedArray(
                {{test::Page(3), test::I4(5)}, {test::Page(4), test::I4(-1)}});
        };
        both_.specified = {test::PageClsid(5)};
        both_.ordered = [] {
            return test::OrderedArray({{test::Page(6), test::I4(9)}});
        };
        registryBefore_ = test::Snapshot(HKEY_CURRENT_USER, scratch_.Path());
    }

    void TearDown() override {
        EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, scratch_.Path()), registryBefore_)
            << "the lives left the registry changed";
        EXPECT_EQ(companion_.CanUnloadNow(), S_OK) << "a settings component was not released";
    }

    // One life of an options object; stops at the first unexpected result.
    void OptionsLife(const test::ServerEntryPoints& dll, int life) {
        SCOPED_TRACE(::testing::Message() << "options life " << life);
        ComPtr<IVeskaOptions3> options = dll.Create<IVeskaOptions3>(CLSID_VeskaOptions);
        ASSERT_TRUE(options);
        ASSERT_EQ(options->Init(1, B(scratch_.Path().c_str()).get()), S_OK);

        SAFEARRAY* array = nullptr;
        ASSERT_EQ(options->GetKeys(B(L"").get(), &array), S_OK);
        UniqueSafeArray keys = UniqueSafeArray::Adopt(array);
        EXPECT_EQ(RowCount(keys.get()), 5) << "defaults, editor, files, network, view";
        ASSERT_EQ(options->GetValues(B(L"Editor").get(), &array), S_OK);
        UniqueSafeArray values = UniqueSafeArray::Adopt(array);
        EXPECT_EQ(RowCount(values.get()), 15) << "10 from the registry, 5 from the file";
        UniqueVariant value;
        ASSERT_EQ(
            options->GetValueByName(B(L"View\\Panels\\Left").get(), B(L"d3").get(), value.put()),
            S_OK);
        EXPECT_EQ(value.vt(), VT_I4);
        EXPECT_EQ(value.get()->lVal, 1021);
        ASSERT_EQ(options->GetValueByName(B(L"Editor").get(), B(L"Help").get(), value.put()), S_OK);
        EXPECT_STREQ(value.get()->bstrVal, L"C:\\Veska Install\\Help");

        // A change in the cache only, and a write of the registry's own value.
        UniqueVariant text = UniqueVariant::Adopt(*value.get());
        ASSERT_EQ(options->SetValueByName(B(L"Editor").get(), B(L"s0").get(), text.get(), 0, 1),
                  S_OK);
        VARIANT number = {};
        number.vt = VT_I4;
        number.lVal = 1007;
        ASSERT_EQ(options->SetValueByName(B(L"Files").get(), B(L"d1").get(), &number, 1, 1), S_OK);
        VARIANT_BOOL dirty = 0;
        ASSERT_EQ(options->get_Dirty(&dirty), S_OK);
        EXPECT_EQ(dirty, VARIANT_TRUE);

        ASSERT_EQ(options->RemoveValueByName(B(L"Network").get(), B(L"s4").get(), 0), S_OK);
        ASSERT_EQ(options->RemoveKey(B(L"View\\Panels").get(), 0), S_OK);
        ASSERT_EQ(options->RemoveValues(B(L"Defaults\\Deep").get(), 0), S_OK);

        // A key and a value made in the registry and removed from it again.
        ASSERT_EQ(options->AddKey(B(L"Files\\Temp").get(), 1), S_OK);
        ASSERT_EQ(options->AddValueByName(B(L"Files\\Temp").get(), B(L"x").get(), &number, 1),
                  S_OK);
        ASSERT_EQ(options->SetValueByName(B(L"Files\\Temp").get(), B(L"x").get(), text.get(), 1, 1),
                  S_OK);
        ASSERT_EQ(options->RemoveValueByName(B(L"Files\\Temp").get(), B(L"x").get(), 1), S_OK);
        ASSERT_EQ(options->RemoveKey(B(L"Files\\Temp").get(), 1), S_OK);

        EXPECT_EQ(options.detach()->Release(), 0u) << "a reference was left behind";
    }

    // One life of a property provider; every page owner's count is back at 1
    // afterwards.
    void ProviderLife(const test::ServerEntryPoints& dll, int life) {
        SCOPED_TRACE(::testing::Message() << "provider life " << life);
        ComPtr<IPropertyProvider3> provider =
            dll.Create<IPropertyProvider3>(CLSID_PropertyProvider);
        ASSERT_TRUE(provider);
        for (test::PageOwner* owner : {&specified_, &ordered_, &both_, &specified_}) {
            ASSERT_EQ(provider->RegisterObject(owner->Identity()), S_OK);
        }
        ComPtr<IPropertyPageInformationSORConfig> config =
            provider.try_query<IPropertyPageInformationSORConfig>(
                IID_IPropertyPageInformationSORConfig);
        ASSERT_TRUE(config);
        ASSERT_EQ(config->put_ConfigText1(B(L"configuration").get()), S_OK);
        config.reset();
        SAFEARRAY* array = nullptr;
        ASSERT_EQ(provider->GetRegisteredObjects(&array), S_OK);
        UniqueSafeArray objects = UniqueSafeArray::Adopt(array);
        EXPECT_EQ(RowCount(objects.get()), 5) << "four registrations and the provider";
        ASSERT_EQ(provider->GetRegisteredPageGuids(&array), S_OK);
        UniqueSafeArray pages = UniqueSafeArray::Adopt(array);
        EXPECT_EQ(RowCount(pages.get()), 7);
        ComPtr<IUnknown> found;
        ASSERT_EQ(provider->GetRegisteredObj(IID_IPersist, found.put()), S_OK);
        EXPECT_EQ(found.get(), both_.Identity());
        found.reset();
        ASSERT_EQ(provider->UnRegisterObject(specified_.Identity()), S_OK);
        objects.reset();
        pages.reset();
        EXPECT_EQ(provider.detach()->Release(), 0u) << "a reference was left behind";
        for (test::PageOwner* owner : {&specified_, &ordered_, &both_}) {
            ASSERT_EQ(owner->refs, 1) << "a page owner's references";
        }
    }

    // A watching object released with a change pending: the watcher thread and
    // the window go with it, and the library may unload again.
    void WatchLife(const test::ServerEntryPoints& dll, int life) {
        SCOPED_TRACE(::testing::Message() << "watch life " << life);
        const int threads = ThreadCount();
        ComPtr<IVeskaOptions3> options = dll.Create<IVeskaOptions3>(CLSID_VeskaOptions);
        ASSERT_TRUE(options);
        ASSERT_EQ(options->Init(1, B(watchScratch_.Path().c_str()).get()), S_OK);
        ComPtr<IVeskaOptionsLive> live = options.try_query<IVeskaOptionsLive>();
        ASSERT_TRUE(live);
        ASSERT_EQ(live->Watch(3), S_OK);
        EXPECT_EQ(ThreadCount(), threads + 1);
        EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
        test::SetDword(HKEY_CURRENT_USER, watchScratch_.Path(), L"Pending", DWORD(life));
        live.reset();
        options.reset();
        EXPECT_EQ(ThreadCount(), threads);
        EXPECT_EQ(::FindWindowExW(HWND_MESSAGE, nullptr, L"VeskaOptionsLiveWindow", nullptr), nullptr);
        MSG message;  // nothing of the watch is left in the queue either
        EXPECT_FALSE(::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    }

    // Runs the warm-up lives, then the measured ones through the library's class
    // objects; what the process holds must come back within the bounds.
    void RunLives(const char* what,
                  const std::function<void(const test::ServerEntryPoints&, int)>& life) {
        const test::ServerEntryPoints dll(layout_.Copy());
        for (int n = 0; n < kWarmUpLives; ++n) ASSERT_NO_FATAL_FAILURE(life(dll, n));
        const auto started = std::chrono::steady_clock::now();
        const test::ResourceUse start = test::MeasureResources();
        const int lives = Lives();
        for (int n = kWarmUpLives; n < lives; ++n) ASSERT_NO_FATAL_FAILURE(life(dll, n));
        const Growth growth = Measured(what, start, lives - kWarmUpLives, started);
        if (test::HeapTotalsCompare()) {
            EXPECT_LE(growth.heapBytes, kLivesHeapBound);
        }
        EXPECT_LE(growth.handles, kHandleBound);
        EXPECT_EQ(dll.CanUnloadNow(), S_OK);
    }

    test::InstallationInfoStandIn installation_{L"C:\\Veska Install"};
    test::SettingsLayout layout_;
    test::CompanionRegistration companion_;
    test::ScratchKey scratch_;
    test::ScratchKey watchScratch_;
    test::PageOwner specified_{test::PageOwner::kSpecified};
    test::PageOwner ordered_{test::PageOwner::kOrdered};
    test::PageOwner both_{test::PageOwner::kSpecified | test::PageOwner::kOrdered |
                          test::PageOwner::kPersist};
    std::wstring registryBefore_;
};

TEST_F(Lifecycle, OptionsLivesLeakNothing) {
    RunLives("options lives",
             [this](const test::ServerEntryPoints& dll, int n) { OptionsLife(dll, n); });
}

TEST_F(Lifecycle, ProviderLivesLeakNothing) {
    RunLives("provider lives",
             [this](const test::ServerEntryPoints& dll, int n) { ProviderLife(dll, n); });
}

TEST_F(Lifecycle, LibraryUnloadsAfterEveryCycle) {
    const Growth runtime =
        LoadCycles("runtime baseline", kRuntimeBaseline, [](HMODULE module, int) {
            using ExerciseFn = int (*)();
            const auto exercise = reinterpret_cast<ExerciseFn>(
                reinterpret_cast<void (*)()>(::GetProcAddress(module, "Exercise")));
            ASSERT_NE(exercise, nullptr);
            EXPECT_GT(exercise(), 0);
        });
    const std::wstring path = layout_.DllPath();
    layout_.ReleaseCopy();
    ASSERT_EQ(::GetModuleHandleW(path.c_str()), nullptr);
    const Growth library = LoadCycles("library", path, [this](HMODULE module, int cycle) {
        const test::ServerEntryPoints dll(module);
        ASSERT_NO_FATAL_FAILURE(OptionsLife(dll, cycle));
        ASSERT_NO_FATAL_FAILURE(ProviderLife(dll, cycle));
        ASSERT_NO_FATAL_FAILURE(WatchLife(dll, cycle));
        EXPECT_EQ(dll.CanUnloadNow(), S_OK) << "cycle " << cycle;
    });
    if (test::HeapTotalsCompare()) {
        EXPECT_LE(library.heapBytes - runtime.heapBytes, kCyclesHeapBound)
            << "growth beyond the runtime's";
    }
    EXPECT_LE(library.handles - runtime.handles, kHandleBound) << "growth beyond the runtime's";
}

}  // namespace
}  // namespace veska

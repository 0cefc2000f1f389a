// Model-checked random calls: seeded sequences of every member of the three
// options interfaces run on a real object and on its reference model, compared
// after every call (results, out-parameters, reads of the paths the call named,
// the registry keys the model changed), with a full read-out every 25 calls, the
// whole registry subtree below the Init path compared as a set every 250 calls
// and whenever a change notification comes that the model did not expect, and a
// fresh object loaded from the registry every 700 calls. The rest of
// HKEY_CURRENT_USER must stay as it was: writes stay below the Init path.
//
// Replay: VESKA_MODEL_SEED=<n> runs that seed only; VESKA_MODEL_STEPS=<m> stops
// each seed after m calls (default 5000); VESKA_MODEL_SEEDS=<k> runs seeds
// 1 to k (default 20). A failure prints its seed, the number of its call and the
// latest calls before it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "ModelDriver.h"
#include "TestPaths.h"
#include "tests/common/TestRegistry.h"

namespace veska::test {
namespace {

constexpr unsigned kReadOutEvery = 25;
constexpr unsigned kRegistryEvery = 250;
constexpr unsigned kReloadEvery = 700;

// Signalled when anything below a key changes; armed again after each look.
class ChangeWatch {
public:
    explicit ChangeWatch(const std::wstring& path)
        : event_(UniqueHandle::Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr))) {
        ::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_NOTIFY, key_.put());
        Arm();
    }
    // True when a change came since the last call.
    bool Fired() {
        if (::WaitForSingleObject(event_.get(), 0) != WAIT_OBJECT_0) return false;
        Arm();
        return true;
    }

private:
    void Arm() {
        EXPECT_EQ(::RegNotifyChangeKeyValue(key_.get(), TRUE,
                                            REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                            event_.get(), TRUE),
                  ERROR_SUCCESS);
    }
    UniqueHkey key_;
    UniqueHandle event_;
};

// HKEY_CURRENT_USER without the subtree at path.
std::wstring Outside(const std::wstring& path) {
    const std::wstring all = Snapshot(HKEY_CURRENT_USER, L"");
    std::wstring out;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = std::min(all.find(L'\n', at), all.size());
        const std::wstring line = all.substr(at, end - at);
        if (line.compare(0, path.size() + 1, path + L"\\") != 0 &&
            line.compare(0, path.size() + 1, path + L"@") != 0) {
            out += line + L"\n";
        }
        at = end + 1;
    }
    return out;
}

// The type library registered for the late-bound calls.
// Runs one seed for up to steps calls; the calls made are added to *calls.
void RunSeed(std::uint32_t seed, unsigned steps, unsigned* calls) {
    ScratchKey scratch;
    const std::wstring outsideBefore = Outside(scratch.Path());
    ModelDriver driver(scratch.Path(), seed, true);
    driver.SeedRegistry();
    // Every third seed runs with values locked by machine policy.
    const ScratchPolicy policy(scratch);
    if (seed % 3 == 0) driver.SeedPolicy(policy.Path());
    const std::wstring seeded = driver.CompareRegistry();
    ASSERT_TRUE(seeded.empty()) << "seed " << seed << ", seeded tree: " << seeded;
    ChangeWatch watch(scratch.Path());
    std::wstring diff;
    unsigned step = 0;
    for (; step < steps && diff.empty(); ++step) {
        diff = driver.Step();
        // The keys the model changed are read after every call; a change the
        // model did not make shows as a notification without them.
        const bool notified = watch.Fired();
        bool changed = false;
        if (diff.empty()) diff = driver.CompareChangedKeys(&changed);
        const bool whole = (notified && !changed) || step % kRegistryEvery == kRegistryEvery - 1;
        if (diff.empty() && whole) {
            diff = driver.CompareRegistry();
        }
        if (diff.empty() && step % kReadOutEvery == kReadOutEvery - 1) diff = driver.CompareAll();
        if (diff.empty() && step % kReloadEvery == kReloadEvery - 1) {
            diff = driver.CompareReload();
            driver.Recreate();
        }
    }
    if (diff.empty()) {
        diff = driver.CompareAll() + driver.CompareRegistry() + driver.CompareReload();
    }
    *calls += step;
    if (!diff.empty()) {
        ADD_FAILURE() << "seed " << seed << " failed at call " << step - 1
                      << " (replay: VESKA_MODEL_SEED=" << seed << " VESKA_MODEL_STEPS=" << step
                      << ")\n" << diff << "latest calls:\n" << driver.RecentCalls();
    }
    EXPECT_EQ(Outside(scratch.Path()), outsideBefore)
        << "seed " << seed << " wrote outside its Init path";
}

TEST(ModelCheck, RandomCallsAgreeWithTheModel) {
    const TypeLibRegistration typeLibrary;
    const unsigned only = FromEnvironment("VESKA_MODEL_SEED", 0);
    const unsigned seeds = only != 0 ? 1 : FromEnvironment("VESKA_MODEL_SEEDS", 20);
    const unsigned steps = FromEnvironment("VESKA_MODEL_STEPS", 5000);
    unsigned calls = 0;
    const DWORD start = ::GetTickCount();
    for (unsigned i = 1; i <= seeds && !::testing::Test::HasFailure(); ++i) {
        RunSeed(only != 0 ? only : i, steps, &calls);
    }
    std::printf("model check: %u calls in %u seeds, %.1f s\n", calls, seeds,
                (::GetTickCount() - start) / 1000.0);
}

}  // namespace
}  // namespace veska::test

// Model-checked random calls: seeded sequences of every member of the three
// options interfaces run on a real object and on its reference model, compared
// after every call (results, out-parameters, reads of the paths the call named,
// the registry keys the model changed), with a full read-out every 25 calls, the
// whole registry subtree below the Init path compared as a set every 250 calls
// and whenever a change notification comes that the model did not expect, and a
// fresh object loaded from the registry every 700 calls. The rest of
// HKEY_CURRENT_USER must stay as it was: writes stay below the Init path.
//
// The first seeds end with a burst: another process (this program, started on
// the writer below) makes seeded random changes to keys, values and settings
// files while an object watches the Init key and the settings folder; once the
// writer stops and the events settle, the watched cache equals a fresh Init's,
// the watched object's unsaved edits aside (they keep its values).
//
// Replay: VESKA_MODEL_SEED=<n> runs that seed only; VESKA_MODEL_STEPS=<m> stops
// each seed after m calls (default 5000); VESKA_MODEL_SEEDS=<k> runs seeds
// 1 to k (default 20); VESKA_MODEL_BURSTS=<b> gives the first b seeds run a
// burst (default 2) of VESKA_MODEL_BURST_CHANGES=<c> changes (default 200). A
// failure prints its seed, the number of its call and the latest calls before
// it; a burst draws its changes from the same seed as the calls.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "ModelDriver.h"
#include "TestPaths.h"
#include "com/ComObject.h"
#include "tests/common/TestRegistry.h"
#include "tests/options/OptionsTestSupport.h"
#include "tests/settings/SettingsTestSupport.h"

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

// ---------------------------------------------------------------------------
// The burst

// The writer's settings, handed to it in its environment.
constexpr char kBurstSeed[] = "VESKA_BURST_SEED";
constexpr char kBurstChanges[] = "VESKA_BURST_CHANGES";
constexpr wchar_t kBurstKey[] = L"VESKA_BURST_KEY";
constexpr wchar_t kBurstFolder[] = L"VESKA_BURST_FOLDER";

// The values the watched object edits without ChangeDefault, below a key the
// writer changes the values of but never deletes.
constexpr wchar_t kEditedKey[] = L"Local";
const wchar_t* const kEditedNames[] = {L"v0", L"mine"};

std::wstring EnvironmentText(const wchar_t* name) {
    wchar_t text[1024];
    const DWORD length = ::GetEnvironmentVariableW(name, text, 1024);
    return length > 0 && length < 1024 ? std::wstring(text, length) : std::wstring();
}

// Retries what a reader of the settings folder may hold open for a moment.
template <class Attempt>
bool Retried(Attempt attempt) {
    for (int i = 0; i < 200; ++i) {
        if (attempt()) return true;
        ::Sleep(2);
    }
    return false;
}

// Writes the burst: random values set and removed below root, keys deleted,
// and settings files rewritten or deleted, with a pause of a few milliseconds
// between changes. A given seed always writes the same list.
void WriteBurst(std::uint32_t seed, unsigned changes, const std::wstring& root,
                const std::wstring& folder) {
    std::mt19937 rng(seed);
    auto pick = [&](unsigned n) { return unsigned(rng() % n); };
    auto anyKey = [&]() {
        if (pick(5) == 0) return std::wstring(kEditedKey);
        std::wstring key = L"K" + std::to_wstring(pick(4));
        return pick(3) == 0 ? key + L"\\S" + std::to_wstring(pick(2)) : key;
    };
    for (unsigned change = 0; change < changes; ++change) {
        const std::wstring key = anyKey();
        const std::wstring name = L"v" + std::to_wstring(pick(4));
        const std::wstring file = folder + L"f" + std::to_wstring(pick(3)) + L".xml";
        switch (pick(20)) {
            case 0: case 1: case 2: case 3: case 4:
                SetDword(HKEY_CURRENT_USER, root + L"\\" + key, name.c_str(), DWORD(rng() % 100));
                break;
            case 5: case 6: case 7:
                SetString(HKEY_CURRENT_USER, root + L"\\" + key, name.c_str(), std::to_wstring(change));
                break;
            case 8: case 9: case 10:
                ::RegDeleteKeyValueW(HKEY_CURRENT_USER, (root + L"\\" + key).c_str(), name.c_str());
                break;
            case 11:
                if (key != kEditedKey) DeleteTree(HKEY_CURRENT_USER, root + L"\\" + key);
                break;
            case 12: case 13: case 14: case 15: {
                // Values at the top and in the keys the registry changes.
                std::string body;
                for (unsigned i = 1 + pick(4); i > 0; --i) {
                    const std::string value = "<Value Name='v" + std::to_string(pick(4)) +
                                              "' Type='I4'>" + std::to_string(rng() % 100) + "</Value>";
                    if (pick(4) == 0) {
                        body += value;
                        continue;
                    }
                    const std::wstring wide = anyKey();
                    std::string at(wide.begin(), wide.end());
                    const std::size_t slash = at.find('\\');
                    body += slash == std::string::npos
                                ? "<Key Name='" + at + "'>" + value + "</Key>"
                                : "<Key Name='" + at.substr(0, slash) + "'><Key Name='" +
                                      at.substr(slash + 1) + "'>" + value + "</Key></Key>";
                }
                const std::string bytes = SettingsXml(body);
                EXPECT_TRUE(Retried([&] {
                    const UniqueFile handle = UniqueFile::Adopt(::CreateFileW(
                        file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
                    DWORD written = 0;
                    return handle.get() != INVALID_HANDLE_VALUE &&
                           ::WriteFile(handle.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr);
                })) << "writing " << std::string(file.begin(), file.end());
                break;
            }
            case 16: case 17:
                Retried([&] {
                    return ::DeleteFileW(file.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
                });
                break;
            default:
                SetDword(HKEY_CURRENT_USER, root + L"\\" + kEditedKey, name.c_str(), change);
                break;
        }
        ::Sleep(pick(8));
    }
}

// The writer: runs only when the model check starts it, with its settings in
// the environment.
TEST(ModelBurst, DISABLED_Writer) {
    const std::wstring root = EnvironmentText(kBurstKey);
    const std::wstring folder = EnvironmentText(kBurstFolder);
    ASSERT_FALSE(root.empty() || folder.empty()) << "started without the burst's settings";
    WriteBurst(FromEnvironment(kBurstSeed, 1), FromEnvironment(kBurstChanges, 200), root, folder);
}

// Starts the writer on the Init key and the settings folder; the process, or
// none when it did not start.
UniqueHandle StartWriter(std::uint32_t seed, unsigned changes, const std::wstring& root,
                         const std::wstring& folder) {
    wchar_t program[MAX_PATH];
    EXPECT_NE(::GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
    std::wstring command = L"\"" + std::wstring(program) +
                           L"\" --gtest_filter=ModelBurst.DISABLED_Writer --gtest_also_run_disabled_tests";
    ::SetEnvironmentVariableA(kBurstSeed, std::to_string(seed).c_str());
    ::SetEnvironmentVariableA(kBurstChanges, std::to_string(changes).c_str());
    ::SetEnvironmentVariableW(kBurstKey, root.c_str());
    ::SetEnvironmentVariableW(kBurstFolder, folder.c_str());
    // Its report goes nowhere: its exit status tells whether it failed.
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const UniqueFile nul = UniqueFile::Adopt(::CreateFileW(
        L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{sizeof(startup)};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nul.get();
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessW(program, command.data(), nullptr, nullptr, TRUE,
                                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    for (const wchar_t* name : {kBurstKey, kBurstFolder}) ::SetEnvironmentVariableW(name, nullptr);
    for (const char* name : {kBurstSeed, kBurstChanges}) ::SetEnvironmentVariableA(name, nullptr);
    if (!started) return UniqueHandle();
    ::CloseHandle(process.hThread);
    return UniqueHandle::Adopt(process.hProcess);
}

// The cache's lines without the dirty flag and the edited values, sorted.
std::vector<std::wstring> Comparable(IVeskaOptions* options) {
    std::vector<std::wstring> lines = ReadOut(options);
    lines.erase(std::remove_if(lines.begin(), lines.end(), [](const std::wstring& line) {
                    if (line.compare(0, 6, L"dirty=") == 0) return true;
                    for (const wchar_t* name : kEditedNames) {
                        const std::wstring edited = Fold(std::wstring(kEditedKey) + L"\\" + name + L"=");
                        if (Fold(line.substr(0, edited.size())) == edited) return true;
                    }
                    return false;
                }),
                lines.end());
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Watches the Init key (and the settings folder of the layout) while the writer
// changes them; empty when the cache then equals a fresh Init's.
std::wstring RunBurst(std::uint32_t seed, unsigned changes, const std::wstring& root,
                      const SettingsLayout& layout) {
    SetDword(HKEY_CURRENT_USER, root + L"\\" + kEditedKey, kEditedNames[0], 1);
    ComPtr<IVeskaOptions3> watched;
    CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, watched.put_void());
    if (watched->Init(1, Bstr(root)) != S_OK) return L"Init of the watched object failed\n";
    // Unsaved edits: one replaces a value, one adds a name.
    const LONG edit = -7;
    if (watched->SetValueByName(Bstr(kEditedKey), Bstr(kEditedNames[0]), I4(edit).get(), 0, 1) != S_OK ||
        watched->AddValueByName(Bstr(kEditedKey), Bstr(kEditedNames[1]), I4(edit).get(), 0) != S_OK) {
        return L"the unsaved edits failed\n";
    }
    const ComPtr<IVeskaOptionsLive> live = watched.try_query<IVeskaOptionsLive>();
    if (!live || live->Watch(3) != S_OK) return L"Watch(3) failed\n";

    const UniqueHandle writer = StartWriter(seed, changes, root, layout.SettingsFolder());
    if (!writer) return L"the writer did not start\n";
    unsigned deliveries = 0;
    VARIANT_BOOL delivered = VARIANT_FALSE;
    while (::WaitForSingleObject(writer.get(), 0) == WAIT_TIMEOUT) {
        live->WaitForChange(50, &delivered);
        deliveries += delivered != VARIANT_FALSE;
    }
    DWORD status = 1;
    ::GetExitCodeProcess(writer.get(), &status);
    // The last notifications come in; then one refresh takes what they missed.
    do {
        live->WaitForChange(1000, &delivered);
        deliveries += delivered != VARIANT_FALSE;
    } while (delivered != VARIANT_FALSE);
    LONG late = -1;
    live->Refresh(&late);
    std::printf("burst: seed %u, %u changes by another process, %u deliveries while it ran, "
                "%ld values changed by the final refresh\n",
                unsigned(seed), changes, deliveries, long(late));

    std::wstring diff;
    if (status != 0) {
        diff += L"the writer failed (replay it: VESKA_BURST_SEED=" + std::to_wstring(seed) +
                L" VESKA_BURST_KEY=... VESKA_BURST_FOLDER=... model_tests "
                L"--gtest_filter=ModelBurst.DISABLED_Writer --gtest_also_run_disabled_tests)\n";
    }
    if (deliveries == 0) diff += L"the watch delivered no event while the writer ran\n";
    for (const wchar_t* name : kEditedNames) {
        UniqueVariant value;
        watched->GetValueByName(Bstr(kEditedKey), Bstr(name), value.put());
        if (RenderVariant(*value.get()) != RenderVariant(*I4(edit).get())) {
            diff += std::wstring(L"the unsaved edit of ") + name + L" reads " +
                    RenderVariant(*value.get()) + L"\n";
        }
    }
    ComPtr<IVeskaOptions3> fresh;
    CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, fresh.put_void());
    fresh->Init(1, Bstr(root));
    const std::vector<std::wstring> real = Comparable(watched.get());
    const std::vector<std::wstring> expected = Comparable(fresh.get());
    std::vector<std::wstring> missing, extra;
    std::set_difference(expected.begin(), expected.end(), real.begin(), real.end(),
                        std::back_inserter(missing));
    std::set_difference(real.begin(), real.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    for (std::size_t i = 0; i < missing.size() && i < 8; ++i) {
        diff += L"  only in a fresh Init's cache: " + missing[i] + L"\n";
    }
    for (std::size_t i = 0; i < extra.size() && i < 8; ++i) {
        diff += L"  only in the watched cache: " + extra[i] + L"\n";
    }
    return diff;
}

// Runs one seed for up to steps calls, then, with burst, the burst; the calls
// made are added to *calls.
void RunSeed(std::uint32_t seed, unsigned steps, bool burst, unsigned* calls) {
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
    if (!burst || ::testing::Test::HasFailure()) return;
    const SettingsLayout layout;
    const std::wstring burstDiff =
        RunBurst(seed, FromEnvironment("VESKA_MODEL_BURST_CHANGES", 200), scratch.Path(), layout);
    EXPECT_TRUE(burstDiff.empty()) << "seed " << seed << ", the burst of another process (replay: "
                                   << "VESKA_MODEL_SEED=" << seed << " VESKA_MODEL_STEPS=" << steps
                                   << "):\n" << burstDiff;
}

TEST(ModelCheck, RandomCallsAgreeWithTheModel) {
    const TypeLibRegistration typeLibrary;
    const unsigned only = FromEnvironment("VESKA_MODEL_SEED", 0);
    const unsigned seeds = only != 0 ? 1 : FromEnvironment("VESKA_MODEL_SEEDS", 20);
    const unsigned steps = FromEnvironment("VESKA_MODEL_STEPS", 5000);
    const unsigned bursts = FromEnvironment("VESKA_MODEL_BURSTS", 2);
    // The writer's settings files are read by the XML data component.
    const CompanionRegistration companion;
    unsigned calls = 0;
    const DWORD start = ::GetTickCount();
    for (unsigned i = 1; i <= seeds && !::testing::Test::HasFailure(); ++i) {
        RunSeed(only != 0 ? only : i, steps, i <= bursts, &calls);
    }
    std::printf("model check: %u calls in %u seeds, %.1f s\n", calls, seeds,
                (::GetTickCount() - start) / 1000.0);
}

}  // namespace
}  // namespace veska::test

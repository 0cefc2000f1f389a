// Fault injection into the options store. The fault build of the classes
// (veska_core_faults) routes every registry call, OLE allocation, creation of an
// outside component and C++ allocation through the counting injector. For each
// member in the table below, on a fresh object initialised on the 100-value tree
// with its settings file (Init itself on a fresh object), the member runs once
// without faults to record the expected outcome, then again for N = 1, 2, 3, ...
// with the N-th counted call failed, until a run completes in which no call was
// failed.
//
// Each faulted run must return an HRESULT (an escaping exception or a crash fails
// the test) and release everything it took: C++ allocations and the process's
// heap bytes and handles back where they were, the XML data component
// unloadable, no options object left. (Heap bytes are not compared in the
// suite's heap-checking run, where Wine holds freed blocks back.) It must also
// leave a state the model accepts. The state is the object's read-out (every key
// and value through GetKeys and GetValues, and the dirty flag) and the registry
// below the Init path; "before" is the state before the call, "after" the state
// after the fault-free run. Acceptance:
//
// - A member that fails leaves both as before (all or nothing), and fails only
//   for an allocation fault, with E_OUTOFMEMORY, or when the value to store
//   cannot be converted, with E_FAIL as documented. A failed Init leaves the
//   object uninitialised, and a retry without faults reaches the after-state.
//   AddKey with ChangeDefault reports a failed registry step and keeps its new
//   node, as documented: the cache as after, the registry as before.
// - A member that succeeds leaves the cache as after, and the registry too;
//   removals and additions with ChangeDefault do not report registry failures,
//   so their registry may be any mix of before and after (every line in one of
//   them, every line common to both present). A value write whose registry step
//   failed returns S_FALSE, and only then may its registry lack the value.
// - Init succeeds despite a fault only where loading documents the fault as
//   silent: a registry read (S_OK; what it would have read is missing), the
//   component of a settings file (S_FALSE; the file's values are missing), the
//   conversion of a settings value (S_FALSE; the value stays as its text). Its
//   read-out then holds only lines of the after-state, a value's line possibly
//   with the string type; the tree's typed values render as the text they were
//   converted from.
// - Reads change nothing, and a failed read hands out nothing.
//
// A failure names the member, N and the call that was failed. Runs are
// deterministic: --gtest_filter=*FaultSweep*/<Member> replays one member's sweep;
// with the environment variable VESKA_FAULT_AT=N only that N runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FaultInjector.h"
#include "TestPaths.h"
#include "module/Module.h"
#include "tests/lifecycle/LifecycleSupport.h"
#include "tests/options/OptionsTestSupport.h"
#include "tests/settings/SettingsTestSupport.h"

namespace veska {
namespace {

using test::Bstr;
using test::FaultInjector;
using test::FaultKind;
using test::FaultRun;

// What a member call hands out, rendered; kNothing when it hands out nothing.
const std::wstring kNothing = L"<nothing>";
SAFEARRAY* const kJunkArray = reinterpret_cast<SAFEARRAY*>(0x5A5A5A5A);

// Runs one member call with the injector armed: the call's arguments are made
// before and its results read after, so that only the member's own calls count.
class Armed {
public:
    explicit Armed(unsigned long failAt) : failAt_(failAt) {}
    template <class Call>
    HRESULT operator()(Call&& call) {
        FaultInjector::Arm(failAt_);
        const HRESULT hr = call();
        run_ = FaultInjector::Disarm();
        return hr;
    }
    const FaultRun& Run() const { return run_; }

private:
    unsigned long failAt_;
    FaultRun run_;
};

using MemberCall =
    std::function<HRESULT(IVeskaOptions3*, const std::wstring& root, Armed&, std::wstring* out)>;

struct Member {
    const char* name;
    enum Kind { kInit, kRead, kChange, kRefresh } kind;
    bool silentRegistry;   // registry failures are not reported (ChangeDefault)
    bool reportsRegistry;  // a failed registry step gives a failure, the cache changed
    MemberCall call;
    // The process heap's byte total is not compared: after the fault-free run of
    // these (a watcher thread and a window, or a refresh that merges the files
    // again) each faulted run ends 80 to 160 bytes up under Wine, whatever N;
    // C++ allocations, handles and objects are still counted.
    bool heapBytesVary = false;
};

void PrintTo(const Member& member, std::ostream* out) { *out << member.name; }

// An array handed out by a read: rendered on success; on failure kNothing when
// the out parameter was left alone or set to null.
std::wstring ArrayOutput(HRESULT hr, SAFEARRAY* array, std::wstring (*render)(SAFEARRAY*)) {
    if (FAILED(hr)) return array == kJunkArray || array == nullptr ? kNothing : L"<written>";
    const UniqueSafeArray owner = UniqueSafeArray::Adopt(array);
    return render(array);
}

HRESULT Set(IVeskaOptions3* o, Armed& armed, const wchar_t* path, const wchar_t* name,
            UniqueVariant value, LONG changeDefault) {
    const Bstr root(path);
    const Bstr attr(name);
    return armed([&] { return o->SetValueByName(root, attr, value.get(), changeDefault, 1); });
}

HRESULT Add(IVeskaOptions3* o, Armed& armed, const wchar_t* path, const wchar_t* name,
            UniqueVariant value, LONG changeDefault) {
    const Bstr root(path);
    const Bstr attr(name);
    return armed([&] { return o->AddValueByName(root, attr, value.get(), changeDefault); });
}

// A member that takes a path and ChangeDefault.
template <class Interface>
HRESULT OnPath(IVeskaOptions3* o, Armed& armed,
               HRESULT (STDMETHODCALLTYPE Interface::*member)(BSTR, LONG), const wchar_t* path,
               LONG changeDefault) {
    const Bstr root(path);
    return armed([&] { return (o->*member)(root, changeDefault); });
}

const Member kMembers[] = {
    {"Init", Member::kInit, false, false,
     [](IVeskaOptions3* o, const std::wstring& root, Armed& armed, std::wstring*) {
         const Bstr path(root);
         return armed([&] { return o->Init(1, path); });
     }},
    {"GetKeys", Member::kRead, false, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring* out) {
         const Bstr path(L"Editor");
         SAFEARRAY* keys = kJunkArray;
         const HRESULT hr = armed([&] { return o->GetKeys(path, &keys); });
         *out = ArrayOutput(hr, keys, &test::RenderKeys);
         return hr;
     }},
    {"GetValues", Member::kRead, false, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring* out) {
         const Bstr path(L"Defaults");
         SAFEARRAY* values = kJunkArray;
         const HRESULT hr = armed([&] { return o->GetValues(path, &values); });
         *out = ArrayOutput(hr, values, &test::RenderValues);
         return hr;
     }},
    {"GetValueByName", Member::kRead, false, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring* out) {
         const Bstr path(L"Editor\\Fonts");
         const Bstr name(L"s2");
         UniqueVariant value = test::I4(0x5A5A);
         const HRESULT hr = armed([&] { return o->GetValueByName(path, name, value.get()); });
         *out = SUCCEEDED(hr)            ? test::RenderVariant(*value.get())
                : value.vt() == VT_EMPTY ? kNothing
                                         : L"<written>";
         return hr;
     }},
    {"GetValueOrigin", Member::kRead, false, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring* out) {
         ComPtr<IVeskaOptionsDiagnostics> diagnostics;
         o->QueryInterface(__uuidof(IVeskaOptionsDiagnostics), diagnostics.put_void());
         const Bstr path(L"Editor\\Fonts");
         const Bstr name(L"s2");
         UniqueVariant origin;
         const HRESULT hr = armed([&] { return diagnostics->GetValueOrigin(path, name, origin.get()); });
         *out = origin.vt() == VT_EMPTY ? kNothing : L"<written>";
         for (LONG i = 0; SUCCEEDED(hr) && i < 4; ++i) {
             UniqueVariant cell;
             SafeArrayGetElement(origin.get()->parray, &i, cell.get());
             *out += L"|" + test::RenderVariant(*cell.get());
         }
         return hr;
     }},
    {"SetValueByNameInCacheOnly", Member::kChange, false, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return Set(o, armed, L"Editor", L"s1", test::Str(L"new text"), 0);
     }},
    {"SetValueByNameWritingTheRegistry", Member::kChange, true, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return Set(o, armed, L"Editor\\Colors", L"d2", test::I4(99), 1);
     }},
    {"SetValueByNameOfANewValue", Member::kChange, true, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return Set(o, armed, L"Files", L"Fresh", test::Str(L"x"), 1);
     }},
    {"SetValueByNameOnAKeyOnlyInTheCache", Member::kChange, true, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return Set(o, armed, L"Defaults\\Deep", L"Level1", test::I4(5), 1);
     }},
    {"RemoveValueByName", Member::kChange, true, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         const Bstr path(L"Network");
         const Bstr name(L"s3");
         return armed([&] { return o->RemoveValueByName(path, name, 1); });
     }},
    {"RemoveValues", Member::kChange, true, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return OnPath(o, armed, &IVeskaOptions3::RemoveValues, L"Editor\\Fonts", 1);
     }},
    {"RemoveKey", Member::kChange, true, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return OnPath(o, armed, &IVeskaOptions3::RemoveKey, L"View\\Panels", 1);
     }},
    {"AddKey", Member::kChange, false, true,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return OnPath(o, armed, &IVeskaOptions3::AddKey, L"Files\\Added", 1);
     }},
    {"AddValueByNameInCacheOnly", Member::kChange, false, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return Add(o, armed, L"Network", L"Added", test::I4(7), 0);
     }},
    {"AddValueByNameWritingTheRegistry", Member::kChange, true, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring*) {
         return Add(o, armed, L"Editor\\Fonts", L"Added", test::Str(L"y"), 1);
     }},
    // Another program's changes first (not counted), then the refresh.
    {"Refresh", Member::kRefresh, false, false,
     [](IVeskaOptions3* o, const std::wstring& root, Armed& armed, std::wstring* out) {
         test::SetDword(HKEY_CURRENT_USER, root + L"\\Editor", L"Fresh", 5);
         test::SetString(HKEY_CURRENT_USER, root + L"\\Added\\Deep", L"x", L"y");
         test::DeleteTree(HKEY_CURRENT_USER, root + L"\\View\\Panels");
         LONG changed = -1;
         const HRESULT hr = armed([&] { return static_cast<CVeskaOptions*>(o)->Refresh(&changed); });
         if (SUCCEEDED(hr)) *out = std::to_wstring(changed);
         return hr;
     },
     true},
    // A watch started and stopped: the watcher thread's own calls are not failed.
    {"Watch", Member::kRead, false, false,
     [](IVeskaOptions3* o, const std::wstring&, Armed& armed, std::wstring* out) {
         auto* object = static_cast<CVeskaOptions*>(o);
         const HRESULT hr = armed([&] { return object->Watch(3); });
         LONG what = 0;
         object->get_Watching(&what);
         *out = SUCCEEDED(hr) ? std::to_wstring(what) : what == 0 ? kNothing : L"<watching>";
         object->Unwatch();
         return hr;
     },
     true},
};

std::set<std::wstring> Lines(const std::wstring& text) {
    std::set<std::wstring> lines;
    std::wistringstream in(text);
    for (std::wstring line; std::getline(in, line);) lines.insert(line);
    return lines;
}

// True when every line of state is in before or after, and every line both
// share is in state.
bool IsMix(const std::wstring& state, const std::wstring& before, const std::wstring& after) {
    const std::set<std::wstring> now = Lines(state);
    const std::set<std::wstring> had = Lines(before);
    const std::set<std::wstring> has = Lines(after);
    for (const std::wstring& line : now) {
        if (had.count(line) == 0 && has.count(line) == 0) return false;
    }
    for (const std::wstring& line : has) {
        if (had.count(line) != 0 && now.count(line) == 0) return false;
    }
    return true;
}

// True when every line of readOut is a line of after or, with asText, such a
// line with its value left as the string of its text.
bool IsDegradedLoad(const std::vector<std::wstring>& readOut,
                    const std::vector<std::wstring>& after, bool asText) {
    std::set<std::wstring> accepted(after.begin(), after.end());
    for (const std::wstring& line : after) {
        const std::size_t equals = line.find(L'=');
        const std::size_t colon = line.find(L':', equals);
        if (asText && equals != std::wstring::npos && colon != std::wstring::npos) {
            accepted.insert(line.substr(0, equals + 1) + std::to_wstring(VT_BSTR) +
                            line.substr(colon));
        }
    }
    return std::all_of(readOut.begin(), readOut.end(),
                       [&](const std::wstring& line) { return accepted.count(line) != 0; });
}

std::string Narrow(const std::vector<std::wstring>& lines) {
    std::string text;
    for (const std::wstring& line : lines) {
        for (wchar_t c : line) text += c < 128 ? static_cast<char>(c) : '?';
        text += '\n';
    }
    return text;
}

// The installation layout with the tree's settings file and the XML data
// component, the tree below a scratch key.
class FaultSweep : public ::testing::TestWithParam<Member> {
protected:
    // The state around one call of the member.
    struct Outcome {
        HRESULT hr = E_UNEXPECTED;
        std::wstring output;
        std::vector<std::wstring> readOut;
        std::wstring registry;
    };

    void SetUp() override {
        test::SeedOptionsTree(scratch_.Path());
        layout_.AddFile(L"tree.xml", test::OptionsTreeSettingsFile());
        seeded_ = test::Snapshot(HKEY_CURRENT_USER, scratch_.Path());
    }

    // Makes an object (initialised unless the member is Init), records the
    // before-state, calls the member with call failAt failed (0: none) and
    // records the state afterwards. The object is handed to the caller.
    ComPtr<IVeskaOptions3> Call(unsigned long failAt, Outcome& before, Outcome& after,
                                FaultRun& run) {
        const Member& member = GetParam();
        ComPtr<IVeskaOptions3> options;
        EXPECT_EQ(CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, options.put_void()),
                  S_OK);
        if (!options) return options;
        if (member.kind != Member::kInit) {
            EXPECT_EQ(options->Init(1, Bstr(scratch_.Path())), S_OK);
        }
        before.readOut = test::ReadOut(options.get());
        before.registry = test::Snapshot(HKEY_CURRENT_USER, scratch_.Path());
        Armed armed(failAt);
        after.hr = member.call(options.get(), scratch_.Path(), armed, &after.output);
        run = armed.Run();
        after.readOut = test::ReadOut(options.get());
        after.registry = test::Snapshot(HKEY_CURRENT_USER, scratch_.Path());
        return options;
    }

    // Checks a faulted outcome against the model; expected is the fault-free
    // outcome.
    void Accept(IVeskaOptions3* options, const Outcome& before, const Outcome& after,
                const FaultRun& run, const Outcome& expected) {
        const Member& member = GetParam();
        if (member.kind == Member::kInit) {
            AcceptInit(options, after, run, expected);
            return;
        }
        if (member.kind == Member::kRefresh) {
            // Failed or not, the cache may hold part of the change: a refresh
            // without faults brings it to the fault-free run's state.
            if (FAILED(after.hr)) {
                EXPECT_EQ(after.hr, E_OUTOFMEMORY);
                EXPECT_EQ(run.kind, FaultKind::Allocation) << "only allocation faults may fail";
            }
            LONG changed = 0;
            EXPECT_EQ(static_cast<CVeskaOptions*>(options)->Refresh(&changed), S_OK);
            EXPECT_EQ(test::ReadOut(options), expected.readOut) << "after a second refresh";
            EXPECT_EQ(after.registry, expected.registry) << "Refresh wrote to the registry";
            return;
        }
        if (FAILED(after.hr)) {
            EXPECT_EQ(after.output, member.kind == Member::kRead ? kNothing : L"")
                << "a failed call handed something out";
            if (member.reportsRegistry && run.kind == FaultKind::Registry) {
                EXPECT_EQ(after.readOut, expected.readOut) << "the new node stays";
            } else {
                // A value that cannot be converted is refused with E_FAIL.
                EXPECT_EQ(after.hr, run.kind == FaultKind::Conversion ? E_FAIL : E_OUTOFMEMORY);
                EXPECT_TRUE(run.kind == FaultKind::Allocation || run.kind == FaultKind::Conversion)
                    << "only allocation faults may fail";
                EXPECT_EQ(after.readOut, before.readOut) << "not all or nothing:\n"
                                                         << Narrow(after.readOut);
            }
            EXPECT_EQ(after.registry, before.registry) << "not all or nothing";
            return;
        }
        // A value write whose registry step failed keeps the cached value and
        // says so with S_FALSE; only then does the registry miss it.
        if (after.hr == S_FALSE && expected.hr == S_OK) {
            EXPECT_EQ(run.kind, FaultKind::Registry) << "S_FALSE without a registry fault";
            EXPECT_NE(after.registry, expected.registry) << "S_FALSE, but the value was written";
        } else {
            EXPECT_EQ(after.hr, expected.hr);
        }
        EXPECT_EQ(after.output, expected.output);
        EXPECT_EQ(after.readOut, expected.readOut) << Narrow(after.readOut);
        if (after.registry != expected.registry) {
            EXPECT_TRUE(member.silentRegistry) << "the registry differs";
            EXPECT_TRUE(IsMix(after.registry, before.registry, expected.registry))
                << "the registry holds what neither state has";
        }
    }

    void AcceptInit(IVeskaOptions3* options, const Outcome& after, const FaultRun& run,
                    const Outcome& expected) {
        if (FAILED(after.hr)) {
            EXPECT_EQ(run.kind, FaultKind::Allocation) << "only allocation faults may fail Init";
            EXPECT_EQ(after.hr, E_OUTOFMEMORY);
            EXPECT_EQ(after.readOut, std::vector<std::wstring>{L"<not initialised>"});
            EXPECT_EQ(options->Init(1, Bstr(scratch_.Path())), S_OK) << "a retry";
            EXPECT_EQ(test::ReadOut(options), expected.readOut) << "a retry";
        } else if (run.kind == FaultKind::Registry) {
            EXPECT_EQ(after.hr, S_OK);
            EXPECT_TRUE(IsDegradedLoad(after.readOut, expected.readOut, false))
                << Narrow(after.readOut);
        } else if (run.kind == FaultKind::Component || run.kind == FaultKind::Conversion) {
            EXPECT_EQ(after.hr, S_FALSE) << "a settings file failed";
            EXPECT_TRUE(IsDegradedLoad(after.readOut, expected.readOut,
                                       run.kind == FaultKind::Conversion))
                << Narrow(after.readOut);
        } else {
            ADD_FAILURE() << "an allocation fault was swallowed:\n" << Narrow(after.readOut);
        }
        EXPECT_EQ(after.registry, expected.registry) << "Init wrote to the registry";
    }

    void RestoreRegistry() {
        if (test::Snapshot(HKEY_CURRENT_USER, scratch_.Path()) == seeded_) return;
        test::DeleteTree(HKEY_CURRENT_USER, scratch_.Path());
        test::SeedOptionsTree(scratch_.Path());
    }

    test::InstallationInfoStandIn installation_{L"C:\\Veska Install"};
    test::SettingsLayout layout_;
    test::CompanionRegistration companion_;
    test::ScratchKey scratch_;
    std::wstring seeded_;
};

TEST_P(FaultSweep, Member) {
    const Member& member = GetParam();
    // What the first use of each takes stays for the process: the runtime's
    // tables for throwing, the test framework's trace stack of this thread.
    try {
        throw HResultError(E_FAIL);
    } catch (const HResultError&) {
    }
    { SCOPED_TRACE("warm-up"); }
    Outcome expected;
    {
        Outcome before;
        FaultRun run;
        ComPtr<IVeskaOptions3> options = Call(0, before, expected, run);
        ASSERT_TRUE(options);
        ASSERT_TRUE(SUCCEEDED(expected.hr)) << "the fault-free run";
        ASSERT_EQ(options.detach()->Release(), 0u);
        RestoreRegistry();
    }
    const char* only = std::getenv("VESKA_FAULT_AT");
    const unsigned long first = only != nullptr ? std::strtoul(only, nullptr, 10) : 1;
    unsigned long n = first;
    unsigned long byKind[4] = {};
    for (;; ++n) {
        const long allocations = FaultInjector::LiveAllocations();
        const test::ResourceUse held = test::MeasureResources();
        FaultRun run;
        {
            Outcome before;
            Outcome after;
            ComPtr<IVeskaOptions3> options = Call(n, before, after, run);
            ASSERT_TRUE(options);
            SCOPED_TRACE(::testing::Message() << member.name << ", N=" << n << ", failed "
                                              << (run.injected ? run.call : "nothing") << " ("
                                              << test::KindName(run.kind) << ")");
            if (run.injected) {
                ++byKind[static_cast<int>(run.kind)];
                Accept(options.get(), before, after, run, expected);
            } else {
                EXPECT_EQ(after.hr, expected.hr);
                EXPECT_EQ(after.readOut, expected.readOut);
                EXPECT_EQ(after.registry, expected.registry);
            }
            EXPECT_EQ(options.detach()->Release(), 0u) << "a reference was left behind";
        }
        // What the test framework records of a failure stays: no leak checks after one.
        if (HasFailure()) break;
        const auto at = [&] {
            return ::testing::Message() << member.name << ", N=" << n << ": ";
        };
        EXPECT_EQ(TheModule.LockCount(), 0) << at() << "an object lives on";
        EXPECT_EQ(companion_.CanUnloadNow(), S_OK) << at() << "a settings component lives on";
        EXPECT_EQ(FaultInjector::LiveAllocations(), allocations)
            << at() << "C++ allocations leaked";
        const test::ResourceUse now = test::MeasureResources();
        if (test::HeapTotalsCompare() && !member.heapBytesVary) {
            EXPECT_EQ(now.heapBytes, held.heapBytes) << at() << "heap bytes leaked";
        }
        EXPECT_EQ(now.handles, held.handles) << at() << "handles leaked";
        RestoreRegistry();
        if (!run.injected || only != nullptr || HasFailure()) break;
    }
    std::printf(
        "%s: %lu faulted runs (allocation %lu, conversion %lu, registry %lu, component %lu)\n",
        member.name, n - first, byKind[0], byKind[1], byKind[2], byKind[3]);
}

INSTANTIATE_TEST_SUITE_P(Options, FaultSweep, ::testing::ValuesIn(kMembers),
                         [](const ::testing::TestParamInfo<Member>& info) {
                             return info.param.name;
                         });

// The names, as "library!function", that a PE image of this program's own
// architecture imports by name.
std::set<std::string> ImportedNames(HMODULE module) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> names;
    for (auto* library =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         library->Name != 0; ++library) {
        std::string prefix = reinterpret_cast<const char*>(base + library->Name);
        std::transform(prefix.begin(), prefix.end(), prefix.begin(), [](char c) {
            return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        });
        const DWORD thunks =
            library->OriginalFirstThunk != 0 ? library->OriginalFirstThunk : library->FirstThunk;
        for (auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + thunks);
             thunk->u1.AddressOfData != 0; ++thunk) {
            if (thunk->u1.Ordinal & IMAGE_ORDINAL_FLAG) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData);
            names.insert(prefix + "!" + reinterpret_cast<const char*>(byName->Name));
        }
    }
    return names;
}

std::string FileBytes(const wchar_t* path) {
    std::string bytes;
    const HANDLE file =
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(::GetFileSize(file, nullptr));
    DWORD read = 0;
    ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    ::CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

// The shipped library is built without the seam: it imports the platform calls
// the seam wraps straight from the system's libraries, and it holds none of the
// wrappers' names although it keeps the names of its own functions.
TEST(FaultSeam, StaysOutOfTheShippedLibrary) {
    const wchar_t* const path = VESKA_TEST_DLL(L"current");
    const HMODULE module = ::LoadLibraryExW(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr);
    const std::set<std::string> imports = ImportedNames(module);
    ::FreeLibrary(module);
    for (const char* name :
         {"advapi32.dll!RegOpenKeyExW", "advapi32.dll!RegCreateKeyExW",
          "advapi32.dll!RegEnumValueW", "advapi32.dll!RegEnumKeyExW", "advapi32.dll!RegSetValueExW",
          "advapi32.dll!RegDeleteValueW", "advapi32.dll!RegDeleteKeyW",
          "oleaut32.dll!SysAllocStringLen", "oleaut32.dll!VariantCopy",
          "oleaut32.dll!VariantChangeType", "oleaut32.dll!SafeArrayCreate",
          "ole32.dll!CLSIDFromProgID",
          "ole32.dll!CoCreateInstance"}) {
        EXPECT_EQ(imports.count(name), 1u) << name;
    }
    const std::string bytes = FileBytes(path);
    EXPECT_NE(bytes.find("FillKeysValues"), std::string::npos) << "the library keeps no names";
    for (const char* wrapper : {"FaultRegOpenKeyExW", "FaultSysAllocStringLen", "FaultInjector"}) {
        EXPECT_EQ(bytes.find(wrapper), std::string::npos) << wrapper;
    }
}

}  // namespace
}  // namespace veska

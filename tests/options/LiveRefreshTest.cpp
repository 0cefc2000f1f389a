// Live options: each kind of change another writer makes reaches a C++ sink with
// the right key, name and kind, and afterwards the cache equals a fresh Init's;
// the object's own writes stay silent; the Init key going and coming back; a
// watch fed by another process (reg.exe) on the Watch thread; the watcher's
// thread count; the refusals.
#include "OptionsTestSupport.h"
#include "TestPaths.h"

#include <functional>

#include "com/Dispatch.h"
#include "options/LiveWatcher.h"
#include "tests/common/FakeObject.h"
#include "tests/settings/SettingsTestSupport.h"

namespace veska::test {
namespace {

// Records every Changed call with the thread it came on, and answers it with
// answer after running during.
class RecordingSink final
    : public FakeObject<RecordingSink, FakeLife::Counted,
                        DispatchWithoutTypeInfo<_IVeskaOptionsLiveEvents>> {
public:
    using Interfaces = InterfaceMap<Entry<IDispatch, _IVeskaOptionsLiveEvents>,
                                    Entry<_IVeskaOptionsLiveEvents>>;
    std::vector<std::wstring> events;  // "kind key|name"
    DWORD thread = 0;
    HRESULT answer = S_OK;
    std::function<void()> during;

    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (id != 1 || params->cArgs != 3) return DISP_E_MEMBERNOTFOUND;
        events.push_back(std::to_wstring(params->rgvarg[0].lVal) + L" " + params->rgvarg[2].bstrVal +
                         L"|" + params->rgvarg[1].bstrVal);
        thread = ::GetCurrentThreadId();
        if (during) during();
        return answer;
    }
};

// Runs a Windows program to its end.
void RunProcess(std::wstring command) {
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &startup, &process));
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
}

class Live : public OptionsTest {
protected:
    // The object answers IVeskaOptionsLive where the type library describes it.
    void SetUp() override {
        ComPtr<ITypeLib> library;
        ASSERT_EQ(::LoadTypeLibEx(VESKA_TEST_TLB(L"current"), REGKIND_NONE, library.put()), S_OK);
        ASSERT_EQ(::RegisterTypeLib(library.get(), const_cast<LPOLESTR>(VESKA_TEST_TLB(L"current")),
                                    nullptr), S_OK);
    }
    void TearDown() override {
        opts.reset();  // before the sink goes
        ::UnRegisterTypeLib(LIBID_VESKAOPTIONSLib, 1, 0, 0, test::kOwnSysKind);
    }
    RecordingSink sink, second, third;
    ComPtr<IVeskaOptionsLive> LiveOf(IVeskaOptions3* options) {
        return ComPtr<IVeskaOptions3>::CopyOf(options).try_query<IVeskaOptionsLive>();
    }
    void Advise(IVeskaOptions3* options, RecordingSink& sink) {
        auto container = ComPtr<IVeskaOptions3>::CopyOf(options).try_query<IConnectionPointContainer>();
        ASSERT_TRUE(container);
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(container->FindConnectionPoint(__uuidof(_IVeskaOptionsLiveEvents), point.put()), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    }
    LONG Refresh() {
        LONG changed = -1;
        EXPECT_EQ(LiveOf(opts.get())->Refresh(&changed), S_OK);
        return changed;
    }
    // The cache of a fresh object on the same key, as ReadOut renders it.
    std::vector<std::wstring> FreshReadOut() {
        ComPtr<IVeskaOptions3> fresh = NewOptions();
        EXPECT_EQ(fresh->Init(1, Bstr(scratch.Path())), S_OK);
        return ReadOut(fresh.get());
    }
};

TEST_F(Live, EachKindOfChangeAndTheCacheAfterwards) {
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"FontSize", 12);
    SetString(HKEY_CURRENT_USER, Reg(L"Editor"), L"Font", L"Mono");
    SetDword(HKEY_CURRENT_USER, Reg(L"Old"), L"x", 1);
    SetDword(HKEY_CURRENT_USER, Reg(L"Edited"), L"v", 1);
    ASSERT_EQ(Init(), S_OK);
    Advise(opts.get(), sink);
    ASSERT_EQ(Set(L"Edited", L"v", *I4(5).get(), 0), S_OK);  // an unsaved edit

    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"FontSize", 14);
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"Tabs", 4);
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, Reg(L"Editor").c_str(), L"Font");
    SetString(HKEY_CURRENT_USER, Reg(L"New\\Deep"), L"a", L"b");
    DeleteTree(HKEY_CURRENT_USER, Reg(L"Old"));
    SetDword(HKEY_CURRENT_USER, Reg(L"Edited"), L"v", 2);

    EXPECT_EQ(Refresh(), 5);  // three in editor, new\deep's a, old's x
    std::sort(sink.events.begin(), sink.events.end());
    EXPECT_EQ(sink.events, (std::vector<std::wstring>{
                               L"1 editor|tabs", L"1 new\\deep|a", L"2 editor|fontsize",
                               L"3 editor|font", L"4 new\\deep|", L"4 new|", L"5 old|", L"6 edited|v"}));
    EXPECT_EQ(Value(L"Editor", L"FontSize"), L"3:14");
    EXPECT_EQ(Value(L"Edited", L"v"), L"3:5");  // the edit stays
    ASSERT_EQ(Set(L"Edited", L"v", *I4(2).get(), 0), S_OK);
    std::vector<std::wstring> cache = ReadOut(opts.get());
    cache.back() = L"dirty=0";
    EXPECT_EQ(cache, FreshReadOut());

    // Nothing moved since: nothing to report.
    sink.events.clear();
    EXPECT_EQ(Refresh(), 0);
    EXPECT_TRUE(sink.events.empty());
}

TEST_F(Live, OwnWritesCauseNoEvents) {
    SetDword(HKEY_CURRENT_USER, Reg(L"A"), L"x", 1);
    ASSERT_EQ(Init(), S_OK);
    Advise(opts.get(), sink);
    ASSERT_EQ(Set(L"A", L"x", *I4(7).get(), 1), S_OK);
    ASSERT_EQ(opts->AddKey(Bstr(L"A\\B"), 1), S_OK);
    ASSERT_EQ(opts->AddKey(Bstr(L"Local"), 0), S_OK);
    ASSERT_EQ(opts->AddValueByName(Bstr(L"A\\B"), Bstr(L"y"), I4(3).get(), 1), S_OK);
    EXPECT_EQ(Refresh(), 0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(Keys(L""), L"a|local");  // the key added without the registry stays
}

TEST_F(Live, InitKeyDeletedAndCreatedAgain) {
    SetDword(HKEY_CURRENT_USER, Reg(L"Root\\K"), L"x", 1);
    ASSERT_EQ(Init(L"Root"), S_OK);
    Advise(opts.get(), sink);
    DeleteTree(HKEY_CURRENT_USER, Reg(L"Root"));
    EXPECT_EQ(Refresh(), 1);
    EXPECT_EQ(sink.events, (std::vector<std::wstring>{L"5 |"}));
    EXPECT_EQ(Keys(L""), L"<null>");  // no keys left
    sink.events.clear();
    SetDword(HKEY_CURRENT_USER, Reg(L"Root\\K"), L"x", 2);
    EXPECT_EQ(Refresh(), 1);
    EXPECT_EQ(sink.events, (std::vector<std::wstring>{L"4 k|", L"1 k|x"}));
    EXPECT_EQ(Value(L"K", L"x"), L"3:2");
}

// What the object removed without ChangeDefault stays removed through refreshes
// until it changes at its source; then it comes back as added.
TEST_F(Live, LocalRemovalsStayUntilTheirSourceChanges) {
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"A", 1);
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"B", 1);
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor\\Old"), L"x", 1);
    ASSERT_EQ(Init(), S_OK);
    Advise(opts.get(), sink);
    ASSERT_EQ(opts->RemoveValueByName(Bstr(L"Editor"), Bstr(L"A"), 0), S_OK);
    ASSERT_EQ(opts->RemoveKey(Bstr(L"Editor\\Old"), 0), S_OK);
    const struct {
        const wchar_t* key;  // the value written by another writer; null for none
        const wchar_t* name;
        std::vector<std::wstring> events;  // sorted
        const wchar_t* a;
        const wchar_t* keys;
    } steps[] = {
        {nullptr, nullptr, {}, L"fail", L"<null>"},
        {L"Editor", L"B", {L"2 editor|b"}, L"fail", L"<null>"},  // a sibling: the removals stand
        {L"Editor", L"A", {L"1 editor|a"}, L"3:2", L"<null>"},
        {L"Editor\\Old", L"x", {L"1 editor\\old|x", L"4 editor\\old|"}, L"3:2", L"old"},
    };
    for (const auto& step : steps) {
        sink.events.clear();
        if (step.key != nullptr) SetDword(HKEY_CURRENT_USER, Reg(step.key), step.name, 2);
        Refresh();
        std::sort(sink.events.begin(), sink.events.end());
        EXPECT_EQ(sink.events, step.events) << (step.name ? step.name : L"no change");
        EXPECT_EQ(Value(L"Editor", L"A"), step.a);
        EXPECT_EQ(Keys(L"Editor"), step.keys);
    }
}

// Under a Root, a removal above it, the Init key's included, takes away all
// that reads reach: the Root's own removal, Key empty. Changes beside the Root
// stay silent.
TEST_F(Live, RemovalAboveTheRootIsTheRootsRemoval) {
    for (const wchar_t* removed : {L"Top\\A", L"Top"}) {
        SetDword(HKEY_CURRENT_USER, Reg(L"Top\\A\\B\\C"), L"x", 1);
        opts = NewOptions();
        ASSERT_EQ(Init(L"Top"), S_OK);
        ASSERT_EQ(opts->put_Root(Bstr(L"A\\B")), S_OK);
        sink.events.clear();
        Advise(opts.get(), sink);
        SetDword(HKEY_CURRENT_USER, Reg(L"Top\\Beside"), L"y", 1);
        DeleteTree(HKEY_CURRENT_USER, Reg(removed));
        Refresh();
        EXPECT_EQ(sink.events, (std::vector<std::wstring>{L"5 |"})) << removed;
    }
}

TEST_F(Live, WatchSeesAnotherProcessOnTheWatchThread) {
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"FontSize", 12);
    auto live = LiveOf(opts.get());
    ASSERT_TRUE(live);
    EXPECT_EQ(live->Watch(1), E_FAIL);  // before Init
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(live->Watch(0), E_INVALIDARG);
    EXPECT_EQ(live->Watch(7), E_INVALIDARG);
    Advise(opts.get(), sink);
    ASSERT_EQ(live->Watch(3), S_OK);
    LONG what = 0;
    EXPECT_EQ(live->get_Watching(&what), S_OK);
    EXPECT_EQ(what, 3);

    RunProcess(L"reg.exe add \"HKCU\\" + Reg(L"Editor") + L"\" /v FontSize /t REG_DWORD /d 14 /f");

    VARIANT_BOOL delivered = VARIANT_FALSE;
    EXPECT_EQ(live->WaitForChange(10000, &delivered), S_OK);
    EXPECT_EQ(delivered, VARIANT_TRUE);
    EXPECT_EQ(sink.events, (std::vector<std::wstring>{L"2 editor|fontsize"}));
    EXPECT_EQ(sink.thread, ::GetCurrentThreadId());
    EXPECT_EQ(Value(L"Editor", L"FontSize"), L"3:14");

    // Stopped with a change pending: nothing arrives after Unwatch.
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"FontSize", 15);
    EXPECT_EQ(live->Unwatch(), S_OK);
    sink.events.clear();
    EXPECT_EQ(live->WaitForChange(300, &delivered), S_OK);
    EXPECT_EQ(delivered, VARIANT_FALSE);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(LiveWatcherThreadCount(), 0u);
}

// A settings file copied in by a Windows process arrives with its keys and
// values; when another removes it, its values fall back to the registry's or go.
TEST_F(Live, SettingsFileOfAWindowsProcessArrivesAndGoes) {
    CompanionRegistration companion;
    SettingsLayout layout;
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"FontSize", 10);
    ASSERT_EQ(Init(), S_OK);
    Advise(opts.get(), sink);
    auto live = LiveOf(opts.get());
    ASSERT_EQ(live->Watch(2), S_OK);
    // Written outside the folder first: the copy is the only change the watch sees.
    const std::wstring staged = layout.Root() + L"\\staged.xml";
    const std::wstring file = layout.SettingsFolder() + L"defaults.xml";
    const std::string bytes = SettingsXml(
        "<Key Name='Editor'><Value Name='FontSize' Type='I4'>12</Value><Value Name='Zoom' Type='I4'>3</Value>"
        "<Key Name='Plugins'><Value Name='Count' Type='I4'>2</Value></Key></Key>");
    {
        const UniqueFile out = UniqueFile::Adopt(::CreateFileW(staged.c_str(), GENERIC_WRITE, 0, nullptr,
                                                               CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(out.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr));
    }
    const struct {
        std::wstring command;
        std::vector<std::wstring> events;  // sorted
        const wchar_t* fontSize;
        const wchar_t* zoom;
    } steps[] = {
        {L"cmd.exe /c copy /y \"" + staged + L"\" \"" + file + L"\"",
         {L"1 editor\\plugins|count", L"1 editor|zoom", L"2 editor|fontsize", L"4 editor\\plugins|"},
         L"3:12", L"3:3"},
        {L"cmd.exe /c del \"" + file + L"\"",
         {L"2 editor|fontsize", L"3 editor|zoom", L"5 editor\\plugins|"}, L"3:10", L"fail"},
    };
    for (const auto& step : steps) {
        sink.events.clear();
        RunProcess(step.command);
        VARIANT_BOOL delivered = VARIANT_TRUE;
        while (sink.events.size() < step.events.size() && delivered == VARIANT_TRUE) {
            ASSERT_EQ(live->WaitForChange(10000, &delivered), S_OK);
        }
        std::sort(sink.events.begin(), sink.events.end());
        EXPECT_EQ(sink.events, step.events) << step.command;
        EXPECT_EQ(Value(L"Editor", L"FontSize"), step.fontSize);
        EXPECT_EQ(Value(L"Editor", L"Zoom"), step.zoom);
        EXPECT_EQ(ReadOut(opts.get()), FreshReadOut());
    }
    EXPECT_EQ(live->Unwatch(), S_OK);  // before the folder goes
}

// A sink whose Changed fails keeps the event from none of the others; one that
// calls Unwatch inside Changed ends the delivery: nothing reaches anyone after
// it, and every sink gets back the references it gave.
TEST_F(Live, AFailingSinkAndOneThatUnwatchesInsideChanged) {
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"A", 1);
    ASSERT_EQ(Init(), S_OK);
    auto live = LiveOf(opts.get());
    second.answer = E_FAIL;
    Advise(opts.get(), second);
    Advise(opts.get(), sink);
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"A", 2);
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"B", 3);
    EXPECT_EQ(Refresh(), 2);
    EXPECT_EQ(second.events.size(), 2u);
    EXPECT_EQ(sink.events, second.events);

    third.during = [&] { EXPECT_EQ(live->Unwatch(), S_OK); };
    Advise(opts.get(), third);
    ASSERT_EQ(live->Watch(1), S_OK);
    sink.events.clear();
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"A", 4);
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"B", 5);
    VARIANT_BOOL delivered = VARIANT_FALSE;
    EXPECT_EQ(live->WaitForChange(10000, &delivered), S_OK);
    EXPECT_EQ(delivered, VARIANT_TRUE);
    EXPECT_EQ(third.events.size(), 1u);
    EXPECT_EQ(sink.events.size(), 1u) << "the second change comes after the Unwatch";
    LONG what = -1;
    EXPECT_EQ(live->get_Watching(&what), S_OK);
    EXPECT_EQ(what, 0);
    SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"A", 6);
    EXPECT_EQ(live->WaitForChange(300, &delivered), S_OK);
    EXPECT_EQ(delivered, VARIANT_FALSE);
    EXPECT_EQ(LiveWatcherThreadCount(), 0u);
    live.reset();
    opts.reset();
    for (const RecordingSink* s : {&sink, &second, &third}) EXPECT_EQ(s->refs, 1);
}

// Policy another party writes arrives like a registry change, and the cache
// follows precedence: a value whose policy goes falls back to the next source.
// Each step by Refresh, then one by a watch of the machine policy key, which
// does not exist when the watch starts.
TEST_F(Live, PolicyAddedChangedAndRemoved) {
    ScratchPolicy policy(scratch);
    SetDword(HKEY_CURRENT_USER, Reg(L"K"), L"v", 1);
    ASSERT_EQ(Init(), S_OK);
    Advise(opts.get(), sink);
    const std::wstring machine = policy.PathOf(L"K");
    const struct {
        std::function<void()> change;
        std::vector<std::wstring> events;
        const wchar_t* v;
        const wchar_t* w;
    } steps[] = {
        {[&] { SetDword(HKEY_LOCAL_MACHINE, machine, L"v", 5); }, {L"2 k|v"}, L"3:5", L"fail"},
        {[&] { SetDword(HKEY_LOCAL_MACHINE, machine, L"w", 6); }, {L"1 k|w"}, L"3:5", L"3:6"},
        {[&] { SetDword(HKEY_CURRENT_USER, machine, L"v", 7); }, {}, L"3:5", L"3:6"},
        {[&] { SetDword(HKEY_LOCAL_MACHINE, machine, L"v", 8); }, {L"2 k|v"}, L"3:8", L"3:6"},
        {[&] { ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, machine.c_str(), L"v"); }, {L"2 k|v"}, L"3:7", L"3:6"},
        {[&] { DeleteTree(HKEY_CURRENT_USER, policy.Path()); }, {L"2 k|v"}, L"3:1", L"3:6"},
        {[&] { SetDword(HKEY_LOCAL_MACHINE, machine, L"v", 1); }, {L"2 k|v"}, L"3:1", L"3:6"},  // now locked
        {[&] { DeleteTree(HKEY_LOCAL_MACHINE, policy.Path()); }, {L"2 k|v", L"3 k|w"}, L"3:1", L"fail"},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        sink.events.clear();
        steps[i].change();
        Refresh();
        std::sort(sink.events.begin(), sink.events.end());
        EXPECT_EQ(sink.events, steps[i].events);
        EXPECT_EQ(Value(L"K", L"v"), steps[i].v);
        EXPECT_EQ(Value(L"K", L"w"), steps[i].w);
        EXPECT_EQ(ReadOut(opts.get()), FreshReadOut());
    }

    auto live = LiveOf(opts.get());
    ASSERT_EQ(live->Watch(1), S_OK);
    sink.events.clear();
    SetDword(HKEY_LOCAL_MACHINE, machine, L"w", 9);
    VARIANT_BOOL delivered = VARIANT_FALSE;
    EXPECT_EQ(live->WaitForChange(10000, &delivered), S_OK);
    EXPECT_EQ(delivered, VARIANT_TRUE);
    EXPECT_EQ(sink.events, (std::vector<std::wstring>{L"1 k|w"}));
    EXPECT_EQ(live->Unwatch(), S_OK);
}

// A seeded burst of registry changes while the object watches: once it stops
// and the last event is in, the cache equals a fresh Init's.
TEST_F(Live, SeededBurstEndsWithTheCacheOfAFreshInit) {
    const char* seedText = std::getenv("VESKA_MODEL_SEED");
    const unsigned first = seedText != nullptr ? unsigned(std::atoi(seedText)) : 27u;
    unsigned seed = first;
    SetDword(HKEY_CURRENT_USER, Reg(L"K0"), L"v0", 0);
    ASSERT_EQ(Init(), S_OK);
    auto live = LiveOf(opts.get());
    ASSERT_EQ(live->Watch(1), S_OK);
    const auto next = [&seed](unsigned range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % range;
    };
    for (int step = 0; step < 400; ++step) {
        const std::wstring key = Reg(L"K" + std::to_wstring(next(6)) +
                                     (next(3) == 0 ? L"\\S" + std::to_wstring(next(3)) : L""));
        const std::wstring name = L"v" + std::to_wstring(next(4));
        switch (next(5)) {
            case 0: DeleteTree(HKEY_CURRENT_USER, key); break;
            case 1: ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str()); break;
            case 2: SetString(HKEY_CURRENT_USER, key, name.c_str(), std::to_wstring(step)); break;
            default: SetDword(HKEY_CURRENT_USER, key, name.c_str(), DWORD(step)); break;
        }
        if (step % 40 == 0) {
            VARIANT_BOOL delivered;
            live->WaitForChange(0, &delivered);  // events arrive while the burst goes on
        }
    }
    VARIANT_BOOL delivered = VARIANT_TRUE;
    while (delivered == VARIANT_TRUE) ASSERT_EQ(live->WaitForChange(1000, &delivered), S_OK);
    EXPECT_EQ(ReadOut(opts.get()), FreshReadOut()) << "seed " << first;
}

TEST_F(Live, HundredWatchersShareTheirThreads) {
    std::vector<ComPtr<IVeskaOptions3>> objects;
    for (int i = 0; i < 100; ++i) {
        // Each on a key of its own: a notification each, 63 to a thread, and
        // the two policy keys of both hives that all of them share.
        CreateKey(HKEY_CURRENT_USER, Reg(L"K" + std::to_wstring(i)));
        objects.push_back(NewOptions());
        ASSERT_EQ(objects.back()->Init(1, Bstr(Reg(L"K" + std::to_wstring(i)))), S_OK);
        ASSERT_EQ(LiveOf(objects.back().get())->Watch(3), S_OK);
    }
    EXPECT_EQ(LiveWatcherThreadCount(), 2u);
    objects.clear();  // the last Release stops each watch
    EXPECT_EQ(LiveWatcherThreadCount(), 0u);
}

TEST_F(Live, OnChangedRefusesWhatIsNotAnObject) {
    ASSERT_EQ(Init(), S_OK);
    auto live = LiveOf(opts.get());
    VARIANT number;
    number.vt = VT_I4;
    number.lVal = 3;
    EXPECT_EQ(live->put_OnChanged(number), E_INVALIDARG);
    VARIANT nothing;
    nothing.vt = VT_NULL;
    EXPECT_EQ(live->putref_OnChanged(nothing), S_OK);
}

TEST_F(Live, EnumConnectionPointsHandsOutTheOnePointOnce) {
    ASSERT_EQ(Init(), S_OK);
    auto container = ComPtr<IVeskaOptions3>::CopyOf(opts.get()).try_query<IConnectionPointContainer>();
    ASSERT_TRUE(container);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(__uuidof(_IVeskaOptionsLiveEvents), point.put()), S_OK);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    EXPECT_TRUE(points.try_query<IUnknown>());
    EXPECT_FALSE(points.try_query<IDispatch>());

    ComPtr<IConnectionPoint> first;
    ULONG fetched = 7;
    ASSERT_EQ(points->Next(1, first.put(), &fetched), S_OK);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(first.get(), point.get());
    ComPtr<IEnumConnectionPoints> clone;
    ASSERT_EQ(points->Clone(clone.put()), S_OK);
    ComPtr<IConnectionPoint> none;
    EXPECT_EQ(clone->Next(1, none.put(), &fetched), S_FALSE);  // the clone keeps the position
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(points->Skip(1), S_FALSE);
    EXPECT_EQ(points->Reset(), S_OK);
    EXPECT_EQ(points->Skip(1), S_OK);
    EXPECT_EQ(clone->Reset(), S_OK);
    ComPtr<IConnectionPoint> again;
    EXPECT_EQ(clone->Next(1, again.put(), nullptr), S_OK);
    EXPECT_EQ(again.get(), point.get());
}

}  // namespace
}  // namespace veska::test

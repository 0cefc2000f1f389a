// Live options: each kind of change another writer makes reaches a C++ sink with
// the right key, name and kind, and afterwards the cache equals a fresh Init's;
// the object's own writes stay silent; the Init key going and coming back; a
// watch fed by another process (reg.exe) on the Watch thread; the watcher's
// thread count; the refusals.
#include "OptionsTestSupport.h"
#include "TestPaths.h"

#include "options/LiveWatcher.h"

namespace veska::test {
namespace {

// Records every Changed call with the thread it came on.
class RecordingSink final : public IDispatch {
public:
    std::vector<std::wstring> events;  // "kind key|name"
    DWORD thread = 0;

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(_IVeskaOptionsLiveEvents)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
    STDMETHODIMP_(ULONG) Release() override { return --count; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (id != 1 || params->cArgs != 3) return DISP_E_MEMBERNOTFOUND;
        events.push_back(std::to_wstring(params->rgvarg[0].lVal) + L" " + params->rgvarg[2].bstrVal +
                         L"|" + params->rgvarg[1].bstrVal);
        thread = ::GetCurrentThreadId();
        return S_OK;
    }
    ULONG count = 1;
};

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
    RecordingSink sink;
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

    std::wstring command = L"reg.exe add \"HKCU\\" + Reg(L"Editor") + L"\" /v FontSize /t REG_DWORD /d 14 /f";
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &startup, &process));
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);

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
        // Each on a key of its own: a notification each, 63 to a thread.
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

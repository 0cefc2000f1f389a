// Registration, page collection, flags and configuration values of the property
// provider, through its COM interfaces. Built for both editions.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "ProviderTestSupport.h"
#include "TestPaths.h"
#include "TestRegistry.h"
#include "trace/TimeTrace.h"

namespace veska::test {
namespace {

using Pages = std::vector<CLSID>;

Pages PagesOf(std::initializer_list<int> numbers) {
    Pages pages;
    for (int n : numbers) pages.push_back(PageClsid(n));
    return pages;
}

// IPropertyProvider3, which only the current edition answers.
constexpr IID kIidPropertyProvider3 = {
    0x87a52ba7, 0x2254, 0x4c03, {0xa1, 0xba, 0x48, 0x22, 0x46, 0xac, 0xbb, 0x53}};
// IPropertyProvider4 likewise.
constexpr IID kIidPropertyProvider4 = {
    0x5c5e04ff, 0x6aac, 0x4846, {0xb7, 0x67, 0x65, 0xba, 0x6b, 0x89, 0x9e, 0xa9}};
#ifdef VESKA_EARLIER_EDITION
constexpr int kProvider3Table = -1;
#else
constexpr int kProvider3Table = 0;
#endif

// Each table answers a distinct pointer; -1 marks an IID the provider refuses.
TEST(QueryInterface, AnswersItsThreeTablesInOrder) {
    auto provider = NewProvider();
    struct Case {
        IID iid;
        int table;
    } cases[] = {
        {IID_IUnknown, 0},
        {IID_IPropertyProvider, 0},
        {IID_IPropertyProvider2, 0},
        {IID_IDispatch, 0},
        {IID_IPropertyPageInformation, 1},
        {IID_IPropertyPageInformation2, 1},
        {IID_IPropertyPageInformationSORConfig, 2},
        {IID_ISpecifyPropertyPages, -1},
        {IID_IKvtOptions, -1},
        {IID_IPersist, -1},
        {kIidPropertyProvider3, kProvider3Table},
        {kIidPropertyProvider4, kProvider3Table},
    };
    void* tables[3] = {};
    for (const Case& c : cases) {
        void* out = reinterpret_cast<void*>(0x1);
        const HRESULT hr = provider->QueryInterface(c.iid, &out);
        SCOPED_TRACE(GuidText(c.iid).c_str());
        if (c.table < 0) {
            EXPECT_EQ(hr, E_NOINTERFACE);
            EXPECT_EQ(out, nullptr);
            continue;
        }
        ASSERT_EQ(hr, S_OK);
        if (tables[c.table] == nullptr) tables[c.table] = out;
        EXPECT_EQ(out, tables[c.table]);
        static_cast<IUnknown*>(out)->Release();
    }
    EXPECT_NE(tables[0], tables[1]);
    EXPECT_NE(tables[1], tables[2]);
    EXPECT_EQ(provider.get()->AddRef(), 2u);
    EXPECT_EQ(provider.get()->Release(), 1u) << "every QueryInterface reference was returned";
}

TEST(Registration, RefusesNullAndObjectsWithoutPages) {
    PageOwner neither(PageOwner::kPersist);
    auto provider = NewProvider();
    EXPECT_EQ(provider->RegisterObject(nullptr), E_POINTER);
    EXPECT_EQ(provider->UnRegisterObject(nullptr), E_POINTER);
    EXPECT_EQ(provider->RegisterObject(neither.Identity()), E_NOINTERFACE);
    EXPECT_EQ(provider->UnRegisterObject(neither.Identity()), E_FAIL);
    EXPECT_EQ(neither.refs, 1);
    Collection empty = Collect(provider.get());
    EXPECT_EQ(empty.hr, S_OK);
    EXPECT_TRUE(empty.pages.empty());
    ASSERT_EQ(empty.objects.size(), 1u) << "the provider alone";
    EXPECT_EQ(empty.objects[0], static_cast<IUnknown*>(provider.get()));
}

TEST(Registration, KeepsDuplicatesAndRemovesByIdentityOneAtATime) {
    PageOwner owner(PageOwner::kSpecified | PageOwner::kPersist);
    auto provider = NewProvider();
    owner.specified = PagesOf({1});
    ASSERT_EQ(provider->RegisterObject(owner.Identity()), S_OK);
    ASSERT_EQ(provider->RegisterObject(owner.Identity()), S_OK);
    EXPECT_EQ(owner.refs, 3);
    Collection twice = Collect(provider.get());
    EXPECT_EQ(twice.pages, PagesOf({1, 1}));
    EXPECT_EQ(twice.objects.size(), 3u);
    EXPECT_EQ(owner.refs, 3) << "the collection's references are returned";

    // Another interface pointer of the same object finds it.
    ComPtr<IPersist> persist;
    ASSERT_EQ(owner.QueryInterface(IID_IPersist, persist.put_void()), S_OK);
    EXPECT_EQ(provider->UnRegisterObject(persist.get()), S_OK);
    persist.reset();
    EXPECT_EQ(owner.refs, 2);
    EXPECT_EQ(Collect(provider.get()).pages, PagesOf({1}));
    EXPECT_EQ(provider->UnRegisterObject(owner.Identity()), S_OK);
    EXPECT_EQ(provider->UnRegisterObject(owner.Identity()), E_FAIL);
    EXPECT_EQ(owner.refs, 1);
}

TEST(Collection, OrdersByPriorityAndKeepsRegistrationOrderOnTies) {
    PageOwner specified(PageOwner::kSpecified);
    specified.specified = PagesOf({10, 11});
    PageOwner ordered(PageOwner::kOrdered);
    ordered.ordered = [] {
        return OrderedArray({{Page(1), I4(5)}, {Page(2), I4(-1)}, {Page(3), I4(0)}});
    };
    PageOwner same(PageOwner::kOrdered);
    same.ordered = [] { return OrderedArray({{Page(3), I4(0)}, {Page(20), I4(20)}}); };
    // Offering both, it registers as ISpecifyPropertyPages and is collected
    // through IOrderedPropertyPages.
    PageOwner both(PageOwner::kSpecified | PageOwner::kOrdered);
    both.specified = PagesOf({99});
    both.ordered = [] { return OrderedArray({{Page(30), I4(10)}}); };
    auto provider = NewProvider();
    for (PageOwner* owner : {&specified, &ordered, &same, &both}) {
        ASSERT_EQ(provider->RegisterObject(owner->Identity()), S_OK);
    }

    Collection collected = Collect(provider.get());
    ASSERT_EQ(collected.hr, S_OK);
    EXPECT_EQ(collected.pages, PagesOf({20, 30, 1, 10, 11, 3, 3, 2}));
    const std::vector<IUnknown*> objects = {
        static_cast<ISpecifyPropertyPages*>(&specified),
        static_cast<IOrderedPropertyPages*>(&ordered), static_cast<IOrderedPropertyPages*>(&same),
        static_cast<ISpecifyPropertyPages*>(&both), static_cast<IUnknown*>(provider.get())};
    EXPECT_EQ(collected.objects, objects) << "the pointers kept at registration, provider last";

#ifndef VESKA_EARLIER_EDITION
    SAFEARRAY* raw = nullptr;
    ASSERT_EQ(provider->GetRegisteredPageGuids(&raw), S_OK);
    UniqueSafeArray guids = UniqueSafeArray::Adopt(raw);
    EXPECT_EQ(guids.get()->cLocks, 0u);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(guids.get(), 1, &lower);
    SafeArrayGetUBound(guids.get(), 1, &upper);
    ASSERT_EQ(lower, 0);
    ASSERT_EQ(upper + 1, static_cast<LONG>(collected.pages.size()));
    for (LONG i = 0; i <= upper; ++i) {
        UniqueBstr text;
        ASSERT_EQ(SafeArrayGetElement(guids.get(), &i, text.put()), S_OK);
        EXPECT_EQ(std::wstring(text.get(), SysStringLen(text.get())), GuidText(collected.pages[i]));
    }

    ASSERT_EQ(provider->GetRegisteredObjects(&raw), S_OK);
    UniqueSafeArray list = UniqueSafeArray::Adopt(raw);
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(list.get(), &vt);
    EXPECT_EQ(vt, VT_UNKNOWN);
    {
        SafeArrayDataAccess access;
        ASSERT_EQ(access.Access(list.get()), S_OK);
        EXPECT_EQ(std::vector<IUnknown*>(access.data<IUnknown*>(),
                                         access.data<IUnknown*>() + objects.size()),
                  objects);
    }
    EXPECT_EQ(specified.refs, 3) << "the caller's array holds one reference";
    list.reset();
    EXPECT_EQ(specified.refs, 2);
#endif
}

// Every row a misshapen array offers is skipped or the whole array ignored; each
// array carries a witness whose reference shows that it was destroyed.
TEST(Collection, SkipsMisshapenOrderedPagesAndDestroysEveryArray) {
    static CountedUnknown witness;
    static BSTR byRef = SysAllocString(GuidText(PageClsid(7)).c_str());
    using Rows = std::vector<std::vector<Cell>>;
    auto rows = [](Rows r) { return [r] { return OrderedArray(r); }; };
    // An array of another shape, the witness in its first element when it can hold one.
    auto shaped = [](VARTYPE vt, std::vector<SAFEARRAYBOUND> bounds) {
        return [=] {
            SAFEARRAY* a = SafeArrayCreate(vt, static_cast<UINT>(bounds.size()),
                                           const_cast<SAFEARRAYBOUND*>(bounds.data()));
            if (vt == VT_VARIANT) {
                VARIANT& first = *static_cast<VARIANT*>(a->pvData);
                first.vt = VT_UNKNOWN;
                (first.punkVal = &witness)->AddRef();
            } else {
                // Numbers that read as the type tags of a text and a priority.
                static_cast<LONG*>(a->pvData)[0] = VT_BSTR;
                static_cast<LONG*>(a->pvData)[1] = VT_I4;
            }
            return a;
        };
    };
    struct Case {
        const char* name;
        std::function<SAFEARRAY*()> array;
        HRESULT result;
        Pages expected;
    } cases[] = {
        {"short priority", rows({{Page(1), I2(3), Object(&witness)}, {Page(2), I4(1)}}), S_OK,
         PagesOf({2})},
        {"string by reference", rows({{TextByRef(&byRef), I4(1), Object(&witness)}}), S_OK, {}},
        {"not a CLSID", rows({{Text(L"{nonsense}"), I4(1), Object(&witness)}, {Page(4), I4(0)}}),
         S_OK, PagesOf({4})},
        {"missing cells", rows({{Cell{}, I4(1), Object(&witness)}, {Page(5)}}), S_OK, {}},
        {"failed, with an array", rows({{Page(6), I4(1), Object(&witness)}}), E_FAIL, {}},
        {"one dimension", shaped(VT_VARIANT, {{2, 0}}), S_OK, {}},
        {"numbers, not VARIANTs", shaped(VT_I4, {{2, 0}, {1, 0}}), S_OK, {}},
        {"three dimensions", shaped(VT_VARIANT, {{2, 0}, {1, 0}, {1, 0}}), S_OK, {}},
        {"still locked",
         [] {
             SAFEARRAY* a = OrderedArray({{Page(8), I4(1), Object(&witness)}});
             SafeArrayLock(a);
             return a;
         },
         S_OK, PagesOf({8})},
        {"null array", [] { return static_cast<SAFEARRAY*>(nullptr); }, S_OK, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PageOwner owner(PageOwner::kOrdered);
        auto provider = NewProvider();
        owner.ordered = c.array;
        owner.orderedResult = c.result;
        ASSERT_EQ(provider->RegisterObject(owner.Identity()), S_OK);
        Collection collected = Collect(provider.get());
        EXPECT_EQ(collected.hr, S_OK);
        EXPECT_EQ(collected.pages, c.expected);
        EXPECT_EQ(collected.objects.size(), c.expected.empty() ? 1u : 2u)
            << "an object without pages is left out of the objects";
        EXPECT_EQ(witness.refs, 1);
        provider.reset();
        EXPECT_EQ(owner.refs, 1);
    }
    SysFreeString(byRef);
}

TEST(Collection, ToleratesFailingAndMisshapenPageLists) {
    struct Case {
        const char* name;
        HRESULT result;
        bool countWithoutArray;
    } cases[] = {{"fails", E_FAIL, false}, {"count without array", S_OK, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PageOwner broken(PageOwner::kSpecified), good(PageOwner::kSpecified);
        auto provider = NewProvider();
        broken.specified = PagesOf({1, 2});
        broken.specifiedResult = c.result;
        broken.countWithoutArray = c.countWithoutArray;
        good.specified = PagesOf({3});
        ASSERT_EQ(provider->RegisterObject(broken.Identity()), S_OK);
        ASSERT_EQ(provider->RegisterObject(good.Identity()), S_OK);
        Collection collected = Collect(provider.get());
        EXPECT_EQ(collected.hr, S_OK);
        EXPECT_EQ(collected.pages, PagesOf({3}));
        EXPECT_EQ(collected.objects.size(), 2u);
        EXPECT_EQ(provider->UnRegisterObject(broken.Identity()), S_OK) << "it stays registered";
    }
}

// An entry that no longer answers a page interface fails every collecting
// member before anything is shown; the flags and the out pointers stay.
TEST(Collection, FailsWhenAnEntryStopsAnsweringAndKeepsTheFlags) {
    PageOwner good(PageOwner::kSpecified), gone(PageOwner::kOrdered);
    auto provider = NewProvider();
    good.specified = PagesOf({1});
    ASSERT_EQ(provider->RegisterObject(good.Identity()), S_OK);
    ASSERT_EQ(provider->RegisterObject(gone.Identity()), S_OK);
    gone.answers = 0;
    ComPtr<IPropertyPageInformation2> info;
    ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformation2, info.put_void()), S_OK);
    info->put_ReadOnly(VARIANT_TRUE);
    info->put_PropertySheetReadOnly(VARIANT_TRUE);

    FrameRecorder recorder;
    EXPECT_EQ(provider->DoPropertySheet(nullptr), E_FAIL);
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_EQ(provider->DoNewPropertySheet(nullptr, nullptr), E_FAIL)
        << "before looking for the dialog";
#ifndef VESKA_EARLIER_EDITION
    SAFEARRAY* junk = reinterpret_cast<SAFEARRAY*>(0x5A5A);
    EXPECT_EQ(provider->GetRegisteredObjects(&junk), E_FAIL);
    EXPECT_EQ(provider->GetRegisteredPageGuids(&junk), E_FAIL);
    EXPECT_EQ(junk, reinterpret_cast<SAFEARRAY*>(0x5A5A));
    EXPECT_EQ(provider->GetRegisteredObjects(nullptr), E_POINTER);
    EXPECT_EQ(provider->GetRegisteredPageGuids(nullptr), E_POINTER);
#endif
    VARIANT_BOOL readOnly = 0, sheetReadOnly = 0;
    info->get_ReadOnly(&readOnly);
    info->get_PropertySheetReadOnly(&sheetReadOnly);
    EXPECT_EQ(readOnly, VARIANT_TRUE);
    EXPECT_EQ(sheetReadOnly, VARIANT_TRUE);
    EXPECT_EQ(good.refs, 2);
    EXPECT_EQ(gone.refs, 2);
}

#ifndef VESKA_EARLIER_EDITION
TEST(Registration, GetRegisteredObjFindsTheFirstAnsweringObject) {
    PageOwner first(PageOwner::kOrdered), second(PageOwner::kSpecified | PageOwner::kPersist);
    auto provider = NewProvider();
    IUnknown* out = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(provider->GetRegisteredObj(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(provider->GetRegisteredObj(IID_IUnknown, &out), S_FALSE);
    EXPECT_EQ(out, nullptr);

    ASSERT_EQ(provider->RegisterObject(first.Identity()), S_OK);
    ASSERT_EQ(provider->RegisterObject(second.Identity()), S_OK);
    struct Case {
        IID iid;
        PageOwner* expected;
    } cases[] = {{IID_IUnknown, &first},
                 {IID_IPersist, &second},
                 {IID_ISpecifyPropertyPages, &second},
                 {IID_IDispatch, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(GuidText(c.iid).c_str());
        out = reinterpret_cast<IUnknown*>(0x1);
        EXPECT_EQ(provider->GetRegisteredObj(c.iid, &out), c.expected ? S_OK : S_FALSE);
        EXPECT_EQ(out, c.expected ? c.expected->Identity() : nullptr);
        if (out != nullptr) {
            EXPECT_EQ(c.expected->refs, 3) << "one reference for the caller";
            out->Release();
        }
        EXPECT_EQ(first.refs, 2);
        EXPECT_EQ(second.refs, 2);
    }
}
#endif

// The two read-only flags are cleared by every collecting member; the
// configuration flag is not. Gets write exactly 16 bits.
TEST(Properties, FlagsReadBackAndCollectingClearsTheReadOnlyFlags) {
    auto provider = NewProvider();
    ComPtr<IPropertyPageInformation2> info;
    ComPtr<IPropertyPageInformationSORConfig> config;
    ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformation2, info.put_void()), S_OK);
    ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformationSORConfig, config.put_void()),
              S_OK);
    using Put = std::function<HRESULT(VARIANT_BOOL)>;
    using Get = std::function<HRESULT(VARIANT_BOOL*)>;
    struct Flag {
        Put put;
        Get get;
        bool clearedByCollecting;
    } flags[] = {
        {[&](VARIANT_BOOL v) { return info->put_ReadOnly(v); },
         [&](VARIANT_BOOL* v) { return info->get_ReadOnly(v); }, true},
        {[&](VARIANT_BOOL v) { return info->put_PropertySheetReadOnly(v); },
         [&](VARIANT_BOOL* v) { return info->get_PropertySheetReadOnly(v); }, true},
        {[&](VARIANT_BOOL v) { return config->put_ConfigFlag(v); },
         [&](VARIANT_BOOL* v) { return config->get_ConfigFlag(v); }, false},
    };
    const std::function<void()> collectors[] = {
        [&] { Collect(provider.get()); },
#ifndef VESKA_EARLIER_EDITION
        [&] {
            SAFEARRAY* a = nullptr;
            EXPECT_EQ(provider->GetRegisteredPageGuids(&a), S_OK);
            EXPECT_EQ(a, nullptr);
        },
        [&] {
            SAFEARRAY* a = nullptr;
            EXPECT_EQ(provider->GetRegisteredObjects(&a), S_OK);
            SafeArrayDestroy(a);
        },
#endif
    };
    for (const Flag& flag : flags) {
        EXPECT_EQ(flag.get(nullptr), E_POINTER);
        for (VARIANT_BOOL written :
             {VARIANT_BOOL(1), VARIANT_BOOL(-1), VARIANT_BOOL(0x100), VARIANT_BOOL(0)}) {
            EXPECT_EQ(flag.put(written), S_OK);
            struct {
                VARIANT_BOOL value;
                WORD guard;
            } out = {0x1234, 0xBEEF};
            EXPECT_EQ(flag.get(&out.value), S_OK);
            EXPECT_EQ(out.value, written ? VARIANT_TRUE : VARIANT_FALSE);
            EXPECT_EQ(out.guard, 0xBEEF);
        }
        for (const auto& collect : collectors) {
            flag.put(VARIANT_TRUE);
            collect();
            VARIANT_BOOL value = 0x1234;
            flag.get(&value);
            EXPECT_EQ(value, flag.clearedByCollecting ? VARIANT_FALSE : VARIANT_TRUE);
        }
    }
}

#ifndef VESKA_EARLIER_EDITION
// An options object as the host hands it to the provider: answers IsLocked as
// told and records what it was asked; without the policy interface when told so.
class PolicyOptions final : public FakeObject<PolicyOptions, FakeLife::Counted, IVeskaOptionsPolicy> {
public:
    using Interfaces = InterfaceMap<Entry<IDispatch, IVeskaOptionsPolicy>, Entry<IVeskaOptionsPolicy>>;
    bool Answers(REFIID iid) const noexcept {
        return answersPolicy || !InlineIsEqualGUID(iid, IID_IVeskaOptionsPolicy);
    }
    STDMETHODIMP IsLocked(BSTR Root, BSTR Attr, VARIANT_BOOL* Locked) override {
        asked = std::wstring(Root) + L"|" + Attr;
        if (SUCCEEDED(answer)) *Locked = locked;
        return answer;
    }
    STDMETHODIMP get_PolicyRoot(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_LockedCount(long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    bool answersPolicy = true;
    HRESULT answer = S_OK;
    VARIANT_BOOL locked = VARIANT_FALSE;
    std::wstring asked;
};

// IsLocked reaches the options object the host handed over, and says false
// without one or when it knows no policy; the provider keeps one reference.
TEST(Locks, IsLockedAsksTheOptionsObjectHandedToTheProvider) {
    auto provider = NewProvider();
    PolicyOptions options;
    struct Case {
        bool handed;
        bool answersPolicy;
        HRESULT answer;
        VARIANT_BOOL locked;
        HRESULT expected;
        VARIANT_BOOL expectedLocked;
    } cases[] = {
        {false, true, S_OK, VARIANT_TRUE, S_OK, VARIANT_FALSE},
        {true, false, S_OK, VARIANT_TRUE, S_OK, VARIANT_FALSE},
        {true, true, S_OK, VARIANT_TRUE, S_OK, VARIANT_TRUE},
        {true, true, S_OK, VARIANT_BOOL(0x100), S_OK, VARIANT_TRUE},
        {true, true, S_OK, VARIANT_FALSE, S_OK, VARIANT_FALSE},
        {true, true, E_FAIL, VARIANT_TRUE, E_FAIL, VARIANT_FALSE},
    };
    BSTR key = SysAllocString(L"SampleEditor");
    BSTR name = SysAllocString(L"WindowTitle");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "handed " << c.handed << ", policy " << c.answersPolicy
                                        << ", answer " << std::hex << c.answer);
        options.answersPolicy = c.answersPolicy;
        options.answer = c.answer;
        options.locked = c.locked;
        options.asked.clear();
        ASSERT_EQ(provider->putref_Options(c.handed ? &options : nullptr), S_OK);
        EXPECT_EQ(options.refs, c.handed ? 2 : 1);
        VARIANT_BOOL locked = 0x1234;
        EXPECT_EQ(provider->IsLocked(key, name, &locked), c.expected);
        EXPECT_EQ(locked, c.expectedLocked);
        EXPECT_EQ(options.asked, c.handed && c.answersPolicy ? L"SampleEditor|WindowTitle" : L"");
        IDispatch* held = reinterpret_cast<IDispatch*>(0x1);
        EXPECT_EQ(provider->get_Options(&held), S_OK);
        EXPECT_EQ(held, c.handed ? static_cast<IDispatch*>(&options) : nullptr);
        if (held != nullptr) held->Release();
    }
    EXPECT_EQ(provider->IsLocked(key, name, nullptr), E_POINTER);
    EXPECT_EQ(provider->putref_Options(&options), S_OK);
    provider.reset();
    EXPECT_EQ(options.refs, 1) << "the provider gave its reference back";
    SysFreeString(key);
    SysFreeString(name);
}
#endif

TEST(Properties, ConfigTextsKeepTheTextUpToTheFirstNull) {
    auto provider = NewProvider();
    ComPtr<IPropertyPageInformationSORConfig> config;
    ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformationSORConfig, config.put_void()),
              S_OK);
    using Put = HRESULT (STDMETHODCALLTYPE IPropertyPageInformationSORConfig::*)(BSTR);
    using Get = HRESULT (STDMETHODCALLTYPE IPropertyPageInformationSORConfig::*)(BSTR*);
    const std::pair<Put, Get> texts[] = {{&IPropertyPageInformationSORConfig::put_ConfigText1,
                                          &IPropertyPageInformationSORConfig::get_ConfigText1},
                                         {&IPropertyPageInformationSORConfig::put_ConfigText2,
                                          &IPropertyPageInformationSORConfig::get_ConfigText2}};
    for (const auto& [put, get] : texts) {
        IPropertyPageInformationSORConfig* c = config.get();
        EXPECT_EQ((c->*get)(nullptr), E_POINTER);
        BSTR out = reinterpret_cast<BSTR>(0x1);
        EXPECT_EQ((c->*get)(&out), S_OK);
        EXPECT_EQ(out, nullptr) << "nothing stored yet";

        UniqueBstr embedded = CopyBstr(L"ab\0cd", 5);
        EXPECT_EQ((c->*put)(embedded.get()), S_OK);
        UniqueBstr read;
        EXPECT_EQ((c->*get)(read.put()), S_OK);
        EXPECT_EQ(std::wstring(read.get(), SysStringLen(read.get())), L"ab");
        EXPECT_NE(read.get(), embedded.get()) << "the caller gets a copy";
        EXPECT_EQ((c->*put)(read.get()), S_OK);

        EXPECT_EQ((c->*put)(nullptr), S_OK);
        EXPECT_EQ((c->*get)(read.put()), S_OK);
        EXPECT_EQ(read.get(), nullptr);
    }
}

// Scopes go to the sink in entry/exit pairs, whatever the argument; accessors
// and a successful GetRegisteredObj report nothing.
TEST(Tracing, MembersOpenTheirScopes) {
    static std::vector<std::pair<int, std::wstring>> events;
    PageOwner owner(PageOwner::kSpecified);
    auto provider = NewProvider();
    VARIANT_BOOL flag;
    struct Case {
        std::function<void()> call;
        const wchar_t* scope;
    } cases[] = {
        {[&] { provider->RegisterObject(nullptr); }, L"CPropertyProvider::RegisterObject"},
        {[&] { provider->RegisterObject(owner.Identity()); }, L"CPropertyProvider::RegisterObject"},
        {[&] { provider->UnRegisterObject(nullptr); }, L"CPropertyProvider::UnRegisterObject"},
        {[&] { Collect(provider.get()); }, L"CPropertyProvider::DoPropertySheet"},
        {[&] { provider->DoNewPropertySheet(nullptr, nullptr); },
         L"CPropertyProvider::DoNewPropertySheet"},
#ifndef VESKA_EARLIER_EDITION
        {[&] { provider->GetRegisteredObjects(nullptr); },
         L"CPropertyProvider::GetRegisteredObjects"},
        {[&] { provider->GetRegisteredPageGuids(nullptr); },
         L"CPropertyProvider::GetRegisteredPageGuids"},
        {[&] {
             IUnknown* out;
             provider->GetRegisteredObj(IID_IDispatch, &out);
         },
         L"can't find the specified registered obj"},
        {[&] {
             IUnknown* out;
             provider->GetRegisteredObj(IID_IUnknown, &out);
             out->Release();
         },
         nullptr},
#endif
        {[&] {
             ComPtr<IPropertyPageInformation> i;
             provider->QueryInterface(IID_IPropertyPageInformation, i.put_void());
             i->get_ReadOnly(&flag);
         },
         nullptr},
    };
    TimeTraceCallback = [](int event, const wchar_t* function, const wchar_t*, int,
                           const wchar_t*) { events.emplace_back(event, function); };
    for (const Case& c : cases) {
        events.clear();
        c.call();
        if (c.scope == nullptr) {
            EXPECT_TRUE(events.empty());
            continue;
        }
        const std::vector<std::pair<int, std::wstring>> expected = {{1, c.scope}, {2, c.scope}};
        EXPECT_EQ(events, expected);
    }
    TimeTraceCallback = nullptr;
}

TEST(Dispatch, LateBoundNamesHaveTheirDispids) {
    ComPtr<ITypeLib> library;
#ifdef VESKA_EARLIER_EDITION
    const wchar_t* tlb = VESKA_TEST_TLB(L"earlier");
#else
    const wchar_t* tlb = VESKA_TEST_TLB(L"current");
#endif
    ASSERT_EQ(LoadTypeLibEx(tlb, REGKIND_REGISTER, library.put()), S_OK);
    auto provider = NewProvider();
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(provider->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
    const std::pair<const wchar_t*, DISPID> names[] = {
        {L"RegisterObject", 1},     {L"DoPropertySheet", 2},      {L"UnRegisterObject", 3},
        {L"DoNewPropertySheet", 4},
#ifndef VESKA_EARLIER_EDITION
        {L"GetRegisteredObj", 5},   {L"GetRegisteredObjects", 6}, {L"GetRegisteredPageGuids", 7},
        {L"Options", 8},            {L"IsLocked", 9},
#endif
    };
    for (const auto& [name, id] : names) {
        DISPID found = -1;
        LPOLESTR text = const_cast<LPOLESTR>(name);
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &text, 1, 0, &found), S_OK) << name;
        EXPECT_EQ(found, id) << name;
    }
    PageOwner owner(PageOwner::kSpecified);
    VARIANT argument;
    argument.vt = VT_UNKNOWN;
    argument.punkVal = owner.Identity();
    DISPPARAMS params = {&argument, nullptr, 1, 0};
    EXPECT_EQ(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(owner.refs, 2) << "registered through Invoke";
    dispatch.reset();
    provider.reset();
    EXPECT_EQ(owner.refs, 1);
    UnRegisterTypeLib(LIBID_VESKAOPTIONSLib, 1, 0, 0, test::kOwnSysKind);
}

// Through Invoke the window handle is a number and the interface identifier a
// string: automation carries neither type.
TEST(Dispatch, WindowHandlesAndInterfaceIdsArePassedLateBound) {
    PageOwner owner(PageOwner::kSpecified);
    owner.specified = {PageClsid(1)};
    auto provider = NewProvider();
    ASSERT_EQ(provider->RegisterObject(owner.Identity()), S_OK);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(provider->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
    const auto invoke = [&](DISPID id, std::vector<VARIANT> args, VARIANT* result, UINT* argError) {
        DISPPARAMS params{args.data(), nullptr, UINT(args.size()), 0};
        return dispatch->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, argError);
    };
    const auto number = [](LONG n) {
        UniqueVariant v;
        V_VT(v.get()) = VT_I4, V_I4(v.get()) = n;
        return v;
    };
    const auto text = [](const std::wstring& t) {
        UniqueVariant v;
        V_VT(v.get()) = VT_BSTR, V_BSTR(v.get()) = CopyBstr(t.c_str()).detach();
        return v;
    };
    const HWND high = reinterpret_cast<HWND>(static_cast<LONG_PTR>(LONG(0x80001234)));
    const struct {
        UniqueVariant window;
        HWND expected;
    } windows[] = {{number(0x1234), reinterpret_cast<HWND>(0x1234)},
                   {number(LONG(0x80001234)), high},
                   {UniqueVariant(), nullptr}};
    for (const auto& row : windows) {
        FrameRecorder recorder;
        EXPECT_EQ(invoke(2, {*row.window.get()}, nullptr, nullptr), S_OK);
        ASSERT_EQ(recorder.calls.size(), 1u);
        EXPECT_EQ(recorder.calls[0].owner, row.expected);
    }
    VARIANT wide{};
    V_VT(&wide) = VT_I8, V_I8(&wide) = LONGLONG(0x7FFFFFFF80001234);
    FrameRecorder recorder;
    EXPECT_EQ(invoke(2, {wide}, nullptr, nullptr), S_OK);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].owner, high) << "the low 32 bits, sign-extended";
    UINT argError = 99;
    EXPECT_EQ(invoke(2, {*text(L"window").get()}, nullptr, &argError), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 0u);
    EXPECT_EQ(invoke(2, {}, nullptr, nullptr), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(recorder.calls.size(), 1u) << "refused calls show nothing";

#ifndef VESKA_EARLIER_EDITION
    // GetRegisteredObj("{iid}", out): the object to the by-reference argument and
    // to the result; Nothing and S_FALSE when no object answers.
    const struct {
        UniqueVariant iid;
        HRESULT hr;
        IUnknown* found;
    } lookups[] = {{text(GuidText(IID_ISpecifyPropertyPages)), S_OK, owner.Identity()},
                   {text(GuidText(IID_IPersistStream)), S_FALSE, nullptr}};
    for (const auto& row : lookups) {
        UniqueVariant out, result;
        VARIANT outRef{};
        V_VT(&outRef) = VT_BYREF | VT_VARIANT, V_VARIANTREF(&outRef) = out.get();
        EXPECT_EQ(invoke(5, {outRef, *row.iid.get()}, result.put(), nullptr), row.hr);
        for (const UniqueVariant* object : {&out, &result}) {
            const VARIANT& v = *object->get();
            EXPECT_EQ(V_VT(&v), row.found ? VT_UNKNOWN : VT_DISPATCH);
            EXPECT_EQ(V_UNKNOWN(&v), row.found);
        }
        EXPECT_EQ(owner.refs, row.found ? 4 : 2) << "one reference in each out VARIANT";
    }
    EXPECT_EQ(owner.refs, 2);
    argError = 99;
    EXPECT_EQ(invoke(5, {*text(L"not a guid").get()}, nullptr, &argError), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argError, 0u);
#endif
}

// Aggregated, the provider hands the pages its outer object.
TEST(Aggregation, CollectionEndsWithTheOuterObject) {
    CountedUnknown outer;
    ComPtr<IUnknown> inner;
    ASSERT_EQ(CreateComInstance<CPropertyProvider>(&outer, IID_IUnknown, inner.put_void()), S_OK);
    ComPtr<IPropertyProvider> provider;
    ASSERT_EQ(inner->QueryInterface(IID_IPropertyProvider, provider.put_void()), S_OK);
    Collection collected = Collect(provider.get());
    ASSERT_EQ(collected.objects.size(), 1u);
    EXPECT_EQ(collected.objects[0], &outer);
    provider.reset();
    EXPECT_EQ(outer.refs, 1);
}

TEST(Scale, ThousandsOfObjectsAndPages) {
    constexpr int kObjects = 2000, kPagesEach = 5;
    std::vector<std::unique_ptr<PageOwner>> owners;
    auto provider = NewProvider();
    for (int i = 0; i < kObjects; ++i) {
        owners.push_back(
            std::make_unique<PageOwner>(i % 2 ? PageOwner::kOrdered : PageOwner::kSpecified));
        owners.back()->specified = PagesOf({i, i, i, i, i});
        owners.back()->ordered = [i] {
            std::vector<std::vector<Cell>> rows;
            for (int p = 0; p < kPagesEach; ++p)
                rows.push_back({Page(i), I4((i * 7 + p * 13) % 41 - 20)});
            return OrderedArray(rows);
        };
        ASSERT_EQ(provider->RegisterObject(owners.back()->Identity()), S_OK);
    }
    const auto start = std::chrono::steady_clock::now();
    Collection collected = Collect(provider.get());
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("collected %zu pages of %d objects in %lld ms\n", collected.pages.size(), kObjects,
                static_cast<long long>(elapsed.count()));
    EXPECT_EQ(collected.pages.size(), static_cast<size_t>(kObjects * kPagesEach));
    EXPECT_EQ(collected.objects.size(), static_cast<size_t>(kObjects + 1));
    EXPECT_LT(elapsed.count(), 10000);
    for (int i = kObjects - 1; i >= 0; --i)
        ASSERT_EQ(provider->UnRegisterObject(owners[i]->Identity()), S_OK);
    for (const auto& owner : owners) ASSERT_EQ(owner->refs, 1);
}

}  // namespace
}  // namespace veska::test

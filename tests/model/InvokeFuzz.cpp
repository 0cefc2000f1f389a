// Seeded fuzzing of IDispatch::Invoke on both classes: every DISPID of their
// dispatch interfaces and a few unknown ones, with every invocation flag, zero to
// five arguments of random types (numbers, strings, arrays, missing arguments,
// objects, an invalid type), by-reference arguments nested up to two levels and
// null by-reference pointers, and named arguments. The hives are redirected to
// small scratch keys for the run, so Init of any path reads little and writes
// stay in the scratch key; the property frame and the managed options dialog are
// replaced by stand-ins that show nothing.
//
// A call fails the test when it crashes (the test program's crash handler), when
// it takes longer than a second (a watchdog prints the call and ends the
// program), or when an argument object is left with a reference the library
// holds: after every call the test drops its own argument VARIANTs, and each
// argument object must be back at its one reference; if it is not, the target
// object is released and made again, and a reference that survives that is a
// leak.
//
// Known platform fault, not counted against the library: when the type
// information's Invoke fails converting a later argument, Wine's oleaut32 keeps
// the reference it took on an earlier interface argument. The two are told apart
// by whether the library ran: every member opens a trace scope, and a leak after
// a failed call in which no scope opened comes from the platform's dispatch
// alone. Those are counted and printed, and the object is replaced.
//
// VESKA_FUZZ_SEED=<n> chooses the random sequence (default 1), VESKA_FUZZ_CALLS=<m> the number
// of calls (default 20,000); the run stops after 60 s whatever the count.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <random>
#include <string>

#include "ModelDriver.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "options/VeskaOpt.h"
#include "provider/PropertyProvider.h"
#include "tests/common/FakeObject.h"
#include "tests/common/TestRegistry.h"
#include "trace/TimeTrace.h"

namespace veska::test {
namespace {

// An argument object: IUnknown and an empty IDispatch, references counted.
class CountedObject final
    : public FakeObject<CountedObject, FakeLife::Counted, DispatchWithoutTypeInfo<IDispatch>> {
public:
    using Interfaces = InterfaceMap<Entry<IDispatch>>;
};

// Trace scopes opened so far: a member of the library ran when it grows.
volatile LONG scopesOpened = 0;
void __cdecl CountScopes(int event, const wchar_t*, const wchar_t*, int, const wchar_t*) {
    if (event == kTimeTraceEnter) ::InterlockedIncrement(&scopesOpened);
}

// The call under way, for the watchdog: its start and its description.
struct Watched {
    volatile LONG startedAt = 0;  // GetTickCount() at the start; 0: no call under way
    char what[160] = "";
};
Watched watched;

DWORD WINAPI Watchdog(void*) {
    for (;;) {
        ::Sleep(100);
        // Signed: a start stored a millisecond ahead (0 is kept for "none") is
        // no hang.
        const DWORD started = DWORD(watched.startedAt);
        if (started != 0 && LONG(::GetTickCount() - started) > 1000) {
            std::fprintf(stderr, "Invoke fuzz: call hangs: %s\n", watched.what);
            std::fflush(stderr);
            ::TerminateProcess(::GetCurrentProcess(), 4);
        }
    }
}

// The hives redirected to scratch keys while it lives.
class RedirectedHives {
public:
    explicit RedirectedHives(const ScratchKey& scratch) {
        for (int i = 0; i < 3; ++i) {
            const std::wstring path = scratch.PathOf(kNames[i]);
            CreateKey(HKEY_CURRENT_USER, path + L"\\A\\B");
            SetString(HKEY_CURRENT_USER, path + L"\\A", L"", L"unnamed");
            SetDword(HKEY_CURRENT_USER, path + L"\\A\\B", L"v", 1);
            ::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, keys_[i].put());
        }
        for (int i = 0; i < 3; ++i) ::RegOverridePredefKey(kHives[i], keys_[i].get());
    }
    ~RedirectedHives() {
        for (HKEY hive : kHives) ::RegOverridePredefKey(hive, nullptr);
    }

private:
    static constexpr const wchar_t* kNames[3] = {L"hklm", L"hkcu", L"hkcr"};
    const HKEY kHives[3] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT};
    UniqueHkey keys_[3];
};

HRESULT __stdcall NoFrame(HWND, UINT, UINT, LPCOLESTR, ULONG, IUnknown**, ULONG, LPCLSID, LCID,
                          DWORD, void*) {
    return S_OK;
}

// Answers the managed options dialog's ProgID while it lives, with a dialog that
// shows nothing; the ProgID's own entry comes back afterwards.
class SilentDialog final
    : public FakeObject<SilentDialog, FakeLife::Immortal, IKvtOptions, IClassFactory> {
public:
    SilentDialog() {
        wchar_t named[64] = L"";
        DWORD size = sizeof(named);
        if (::RegGetValueW(HKEY_CLASSES_ROOT, kKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, named,
                           &size) == ERROR_SUCCESS) {
            saved_ = named;
        }
        wchar_t clsid[39];
        ::StringFromGUID2(kClsid, clsid, 39);
        SetString(HKEY_CLASSES_ROOT, kKey, nullptr, clsid);
        EXPECT_EQ(::CoRegisterClassObject(kClsid, static_cast<IClassFactory*>(this),
                                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_),
                  S_OK);
    }
    ~SilentDialog() {
        ::CoRevokeClassObject(cookie_);
        if (saved_.empty()) {
            DeleteTree(HKEY_CLASSES_ROOT, kManagedOptionsDialogProgId);
        } else {
            SetString(HKEY_CLASSES_ROOT, kKey, nullptr, saved_);
        }
    }
    SilentDialog(const SilentDialog&) = delete;
    SilentDialog& operator=(const SilentDialog&) = delete;

    STDMETHODIMP ShowOptionsDialog(ULONG, SAFEARRAY*, ULONG, SAFEARRAY*, hyper, BSTR, VARIANT_BOOL,
                                   BSTR) override {
        return S_OK;
    }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID iid, void** ppv) override {
        return QueryInterface(iid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    // {5A1E0001-0D3E-4C7A-9B11-0000000007D1}
    static constexpr CLSID kClsid = {0x5A1E0001, 0x0D3E, 0x4C7A, {0x9B, 0x11, 0, 0, 0, 0, 0x07, 0xD1}};
    const std::wstring kKey = std::wstring(kManagedOptionsDialogProgId) + L"\\CLSID";
    std::wstring saved_;
    DWORD cookie_ = 0;
};

class Fuzzer {
public:
    // The type information of both classes says which members there are.
    Fuzzer(std::uint32_t seed, ITypeInfo* optionsInfo, ITypeInfo* providerInfo) : random_(seed) {
        for (auto& object : objects_) object = new CountedObject();
        MakeTargets();
        Describe(optionsInfo, members_[0]);
        Describe(providerInfo, members_[1]);
    }
    ~Fuzzer() {
        options_.reset();
        provider_.reset();
        for (CountedObject* object : objects_) delete object;
    }
    Fuzzer(const Fuzzer&) = delete;
    Fuzzer& operator=(const Fuzzer&) = delete;

    // One random call; false when it left a reference the library holds. Every
    // 200 calls both targets are made again, so that Init, which binds an object
    // once, is met by fresh objects too.
    bool Step(unsigned index) {
        if (index % 200 == 199) {
            options_.reset();
            provider_.reset();
            MakeTargets();
        }
        const bool provider = Pick(2) == 1;
        static const WORD kFlags[] = {DISPATCH_METHOD, DISPATCH_PROPERTYGET,
                                      DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                      DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF};
        // Three calls in four name a member as described, with its optional
        // arguments left out now and then; the rest are random in every part.
        const std::vector<Member>& members = members_[provider ? 1 : 0];
        Member member{DISPID(Pick(12)) - 2, kFlags[Pick(std::size(kFlags))], UINT(Pick(6)), 0, {}};
        if (Pick(4) != 0) {
            member = members[Pick(members.size())];
            member.params -= UINT(Pick(member.optional + 1));
        }
        const DISPID id = member.id;
        const WORD flags = member.flags;
        const UINT count = member.params;
        // rgvarg holds the arguments last first; two in three of a described
        // member's arguments are of the parameter's own type.
        std::vector<VARIANT> args(count);
        for (UINT i = 0; i < count; ++i) {
            VARIANT* arg = &args[count - 1 - i];
            if (i < member.types.size() && Pick(3) != 0) {
                FillTyped(arg, member.types[i]);
            } else {
                Fill(arg, 0);
            }
        }
        DISPID named[2] = {DISPID_PROPERTYPUT, DISPID(Pick(4))};
        UINT namedCount = 0;
        if (count != 0 && (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
            namedCount = Pick(8) == 0 ? 0 : 1;
        } else if (count != 0 && Pick(10) == 0) {
            namedCount = UINT(1 + Pick(count < 2 ? 1 : 2));
            named[0] = DISPID(Pick(4));
        }
        DISPPARAMS params{args.data(), namedCount != 0 ? named : nullptr, count, namedCount};
        VARIANT result;
        ::VariantInit(&result);
        EXCEPINFO exception{};
        UINT argError = 0;

        std::snprintf(watched.what, sizeof(watched.what),
                      "call %u: %s DISPID %ld, flags %u, %u arguments (%u named)", index,
                      provider ? "provider" : "options", long(id), flags, count, namedCount);
        const LONG scopesBefore = scopesOpened;
        const DWORD now = ::GetTickCount();
        watched.startedAt = LONG(now != 0 ? now : 1);
        const HRESULT hr = (provider ? provider_ : options_)
                               ->Invoke(id, IID_NULL, 0, flags, &params, Pick(4) ? &result : nullptr,
                                        Pick(2) ? &exception : nullptr, &argError);
        watched.startedAt = 0;
        const bool libraryRan = scopesOpened != scopesBefore;
        if (libraryRan) ++reachedMembers;

        ::VariantClear(&result);
        ::SysFreeString(exception.bstrSource);
        ::SysFreeString(exception.bstrDescription);
        ::SysFreeString(exception.bstrHelpFile);
        for (VARIANT& arg : args) ::VariantClear(&arg);
        FreeSlots();
        return CheckReferences(hr, libraryRan);
    }

    unsigned platformLeaks = 0;
    unsigned reachedMembers = 0;

private:
    struct Member {
        DISPID id;
        WORD flags;
        UINT params;
        UINT optional;  // how many of the last parameters may be left out
        std::vector<TYPEDESC> types;  // of the parameters, first first
    };

    unsigned Pick(std::size_t n) { return unsigned(random_() % n); }

    static void Describe(ITypeInfo* info, std::vector<Member>& members) {
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FUNCDESC* function = nullptr;
            if (FAILED(info->GetFuncDesc(i, &function))) continue;
            if ((function->wFuncFlags & FUNCFLAG_FRESTRICTED) == 0) {
                UINT optional = 0;
                while (optional < UINT(function->cParams) &&
                       (function->lprgelemdescParam[function->cParams - 1 - optional]
                            .paramdesc.wParamFlags & PARAMFLAG_FOPT) != 0) {
                    ++optional;
                }
                std::vector<TYPEDESC> types;
                for (SHORT p = 0; p < function->cParams; ++p) {
                    types.push_back(function->lprgelemdescParam[p].tdesc);
                }
                members.push_back({function->memid, WORD(function->invkind),
                                   UINT(function->cParams), optional, std::move(types)});
            }
            info->ReleaseFuncDesc(function);
        }
        info->ReleaseTypeAttr(attr);
        ASSERT_FALSE(members.empty());
    }

    void MakeTargets() {
        ComPtr<IVeskaOptions3> options;
        ComPtr<NewestPropertyProvider> provider;
        CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, options.put_void());
        CreateComInstance<CPropertyProvider>(nullptr, __uuidof(NewestPropertyProvider),
                                             provider.put_void());
        options_ = options.try_query<IDispatch>();
        provider_ = provider.try_query<IDispatch>();
    }

    // Every argument object back at its own reference. A surplus can be a value
    // the target keeps (an object written into the cache): it goes with the
    // target, which is made again.
    bool CheckReferences(HRESULT hr, bool libraryRan) {
        bool settled = true;
        for (CountedObject* object : objects_) settled = settled && object->refs == 1;
        if (settled) return true;
        options_.reset();
        provider_.reset();
        MakeTargets();
        bool clean = true;
        for (CountedObject*& object : objects_) {
            if (object->refs == 1) continue;
            if (FAILED(hr) && !libraryRan) {
                ++platformLeaks;  // the platform's dispatch holds it: a fresh object
                object = new CountedObject();
                continue;
            }
            clean = false;
            object->refs = 1;
        }
        return clean;
    }

    IUnknown* Object(bool dispatch) {
        CountedObject* object = objects_[Pick(std::size(objects_))];
        if (Pick(6) == 0) return nullptr;
        object->AddRef();
        return dispatch ? static_cast<IDispatch*>(object) : static_cast<IUnknown*>(object);
    }

    BSTR Text() {
        static const std::wstring kTexts[] = {L"",          L"A",          L"a\\b",
                                              L"(Default)", L"A\\B\\",     L"\\lead",
                                              L"Sub",       std::wstring(300, L'x')};
        if (Pick(9) == 0) return nullptr;
        const std::wstring& text = kTexts[Pick(std::size(kTexts))];
        return ::SysAllocStringLen(text.data(), UINT(text.size()));
    }

    SAFEARRAY* Array(VARTYPE vt) {
        SAFEARRAYBOUND bounds[2] = {{2, 0}, {1 + Pick(3), 0}};
        SAFEARRAY* array = ::SafeArrayCreate(vt, 1 + Pick(2), bounds);
        if (array == nullptr) return nullptr;
        void* data = nullptr;
        ::SafeArrayAccessData(array, &data);
        const ULONG elements = bounds[0].cElements * (array->cDims == 2 ? bounds[1].cElements : 1);
        for (ULONG i = 0; i < elements; ++i) {
            if (vt == VT_BSTR) {
                static_cast<BSTR*>(data)[i] = Text();
            } else {
                VARIANT& element = static_cast<VARIANT*>(data)[i];
                if (Pick(2)) {
                    V_VT(&element) = VT_BSTR, V_BSTR(&element) = Text();
                } else {
                    V_VT(&element) = VT_I4, V_I4(&element) = LONG(Pick(5));
                }
            }
        }
        ::SafeArrayUnaccessData(array);
        return array;
    }

    // A random value in v; by-reference ones point into slots freed after the call.
    void Fill(VARIANT* v, int depth) {
        ::VariantInit(v);
        switch (Pick(depth < 2 ? 15 : 12)) {
            case 0: break;
            case 1: V_VT(v) = VT_NULL; break;
            case 2: V_VT(v) = VT_I4, V_I4(v) = LONG(Pick(5)) - 1; break;
            case 3: V_VT(v) = VT_I4, V_I4(v) = Pick(2) ? LONG(0x80001234) : 1 << 20; break;
            case 4: V_VT(v) = VT_R8, V_R8(v) = Pick(2) ? 5.0 : 1e300; break;
            case 5: V_VT(v) = VT_BOOL, V_BOOL(v) = Pick(2) ? VARIANT_TRUE : VARIANT_FALSE; break;
            case 6: case 7: V_VT(v) = VT_BSTR, V_BSTR(v) = Text(); break;
            case 8: V_VT(v) = VT_ERROR, V_ERROR(v) = DISP_E_PARAMNOTFOUND; break;
            case 9: V_VT(v) = VT_UNKNOWN, V_UNKNOWN(v) = Object(false); break;
            case 10: V_VT(v) = VT_DISPATCH, V_DISPATCH(v) = static_cast<IDispatch*>(Object(true)); break;
            case 11:
                if (Pick(2)) {
                    V_VT(v) = VT_ARRAY | VT_VARIANT, V_ARRAY(v) = Array(VT_VARIANT);
                } else {
                    V_VT(v) = VT_ARRAY | VT_BSTR, V_ARRAY(v) = Array(VT_BSTR);
                }
                if (V_ARRAY(v) == nullptr) V_VT(v) = VT_EMPTY;
                break;
            default: FillByReference(v, depth); break;
        }
    }

    // A value of the parameter type a type description names.
    void FillTyped(VARIANT* v, const TYPEDESC& type) {
        ::VariantInit(v);
        switch (type.vt) {
            case VT_I4: case VT_INT: case VT_UI4: case VT_I8:
                V_VT(v) = VT_I4, V_I4(v) = LONG(Pick(3));
                break;
            case VT_BOOL: V_VT(v) = VT_BOOL, V_BOOL(v) = Pick(2) ? VARIANT_TRUE : VARIANT_FALSE; break;
            case VT_BSTR: V_VT(v) = VT_BSTR, V_BSTR(v) = Text(); break;
            case VT_UNKNOWN: V_VT(v) = VT_UNKNOWN, V_UNKNOWN(v) = Object(false); break;
            case VT_SAFEARRAY:
                V_VT(v) = VARTYPE(VT_ARRAY | type.lptdesc->vt);
                V_ARRAY(v) = Array(type.lptdesc->vt == VT_BSTR ? VT_BSTR : VT_VARIANT);
                if (V_ARRAY(v) == nullptr || (type.lptdesc->vt != VT_BSTR &&
                                              type.lptdesc->vt != VT_VARIANT)) {
                    ::VariantClear(v);
                }
                break;
            case VT_PTR:
                if (type.lptdesc->vt == VT_SAFEARRAY) {  // an array handed back
                    V_VT(v) = VARTYPE(VT_BYREF | VT_ARRAY | type.lptdesc->lptdesc->vt);
                    V_ARRAYREF(v) = &arrays_.emplace_back(nullptr);
                } else {
                    Fill(v, 1);
                }
                break;
            case VT_USERDEFINED:  // a GUID or a window handle
                if (Pick(2)) {
                    V_VT(v) = VT_BSTR;
                    V_BSTR(v) = ::SysAllocString(L"{B196B28B-BAB4-101A-B69C-00AA00341D07}");
                } else {
                    V_VT(v) = VT_I4, V_I4(v) = LONG(Pick(2));
                }
                break;
            default: Fill(v, 0); break;
        }
    }

    void FillByReference(VARIANT* v, int depth) {
        switch (Pick(7)) {
            case 0: V_VT(v) = VT_BYREF | VT_VARIANT, V_VARIANTREF(v) = &variants_.emplace_back();
                    Fill(V_VARIANTREF(v), depth + 1); break;
            case 1: V_VT(v) = VT_BYREF | VT_I4, V_I4REF(v) = &longs_.emplace_back(LONG(Pick(3))); break;
            case 2: V_VT(v) = VT_BYREF | VT_BSTR, V_BSTRREF(v) = &bstrs_.emplace_back(Text()); break;
            case 3: V_VT(v) = VT_BYREF | VT_ARRAY | VT_BSTR;
                    V_ARRAYREF(v) = &arrays_.emplace_back(Pick(2) ? Array(VT_BSTR) : nullptr); break;
            case 4: V_VT(v) = VT_BYREF | VT_UNKNOWN, V_UNKNOWNREF(v) = &objectSlots_.emplace_back(Object(false)); break;
            case 5: V_VT(v) = VT_BYREF | VT_BOOL, V_BOOLREF(v) = &bools_.emplace_back(VARIANT_TRUE); break;
            default:  // a by-reference argument whose pointer is null
                static const VARTYPE kTypes[] = {VT_VARIANT, VT_BSTR, VT_I4, VT_UNKNOWN, VT_ARRAY | VT_BSTR};
                V_VT(v) = VARTYPE(VT_BYREF | kTypes[Pick(std::size(kTypes))]);
                V_BYREF(v) = nullptr;
                break;
        }
    }

    void FreeSlots() {
        for (VARIANT& v : variants_) ::VariantClear(&v);
        for (BSTR text : bstrs_) ::SysFreeString(text);
        for (SAFEARRAY* array : arrays_) ::SafeArrayDestroy(array);
        for (IUnknown* object : objectSlots_) {
            if (object != nullptr) object->Release();
        }
        variants_.clear(), bstrs_.clear(), arrays_.clear(), objectSlots_.clear();
        longs_.clear(), bools_.clear();
    }

    std::mt19937 random_;
    std::vector<Member> members_[2];
    CountedObject* objects_[3];
    ComPtr<IDispatch> options_;
    ComPtr<IDispatch> provider_;
    std::deque<VARIANT> variants_;
    std::deque<BSTR> bstrs_;
    std::deque<SAFEARRAY*> arrays_;
    std::deque<IUnknown*> objectSlots_;
    std::deque<LONG> longs_;
    std::deque<VARIANT_BOOL> bools_;
};

TEST(InvokeFuzz, NoCrashHangOrHeldArgumentReference) {
    const TypeLibRegistration typeLibrary;
    ScratchKey scratch;
    const std::uint32_t seed = FromEnvironment("VESKA_FUZZ_SEED", 1);
    const unsigned calls = FromEnvironment("VESKA_FUZZ_CALLS", 20000);
    const UniqueHandle watchdog =
        UniqueHandle::Adopt(::CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
    const SilentDialog dialog;
    const auto frame = ShowPropertyFrame;
    ShowPropertyFrame = &NoFrame;
    TimeTraceCallback = &CountScopes;
    unsigned made = 0;
    const ULONGLONG start = ::GetTickCount64();
    {
        // The type information is loaded, and cached, while the registry is real.
        ComPtr<ITypeInfo> optionsInfo, providerInfo;
        ASSERT_EQ(GetCachedTypeInfo(IID_IVeskaOptions3, optionsInfo.put()), S_OK);
        ASSERT_EQ(GetCachedTypeInfo(__uuidof(NewestPropertyProvider), providerInfo.put()), S_OK);
        Fuzzer fuzzer(seed, optionsInfo.get(), providerInfo.get());
        const RedirectedHives hives(scratch);
        for (; made < calls && ::GetTickCount64() - start < 60000; ++made) {
            if (!fuzzer.Step(made)) {
                ADD_FAILURE() << "an argument object keeps a reference after " << watched.what
                              << " (replay: VESKA_FUZZ_SEED=" << seed
                              << " VESKA_FUZZ_CALLS=" << made + 1 << ")";
                break;
            }
        }
        std::printf("Invoke fuzz: %u calls (%u reached a member), seed %u, %.1f s; %u references "
                    "kept by the platform's dispatch\n",
                    made, fuzzer.reachedMembers, seed, (::GetTickCount64() - start) / 1000.0,
                    fuzzer.platformLeaks);
    }
    TimeTraceCallback = nullptr;
    ShowPropertyFrame = frame;
    ::TerminateThread(watchdog.get(), 0);
}

}  // namespace
}  // namespace veska::test

#include "ModelDriver.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>

#include "TestPaths.h"
#include "com/ComObject.h"
#include "com/Dispatch.h"
#include "tests/common/FakeObject.h"
#include "options/VeskaOpt.h"
#include "tests/options/OptionsTestSupport.h"

namespace veska::test {

unsigned FromEnvironment(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? unsigned(std::strtoul(text, nullptr, 10)) : fallback;
}

TypeLibRegistration::TypeLibRegistration() {
    EXPECT_EQ(::LoadTypeLibEx(VESKA_TEST_TLB(L"current"), REGKIND_NONE, library_.put()), S_OK);
    EXPECT_EQ(::RegisterTypeLib(library_.get(), const_cast<LPOLESTR>(VESKA_TEST_TLB(L"current")),
                                nullptr),
              S_OK);
}

TypeLibRegistration::~TypeLibRegistration() {
    ::UnRegisterTypeLib(LIBID_VESKAOPTIONSLib, 1, 0, 0, kOwnSysKind);
}

// An object whose default property is the number 7; it counts its references.
class ValueObject final
    : public FakeObject<ValueObject, FakeLife::Counted, DispatchWithoutTypeInfo<IDispatch>> {
public:
    using Interfaces = InterfaceMap<Entry<IDispatch>>;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override {
        if (id != DISPID_VALUE || result == nullptr) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_I4;
        result->lVal = 7;
        return S_OK;
    }
};

// One VARIANT argument of a write, what it points to, and what the write makes
// of it. v is never cleared: the owners below hold what it refers to.
struct ValueArg {
    VARIANT v{};
    bool null = false;  // passed as a null VARIANT pointer
    Conversion expected;

    LONG number = 0;
    VARIANT_BOOL boolean = 0;
    DECIMAL decimal{};
    double real = 0;
    UniqueBstr text;
    BSTR textRef = nullptr;  // by-reference string target; owned by text
    VARIANT inner{};         // by-reference VARIANT target; its string owned by text
    UniqueSafeArray array;
    ValueObject object;
    IDispatch* objectRef = nullptr;  // by-reference object target

    VARIANT* get() { return null ? nullptr : &v; }
    BSTR Text(const std::wstring& t) {
        text = CopyBstr(t.data(), UINT(t.size()));
        return text.get();
    }
    void Stores(LONG n) { expected.stored = ModelValue{VT_I4, n, std::nullopt}; }
    void StoresText(const std::wstring& t) { expected.stored = ModelValue{VT_BSTR, 0, t}; }
    void Refused() { expected.converts = false; }
    std::wstring Describe() const;
    // What the call changed in the caller's VARIANT or the object it holds.
    std::wstring Unchanged(const VARIANT& before) const;
};

namespace {

constexpr std::size_t kRecentCalls = 12;

UniqueBstr ToBstr(const Arg& arg) {
    return arg ? CopyBstr(arg->data(), UINT(arg->size())) : UniqueBstr();
}

// Printable form of a text for messages: escapes, and long texts shortened.
std::wstring Escape(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text.substr(0, 160)) {
        wchar_t hex[8];
        std::swprintf(hex, 8, L"\\x%04x", unsigned(c));
        out += (c >= 0x20 && c < 0x7F) ? std::wstring(1, c) : hex;
    }
    if (text.size() > 160) out += L"...(" + std::to_wstring(text.size()) + L" characters)";
    return out;
}

std::wstring Quote(const Arg& arg) { return arg ? L"\"" + Escape(*arg) + L"\"" : L"null"; }

std::wstring Hex(unsigned long value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lx", value);
    return text;
}

void Expect(std::wstring& diff, const std::wstring& what, const std::wstring& model,
            const std::wstring& real) {
    if (model != real) {
        diff += what + L": model " + Escape(model) + L", object " + Escape(real) + L"\n";
    }
}

void ExpectHr(std::wstring& diff, const std::wstring& what, HRESULT model, HRESULT real) {
    Expect(diff, what + L" result", Hex(ULONG(model)), Hex(ULONG(real)));
}

// The reading members on the object against the model, each out-parameter
// preset to junk (or null when hasOut is false) and rendered like the model's.
std::wstring CompareGetKeys(IVeskaOptions3* object, const OptionsModel& model, const Arg& path,
                            bool hasOut = true) {
    SAFEARRAY* const junk = reinterpret_cast<SAFEARRAY*>(std::uintptr_t(0x5AFE0));
    SAFEARRAY* array = junk;
    std::wstring diff, expected;
    const std::wstring what = L"GetKeys " + Quote(path);
    ExpectHr(diff, what, model.GetKeys(path, hasOut, &expected),
             object->GetKeys(ToBstr(path).get(), hasOut ? &array : nullptr));
    const UniqueSafeArray owner = UniqueSafeArray::Adopt(array == junk ? nullptr : array);
    Expect(diff, what, expected, array == junk ? kUntouched : RenderKeys(array));
    return diff;
}

std::wstring CompareGetValues(IVeskaOptions3* object, const OptionsModel& model, const Arg& path,
                              bool hasOut = true) {
    SAFEARRAY* const junk = reinterpret_cast<SAFEARRAY*>(std::uintptr_t(0x5AFE0));
    SAFEARRAY* array = junk;
    std::wstring diff, expected;
    const std::wstring what = L"GetValues " + Quote(path);
    ExpectHr(diff, what, model.GetValues(path, hasOut, &expected),
             object->GetValues(ToBstr(path).get(), hasOut ? &array : nullptr));
    const UniqueSafeArray owner = UniqueSafeArray::Adopt(array == junk ? nullptr : array);
    Expect(diff, what, expected, array == junk ? kUntouched : RenderValues(array));
    return diff;
}

std::wstring CompareGetValueByName(IVeskaOptions3* object, const OptionsModel& model,
                                   const Arg& path, const Arg& attr, bool hasOut = true) {
    UniqueVariant value;
    value.get()->vt = VT_ERROR;  // never handed out by the object
    value.get()->scode = 0x5A5A5A5A;
    std::wstring diff, expected;
    const std::wstring what = L"GetValueByName " + Quote(path) + L" " + Quote(attr);
    ExpectHr(diff, what, model.GetValueByName(path, attr, hasOut, &expected),
             object->GetValueByName(ToBstr(path).get(), ToBstr(attr).get(),
                                    hasOut ? value.get() : nullptr));
    const bool untouched = value.vt() == VT_ERROR && value.get()->scode == 0x5A5A5A5A;
    Expect(diff, what, expected, untouched ? kUntouched : RenderVariant(*value.get()));
    return diff;
}

std::wstring CompareDirtyAndRoot(IVeskaOptions3* object, const OptionsModel& model,
                                 bool hasOut = true) {
    std::wstring diff;
    VARIANT_BOOL real = 0x1234, expected = 0x1234;
    ExpectHr(diff, L"get_Dirty", model.GetDirty(hasOut, &expected),
             object->get_Dirty(hasOut ? &real : nullptr));
    Expect(diff, L"Dirty", std::to_wstring(expected), std::to_wstring(real));
    Arg prefix;
    BSTR const junk = reinterpret_cast<BSTR>(std::uintptr_t(0x5AFE2));
    BSTR root = junk;
    ExpectHr(diff, L"get_Root", model.GetRoot(hasOut, &prefix),
             object->get_Root(hasOut ? &root : nullptr));
    if (root == junk) {
        Expect(diff, L"Root", hasOut ? Quote(prefix) : kUntouched, kUntouched);
    } else {
        const UniqueBstr owner = UniqueBstr::Adopt(root);
        Expect(diff, L"Root", Quote(prefix),
               Quote(root ? Arg(std::wstring(root, ::SysStringLen(root))) : std::nullopt));
    }
    return diff;
}

// The keys and values of every node of the model against the object's; neither
// has a Root prefix. Stops at the first node that differs.
// The locks of node's values, where the object answers IVeskaOptionsPolicy.
std::wstring CompareLocks(IVeskaOptions3* object, const ModelNode& node, const std::wstring& path) {
    const auto policy = ComPtr<IVeskaOptions3>::CopyOf(object).try_query<IVeskaOptionsPolicy>();
    std::wstring diff;
    for (const auto& [name, value] : node.values) {
        VARIANT_BOOL locked = 7;
        if (!policy) break;
        const HRESULT hr = policy->IsLocked(ToBstr(path).get(), ToBstr(name).get(), &locked);
        if (hr != S_OK || (locked != 0) != value.locked) {
            diff += L"IsLocked(\"" + path + L"\", \"" + name + L"\"): model " +
                    std::to_wstring(value.locked) + L", object " + std::to_wstring(locked) + L"\n";
        }
    }
    return diff;
}

std::wstring CompareTree(IVeskaOptions3* object, const OptionsModel& model) {
    std::wstring diff;
    std::function<void(const ModelNode&, const std::wstring&)> walk =
        [&](const ModelNode& node, const std::wstring& path) {
            diff += CompareGetKeys(object, model, path) + CompareGetValues(object, model, path);
            if (diff.empty()) diff += CompareLocks(object, node, path);
            for (const auto& [name, child] : node.keys) {
                if (!diff.empty()) return;
                // The root's key with the empty name has no path of its own.
                if (path.empty() && name.empty()) continue;
                walk(*child, path.empty() ? name : path + L"\\" + name);
            }
        };
    if (model.Root() != nullptr) walk(*model.Root(), L"");
    return diff;
}

// A late-bound call by name with the arguments in order; a failure the member
// returned comes back as its own HRESULT.
HRESULT Invoke(IVeskaOptions3* object, const wchar_t* name, std::vector<VARIANT> args) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    RETURN_IF_FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, UINT(reversed.size()), 0};
    EXCEPINFO exception{};
    UniqueVariant result;
    HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                result.put(), &exception, nullptr);
    if (hr == DISP_E_EXCEPTION) hr = exception.scode;
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
    return hr;
}

VARIANT BstrArg(const UniqueBstr& text) {
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = text.get();
    return v;
}

VARIANT LongArg(LONG number) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = number;
    return v;
}

// ---------------------------------------------------------------------------
// The VARIANTs writes are given: one row per kind, each making the VARIANT from
// random material and saying what the write stores or that it refuses it.

struct Draw {
    LONG number;
    std::wstring text;
    unsigned choice;
};

struct ValueKind {
    int weight;
    void (*make)(ValueArg& a, const Draw& d);
};

template <class T, std::size_t N>
const T& Choose(const T (&table)[N], unsigned choice) {
    return table[choice % N];
}

// Conversions whose text the platform's formatting decides (English locale).
struct Formatted {
    VARTYPE vt;
    double number;
    const wchar_t* text;
};
const Formatted kFormatted[] = {
    {VT_R8, 5.0, L"5"},         {VT_R8, 2.5, L"2.5"},     {VT_R8, 1e20, L"1E+20"},
    {VT_R8, -0.125, L"-0.125"}, {VT_R4, -0.25, L"-0.25"}, {VT_R4, 3.0, L"3"},
    {VT_CY, 1.2345, L"1.2345"}, {VT_CY, 5.0, L"5"},       {VT_DATE, 0.0, L"12:00:00 AM"},
    {VT_DATE, 36526.5, L"1/1/2000 12:00:00 PM"}};

// Decimals: rounded half to even into the 32-bit range, refused outside it.
struct Decimal {
    double number;
    bool fits;
    LONG rounded;
};
const Decimal kDecimals[] = {
    {5, true, 5},     {-7, true, -7},        {2.5, true, 2},          {3.5, true, 4},
    {-2.5, true, -2}, {2147483647.0, true, LONG_MAX}, {-2147483648.0, true, LONG_MIN},
    {2147483648.0, false, 0}, {-2147483649.0, false, 0}, {1099511627776.0, false, 0}};

const ValueKind kValueKinds[] = {
    {4, [](ValueArg& a, const Draw& d) {
         a.v.vt = VT_I4;
         a.v.lVal = d.choice % 3 == 0 ? 5 : d.number;  // 5 meets the text "5" often
         a.Stores(a.v.lVal);
     }},
    {1, [](ValueArg& a, const Draw& d) {
         a.v.vt = VT_I2;
         a.v.iVal = SHORT(d.number);
         a.Stores(a.v.iVal);
     }},
    {1, [](ValueArg& a, const Draw& d) {
         static const VARIANT_BOOL kBools[] = {VARIANT_TRUE, VARIANT_FALSE, 1, 5};
         a.v.vt = VT_BOOL;
         a.v.boolVal = Choose(kBools, d.choice);
         a.Stores(a.v.boolVal);
     }},
    {2, [](ValueArg& a, const Draw& d) {
         const Decimal& decimal = Choose(kDecimals, d.choice);
         ::VarDecFromR8(decimal.number, &a.v.decVal);
         a.v.vt = VT_DECIMAL;
         decimal.fits ? a.Stores(decimal.rounded) : a.Refused();
     }},
    {5, [](ValueArg& a, const Draw& d) {
         a.v.vt = VT_BSTR;
         a.v.bstrVal = d.choice % 10 == 0 ? nullptr : a.Text(d.text);
         // The platform's copy of a null string is an empty string.
         a.StoresText(a.v.bstrVal ? d.text : std::wstring());
     }},
    {1, [](ValueArg& a, const Draw&) { a.StoresText(std::wstring()); }},  // VT_EMPTY
    {1, [](ValueArg& a, const Draw& d) {
         static const VARTYPE kRefused[] = {VT_NULL, VT_ERROR, VT_UNKNOWN, VT_DISPATCH, VT_RECORD};
         a.v.vt = Choose(kRefused, d.choice);
         a.Refused();
     }},
    {1, [](ValueArg& a, const Draw& d) {
         // An object given as IDispatch becomes the text of its default property.
         a.objectRef = &a.object;
         switch (d.choice % 3) {
             case 0: a.v.vt = VT_DISPATCH; a.v.pdispVal = &a.object; a.StoresText(L"7"); break;
             case 1: a.v.vt = VT_UNKNOWN; a.v.punkVal = &a.object; a.Refused(); break;
             default:
                 a.v.vt = VT_BYREF | VT_DISPATCH;
                 a.v.ppdispVal = &a.objectRef;
                 a.StoresText(L"7");
         }
     }},
    {1, [](ValueArg& a, const Draw&) {
         a.array = UniqueSafeArray::Adopt(::SafeArrayCreateVector(VT_I4, 0, 2));
         a.v.vt = VT_ARRAY | VT_I4;
         a.v.parray = a.array.get();
         a.Refused();
     }},
    {1, [](ValueArg& a, const Draw& d) {
         // Other integer tags: stored as their decimal text.
         auto text = [&](VARTYPE vt, auto n) {
             a.v.vt = vt;
             std::memcpy(&a.v.llVal, &n, sizeof(n));
             a.StoresText(std::to_wstring(n));
         };
         switch (d.choice % 8) {
             case 0: text(VT_UI1, BYTE(d.number)); break;
             case 1: text(VT_I1, static_cast<signed char>(d.number)); break;
             case 2: text(VT_UI2, USHORT(d.number)); break;
             case 3: text(VT_UI4, ULONG(d.number)); break;
             case 4: text(VT_I8, LONGLONG(d.number) * 3000000000LL); break;
             case 5: text(VT_UI8, ULONGLONG(ULONG(d.number)) * 5000000000ULL); break;
             case 6: text(VT_INT, INT(d.number)); break;
             default: text(VT_UINT, UINT(d.number)); break;
         }
     }},
    {2, [](ValueArg& a, const Draw& d) {
         const Formatted& f = Choose(kFormatted, d.choice);
         a.v.vt = f.vt;
         if (f.vt == VT_R4) a.v.fltVal = float(f.number);
         if (f.vt == VT_R8) a.v.dblVal = f.number;
         if (f.vt == VT_DATE) a.v.date = f.number;
         if (f.vt == VT_CY) a.v.cyVal.int64 = std::llround(f.number * 10000);
         a.StoresText(f.text);
     }},
    {2, [](ValueArg& a, const Draw& d) {
         a.number = d.number;
         a.v.vt = VT_BYREF | VT_I4;
         a.v.plVal = d.choice % 5 == 0 ? nullptr : &a.number;
         a.v.plVal != nullptr ? a.StoresText(std::to_wstring(d.number)) : a.Refused();
     }},
    {2, [](ValueArg& a, const Draw& d) {
         a.textRef = d.choice % 5 == 0 ? nullptr : a.Text(d.text);
         a.v.vt = VT_BYREF | VT_BSTR;
         a.v.pbstrVal = &a.textRef;
         a.StoresText(a.textRef ? d.text : std::wstring());
     }},
    {1, [](ValueArg& a, const Draw& d) {
         a.boolean = d.choice % 2 == 0 ? VARIANT_TRUE : VARIANT_FALSE;
         a.v.vt = VT_BYREF | VT_BOOL;
         a.v.pboolVal = &a.boolean;
         a.StoresText(a.boolean ? L"-1" : L"0");
     }},
    {1, [](ValueArg& a, const Draw& d) {
         if (d.choice % 2 == 0) {
             a.inner.vt = VT_I4;
             a.inner.lVal = d.number;
             a.StoresText(std::to_wstring(d.number));
         } else {
             a.inner.vt = VT_BSTR;
             a.inner.bstrVal = a.Text(d.text);
             a.StoresText(d.text);
         }
         a.v.vt = VT_BYREF | VT_VARIANT;
         a.v.pvarVal = &a.inner;
     }},
    {1, [](ValueArg& a, const Draw& d) {
         ::VarDecFromR8(2.5, &a.decimal);
         a.real = 2.5;
         a.v.vt = VT_BYREF | (d.choice % 2 == 0 ? VT_DECIMAL : VT_R8);
         a.v.byref = d.choice % 2 == 0 ? static_cast<void*>(&a.decimal) : &a.real;
         a.StoresText(L"2.5");
     }},
    {1, [](ValueArg& a, const Draw& d) {
         static const VARTYPE kBadTags[] = {0x7FFF, VT_HRESULT, VT_LPWSTR, VT_I4 | VT_RESERVED};
         a.v.vt = Choose(kBadTags, d.choice);
         a.expected.copyHr = DISP_E_BADVARTYPE;
     }},
    {1, [](ValueArg& a, const Draw&) { a.null = true; }},
};

}  // namespace

std::wstring ValueArg::Unchanged(const VARIANT& before) const {
    std::wstring diff;
    if (std::memcmp(&before, &v, sizeof(VARIANT)) != 0) diff += L"the VARIANT changed\n";
    if (object.refs != 1) diff += L"the object in the VARIANT kept a reference\n";
    return diff;
}

std::wstring ValueArg::Describe() const {
    if (null) return L"null";
    if (!expected.converts || FAILED(expected.copyHr)) return L"vt " + Hex(v.vt) + L" (refused)";
    return L"vt " + Hex(v.vt) + L" (stored " + Escape(Render(expected.stored)) + L")";
}

// m: the model, o: the object, p: the path, a: the value name, c: ChangeDefault.
const ModelDriver::PathMember ModelDriver::kPathMembers[] = {
    {L"RemoveValueByName", true, false,
     [](OptionsModel& m, const Arg& p, const Arg& a, LONG c) { return m.RemoveValueByName(p, a, c); },
     [](IVeskaOptions3* o, BSTR p, BSTR a, LONG c) { return o->RemoveValueByName(p, a, c); }},
    {L"RemoveValues", false, false,
     [](OptionsModel& m, const Arg& p, const Arg&, LONG c) { return m.RemoveValues(p, c); },
     [](IVeskaOptions3* o, BSTR p, BSTR, LONG c) { return o->RemoveValues(p, c); }},
    {L"RemoveKey", false, false,
     [](OptionsModel& m, const Arg& p, const Arg&, LONG c) { return m.RemoveKey(p, c); },
     [](IVeskaOptions3* o, BSTR p, BSTR, LONG c) { return o->RemoveKey(p, c); }},
    {L"AddKey", false, true,
     [](OptionsModel& m, const Arg& p, const Arg&, LONG c) { return m.AddKey(p, c); },
     [](IVeskaOptions3* o, BSTR p, BSTR, LONG c) { return o->AddKey(p, c); }},
};

const ModelDriver::Op ModelDriver::kOps[] = {
    {"Init", 1, true, &ModelDriver::DoInit},
    {"Apply", 2, true, &ModelDriver::DoApply},
    {"GetKeys", 8, true, &ModelDriver::DoGetKeys},
    {"GetValues", 8, true, &ModelDriver::DoGetValues},
    {"GetValueByName", 12, true, &ModelDriver::DoGetValueByName},
    {"SetValueByName", 22, false, &ModelDriver::DoSetValueByName},
    {"AddValueByName", 8, false, &ModelDriver::DoAddValueByName},
    {"SetKeys/SetValues", 2, false, &ModelDriver::DoSetKeysOrValues},
    {"get_Dirty/get_Root", 4, true, &ModelDriver::DoGetDirtyAndRoot},
    {"put_Dirty", 3, false, &ModelDriver::DoPutDirty},
    {"put_Root", 4, false, &ModelDriver::DoPutRoot},
    {"RemoveValueByName", 7, false, nullptr, &kPathMembers[0]},
    {"RemoveValues", 2, false, nullptr, &kPathMembers[1]},
    {"RemoveKey", 4, false, nullptr, &kPathMembers[2]},
    {"AddKey", 8, false, nullptr, &kPathMembers[3]},
    {"late-bound call", 3, false, &ModelDriver::DoLateBound},
};

ModelDriver::ModelDriver(std::wstring initPath, std::uint32_t seed, bool lateBound, bool readOnly)
    : initPath_(std::move(initPath)), rng_(seed), lateBound_(lateBound), readOnly_(readOnly) {
    Recreate();
}

ModelDriver::~ModelDriver() = default;

void ModelDriver::Recreate() {
    object_.reset();
    CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, object_.put_void());
    model_ = std::make_unique<OptionsModel>(registry);
    model_->policy = policy.top;
}

// ---------------------------------------------------------------------------
// Random arguments

bool ModelDriver::Chance(double p) {
    return std::uniform_real_distribution<double>(0, 1)(rng_) < p;
}

unsigned ModelDriver::Pick(unsigned n) {
    return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_);
}

std::wstring ModelDriver::MixCase(std::wstring text) {
    for (wchar_t& c : text) {
        if (((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z')) && Chance(0.25)) c ^= 0x20;
    }
    return text;
}

std::wstring ModelDriver::RandomKeyName() {
    static const std::wstring kNames[] = {L"Alpha", L"beta", L"Gamma", L"_x", L"d1",
                                          L"Zeta",  L"a b",  L"x.y",   L"s/t", L"..",
                                          L"K",     L"\x00e9t\x00e9"};
    // Now and then a name too long for the registry: the cache takes it.
    if (Chance(0.02)) return std::wstring(300, L'L');
    return MixCase(kNames[Pick(std::size(kNames))]);
}

Arg ModelDriver::Misshape(std::wstring path) {
    switch (Pick(40)) {
        case 0: return std::wstring();
        case 1: return L"\\" + path;
        case 2: return path + L"\\";
        case 3: {
            const std::size_t at = path.find(L'\\');
            path.insert(at == std::wstring::npos ? path.size() : at, L"\\\\");
            return path;
        }
        case 4: return path + std::wstring(1, L'\0') + L"junk";
        case 5: return L"Nowhere\\" + path;
        default: return path;
    }
}

Arg ModelDriver::RandomPath(bool newLeaf) {
    if (Chance(0.02)) return std::nullopt;
    std::wstring path;
    const ModelNode* node = model_->PrefixNode();
    int depth = 0;
    while (node != nullptr && !node->keys.empty() && Chance(0.65)) {
        const auto child = std::next(node->keys.begin(), Pick(unsigned(node->keys.size())));
        path += (depth++ != 0 ? L"\\" : L"") + child->first;
        node = child->second.get();
    }
    // New keys only while the tree is small, so runs stay quick.
    std::size_t nodes = 0;
    std::function<void(const ModelNode&)> count = [&](const ModelNode& n) {
        ++nodes;
        for (const auto& entry : n.keys) count(*entry.second);
    };
    if (newLeaf && model_->Root() != nullptr) count(*model_->Root());
    if (newLeaf ? depth < 4 && nodes < 60 : Chance(0.08)) {
        path += (depth != 0 ? L"\\" : L"") + RandomKeyName();
    }
    return Misshape(MixCase(path));
}

Arg ModelDriver::RandomAttr(const Arg& path) {
    if (Chance(0.02)) return std::nullopt;
    const ModelNode* node = model_->Find(path);
    if (node != nullptr && !node->values.empty() && Chance(0.6)) {
        return MixCase(std::next(node->values.begin(), Pick(unsigned(node->values.size())))->first);
    }
    static const std::wstring kNames[] = {
        L"v",   L"Count", L"name",    L"Name2", L"(Default)",           L"(default)",
        L"",    L"_u",    L"\x00e9",  L"v2",    std::wstring(L"w\0x", 3), std::wstring(255, L'n')};
    const std::wstring& name = kNames[Pick(std::size(kNames))];
    return Chance(0.5) ? name : MixCase(name);
}

Arg ModelDriver::RandomRoot() {
    static const Arg kOdd[] = {std::nullopt,          std::nullopt,       std::nullopt,
                               std::wstring(),        std::wstring(),     std::wstring(),
                               std::wstring(L"\\"),   std::wstring(L"Nowhere"),
                               std::wstring(L"Alpha\0X", 7)};
    const unsigned pick = Pick(16);
    if (pick < std::size(kOdd)) return kOdd[pick];
    // A key of the cache, named from the cache root.
    std::wstring path;
    for (const ModelNode* node = model_->Root(); node != nullptr && !node->keys.empty();) {
        const auto child = std::next(node->keys.begin(), Pick(unsigned(node->keys.size())));
        path += (path.empty() ? L"" : L"\\") + child->first;
        node = Chance(0.5) ? child->second.get() : nullptr;
    }
    if (path.empty()) path = RandomKeyName();
    return MixCase(Chance(0.5) ? path + L"\\" : path);
}

LONG ModelDriver::RandomFlag() {
    static const LONG kFlags[] = {0, 0, 0, 0, 1, 1, 1, 1, -1, 7};
    return kFlags[Pick(std::size(kFlags))];
}

std::unique_ptr<ValueArg> ModelDriver::RandomValue(const Arg& path, const Arg& attr) {
    // Often a value equal to the one cached, in another form, as the dirty flag
    // and the registry write treat those apart.
    const ModelNode* node = model_->Find(path);
    const ModelValue* cached = nullptr;
    if (node != nullptr && attr) {
        const auto found = node->values.find(CacheName(TextOf(attr)));
        if (found != node->values.end()) cached = &found->second;
    }
    if (cached != nullptr && Chance(0.3)) {
        auto value = std::make_unique<ValueArg>();
        ValueArg& a = *value;
        const ModelValue& stored = *cached;
        if (stored.vt == VT_I4) {
            const LONG n = stored.number;
            a.v.vt = Chance(0.5) ? VT_I4 : (n == SHORT(n) ? VT_I2 : VT_DECIMAL);
            if (a.v.vt == VT_I4) a.v.lVal = n;
            if (a.v.vt == VT_I2) a.v.iVal = SHORT(n);
            if (a.v.vt == VT_DECIMAL) ::VarDecFromI4(n, &a.v.decVal);
            a.Stores(n);
        } else {
            // The same text, or one with a soft hyphen that the comparison ignores
            // (within the 2047 characters the loader reads back).
            const std::wstring text = stored.text.value_or(L"");
            const bool hyphen = Chance(0.5) && text.size() < 2047;
            const std::wstring written = hyphen ? L"\x00ad" + text : text;
            a.v.vt = VT_BSTR;
            a.v.bstrVal = a.Text(written);
            a.StoresText(written);
        }
        return value;
    }

    static const LONG kNumbers[] = {0, 1, -1, 5, 42, LONG_MAX, LONG_MIN};
    static const std::wstring kTexts[] = {
        L"",  L"abc",          L"ABC",                   L"a\x00ad" L"bc",  // a soft hyphen
        L"5", L"\x00e9t\x00e9", std::wstring(2047, L'z'), L" spaced ",
        // Embedded nulls at the start, in the middle and at the end.
        std::wstring(L"\0ab", 3), std::wstring(L"a\0b", 3), std::wstring(L"ab\0", 3)};
    int total = 0;
    for (const ValueKind& kind : kValueKinds) total += kind.weight;
    int at = int(Pick(unsigned(total)));
    const ValueKind* kind = kValueKinds;
    while ((at -= kind->weight) >= 0) ++kind;
    const Draw draw{Chance(0.8) ? kNumbers[Pick(std::size(kNumbers))] : LONG(rng_()),
                    MixCase(kTexts[Pick(std::size(kTexts))]), unsigned(rng_())};
    auto value = std::make_unique<ValueArg>();
    kind->make(*value, draw);
    return value;
}

void ModelDriver::RandomKey(const std::wstring& path, int depth) {
    static const std::wstring kValueNames[] = {L"v", L"Count",   L"name", L"Name2",
                                               L"(Default)", L"", L"_u",   L"\x00e9",
                                               L"w", std::wstring(255, L'n')};
    static const std::wstring kTexts[] = {L"", L"abc", L"ABC", L"5", std::wstring(2047, L'z')};
    registry.Create(path);
    for (unsigned i = Pick(5); i > 0; --i) {
        const std::wstring name = MixCase(kValueNames[Pick(std::size(kValueNames))]);
        if (registry.Open(path)->values.count(Fold(name)) != 0) continue;
        const LONG number = LONG(rng_());
        const std::wstring text = kTexts[Pick(std::size(kTexts))] + L'\0';
        // Values the loader reads, and others it skips or cuts short.
        struct Raw {
            DWORD type;
            std::string data;
        };
        const Raw raws[] = {
            {REG_SZ, std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2)},
            {REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4)},
            {REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 2)},  // zero-extended
            {REG_BINARY, "\x01\x02\x03"},
            {REG_EXPAND_SZ, std::string("%\0x\0%\0\0\0", 8)},
            {REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10)},
            {REG_QWORD, std::string("\x01\0\0\0\x02\0\0\0", 8)},
            {REG_SZ, std::string("a\0b\0\0\0c\0d", 9)}};  // an embedded null, odd size
        static const unsigned kWeights[] = {5, 3, 1, 1, 1, 1, 1, 1};
        unsigned pick = Pick(14), row = 0;
        while (pick >= kWeights[row]) pick -= kWeights[row++];
        registry.SetValue(path, name, raws[row].type, raws[row].data);
    }
    if (depth >= 3) return;
    for (unsigned i = Pick(4); i > 0; --i) {
        const std::wstring name = RandomKeyName();
        if (name.size() > 255 || registry.Open(path)->keys.count(Fold(name)) != 0) continue;
        RandomKey(path.empty() ? name : path + L"\\" + name, depth + 1);
    }
}

void ModelDriver::SeedRegistry() {
    RandomKey(std::wstring(), 0);
    registry.TakeChanged();
    registry.WriteTo(HKEY_CURRENT_USER, initPath_);
}

void ModelDriver::SeedPolicy(const std::wstring& policyPath) {
    std::vector<std::pair<std::wstring, const RegKey*>> pending{{std::wstring(), &registry.top}};
    const auto lock = [this](const std::wstring& path, const std::wstring& name) {
        const LONG number = LONG(Pick(100));
        policy.Create(path);
        policy.SetValue(path, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4));
    };
    while (!pending.empty()) {
        const auto [path, key] = pending.back();
        pending.pop_back();
        for (const auto& entry : key->values) {
            if (!entry.second.name.empty() && Chance(0.3)) lock(path, entry.second.name);
        }
        for (const auto& entry : key->keys) {
            pending.emplace_back(path.empty() ? entry.second.name : path + L"\\" + entry.second.name,
                                 &entry.second);
        }
    }
    lock(L"Policed", L"Lock");
    policy.TakeChanged();
    policy.WriteTo(HKEY_LOCAL_MACHINE, policyPath);
    model_->policy = policy.top;
}

// ---------------------------------------------------------------------------
// Steps

void ModelDriver::Call(std::wstring description, std::vector<Arg> paths, Arg attr) {
    recent_.push_back(std::to_wstring(steps_) + L": " + description);
    if (recent_.size() > kRecentCalls) recent_.pop_front();
    touchedPaths_ = std::move(paths);
    touchedAttr_ = std::move(attr);
}

std::wstring ModelDriver::RecentCalls() const {
    std::wstring out;
    for (const std::wstring& call : recent_) out += L"  " + call + L"\n";
    return out;
}

std::wstring ModelDriver::Step() {
    auto allowed = [&](const Op& op) {
        return (op.reads || !readOnly_) && (lateBound_ || op.run != &ModelDriver::DoLateBound);
    };
    const Op* op = &kOps[0];  // Init, often while the object is not initialised
    if (model_->Initialised() || !Chance(0.3)) {
        int total = 0;
        for (const Op& candidate : kOps) total += allowed(candidate) ? candidate.weight : 0;
        int at = int(Pick(unsigned(total)));
        for (op = kOps; !allowed(*op) || (at -= op->weight) >= 0;) ++op;
    }
    currentCall_ = op->name;
    std::wstring diff = op->run != nullptr ? (this->*op->run)() : DoPathMember(*op->member);
    currentCall_ = "reading back";
    if (diff.empty()) diff = CompareTouched();
    ++steps_;
    currentCall_ = "between calls";
    return diff;
}

std::wstring ModelDriver::CompareReads(const Arg& path, const Arg& attr) {
    std::wstring diff = CompareGetKeys(object_.get(), *model_, path) +
                        CompareGetValues(object_.get(), *model_, path);
    if (attr) diff += CompareGetValueByName(object_.get(), *model_, path, attr);
    return diff;
}

std::wstring ModelDriver::CompareTouched() {
    std::wstring diff = CompareDirtyAndRoot(object_.get(), *model_);
    for (const Arg& path : touchedPaths_) {
        if (!path) continue;
        diff += CompareReads(path, touchedAttr_);
        const std::wstring text = TextOf(path);
        const std::size_t last = text.rfind(L'\\');
        if (last != std::wstring::npos) diff += CompareReads(text.substr(0, last), std::nullopt);
    }
    return diff;
}

std::wstring ModelDriver::Initialise() {
    if (model_->Initialised()) return std::wstring();
    Call(L"Init(1, " + Quote(initPath_) + L")");
    currentCall_ = "Init";
    std::wstring diff;
    ExpectHr(diff, L"Init", model_->Init(1, initPath_), object_->Init(1, ToBstr(initPath_).get()));
    currentCall_ = "between calls";
    return diff;
}

std::wstring ModelDriver::DoInit() {
    static const int kMainKeys[] = {1, 1, 1, 1, 1, 0, 2, 3, -1};
    const int mainKey = kMainKeys[Pick(std::size(kMainKeys))];
    const Arg root = Chance(0.1) ? std::nullopt : Arg(MixCase(initPath_));
    Call(L"Init(" + std::to_wstring(mainKey) + L", " + Quote(root) + L")", {std::wstring()});
    std::wstring diff;
    ExpectHr(diff, L"Init", model_->Init(mainKey, root),
             object_->Init(mainKey, ToBstr(root).get()));
    return diff;
}

std::wstring ModelDriver::DoApply() {
    Call(L"Apply()");
    std::wstring diff;
    ExpectHr(diff, L"Apply", model_->Apply(), object_->Apply());
    return diff;
}

std::wstring ModelDriver::DoGetKeys() {
    const Arg path = RandomPath(false);
    const bool hasOut = !Chance(0.03);
    Call(L"GetKeys(" + Quote(path) + (hasOut ? L", &keys)" : L", null)"));
    return CompareGetKeys(object_.get(), *model_, path, hasOut);
}

std::wstring ModelDriver::DoGetValues() {
    const Arg path = RandomPath(false);
    const bool hasOut = !Chance(0.03);
    Call(L"GetValues(" + Quote(path) + (hasOut ? L", &values)" : L", null)"));
    return CompareGetValues(object_.get(), *model_, path, hasOut);
}

std::wstring ModelDriver::DoGetValueByName() {
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const bool hasOut = !Chance(0.03);
    Call(L"GetValueByName(" + Quote(path) + L", " + Quote(attr) +
         (hasOut ? L", &value)" : L", null)"));
    return CompareGetValueByName(object_.get(), *model_, path, attr, hasOut);
}

std::wstring ModelDriver::DoSetValueByName() {
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const std::unique_ptr<ValueArg> value = RandomValue(path, attr);
    const LONG changeDefault = RandomFlag();
    const LONG setDirtyBit = RandomFlag();
    Call(L"SetValueByName(" + Quote(path) + L", " + Quote(attr) + L", " + value->Describe() +
             L", " + std::to_wstring(changeDefault) + L", " + std::to_wstring(setDirtyBit) + L")",
         {path}, attr);
    const VARIANT before = value->v;
    std::wstring diff;
    ExpectHr(diff, L"SetValueByName",
             model_->SetValue(path, attr, value->null ? nullptr : &value->expected, changeDefault,
                              setDirtyBit, 0),
             object_->SetValueByName(ToBstr(path).get(), ToBstr(attr).get(), value->get(),
                                     changeDefault, setDirtyBit));
    diff += value->Unchanged(before);
    return diff;
}

std::wstring ModelDriver::DoAddValueByName() {
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const std::unique_ptr<ValueArg> value = RandomValue(path, attr);
    const LONG changeDefault = RandomFlag();
    Call(L"AddValueByName(" + Quote(path) + L", " + Quote(attr) + L", " + value->Describe() +
             L", " + std::to_wstring(changeDefault) + L")",
         {path}, attr);
    const VARIANT before = value->v;
    std::wstring diff;
    ExpectHr(diff, L"AddValueByName",
             model_->SetValue(path, attr, value->null ? nullptr : &value->expected, changeDefault,
                              0, 1),
             object_->AddValueByName(ToBstr(path).get(), ToBstr(attr).get(), value->get(),
                                     changeDefault));
    diff += value->Unchanged(before);
    return diff;
}

std::wstring ModelDriver::DoSetKeysOrValues() {
    // Both ignore their arguments, whatever they are.
    const Arg path = RandomPath(false);
    const UniqueSafeArray array =
        UniqueSafeArray::Adopt(Chance(0.5) ? ::SafeArrayCreateVector(VT_VARIANT, 0, 2) : nullptr);
    const bool keys = Chance(0.5);
    Call(std::wstring(keys ? L"SetKeys(" : L"SetValues(") + Quote(path) + L", array, 1)", {path});
    std::wstring diff;
    ExpectHr(diff, keys ? L"SetKeys" : L"SetValues", model_->SetKeysOrValues(path, keys),
             keys ? object_->SetKeys(ToBstr(path).get(), array.get(), 1)
                  : object_->SetValues(ToBstr(path).get(), array.get(), 1));
    return diff;
}

std::wstring ModelDriver::DoGetDirtyAndRoot() {
    Call(L"get_Dirty(null), get_Root(null)");
    return CompareDirtyAndRoot(object_.get(), *model_, false);
}

std::wstring ModelDriver::DoPutDirty() {
    static const VARIANT_BOOL kValues[] = {0, 0, VARIANT_TRUE, 1, 7, SHORT(0x8000)};
    const VARIANT_BOOL dirty = kValues[Pick(std::size(kValues))];
    Call(L"put_Dirty(" + std::to_wstring(dirty) + L")");
    std::wstring diff;
    ExpectHr(diff, L"put_Dirty", model_->PutDirty(dirty), object_->put_Dirty(dirty));
    return diff;
}

std::wstring ModelDriver::DoPutRoot() {
    const Arg root = RandomRoot();
    Call(L"put_Root(" + Quote(root) + L")");
    std::wstring diff;
    ExpectHr(diff, L"put_Root", model_->PutRoot(root), object_->put_Root(ToBstr(root).get()));
    return diff;
}

std::wstring ModelDriver::DoPathMember(const PathMember& member) {
    const Arg path = RandomPath(member.newLeaf);
    const Arg attr = member.named ? RandomAttr(path) : std::nullopt;
    const LONG changeDefault = RandomFlag();
    Call(member.name + (L"(" + Quote(path)) + (member.named ? L", " + Quote(attr) : L"") + L", " +
             std::to_wstring(changeDefault) + L")",
         {path}, attr);
    std::wstring diff;
    ExpectHr(diff, member.name, member.model(*model_, path, attr, changeDefault),
             member.object(object_.get(), ToBstr(path).get(), ToBstr(attr).get(), changeDefault));
    return diff;
}

std::wstring ModelDriver::DoLateBound() {
    // Optional arguments left out take their defaults: SetDirtyBit 1,
    // ChangeDefault 0.
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const UniqueBstr pathText = ToBstr(path);
    const UniqueBstr attrText = ToBstr(attr);
    const VARIANT pathArg = BstrArg(pathText);
    const VARIANT attrArg = BstrArg(attrText);
    std::wstring diff;
    const unsigned which = Pick(4);
    switch (which) {
        case 0: {
            const LONG number = LONG(Pick(3));
            const LONG changeDefault = RandomFlag();
            Call(L"late-bound SetValueByName(" + Quote(path) + L", " + Quote(attr) + L", " +
                     std::to_wstring(number) + L", " + std::to_wstring(changeDefault) + L")",
                 {path}, attr);
            const Conversion stored{S_OK, true, ModelValue{VT_I4, number, std::nullopt}};
            // Dispatch reports every success as S_OK: a script sees no S_FALSE.
            const HRESULT modelled = model_->SetValue(path, attr, &stored, changeDefault, 1, 0);
            ExpectHr(diff, L"SetValueByName", SUCCEEDED(modelled) ? S_OK : modelled,
                     Invoke(object_.get(), L"SetValueByName",
                            {pathArg, attrArg, LongArg(number), LongArg(changeDefault)}));
            break;
        }
        default: {
            const PathMember& member = kPathMembers[which - 1];
            const Arg named = member.named ? attr : std::nullopt;
            Call(L"late-bound " + (member.name + (L"(" + Quote(path))) +
                     (member.named ? L", " + Quote(attr) : L"") + L")",
                 {path}, named);
            const HRESULT modelled = member.model(*model_, path, named, 0);
            ExpectHr(diff, member.name, SUCCEEDED(modelled) ? S_OK : modelled,
                     Invoke(object_.get(), member.name,
                            member.named ? std::vector<VARIANT>{pathArg, attrArg}
                                         : std::vector<VARIANT>{pathArg}));
            break;
        }
    }
    return diff;
}

// ---------------------------------------------------------------------------
// Whole-state comparisons

std::wstring ModelDriver::CompareAll() {
    std::wstring diff = CompareDirtyAndRoot(object_.get(), *model_);
    if (!model_->Initialised()) return diff + CompareGetKeys(object_.get(), *model_, L"");
    // The tree is read without the prefix, which is put back afterwards.
    const Arg prefix = model_->Prefix();
    model_->PutRoot(std::nullopt);
    object_->put_Root(nullptr);
    diff += CompareTree(object_.get(), *model_);
    model_->PutRoot(prefix);
    object_->put_Root(ToBstr(prefix).get());
    return diff;
}

std::wstring ModelDriver::CompareRegistry() {
    const std::vector<std::wstring> real = SortedSnapshot(HKEY_CURRENT_USER, initPath_);
    const std::vector<std::wstring> expected = registry.Render();
    if (real == expected) return std::wstring();
    std::vector<std::wstring> missing, extra;
    std::set_difference(expected.begin(), expected.end(), real.begin(), real.end(),
                        std::back_inserter(missing));
    std::set_difference(real.begin(), real.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    std::wstring diff = L"the registry below the Init path differs\n";
    for (std::size_t i = 0; i < missing.size() && i < 6; ++i) {
        diff += L"  only in the model: " + Escape(missing[i]) + L"\n";
    }
    for (std::size_t i = 0; i < extra.size() && i < 6; ++i) {
        diff += L"  only in the registry: " + Escape(extra[i]) + L"\n";
    }
    return diff;
}

std::wstring ModelDriver::CompareChangedKeys(bool* changed) {
    std::wstring diff;
    const std::vector<std::wstring> paths = registry.TakeChanged();
    *changed = !paths.empty();
    for (const std::wstring& path : paths) {
        const std::vector<std::wstring> real =
            KeySnapshot(HKEY_CURRENT_USER, path.empty() ? initPath_ : initPath_ + L"\\" + path);
        const std::vector<std::wstring> expected = registry.RenderKey(path);
        if (real == expected) continue;
        diff += L"the registry key " + Quote(path) + L" below the Init path differs:\n";
        for (const std::wstring& line : expected) diff += L"  model: " + Escape(line) + L"\n";
        for (const std::wstring& line : real) diff += L"  registry: " + Escape(line) + L"\n";
    }
    return diff;
}

std::wstring ModelDriver::CompareReload() {
    ComPtr<IVeskaOptions3> fresh;
    CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, fresh.put_void());
    OptionsModel expected(registry);
    expected.policy = policy.top;
    std::wstring diff;
    ExpectHr(diff, L"Init of a fresh object", expected.Init(1, initPath_),
             fresh->Init(1, ToBstr(initPath_).get()));
    diff += CompareTree(fresh.get(), expected);
    return diff.empty() ? diff : L"a fresh object loads differently:\n" + diff;
}

}  // namespace veska::test

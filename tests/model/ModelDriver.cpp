#include "ModelDriver.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>

#include "module/ComObject.h"
#include "options/VeskaOpt.h"
#include "tests/options/OptionsTestSupport.h"

namespace veska::test {

// One VARIANT argument of a write, what it points to, and what the write makes
// of it. v is never cleared: the owners below hold what it refers to.
struct ValueArg {
    VARIANT v{};
    bool null = false;  // passed as a null VARIANT pointer
    Conversion expected;
    std::wstring description;

    LONG number = 0;
    VARIANT_BOOL boolean = 0;
    DECIMAL decimal{};
    double real = 0;
    UniqueBstr text;
    BSTR textRef = nullptr;  // by-reference string target; owned by text
    VARIANT inner{};         // by-reference VARIANT target; its string owned by text
    UniqueSafeArray array;

    VARIANT* get() { return null ? nullptr : &v; }
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
        if (c >= 0x20 && c < 0x7F) {
            out += c;
        } else {
            wchar_t hex[8];
            std::swprintf(hex, 8, L"\\x%04x", unsigned(c));
            out += hex;
        }
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
    if (model != real) diff += what + L": model " + Escape(model) + L", object " + Escape(real) + L"\n";
}

void ExpectHr(std::wstring& diff, const std::wstring& what, HRESULT model, HRESULT real) {
    Expect(diff, what + L" result", Hex(static_cast<unsigned long>(model)),
           Hex(static_cast<unsigned long>(real)));
}

// The reading members on the real object, their out-parameters preset to junk
// and rendered like the model's.
HRESULT RealGetKeys(IVeskaOptions3* object, const Arg& path, bool hasOut, std::wstring* out) {
    SAFEARRAY* const junk = reinterpret_cast<SAFEARRAY*>(std::uintptr_t(0x5AFE0));
    SAFEARRAY* array = junk;
    const HRESULT hr = object->GetKeys(ToBstr(path).get(), hasOut ? &array : nullptr);
    if (array == junk) {
        *out = kUntouched;
    } else {
        const UniqueSafeArray owner = UniqueSafeArray::Adopt(array);
        *out = RenderKeys(array);
    }
    return hr;
}

HRESULT RealGetValues(IVeskaOptions3* object, const Arg& path, bool hasOut, std::wstring* out) {
    SAFEARRAY* const junk = reinterpret_cast<SAFEARRAY*>(std::uintptr_t(0x5AFE0));
    SAFEARRAY* array = junk;
    const HRESULT hr = object->GetValues(ToBstr(path).get(), hasOut ? &array : nullptr);
    if (array == junk) {
        *out = kUntouched;
    } else {
        const UniqueSafeArray owner = UniqueSafeArray::Adopt(array);
        *out = RenderValues(array);
    }
    return hr;
}

HRESULT RealGetValueByName(IVeskaOptions3* object, const Arg& path, const Arg& attr, bool hasOut,
                           std::wstring* out) {
    VARIANT value;
    value.vt = VT_ERROR;  // never handed out by the object
    value.scode = 0x5A5A5A5A;
    const HRESULT hr = object->GetValueByName(ToBstr(path).get(), ToBstr(attr).get(),
                                              hasOut ? &value : nullptr);
    if (value.vt == VT_ERROR && value.scode == 0x5A5A5A5A) {
        *out = kUntouched;
    } else {
        *out = RenderVariant(value);
        ::VariantClear(&value);
    }
    return hr;
}

std::wstring CompareDirtyAndRoot(IVeskaOptions3* object, const OptionsModel& model) {
    std::wstring diff;
    VARIANT_BOOL real = 0x1234, expected = 0x1234;
    ExpectHr(diff, L"get_Dirty", model.GetDirty(true, &expected), object->get_Dirty(&real));
    Expect(diff, L"Dirty", std::to_wstring(expected), std::to_wstring(real));
    Arg prefix;
    UniqueBstr root;
    ExpectHr(diff, L"get_Root", model.GetRoot(true, &prefix), object->get_Root(root.put()));
    const Arg got = root ? Arg(std::wstring(root.get(), ::SysStringLen(root.get()))) : std::nullopt;
    Expect(diff, L"Root", Quote(prefix), Quote(got));
    return diff;
}

// The keys and values of every node of the model against the object's; neither
// has a Root prefix. Stops at the first node that differs.
std::wstring CompareTree(IVeskaOptions3* object, const OptionsModel& model) {
    std::wstring diff;
    std::function<void(const ModelNode&, const std::wstring&)> walk = [&](const ModelNode& node,
                                                                          const std::wstring& path) {
        std::wstring expected, real;
        ExpectHr(diff, L"GetKeys " + Quote(path), model.GetKeys(path, true, &expected),
                 RealGetKeys(object, path, true, &real));
        Expect(diff, L"GetKeys " + Quote(path), expected, real);
        ExpectHr(diff, L"GetValues " + Quote(path), model.GetValues(path, true, &expected),
                 RealGetValues(object, path, true, &real));
        Expect(diff, L"GetValues " + Quote(path), expected, real);
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

}  // namespace

const ModelDriver::Op ModelDriver::kOps[] = {
    {"Init", 1, true, &ModelDriver::DoInit},
    {"Apply", 2, true, &ModelDriver::DoApply},
    {"GetKeys", 8, true, &ModelDriver::DoGetKeys},
    {"GetValues", 8, true, &ModelDriver::DoGetValues},
    {"GetValueByName", 12, true, &ModelDriver::DoGetValueByName},
    {"SetValueByName", 22, false, &ModelDriver::DoSetValueByName},
    {"AddValueByName", 8, false, &ModelDriver::DoAddValueByName},
    {"SetKeys/SetValues", 2, false, &ModelDriver::DoSetKeysOrValues},
    {"get_Dirty", 2, true, &ModelDriver::DoGetDirty},
    {"put_Dirty", 3, false, &ModelDriver::DoPutDirty},
    {"get_Root", 2, true, &ModelDriver::DoGetRoot},
    {"put_Root", 4, false, &ModelDriver::DoPutRoot},
    {"RemoveValueByName", 7, false, &ModelDriver::DoRemoveValueByName},
    {"RemoveValues", 2, false, &ModelDriver::DoRemoveValues},
    {"RemoveKey", 4, false, &ModelDriver::DoRemoveKey},
    {"AddKey", 8, false, &ModelDriver::DoAddKey},
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
}

// ---------------------------------------------------------------------------
// Random arguments

bool ModelDriver::Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

unsigned ModelDriver::Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

std::wstring ModelDriver::MixCase(std::wstring text) {
    for (wchar_t& c : text) {
        if (((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z')) && Chance(0.25)) c ^= 0x20;
    }
    return text;
}

std::wstring ModelDriver::RandomKeyName() {
    static const std::wstring kNames[] = {L"Alpha", L"beta", L"Gamma", L"_x",  L"d1", L"Zeta",
                                          L"a b",   L"x.y",  L"s/t",   L"..", L"\x00e9t\x00e9", L"K"};
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
        L"v",   L"Count", L"name",           L"Name2",    L"(Default)",             L"(default)",
        L"",    L"_u",    L"\x00e9",         L"v2",       std::wstring(L"w\0x", 3), std::wstring(255, L'n')};
    const std::wstring& name = kNames[Pick(std::size(kNames))];
    return Chance(0.5) ? name : MixCase(name);
}

Arg ModelDriver::RandomRoot() {
    switch (Pick(16)) {
        case 0: case 1: case 2: return std::nullopt;
        case 3: case 4: case 5: return std::wstring();
        case 6: return std::wstring(L"\\");
        case 7: return std::wstring(L"Nowhere");
        case 8: return std::wstring(L"Alpha\0X", 7);
        default: break;
    }
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

std::unique_ptr<ValueArg> ModelDriver::RandomValue() {
    auto value = std::make_unique<ValueArg>();
    ValueArg& a = *value;
    VARIANT& v = a.v;
    static const LONG kNumbers[] = {0, 1, -1, 5, 42, LONG_MAX, LONG_MIN};
    const LONG number = Chance(0.8) ? kNumbers[Pick(std::size(kNumbers))] : LONG(rng_());
    static const std::wstring kTexts[] = {L"",      L"abc", L"ABC", L"a\x00ad" L"bc",
                                          L"5",     L"\x00e9t\x00e9", std::wstring(L"a\0b", 3),
                                          std::wstring(2047, L'z'), L" spaced "};
    const std::wstring text = MixCase(kTexts[Pick(std::size(kTexts))]);
    auto stores = [&](LONG n) { a.expected.stored = ModelValue{VT_I4, n, std::nullopt}; };
    auto storesText = [&](const Arg& t) { a.expected.stored = ModelValue{VT_BSTR, 0, t}; };
    auto fails = [&] { a.expected.converts = false; };
    // Tags the platform formats as plain decimal numbers when made strings.
    auto decimalText = [&](VARTYPE vt, auto n) {
        v.vt = vt;
        std::memcpy(&v.llVal, &n, sizeof(n));
        storesText(std::to_wstring(n));
    };
    // Conversions whose text the platform's formatting decides (English locale).
    struct Formatted {
        VARTYPE vt;
        double number;
        const wchar_t* text;
    };
    static const Formatted kFormatted[] = {
        {VT_R8, 5.0, L"5"},        {VT_R8, 2.5, L"2.5"},     {VT_R8, 1e20, L"1E+20"},
        {VT_R8, -0.125, L"-0.125"}, {VT_R4, -0.25, L"-0.25"}, {VT_R4, 3.0, L"3"},
        {VT_CY, 1.2345, L"1.2345"}, {VT_CY, 5.0, L"5"},      {VT_DATE, 0.0, L"12:00:00 AM"},
        {VT_DATE, 36526.5, L"1/1/2000 12:00:00 PM"}};
    struct Decimal {
        double number;
        bool fits;
        LONG rounded;
    };
    static const Decimal kDecimals[] = {{5, true, 5},   {-7, true, -7},  {2.5, true, 2},
                                        {3.5, true, 4}, {-2.5, true, -2}, {2147483647.0, true, LONG_MAX},
                                        {-2147483648.0, true, LONG_MIN},  {2147483648.0, false, 0},
                                        {-2147483649.0, false, 0},        {1099511627776.0, false, 0}};
    static const VARTYPE kBadTags[] = {0x7FFF, VT_HRESULT, VT_LPWSTR, VT_I4 | VT_RESERVED};

    switch (Pick(30)) {
        case 0: case 1: case 2: case 3:
            v.vt = VT_I4;
            v.lVal = number;
            stores(number);
            break;
        case 4:
            v.vt = VT_I2;
            v.iVal = SHORT(number);
            stores(SHORT(number));
            break;
        case 5: {
            static const VARIANT_BOOL kBools[] = {VARIANT_TRUE, VARIANT_FALSE, 1, 5};
            v.vt = VT_BOOL;
            v.boolVal = kBools[Pick(std::size(kBools))];
            stores(v.boolVal);
            break;
        }
        case 6: case 7: {
            const Decimal& d = kDecimals[Pick(std::size(kDecimals))];
            ::VarDecFromR8(d.number, &v.decVal);
            v.vt = VT_DECIMAL;
            if (d.fits) stores(d.rounded); else fails();
            break;
        }
        case 8: case 9: case 10: case 11: case 12:
            a.text = Chance(0.1) ? UniqueBstr() : CopyBstr(text.data(), UINT(text.size()));
            v.vt = VT_BSTR;
            v.bstrVal = a.text.get();
            // The platform's copy of a null string is an empty string.
            storesText(a.text ? text : std::wstring());
            break;
        case 13:
            v.vt = VT_EMPTY;
            storesText(std::wstring());
            break;
        case 14: {
            static const VARTYPE kFailing[] = {VT_NULL, VT_ERROR, VT_UNKNOWN, VT_DISPATCH, VT_RECORD};
            v.vt = kFailing[Pick(std::size(kFailing))];
            fails();
            break;
        }
        case 15:
            a.array = UniqueSafeArray::Adopt(::SafeArrayCreateVector(VT_I4, 0, 2));
            v.vt = VT_ARRAY | VT_I4;
            v.parray = a.array.get();
            fails();
            break;
        case 16:
            switch (Pick(8)) {
                case 0: decimalText(VT_UI1, BYTE(number)); break;
                case 1: decimalText(VT_I1, static_cast<signed char>(number)); break;
                case 2: decimalText(VT_UI2, USHORT(number)); break;
                case 3: decimalText(VT_UI4, ULONG(number)); break;
                case 4: decimalText(VT_I8, LONGLONG(number) * 3000000000LL); break;
                case 5: decimalText(VT_UI8, ULONGLONG(ULONG(number)) * 5000000000ULL); break;
                case 6: decimalText(VT_INT, INT(number)); break;
                default: decimalText(VT_UINT, UINT(number)); break;
            }
            break;
        case 17: case 18: {
            const Formatted& f = kFormatted[Pick(std::size(kFormatted))];
            v.vt = f.vt;
            if (f.vt == VT_R4) v.fltVal = float(f.number);
            if (f.vt == VT_R8) v.dblVal = f.number;
            if (f.vt == VT_DATE) v.date = f.number;
            if (f.vt == VT_CY) v.cyVal.int64 = std::llround(f.number * 10000);
            storesText(std::wstring(f.text));
            break;
        }
        case 19: case 20:
            a.number = number;
            v.vt = VT_BYREF | VT_I4;
            v.plVal = Chance(0.2) ? nullptr : &a.number;
            if (v.plVal != nullptr) storesText(std::to_wstring(number)); else fails();
            break;
        case 21: case 22:
            a.text = Chance(0.2) ? UniqueBstr() : CopyBstr(text.data(), UINT(text.size()));
            a.textRef = a.text.get();
            v.vt = VT_BYREF | VT_BSTR;
            v.pbstrVal = &a.textRef;
            storesText(a.text ? text : std::wstring());
            break;
        case 23:
            a.boolean = Chance(0.5) ? VARIANT_TRUE : VARIANT_FALSE;
            v.vt = VT_BYREF | VT_BOOL;
            v.pboolVal = &a.boolean;
            storesText(a.boolean ? L"-1" : L"0");
            break;
        case 24:
            if (Chance(0.5)) {
                a.inner.vt = VT_I4;
                a.inner.lVal = number;
                storesText(std::to_wstring(number));
            } else {
                a.text = CopyBstr(text.data(), UINT(text.size()));
                a.inner.vt = VT_BSTR;
                a.inner.bstrVal = a.text.get();
                storesText(text);
            }
            v.vt = VT_BYREF | VT_VARIANT;
            v.pvarVal = &a.inner;
            break;
        case 25:
            ::VarDecFromR8(2.5, &a.decimal);
            v.vt = VT_BYREF | VT_DECIMAL;
            v.pdecVal = &a.decimal;
            storesText(std::wstring(L"2.5"));
            break;
        case 26:
            a.real = 2.5;
            v.vt = VT_BYREF | VT_R8;
            v.pdblVal = &a.real;
            storesText(std::wstring(L"2.5"));
            break;
        case 27:
            v.vt = kBadTags[Pick(std::size(kBadTags))];
            a.expected.copyHr = DISP_E_BADVARTYPE;
            break;
        case 28:
            a.null = true;
            break;
        default:
            // A number written over a string and the other way round meet often.
            v.vt = VT_I4;
            v.lVal = 5;
            stores(5);
            break;
    }
    if (a.null) {
        a.description = L"null";
    } else {
        a.description = L"vt " + Hex(v.vt) + L" ";
        if (!a.expected.converts || FAILED(a.expected.copyHr)) {
            a.description += L"(refused)";
        } else {
            a.description += L"(stored " + Escape(Render(a.expected.stored)) + L")";
        }
    }
    return value;
}

void ModelDriver::RandomKey(const std::wstring& path, int depth) {
    registry.Create(path);
    static const std::wstring kValueNames[] = {L"v",  L"Count", L"name", L"Name2", L"(Default)",
                                               L"",   L"_u",    L"\x00e9", L"w",   std::wstring(255, L'n')};
    for (unsigned i = Pick(5); i > 0; --i) {
        const std::wstring name = MixCase(kValueNames[Pick(std::size(kValueNames))]);
        if (registry.Open(path)->values.count(Fold(name)) != 0) continue;
        const LONG number = LONG(rng_());
        std::string data;
        DWORD type = REG_SZ;
        switch (Pick(14)) {
            case 0: case 1: case 2: case 3: case 4: {
                static const std::wstring kTexts[] = {L"", L"abc", L"ABC", L"5", std::wstring(2047, L'z')};
                const std::wstring text = kTexts[Pick(std::size(kTexts))] + L'\0';
                data.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
                break;
            }
            case 5: case 6: case 7:
                type = REG_DWORD;
                data.assign(reinterpret_cast<const char*>(&number), 4);
                break;
            case 8:
                type = REG_DWORD;  // short data: zero-extended when loaded
                data.assign(reinterpret_cast<const char*>(&number), 2);
                break;
            case 9: type = REG_BINARY; data = "\x01\x02\x03"; break;
            case 10: type = REG_EXPAND_SZ; data.assign("%\0x\0%\0\0\0", 8); break;
            case 11: type = REG_MULTI_SZ; data.assign("a\0\0\0b\0\0\0\0\0", 10); break;
            case 12: type = REG_QWORD; data.assign("\x01\0\0\0\x02\0\0\0", 8); break;
            default: data.assign("a\0b\0\0\0c\0d", 9); break;  // an embedded null, odd size
        }
        registry.SetValue(path, name, type, data);
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
    const Op* op = nullptr;
    if (!model_->Initialised() && Chance(0.3)) {
        op = &kOps[0];
    } else {
        int total = 0;
        for (const Op& candidate : kOps) {
            if ((candidate.reads || !readOnly_) && (lateBound_ || candidate.run != &ModelDriver::DoLateBound)) {
                total += candidate.weight;
            }
        }
        int at = int(Pick(unsigned(total)));
        for (const Op& candidate : kOps) {
            if (!(candidate.reads || !readOnly_) || (!lateBound_ && candidate.run == &ModelDriver::DoLateBound)) {
                continue;
            }
            at -= candidate.weight;
            if (at < 0) {
                op = &candidate;
                break;
            }
        }
    }
    currentCall_ = op->name;
    std::wstring diff = (this->*op->run)();
    currentCall_ = "reading back";
    if (diff.empty()) diff = CompareTouched();
    ++steps_;
    currentCall_ = "between calls";
    return diff;
}

std::wstring ModelDriver::CompareReads(const Arg& path, const Arg& attr) {
    std::wstring diff, expected, real;
    const std::wstring at = L" " + Quote(path);
    ExpectHr(diff, L"GetKeys" + at, model_->GetKeys(path, true, &expected),
             RealGetKeys(object_.get(), path, true, &real));
    Expect(diff, L"GetKeys" + at, expected, real);
    ExpectHr(diff, L"GetValues" + at, model_->GetValues(path, true, &expected),
             RealGetValues(object_.get(), path, true, &real));
    Expect(diff, L"GetValues" + at, expected, real);
    if (attr) {
        ExpectHr(diff, L"GetValueByName" + at, model_->GetValueByName(path, attr, true, &expected),
                 RealGetValueByName(object_.get(), path, attr, true, &real));
        Expect(diff, L"GetValueByName" + at, expected, real);
    }
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
    ExpectHr(diff, L"Init", model_->Init(mainKey, root), object_->Init(mainKey, ToBstr(root).get()));
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
    std::wstring diff, expected, real;
    ExpectHr(diff, L"GetKeys", model_->GetKeys(path, hasOut, &expected),
             RealGetKeys(object_.get(), path, hasOut, &real));
    Expect(diff, L"GetKeys", expected, real);
    return diff;
}

std::wstring ModelDriver::DoGetValues() {
    const Arg path = RandomPath(false);
    const bool hasOut = !Chance(0.03);
    Call(L"GetValues(" + Quote(path) + (hasOut ? L", &values)" : L", null)"));
    std::wstring diff, expected, real;
    ExpectHr(diff, L"GetValues", model_->GetValues(path, hasOut, &expected),
             RealGetValues(object_.get(), path, hasOut, &real));
    Expect(diff, L"GetValues", expected, real);
    return diff;
}

std::wstring ModelDriver::DoGetValueByName() {
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const bool hasOut = !Chance(0.03);
    Call(L"GetValueByName(" + Quote(path) + L", " + Quote(attr) + (hasOut ? L", &value)" : L", null)"));
    std::wstring diff, expected, real;
    ExpectHr(diff, L"GetValueByName", model_->GetValueByName(path, attr, hasOut, &expected),
             RealGetValueByName(object_.get(), path, attr, hasOut, &real));
    Expect(diff, L"GetValueByName", expected, real);
    return diff;
}

std::wstring ModelDriver::DoSetValueByName() {
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const std::unique_ptr<ValueArg> value = RandomValue();
    const LONG changeDefault = RandomFlag();
    const LONG setDirtyBit = RandomFlag();
    Call(L"SetValueByName(" + Quote(path) + L", " + Quote(attr) + L", " + value->description + L", " +
             std::to_wstring(changeDefault) + L", " + std::to_wstring(setDirtyBit) + L")",
         {path}, attr);
    const VARIANT before = value->v;
    std::wstring diff;
    ExpectHr(diff, L"SetValueByName",
             model_->SetValue(path, attr, value->null ? nullptr : &value->expected, changeDefault,
                              setDirtyBit, 0),
             object_->SetValueByName(ToBstr(path).get(), ToBstr(attr).get(), value->get(),
                                     changeDefault, setDirtyBit));
    if (std::memcmp(&before, &value->v, sizeof(VARIANT)) != 0) diff += L"the caller's VARIANT changed\n";
    return diff;
}

std::wstring ModelDriver::DoAddValueByName() {
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const std::unique_ptr<ValueArg> value = RandomValue();
    const LONG changeDefault = RandomFlag();
    Call(L"AddValueByName(" + Quote(path) + L", " + Quote(attr) + L", " + value->description + L", " +
             std::to_wstring(changeDefault) + L")",
         {path}, attr);
    const VARIANT before = value->v;
    std::wstring diff;
    ExpectHr(diff, L"AddValueByName",
             model_->SetValue(path, attr, value->null ? nullptr : &value->expected, changeDefault, 0, 1),
             object_->AddValueByName(ToBstr(path).get(), ToBstr(attr).get(), value->get(), changeDefault));
    if (std::memcmp(&before, &value->v, sizeof(VARIANT)) != 0) diff += L"the caller's VARIANT changed\n";
    return diff;
}

std::wstring ModelDriver::DoSetKeysOrValues() {
    // Both ignore their arguments, whatever they are.
    const Arg path = RandomPath(false);
    const UniqueSafeArray array =
        UniqueSafeArray::Adopt(Chance(0.5) ? ::SafeArrayCreateVector(VT_VARIANT, 0, 2) : nullptr);
    const bool keys = Chance(0.5);
    Call(std::wstring(keys ? L"SetKeys(" : L"SetValues(") + Quote(path) + L", array, 1)", {path});
    const HRESULT real = keys ? object_->SetKeys(ToBstr(path).get(), array.get(), 1)
                              : object_->SetValues(ToBstr(path).get(), array.get(), 1);
    std::wstring diff;
    ExpectHr(diff, keys ? L"SetKeys" : L"SetValues", model_->SetKeysOrValues(), real);
    return diff;
}

std::wstring ModelDriver::DoGetDirty() {
    const bool hasOut = !Chance(0.1);
    Call(hasOut ? L"get_Dirty(&dirty)" : L"get_Dirty(null)");
    VARIANT_BOOL real = 0x1234, expected = 0x1234;
    std::wstring diff;
    ExpectHr(diff, L"get_Dirty", model_->GetDirty(hasOut, &expected),
             object_->get_Dirty(hasOut ? &real : nullptr));
    Expect(diff, L"Dirty", std::to_wstring(expected), std::to_wstring(real));
    return diff;
}

std::wstring ModelDriver::DoPutDirty() {
    static const VARIANT_BOOL kValues[] = {0, 0, VARIANT_TRUE, 1, 7, SHORT(0x8000)};
    const VARIANT_BOOL dirty = kValues[Pick(std::size(kValues))];
    Call(L"put_Dirty(" + std::to_wstring(dirty) + L")");
    std::wstring diff;
    ExpectHr(diff, L"put_Dirty", model_->PutDirty(dirty), object_->put_Dirty(dirty));
    return diff;
}

std::wstring ModelDriver::DoGetRoot() {
    const bool hasOut = !Chance(0.1);
    Call(hasOut ? L"get_Root(&root)" : L"get_Root(null)");
    Arg expected;
    BSTR junk = reinterpret_cast<BSTR>(std::uintptr_t(0x5AFE2));
    BSTR real = junk;
    std::wstring diff;
    ExpectHr(diff, L"get_Root", model_->GetRoot(hasOut, &expected), object_->get_Root(hasOut ? &real : nullptr));
    if (real != junk) {
        const UniqueBstr owner = UniqueBstr::Adopt(real);
        const Arg got = real ? Arg(std::wstring(real, ::SysStringLen(real))) : std::nullopt;
        Expect(diff, L"Root", Quote(expected), Quote(got));
    } else if (hasOut) {
        diff += L"get_Root left its out-parameter as it was\n";
    }
    return diff;
}

std::wstring ModelDriver::DoPutRoot() {
    const Arg root = RandomRoot();
    Call(L"put_Root(" + Quote(root) + L")");
    std::wstring diff;
    ExpectHr(diff, L"put_Root", model_->PutRoot(root), object_->put_Root(ToBstr(root).get()));
    return diff;
}

std::wstring ModelDriver::DoRemoveValueByName() {
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const LONG changeDefault = RandomFlag();
    Call(L"RemoveValueByName(" + Quote(path) + L", " + Quote(attr) + L", " +
             std::to_wstring(changeDefault) + L")",
         {path}, attr);
    std::wstring diff;
    ExpectHr(diff, L"RemoveValueByName", model_->RemoveValueByName(path, attr, changeDefault),
             object_->RemoveValueByName(ToBstr(path).get(), ToBstr(attr).get(), changeDefault));
    return diff;
}

std::wstring ModelDriver::DoRemoveValues() {
    const Arg path = RandomPath(false);
    const LONG changeDefault = RandomFlag();
    Call(L"RemoveValues(" + Quote(path) + L", " + std::to_wstring(changeDefault) + L")", {path});
    std::wstring diff;
    ExpectHr(diff, L"RemoveValues", model_->RemoveValues(path, changeDefault),
             object_->RemoveValues(ToBstr(path).get(), changeDefault));
    return diff;
}

std::wstring ModelDriver::DoRemoveKey() {
    const Arg path = RandomPath(false);
    const LONG changeDefault = RandomFlag();
    Call(L"RemoveKey(" + Quote(path) + L", " + std::to_wstring(changeDefault) + L")", {path});
    std::wstring diff;
    ExpectHr(diff, L"RemoveKey", model_->RemoveKey(path, changeDefault),
             object_->RemoveKey(ToBstr(path).get(), changeDefault));
    return diff;
}

std::wstring ModelDriver::DoAddKey() {
    const Arg path = RandomPath(true);
    const LONG changeDefault = RandomFlag();
    Call(L"AddKey(" + Quote(path) + L", " + std::to_wstring(changeDefault) + L")", {path});
    std::wstring diff;
    ExpectHr(diff, L"AddKey", model_->AddKey(path, changeDefault),
             object_->AddKey(ToBstr(path).get(), changeDefault));
    return diff;
}

std::wstring ModelDriver::DoLateBound() {
    // Optional arguments left out take their defaults: SetDirtyBit 1,
    // ChangeDefault 0.
    const Arg path = RandomPath(false);
    const Arg attr = RandomAttr(path);
    const UniqueBstr pathText = ToBstr(path);
    const UniqueBstr attrText = ToBstr(attr);
    std::wstring diff;
    switch (Pick(4)) {
        case 0: {
            const LONG changeDefault = RandomFlag();
            VARIANT value = LongArg(LONG(Pick(3)));
            Call(L"late-bound SetValueByName(" + Quote(path) + L", " + Quote(attr) + L", " +
                     std::to_wstring(value.lVal) + L", " + std::to_wstring(changeDefault) + L")",
                 {path}, attr);
            const Conversion conversion{S_OK, true, ModelValue{VT_I4, value.lVal, std::nullopt}};
            ExpectHr(diff, L"SetValueByName", model_->SetValue(path, attr, &conversion, changeDefault, 1, 0),
                     Invoke(object_.get(), L"SetValueByName",
                            {BstrArg(pathText), BstrArg(attrText), value, LongArg(changeDefault)}));
            break;
        }
        case 1:
            Call(L"late-bound RemoveValueByName(" + Quote(path) + L", " + Quote(attr) + L")", {path}, attr);
            ExpectHr(diff, L"RemoveValueByName", model_->RemoveValueByName(path, attr, 0),
                     Invoke(object_.get(), L"RemoveValueByName", {BstrArg(pathText), BstrArg(attrText)}));
            break;
        case 2:
            Call(L"late-bound RemoveValues(" + Quote(path) + L")", {path});
            ExpectHr(diff, L"RemoveValues", model_->RemoveValues(path, 0),
                     Invoke(object_.get(), L"RemoveValues", {BstrArg(pathText)}));
            break;
        default:
            Call(L"late-bound RemoveKey(" + Quote(path) + L")", {path});
            ExpectHr(diff, L"RemoveKey", model_->RemoveKey(path, 0),
                     Invoke(object_.get(), L"RemoveKey", {BstrArg(pathText)}));
            break;
    }
    return diff;
}

// ---------------------------------------------------------------------------
// Whole-state comparisons

std::wstring ModelDriver::CompareAll() {
    std::wstring diff = CompareDirtyAndRoot(object_.get(), *model_);
    if (!model_->Initialised()) {
        std::wstring expected, real;
        ExpectHr(diff, L"GetKeys before Init", model_->GetKeys(std::wstring(), true, &expected),
                 RealGetKeys(object_.get(), std::wstring(), true, &real));
        return diff;
    }
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
    std::wstring diff = L"the registry below the Init path differs\n";
    std::vector<std::wstring> missing, extra;
    std::set_difference(expected.begin(), expected.end(), real.begin(), real.end(),
                        std::back_inserter(missing));
    std::set_difference(real.begin(), real.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    for (std::size_t i = 0; i < missing.size() && i < 6; ++i) diff += L"  only in the model: " + Escape(missing[i]) + L"\n";
    for (std::size_t i = 0; i < extra.size() && i < 6; ++i) diff += L"  only in the registry: " + Escape(extra[i]) + L"\n";
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
    std::wstring diff;
    ExpectHr(diff, L"Init of a fresh object", expected.Init(1, initPath_),
             fresh->Init(1, ToBstr(initPath_).get()));
    diff += CompareTree(fresh.get(), expected);
    return diff.empty() ? diff : L"a fresh object loads differently:\n" + diff;
}

}  // namespace veska::test

#include "OptionsTestSupport.h"

#include <mutex>

#include "trace/TimeTrace.h"

namespace veska::test {

namespace {

std::mutex traceMutex;
std::vector<std::wstring> traceEvents;

void __cdecl RecordTrace(int event, const wchar_t* function, const wchar_t*, int, const wchar_t*) {
    std::lock_guard<std::mutex> lock(traceMutex);
    traceEvents.push_back((event == kTimeTraceEnter ? L"+" : L"-") + std::wstring(function));
}

}  // namespace

std::wstring RenderVariant(const VARIANT& v) {
    if (v.vt == VT_BSTR && v.bstrVal == nullptr) return L"8:<null>";
    UniqueVariant text;
    std::wstring out = std::to_wstring(v.vt) + L":";
    if (SUCCEEDED(::VariantChangeType(text.put(), const_cast<VARIANT*>(&v), 0, VT_BSTR))) {
        out.append(text.get()->bstrVal, ::SysStringLen(text.get()->bstrVal));
    }
    return out;
}

UniqueVariant I4(LONG value) {
    UniqueVariant v;
    v.get()->vt = VT_I4;
    v.get()->lVal = value;
    return v;
}

UniqueVariant Str(const std::wstring& text) {
    UniqueVariant v;
    v.get()->vt = VT_BSTR;
    v.get()->bstrVal = ::SysAllocStringLen(text.c_str(), UINT(text.size()));
    return v;
}

namespace {

// Calls visit(row, name, value) for every row of a values array (none for null).
template <typename Visit>
void ForEachValueRow(SAFEARRAY* values, Visit visit) {
    LONG upper = -1;
    if (values != nullptr) ::SafeArrayGetUBound(values, 2, &upper);
    for (LONG r = 0; r <= upper; ++r) {
        LONG at[2] = {0, r};
        UniqueVariant name;
        UniqueVariant value;
        ::SafeArrayGetElement(values, at, name.get());
        at[0] = 1;
        ::SafeArrayGetElement(values, at, value.get());
        visit(r, std::wstring(name.get()->bstrVal), *value.get());
    }
}

}  // namespace

std::wstring RenderValues(SAFEARRAY* values) {
    if (values == nullptr) return L"<null>";
    std::wstring out;
    ForEachValueRow(values, [&](LONG row, const std::wstring& name, const VARIANT& value) {
        if (row > 0) out += L"|";
        out += name + L"=" + RenderVariant(value);
    });
    return out;
}

std::wstring RenderKeys(SAFEARRAY* keys) {
    if (keys == nullptr) return L"<null>";
    std::wstring out;
    LONG rows = 0;
    ::SafeArrayGetUBound(keys, 2, &rows);
    for (LONG r = 0; r <= rows; ++r) {
        LONG at[2] = {0, r};
        UniqueBstr name;
        ::SafeArrayGetElement(keys, at, name.put());
        out += (r > 0 ? L"|" : L"") + std::wstring(name.get() ? name.get() : L"");
    }
    return out;
}

std::vector<std::wstring> ReadOut(IVeskaOptions* options) {
    std::vector<std::wstring> lines;
    std::vector<std::wstring> pending{L""};
    while (!pending.empty()) {
        const std::wstring path = pending.back();
        pending.pop_back();
        const std::wstring prefix = path.empty() ? path : path + L"\\";
        if (!path.empty()) lines.push_back(prefix);
        SAFEARRAY* keys = nullptr;
        if (FAILED(options->GetKeys(Bstr(path), &keys))) {
            if (path.empty()) return {L"<not initialised>"};
            lines.push_back(prefix + L"<unreadable>");
            continue;
        }
        const UniqueSafeArray keysOwner = UniqueSafeArray::Adopt(keys);
        SAFEARRAY* values = nullptr;
        options->GetValues(Bstr(path), &values);
        const UniqueSafeArray valuesOwner = UniqueSafeArray::Adopt(values);
        ForEachValueRow(values, [&](LONG, const std::wstring& name, const VARIANT& value) {
            lines.push_back(prefix + name + L"=" + RenderVariant(value));
        });
        // Children go on the stack in reverse, so they are read in map order.
        LONG upper = -1;
        if (keys != nullptr) ::SafeArrayGetUBound(keys, 2, &upper);
        for (LONG r = upper; r >= 0; --r) {
            LONG at[2] = {0, r};
            UniqueBstr name;
            ::SafeArrayGetElement(keys, at, name.put());
            pending.push_back(prefix + std::wstring(name.get() ? name.get() : L""));
        }
    }
    VARIANT_BOOL dirty = 0;
    options->get_Dirty(&dirty);
    lines.push_back(L"dirty=" + std::to_wstring(dirty));
    return lines;
}

TraceRecorder::TraceRecorder() {
    traceEvents.clear();
    TimeTraceCallback = &RecordTrace;
}

TraceRecorder::~TraceRecorder() { TimeTraceCallback = nullptr; }

std::vector<std::wstring> TraceRecorder::Events() const {
    std::lock_guard<std::mutex> lock(traceMutex);
    return traceEvents;
}

ComPtr<IVeskaOptions3> OptionsTest::NewOptions() {
    ComPtr<IVeskaOptions3> options;
    EXPECT_EQ(CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, options.put_void()), S_OK);
    return options;
}

HRESULT OptionsTest::Init(const std::wstring& sub) { return opts->Init(1, Bstr(Reg(sub))); }

std::wstring OptionsTest::Keys(const std::wstring& path, HRESULT expected) {
    SAFEARRAY* keys = nullptr;
    EXPECT_EQ(opts->GetKeys(Bstr(path), &keys), expected) << path;
    const UniqueSafeArray owner = UniqueSafeArray::Adopt(keys);
    return RenderKeys(keys);
}

std::wstring OptionsTest::Values(const std::wstring& path, HRESULT expected) {
    SAFEARRAY* values = nullptr;
    EXPECT_EQ(opts->GetValues(Bstr(path), &values), expected) << path;
    const UniqueSafeArray owner = UniqueSafeArray::Adopt(values);
    return RenderValues(values);
}

std::wstring OptionsTest::Value(const std::wstring& path, const std::wstring& name) {
    UniqueVariant v;
    if (FAILED(opts->GetValueByName(Bstr(path), Bstr(name), v.put()))) return L"fail";
    return RenderVariant(*v.get());
}

HRESULT OptionsTest::Set(const std::wstring& path, const std::wstring& name, const VARIANT& v,
                         LONG changeDefault, LONG setDirtyBit) {
    return opts->SetValueByName(Bstr(path), Bstr(name), const_cast<VARIANT*>(&v), changeDefault,
                                setDirtyBit);
}

VARIANT_BOOL OptionsTest::Dirty() {
    VARIANT_BOOL dirty = 7;
    EXPECT_EQ(opts->get_Dirty(&dirty), S_OK);
    return dirty;
}

}  // namespace veska::test

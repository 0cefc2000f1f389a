// Reading: array shapes, names and order, the Root prefix, single values, and
// the refusals that leave out-parameters untouched.
#include "OptionsTestSupport.h"

#include "options/OxaSafeArray.h"

namespace veska::test {
namespace {

using Reading = OptionsTest;

// Dimensions, bounds (first dimension first), element type and features.
std::wstring Shape(SAFEARRAY* psa) {
    LONG lo1 = -1, hi1 = -1, lo2 = -1, hi2 = -1;
    VARTYPE vt = 0;
    ::SafeArrayGetLBound(psa, 1, &lo1);
    ::SafeArrayGetUBound(psa, 1, &hi1);
    ::SafeArrayGetLBound(psa, 2, &lo2);
    ::SafeArrayGetUBound(psa, 2, &hi2);
    ::SafeArrayGetVartype(psa, &vt);
    wchar_t text[96];
    swprintf(text, 96, L"dims=%u [%ld..%ld][%ld..%ld] vt=%u features=%#x size=%lu",
             ::SafeArrayGetDim(psa), lo1, hi1, lo2, hi2, vt, psa->fFeatures, psa->cbElements);
    return text;
}

TEST_F(Reading, ArraysHaveColumnsFirstAndRowsSecond) {
    SetString(HKEY_CURRENT_USER, Reg(), L"Name", L"abc");
    SetDword(HKEY_CURRENT_USER, Reg(), L"Count", 5);
    for (const wchar_t* key : {L"K1", L"K2", L"K3"}) CreateKey(HKEY_CURRENT_USER, Reg(key));
    ASSERT_EQ(Init(), S_OK);

    SAFEARRAY* raw = nullptr;
    ASSERT_EQ(opts->GetValues(Bstr(L""), &raw), S_OK);
    UniqueSafeArray values = UniqueSafeArray::Adopt(raw);
    EXPECT_EQ(Shape(raw), L"dims=2 [0..1][0..1] vt=12 features=0x880 size=" +
                             std::to_wstring(sizeof(VARIANT)));
    EXPECT_EQ(RenderValues(raw), L"count=3:5|name=8:abc");
    SafeArrayDataAccess access;
    ASSERT_EQ(access.Access(raw), S_OK);
    EXPECT_STREQ(access.data<VARIANT>()[2].bstrVal, L"name");  // name, value, name, value

    ASSERT_EQ(opts->GetKeys(Bstr(L""), &raw), S_OK);
    UniqueSafeArray keys = UniqueSafeArray::Adopt(raw);
    EXPECT_EQ(Shape(raw), L"dims=2 [0..0][0..2] vt=8 features=0x180 size=" +
                             std::to_wstring(sizeof(BSTR)));
    EXPECT_EQ(RenderKeys(raw), L"k1|k2|k3");
    EXPECT_EQ(Values(L"K1"), L"<null>");
}

TEST_F(Reading, RootPrefixIsPutInFrontOfEveryPath) {
    SetDword(HKEY_CURRENT_USER, Reg(L"Tools\\Editor"), L"FontSize", 9);
    ASSERT_EQ(Init(), S_OK);
    struct Case {
        const wchar_t* put;  // null puts a null BSTR
        std::size_t putLength;
        const wchar_t* got;  // null expects a null BSTR
    } cases[] = {{L"Tools", 5, L"Tools\\"}, {L"Tools\\", 6, L"Tools\\"}, {L"", 0, nullptr},
                 {nullptr, 0, nullptr},     {L"Tools\0X", 7, L"Tools\\"}};
    for (const Case& c : cases) {
        UniqueBstr put;
        if (c.put) put = CopyBstr(c.put, UINT(c.putLength));
        EXPECT_EQ(opts->put_Root(put.get()), S_OK);
        UniqueBstr got;
        ASSERT_EQ(opts->get_Root(got.put()), S_OK);
        if (c.got == nullptr) {
            EXPECT_EQ(got.get(), nullptr);
        } else {
            EXPECT_EQ(std::wstring(got.get(), ::SysStringLen(got.get())), c.got);
        }
    }
    ASSERT_EQ(opts->put_Root(Bstr(L"Tools")), S_OK);
    EXPECT_EQ(Value(L"Editor", L"FONTSIZE"), L"3:9");
    EXPECT_EQ(Keys(L"", E_FAIL), L"<null>");  // Tools\ ends in a backslash: no such node
    EXPECT_EQ(opts->put_Root(nullptr), S_OK);
    EXPECT_EQ(Value(L"Tools\\Editor", L"fontsize"), L"3:9");
}

TEST_F(Reading, GetValueByNameMatchesNamesWithoutCase) {
    SetString(HKEY_CURRENT_USER, Reg(L"Sub"), L"Name", L"abc");
    ASSERT_EQ(Init(), S_OK);
    for (const wchar_t* name : {L"NAME", L"name", L"Name"}) EXPECT_EQ(Value(L"sub", name), L"8:abc");
    EXPECT_EQ(Value(std::wstring(L"Sub\0junk", 8), L"Name"), L"8:abc");
    struct Case {
        const wchar_t* path;
        const wchar_t* attr;
    } misses[] = {{L"Sub", L"Other"}, {L"Nowhere", L"Name"}, {L"Sub", nullptr}};
    for (const Case& c : misses) {
        VARIANT v;
        v.vt = VT_I4;
        UniqueBstr attr = CopyBstr(c.attr);
        EXPECT_EQ(opts->GetValueByName(Bstr(c.path), attr.get(), &v), E_FAIL);
        EXPECT_EQ(v.vt, VT_EMPTY);
    }
    EXPECT_EQ(Keys(std::wstring(32767, L'x'), E_FAIL), L"<null>");
}

// Paths up to 64 units are folded whole, their backslashes found eight units at
// a time; longer ones segment by segment. Segments of seven letters put
// backslashes on the last unit of every block of eight.
TEST_F(Reading, PathsOfEveryLengthAroundTheFoldBufferFindTheirKeys) {
    const std::size_t lengths[] = {7, 8, 9, 15, 16, 17, 63, 64, 65, 130};
    const auto pathOf = [](std::size_t length) {
        std::wstring path;
        while (path.size() < length) path += path.empty() ? L"AbCdEfG" : L"\\AbCdEfG";
        path.resize(length);
        if (path.back() == L'\\') path.back() = L'Z';
        return path;
    };
    for (std::size_t length : lengths) {
        SetDword(HKEY_CURRENT_USER, Reg(pathOf(length)), L"Value", DWORD(length));
    }
    ASSERT_EQ(Init(), S_OK);
    for (std::size_t length : lengths) {
        std::wstring upper = pathOf(length);
        for (wchar_t& c : upper) c = (c >= L'a' && c <= L'z') ? wchar_t(c - 32) : c;
        EXPECT_EQ(Value(upper, L"VALUE"), L"3:" + std::to_wstring(length)) << length;
        upper.back() = L'Q';
        EXPECT_EQ(Value(upper, L"VALUE"), L"fail") << length;
    }
}

TEST_F(Reading, RefusalsLeaveOutParametersUntouched) {
    SAFEARRAY* junk = reinterpret_cast<SAFEARRAY*>(0x1234);
    VARIANT v;
    v.vt = VT_I4;
    // Not initialised yet, then null arguments.
    for (int round = 0; round < 2; ++round) {
        const Bstr empty(L"");
        const BSTR path = round ? nullptr : BSTR(empty);
        SAFEARRAY* out = junk;
        EXPECT_EQ(opts->GetKeys(path, &out), E_FAIL);
        EXPECT_EQ(opts->GetValues(path, &out), E_FAIL);
        EXPECT_EQ(opts->GetValueByName(path, Bstr(L"a"), &v), E_FAIL);
        EXPECT_EQ(out, junk);
        EXPECT_EQ(v.vt, VT_I4);
        EXPECT_EQ(opts->SetKeys(path, nullptr, 0), round ? S_OK : E_FAIL);
        if (round == 0) {
            ASSERT_EQ(Init(), S_OK);
        }
    }
    EXPECT_EQ(opts->GetKeys(Bstr(L""), nullptr), E_FAIL);
    EXPECT_EQ(opts->GetValues(Bstr(L""), nullptr), E_FAIL);
    EXPECT_EQ(opts->GetValueByName(Bstr(L""), Bstr(L"a"), nullptr), E_FAIL);
    EXPECT_EQ(opts->get_Dirty(nullptr), E_FAIL);
    EXPECT_EQ(opts->get_Root(nullptr), E_FAIL);
    ComPtr<IPersistStreamInit> persist = opts.try_query<IPersistStreamInit>();
    ASSERT_TRUE(persist);
    EXPECT_EQ(persist->IsDirty(), E_NOTIMPL);
    EXPECT_EQ(persist->InitNew(), E_NOTIMPL);
}

TEST(OxaSafeArray, PutElementChecksInOrderAndStoresCopies) {
    COxaSafeArray<BSTR> array;
    const UniqueBstr text = CopyBstr(L"t");
    const BSTR element = text.get();
    EXPECT_EQ(array.PutElement(&element, 0, 0), E_UNEXPECTED);
    array.Create(3, 2, VT_BSTR);
    EXPECT_EQ(array.PutElement(nullptr, 9, 9), E_POINTER);
    for (auto [row, column] : {std::pair{3, 0}, {-1, 0}, {0, 2}, {0, -1}}) {
        EXPECT_EQ(array.PutElement(&element, row, column), E_INVALIDARG);
    }
    EXPECT_EQ(array.PutElement(&element, 2, 1), S_OK);
    LONG at[2] = {1, 2};
    UniqueBstr stored;
    ASSERT_EQ(::SafeArrayGetElement(array.Array(), at, stored.put()), S_OK);
    EXPECT_STREQ(stored.get(), L"t");
    EXPECT_NE(stored.get(), text.get());
}

}  // namespace
}  // namespace veska::test

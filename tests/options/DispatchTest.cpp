// Late-bound calls by name through IDispatch, with the type library registered
// for the length of the test.
#include "OptionsTestSupport.h"

#include "TestPaths.h"

namespace veska::test {
namespace {

class Dispatch : public OptionsTest {
protected:
    void SetUp() override {
        ASSERT_EQ(::LoadTypeLibEx(VESKA_TEST_TLB(L"current"), REGKIND_NONE, library.put()), S_OK);
        ASSERT_EQ(::RegisterTypeLib(library.get(), const_cast<LPOLESTR>(VESKA_TEST_TLB(L"current")),
                                    nullptr), S_OK);
        dispatch = opts.try_query<IDispatch>();
        ASSERT_TRUE(dispatch);
    }
    void TearDown() override { ::UnRegisterTypeLib(LIBID_VESKAOPTIONSLib, 1, 0, 0, test::kOwnSysKind); }

    // Calls name with args given in order (Invoke wants them reversed).
    HRESULT Call(const wchar_t* name, std::vector<UniqueVariant> args, VARIANT* result = nullptr,
                 WORD flags = DISPATCH_METHOD) {
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        RETURN_IF_FAILED(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
        std::vector<VARIANT> reversed;
        for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr,
                          UINT(reversed.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
        return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
    }
    static std::vector<UniqueVariant> Args(UniqueVariant a, UniqueVariant b = {}, UniqueVariant c = {},
                                           UniqueVariant d = {}) {
        std::vector<UniqueVariant> out;
        for (UniqueVariant* v : {&a, &b, &c, &d}) {
            if (v->vt() != VT_EMPTY) out.push_back(std::move(*v));
        }
        return out;
    }

    ComPtr<ITypeLib> library;
    ComPtr<IDispatch> dispatch;
};

TEST_F(Dispatch, MembersAreReachedByName) {
    SetDword(HKEY_CURRENT_USER, Reg(L"Tools\\Sub"), L"v", 1);
    EXPECT_EQ(Call(L"Root", Args(Str(L"Tools")), nullptr, DISPATCH_PROPERTYPUT), S_OK);
    EXPECT_EQ(Call(L"Init", Args(I4(1), Str(Reg()))), S_OK);
    UniqueVariant result;
    EXPECT_EQ(Call(L"GetValueByName", Args(Str(L"Sub"), Str(L"V")), result.put()), S_OK);
    EXPECT_EQ(result.get()->lVal, 1);
    EXPECT_EQ(Call(L"SetValueByName", Args(Str(L"Sub"), Str(L"v"), I4(5), I4(0))), S_OK);
    EXPECT_EQ(Call(L"Dirty", {}, result.put(), DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(result.get()->vt, VT_BOOL);
    EXPECT_EQ(result.get()->boolVal, VARIANT_TRUE);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Reg(L"Tools\\Sub"), L"v"), 1u);
    EXPECT_EQ(Call(L"RemoveValueByName", Args(Str(L"Sub"), Str(L"v"))), S_OK);
    EXPECT_EQ(Value(L"Sub", L"v"), L"fail");
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Reg(L"Tools\\Sub"), L"v"));
    EXPECT_EQ(Call(L"AddKey", Args(Str(L"Sub\\New"), I4(0))), S_OK);
    EXPECT_EQ(Keys(L"Sub"), L"new");
    // A failing member comes back through Invoke as a failure.
    EXPECT_TRUE(FAILED(Call(L"GetValueByName", Args(Str(L""), Str(L"v")), result.put())));
}

TEST_F(Dispatch, InvokeRefusesArgumentsItCannotReadSafely) {
    // Init(MainKey, Root): rgvarg holds Root at index 0 and MainKey at index 1.
    UniqueBstr path = CopyBstr(Reg().c_str(), UINT(Reg().size()));
    BSTR goodText = path.get();
    VARIANT byRefNullBstr{}, byRefGoodBstr{}, byRefVariantNullBstr{}, byRefVariantGoodBstr{},
        byRefNullVariant{}, nested{}, mainKey{};
    V_VT(&byRefNullBstr) = VT_BYREF | VT_BSTR, V_BSTRREF(&byRefNullBstr) = nullptr;
    V_VT(&byRefGoodBstr) = VT_BYREF | VT_BSTR, V_BSTRREF(&byRefGoodBstr) = &goodText;
    VARIANT innerNull{};
    V_VT(&innerNull) = VT_BYREF | VT_BSTR, V_BSTRREF(&innerNull) = nullptr;
    V_VT(&byRefVariantNullBstr) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byRefVariantNullBstr) = &innerNull;
    V_VT(&byRefVariantGoodBstr) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byRefVariantGoodBstr) = &byRefGoodBstr;
    V_VT(&byRefNullVariant) = VT_BYREF | VT_VARIANT, V_VARIANTREF(&byRefNullVariant) = nullptr;
    V_VT(&nested) = VT_BYREF | VT_VARIANT, V_VARIANTREF(&nested) = &byRefVariantGoodBstr;
    V_VT(&mainKey) = VT_I4, V_I4(&mainKey) = 1;

    const struct Row {
        const char* what;
        VARIANT root;
        VARIANT key;
        HRESULT hr;
        UINT argError;  // 99: left as it was
    } rows[] = {
        {"by-reference BSTR, null pointer", byRefNullBstr, mainKey, DISP_E_TYPEMISMATCH, 0},
        {"key argument, null by-reference pointer", byRefGoodBstr, byRefNullBstr,
         DISP_E_TYPEMISMATCH, 1},
        {"by-reference VARIANT to a null by-reference BSTR", byRefVariantNullBstr, mainKey,
         DISP_E_TYPEMISMATCH, 0},
        {"null by-reference VARIANT", byRefNullVariant, mainKey, DISP_E_TYPEMISMATCH, 0},
        {"by-reference VARIANT to another", nested, mainKey, DISP_E_TYPEMISMATCH, 0},
        {"by-reference VARIANT to a by-reference BSTR", byRefVariantGoodBstr, mainKey, S_OK, 99},
    };
    for (const Row& row : rows) {
        opts = NewOptions();
        dispatch = opts.try_query<IDispatch>();
        VARIANT args[] = {row.root, row.key};
        DISPPARAMS params{args, nullptr, 2, 0};
        UINT argError = 99;
        EXPECT_EQ(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                                   &argError),
                  row.hr)
            << row.what;
        EXPECT_EQ(argError, row.argError) << row.what;
    }
    VARIANT one = mainKey;
    DISPID named = 0;
    const DISPPARAMS malformed[] = {
        {nullptr, nullptr, 2, 0}, {&one, &named, 0, 1}, {&one, nullptr, 1, 1}};
    for (const DISPPARAMS& params : malformed) {
        EXPECT_EQ(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, const_cast<DISPPARAMS*>(&params),
                                   nullptr, nullptr, nullptr),
                  E_INVALIDARG);
    }
    EXPECT_EQ(dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);
}

}  // namespace
}  // namespace veska::test

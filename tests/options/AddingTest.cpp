// Adding keys and values through IVeskaOptions3.
#include "OptionsTestSupport.h"

namespace veska::test {
namespace {

using Adding = OptionsTest;

TEST_F(Adding, AddKeyFilesOneNewKeyAndReportsRegistryFailures) {
    CreateKey(HKEY_CURRENT_USER, Reg(L"A"));
    EXPECT_EQ(opts->AddKey(Bstr(L"A\\New"), 1), E_FAIL);  // not initialised
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(opts->AddKey(nullptr, 1), E_FAIL);
    EXPECT_EQ(opts->AddKey(Bstr(L"Top"), 0), S_OK);
    EXPECT_EQ(opts->AddKey(Bstr(L"A\\New"), 1), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Reg(L"A\\New")));
    EXPECT_EQ(opts->AddKey(Bstr(L"a\\NEW"), 1), E_FAIL);
    EXPECT_EQ(opts->AddKey(Bstr(L"Missing\\X"), 1), E_FAIL);
    EXPECT_EQ(Keys(L""), L"a|top");
    EXPECT_EQ(Keys(L"A"), L"new");
    EXPECT_EQ(Values(L"A\\New"), L"<null>");
    // The parent is only in the cache: the registry step fails, and says so.
    EXPECT_EQ(opts->AddKey(Bstr(L"Top\\Child"), 1), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Keys(L"Top"), L"child");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Reg(L"Top")));
    ASSERT_EQ(opts->put_Root(Bstr(L"A")), S_OK);
    EXPECT_EQ(opts->AddKey(Bstr(L"Sub"), 1), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Reg(L"A\\Sub")));
}

TEST_F(Adding, AddValueByNameOnlyCreates) {
    SetDword(HKEY_CURRENT_USER, Reg(), L"Existing", 1);
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(opts->AddValueByName(Bstr(L""), Bstr(L"EXISTING"), I4(2).get(), 1), E_FAIL);
    EXPECT_EQ(Value(L"", L"existing"), L"3:1");
    EXPECT_EQ(opts->AddValueByName(Bstr(L""), Bstr(L"Fresh"), Str(L"f").get(), 0), S_OK);
    EXPECT_EQ(Value(L"", L"fresh"), L"8:f");
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Reg(), L"Fresh"));
    EXPECT_EQ(opts->AddValueByName(Bstr(L""), Bstr(L"Stored"), I4(3).get(), 1), S_OK);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Reg(), L"Stored"), 3u);
    EXPECT_EQ(opts->AddValueByName(Bstr(L"Nowhere"), Bstr(L"x"), I4(3).get(), 1), E_FAIL);
    EXPECT_EQ(Dirty(), 0);
    EXPECT_EQ(Set(L"", L"Fresh", *Str(L"g").get(), 0), S_OK);
    EXPECT_EQ(Dirty(), -1);
}

}  // namespace
}  // namespace veska::test

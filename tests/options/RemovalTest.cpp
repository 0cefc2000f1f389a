// Removing values and keys from the cache and, with ChangeDefault, from the
// registry below the Init path.
#include "OptionsTestSupport.h"

#include <algorithm>

namespace veska::test {
namespace {

using Removal = OptionsTest;

TEST_F(Removal, RemoveValueByNameTouchesTheRegistryOnlyWhenAsked) {
    SetDword(HKEY_CURRENT_USER, Reg(L"A"), L"Kept", 1);
    SetDword(HKEY_CURRENT_USER, Reg(L"A"), L"Gone", 2);
    SetString(HKEY_CURRENT_USER, Reg(L"A"), L"", L"unnamed");
    SetString(HKEY_CURRENT_USER, Reg(L"A"), L"(Default)", L"literal");
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(opts->RemoveValueByName(Bstr(L"a"), Bstr(L"KEPT"), 0), S_OK);
    EXPECT_EQ(Value(L"A", L"kept"), L"fail");
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L"Kept"));
    EXPECT_EQ(opts->RemoveValueByName(Bstr(L"A"), Bstr(L"Gone"), 1), S_OK);
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L"Gone"));
    // The cache filed both defaults under one name, which the empty name names
    // too: removing it deletes both, so that no load brings either back.
    EXPECT_EQ(opts->RemoveValueByName(Bstr(L"A"), Bstr(L""), 1), S_OK);
    EXPECT_EQ(Value(L"A", L"(default)"), L"fail");
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L"(Default)"));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L""));
    const std::wstring before = Snapshot(HKEY_CURRENT_USER, Reg());
    EXPECT_EQ(opts->RemoveValueByName(Bstr(L"A"), Bstr(L"Gone"), 1), E_FAIL);
    EXPECT_EQ(opts->RemoveValueByName(Bstr(L"A"), nullptr, 1), E_FAIL);
    EXPECT_EQ(opts->RemoveValueByName(Bstr(L"Nowhere"), Bstr(L"x"), 1), E_FAIL);
    EXPECT_EQ(opts->RemoveValueByName(nullptr, Bstr(L"x"), 1), E_FAIL);
    EXPECT_EQ(Snapshot(HKEY_CURRENT_USER, Reg()), before);
}

TEST_F(Removal, RemoveValuesDeletesByFoldedNamesAndKeepsChildren) {
    SetString(HKEY_CURRENT_USER, Reg(L"A"), L"", L"unnamed");
    SetString(HKEY_CURRENT_USER, Reg(L"A"), L"Text", L"t");
    SetDword(HKEY_CURRENT_USER, Reg(L"A"), L"Number", 1);
    SetRaw(HKEY_CURRENT_USER, Reg(L"A"), L"Blob", REG_BINARY, "b", 1);
    SetDword(HKEY_CURRENT_USER, Reg(L"A\\Child"), L"c", 1);
    CreateKey(HKEY_CURRENT_USER, Reg(L"Empty"));
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(opts->RemoveValues(Bstr(L"A"), 1), S_OK);
    EXPECT_EQ(Values(L"A"), L"<null>");
    EXPECT_EQ(Keys(L"A"), L"child");
    EXPECT_EQ(Values(L"A\\Child"), L"c=3:1");
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L"")) << "the unnamed value was cached";
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L"Blob"));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L"Text"));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L"Number"));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Reg(L"A\\Child"), L"c"));
    EXPECT_EQ(opts->RemoveValues(Bstr(L"Empty"), 0), S_OK);
    EXPECT_EQ(opts->RemoveValues(Bstr(L"Nowhere"), 0), E_FAIL);
}

TEST_F(Removal, RemoveKeyDropsTheWholeSubtree) {
    SetDword(HKEY_CURRENT_USER, Reg(L"A"), L"v", 1);
    SetDword(HKEY_CURRENT_USER, Reg(L"A\\B\\C\\D\\E"), L"deep", 1);
    CreateKey(HKEY_CURRENT_USER, Reg(L"A\\B\\C2"));
    CreateKey(HKEY_CURRENT_USER, Reg(L"Top"));
    ASSERT_EQ(Init(), S_OK);
    const std::wstring before = Snapshot(HKEY_CURRENT_USER, Reg());
    EXPECT_EQ(opts->RemoveKey(Bstr(L"Top"), 1), S_OK);  // single segment: nothing removed
    EXPECT_EQ(opts->RemoveKey(Bstr(L"A\\Missing"), 1), S_OK);
    EXPECT_EQ(opts->RemoveKey(Bstr(L"Nowhere\\B"), 1), E_FAIL);
    EXPECT_EQ(Snapshot(HKEY_CURRENT_USER, Reg()), before);
    EXPECT_EQ(Keys(L""), L"a|top");

    EXPECT_EQ(opts->RemoveKey(Bstr(L"a\\b"), 0), S_OK);
    EXPECT_EQ(Keys(L"A"), L"<null>");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Reg(L"A\\B\\C\\D\\E")));
    ASSERT_EQ(opts->AddKey(Bstr(L"A\\B"), 0), S_OK);
    {
        TraceRecorder trace;
        EXPECT_EQ(opts->RemoveKey(Bstr(L"A\\B"), 1), S_OK);  // cache node now empty: one scope
        const std::vector<std::wstring> events = trace.Events();
        EXPECT_EQ(std::count(events.begin(), events.end(), L"+CVeskaOptions::FreeOpsInfoMem"), 1);
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Reg(L"A\\B")));
    EXPECT_EQ(Value(L"A", L"v"), L"3:1");
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, Reg(L"A"), L"v"));
}

// A key filed under the empty name (AddKey of a path ending in a backslash) is
// removed from the cache without deleting its parent from the registry.
TEST_F(Removal, EmptyKeyNameNeverDeletesTheParent) {
    SetDword(HKEY_CURRENT_USER, Reg(L"A"), L"v", 1);
    ASSERT_EQ(Init(), S_OK);
    ASSERT_EQ(opts->AddKey(Bstr(L"A\\"), 1), S_OK);
    EXPECT_EQ(Keys(L"A"), L"");
    EXPECT_EQ(opts->RemoveKey(Bstr(L"A\\"), 1), S_OK);
    EXPECT_EQ(Keys(L"A"), L"<null>");
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Reg(L"A"), L"v"), 1u);
    EXPECT_EQ(CVeskaOptions::RecurseDeleteKey(HKEY_CURRENT_USER, L""), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace veska::test

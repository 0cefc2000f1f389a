// Writing: the flag table of InternalSetValueByName, the type-tag table, the
// "(Default)" rule, and where in the registry writes may land.
#include "OptionsTestSupport.h"

#include <cmath>

namespace veska::test {
namespace {

using Writes = OptionsTest;

TEST_F(Writes, FlagTable) {
    struct Row {
        bool cached;
        LONG addOnly, changeDefault, setDirty;
        HRESULT hr;
        const wchar_t* cache;  // value afterwards
        DWORD registry;        // 0: missing
        VARIANT_BOOL dirty;
    } rows[] = {
        {true, 0, 0, 1, S_OK, L"3:2", 1, -1},   {true, 0, 0, 0, S_OK, L"3:2", 1, 0},
        {true, 0, 1, 1, S_OK, L"3:2", 2, -1},   {true, 1, 1, 1, E_FAIL, L"3:1", 1, 0},
        {true, 1, 0, 1, E_FAIL, L"3:1", 1, 0},  {false, 0, 0, 1, E_FAIL, L"fail", 0, 0},
        {false, 0, 1, 1, S_OK, L"3:2", 2, 0},   {false, 1, 1, 1, S_OK, L"3:2", 2, 0},
        {false, 1, 0, 1, S_OK, L"3:2", 0, 0},
    };
    int index = 0;
    for (const Row& row : rows) {
        const std::wstring sub = L"Row" + std::to_wstring(index++);
        CreateKey(HKEY_CURRENT_USER, Reg(sub));
        if (row.cached) SetDword(HKEY_CURRENT_USER, Reg(sub), L"v", 1);
        opts = NewOptions();
        ASSERT_EQ(Init(sub), S_OK);
        auto* object = static_cast<CVeskaOptions*>(opts.get());
        const CVeskaOptions::WriteMode mode{row.changeDefault != 0, row.setDirty != 0,
                                            row.addOnly != 0};
        EXPECT_EQ(object->InternalSetValueByName(L"", L"V", I4(2).get(), mode), row.hr) << sub;
        EXPECT_EQ(Value(L"", L"v"), row.cache) << sub;
        EXPECT_EQ(ValueExists(HKEY_CURRENT_USER, Reg(sub), L"v") ? ReadDword(HKEY_CURRENT_USER, Reg(sub), L"v") : 0,
                  row.registry) << sub;
        EXPECT_EQ(Dirty(), row.dirty) << sub;
    }
}

TEST_F(Writes, TypeTagsDecideBetweenDwordAndString) {
    ASSERT_EQ(Init(), S_OK);
    LONG five = 5;
    DECIMAL big{};
    ::VarDecFromR8(std::ldexp(1.0, 40), &big);
    struct Row {
        VARTYPE vt;
        LONGLONG bits;  // raw bits of the value field
        HRESULT hr;
        const wchar_t* cache;
        DWORD regType;
    } rows[] = {
        {VT_I2, 5, S_OK, L"3:5", REG_DWORD},        {VT_BOOL, VARIANT_TRUE, S_OK, L"3:-1", REG_DWORD},
        {VT_I4, -7, S_OK, L"3:-7", REG_DWORD},      {VT_UI1, 200, S_OK, L"8:200", REG_SZ},
        {VT_INT, 9, S_OK, L"8:9", REG_SZ},          {VT_UI4, 4000000000, S_OK, L"8:4000000000", REG_SZ},
        {VT_I4 | VT_BYREF, LONGLONG(reinterpret_cast<intptr_t>(&five)), S_OK, L"8:5", REG_SZ},
        {VT_I4 | VT_BYREF, 0, E_FAIL, L"fail", 0},  {VT_EMPTY, 0, S_OK, L"8:", REG_SZ},
        {VT_NULL, 0, E_FAIL, L"fail", 0},           {VT_UNKNOWN, 0, E_FAIL, L"fail", 0},
        {0x7FFF, 0, DISP_E_BADVARTYPE, L"fail", 0}, {VT_DECIMAL, 0, E_FAIL, L"fail", 0},
    };
    int index = 0;
    for (const Row& row : rows) {
        VARIANT v;
        ::VariantInit(&v);
        if (row.vt == VT_DECIMAL) {
            v.decVal = big;
        } else {
            v.llVal = row.bits;
        }
        v.vt = row.vt;
        const std::wstring name = L"n" + std::to_wstring(index++);
        EXPECT_EQ(Set(L"", name, v, 1), row.hr) << name;
        EXPECT_EQ(Value(L"", name), row.cache) << name;
        DWORD type = 0;
        std::string data;
        EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, Reg(), name.c_str(), &type, &data) ? type : 0, row.regType)
            << name;
    }
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Reg(), L"n1"), 0xFFFFFFFFu);
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, Reg(), L"n6"), L"5");
    EXPECT_EQ(Dirty(), 0);
}

TEST_F(Writes, OnlyChangedValuesSetTheDirtyFlag) {
    SetDword(HKEY_CURRENT_USER, Reg(), L"n", 5);
    SetString(HKEY_CURRENT_USER, Reg(), L"s", L"abc");
    ASSERT_EQ(Init(), S_OK);
    VARIANT i2;
    i2.vt = VT_I2;
    i2.iVal = 5;
    EXPECT_EQ(Set(L"", L"n", i2, 0), S_OK);
    EXPECT_EQ(Dirty(), 0);
    VARIANT r8;
    r8.vt = VT_R8;
    r8.dblVal = 5.0;
    EXPECT_EQ(Set(L"", L"n", r8, 0, 0), S_OK);
    EXPECT_EQ(Value(L"", L"n"), L"8:5");
    EXPECT_EQ(Dirty(), 0);
    EXPECT_EQ(Set(L"", L"s", *Str(L"ABC").get(), 0), S_OK);
    EXPECT_EQ(Dirty(), -1);
    EXPECT_EQ(opts->put_Dirty(1), S_OK);
    EXPECT_EQ(Dirty(), 1);
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, Reg(), L"s"), L"abc");
}

// A string that the locale's comparison finds equal to the cached one (here it
// lacks a soft hyphen, which the comparison ignores) leaves the cache and the
// dirty flag alone, but the registry receives the caller's text.
TEST_F(Writes, RegistryReceivesTheCallersTextWhenTheCacheKeepsAnEqualOne) {
    SetString(HKEY_CURRENT_USER, Reg(), L"s", L"a\x00ad" L"bc");
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(Set(L"", L"s", *Str(L"abc").get(), 1), S_OK);
    EXPECT_EQ(Value(L"", L"s"), L"8:a\x00ad" L"bc");
    EXPECT_EQ(Dirty(), 0);
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, Reg(), L"s"), L"abc");
}

TEST_F(Writes, WhatIsWrittenWithChangeDefaultReadsBackAfterTheNextInit) {
    // Each row in a key of its own beside a value that enumerates after it.
    const struct Row {
        std::wstring name;
        UniqueVariant value;
    } rows[] = {
        {L"long_text", Str(std::wstring(3000, L't'))},
        {L"page_text", Str(std::wstring(4096, L'p'))},
        {std::wstring(300, L'n'), Str(L"long name")},
        {std::wstring(1000, L'm'), I4(7)},
        // Over both an unnamed value and one literally named "(Default)".
        {L"(Default)", Str(L"new default")},
        {L"(Default)", I4(5)},
        // The empty name is the unnamed value too, for strings and numbers.
        {L"", Str(L"empty name")},
        {L"", I4(77)},
        // Embedded nulls at the start, in the middle and at the end.
        {L"nul_start", Str(std::wstring(L"\0ab", 3))},
        {L"nul_middle", Str(std::wstring(L"ab\0cd", 5))},
        {L"nul_end", Str(std::wstring(L"ab\0", 3))},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::wstring key = L"Row" + std::to_wstring(i);
        SetString(HKEY_CURRENT_USER, Reg(key), L"", L"old unnamed");
        SetString(HKEY_CURRENT_USER, Reg(key), L"(Default)", L"old literal");
        SetDword(HKEY_CURRENT_USER, Reg(key), rows[i].name.c_str(), 1);
        SetString(HKEY_CURRENT_USER, Reg(key), L"zz_last", L"kept");
    }
    ASSERT_EQ(Init(), S_OK);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::wstring key = L"Row" + std::to_wstring(i);
        EXPECT_EQ(Set(key, rows[i].name, *rows[i].value.get(), 1), S_OK) << key;
    }
    opts = NewOptions();
    ASSERT_EQ(Init(), S_OK);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::wstring key = L"Row" + std::to_wstring(i);
        EXPECT_EQ(Value(key, rows[i].name), RenderVariant(*rows[i].value.get())) << key;
        if (rows[i].name.empty()) {
            EXPECT_EQ(Value(key, L"(DEFAULT)"), Value(key, L"")) << key;
        }
        EXPECT_EQ(Value(key, L"zz_last"), L"8:kept") << key;
    }
    // Below a key name the registry refuses the value lives in the cache alone,
    // and the write says so.
    const std::wstring refused(300, L'k');
    ASSERT_EQ(opts->AddKey(Bstr(refused), 0), S_OK);
    EXPECT_EQ(Set(refused, L"v", *I4(1).get(), 1), S_FALSE);
    EXPECT_EQ(Value(refused, L"v"), L"3:1");
}

TEST_F(Writes, DefaultNameRuleAppliesToStringsSpelledExactly) {
    ASSERT_EQ(Init(), S_OK);
    DWORD type = 0;
    std::string data;
    EXPECT_EQ(Set(L"", L"(default)", *Str(L"named").get(), 1), S_OK);
    EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, Reg(), L"", &type, &data));
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, Reg(), L"(default)"), L"named");
    EXPECT_EQ(Set(L"", L"(Default)", *I4(4).get(), 1), S_OK);
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Reg(), L"(Default)"), 4u);
    EXPECT_EQ(Set(L"", L"(Default)", *Str(L"unnamed").get(), 1), S_OK);
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, Reg(), L""), L"unnamed");
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Reg(), L"(Default)"))
        << "the literal value a load would prefer goes";
}

// Objects read from other hives still write below HKEY_CURRENT_USER, and no write
// of any path leaves the Init key.
TEST_F(Writes, ChangesLandBelowTheInitPathOfTheCurrentUser) {
    for (auto [hive, mainKey] : {std::pair{HKEY_LOCAL_MACHINE, 0}, {HKEY_CLASSES_ROOT, 2}}) {
        SetDword(hive, Reg(), L"v", 1);
        CreateKey(hive, Reg(L"A"));
        opts = NewOptions();
        ASSERT_EQ(opts->Init(mainKey, Bstr(Reg())), S_OK);
        EXPECT_EQ(Set(L"A", L"w", *I4(3).get(), 1), S_OK);
        EXPECT_EQ(Set(L"", L"v", *I4(2).get(), 1), S_OK);
        EXPECT_EQ(ReadDword(hive, Reg(), L"v"), 1u);
        EXPECT_FALSE(ValueExists(hive, Reg(L"A"), L"w"));
        DeleteTree(hive, Reg());
        ::RegDeleteKeyW(hive, L"Software\\VeskaOptionsTests");  // only when left empty
        EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Reg(L"A"), L"w"), 3u);
        EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, Reg(), L"v"), 2u);
    }
    const std::wstring parent = L"Software\\VeskaOptionsTests";
    const std::wstring leaf = Reg().substr(parent.size() + 1);
    const std::wstring before = Snapshot(HKEY_CURRENT_USER, parent);
    opts = NewOptions();
    ASSERT_EQ(Init(), S_OK);
    ASSERT_EQ(opts->AddKey(Bstr(L"B"), 0), S_OK);
    for (const std::wstring& path : {std::wstring(L"Nowhere"), std::wstring(32767, L'x')}) {
        EXPECT_EQ(Set(path, L"x", *I4(1).get(), 1), E_FAIL);
    }
    EXPECT_EQ(Snapshot(HKEY_CURRENT_USER, parent), before);
    EXPECT_EQ(opts->SetValueByName(Bstr(L""), nullptr, I4(1).get(), 1, 1), E_FAIL);
    EXPECT_EQ(opts->SetValueByName(nullptr, Bstr(L"x"), I4(1).get(), 1, 1), E_FAIL);
    EXPECT_EQ(opts->SetValueByName(Bstr(L""), Bstr(L"x"), nullptr, 1, 1), E_FAIL);
    // A key that only the cache holds is created by a write.
    EXPECT_EQ(Set(L"B", std::wstring(256, L'q'), *Str(L"s").get(), 1), S_OK);
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, Reg(L"B"), std::wstring(256, L'q').c_str()), L"s");
    const std::wstring after = Snapshot(HKEY_CURRENT_USER, parent);
    for (std::size_t at = 0; at < after.size(); at = after.find(L'\n', at) + 1) {
        EXPECT_EQ(after.compare(at, leaf.size(), leaf), 0) << after.substr(at, 80);
    }
}

}  // namespace
}  // namespace veska::test

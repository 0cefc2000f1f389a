// Loading the registry subtree into the cache: value types, names, capacities,
// Init's state rules, depth, and the trace scopes the load and release open.
#include "OptionsTestSupport.h"

namespace veska::test {
namespace {

using CacheLoader = OptionsTest;

TEST_F(CacheLoader, LoadsValuesAndSubKeysWithFoldedNames) {
    SetString(HKEY_CURRENT_USER, Reg(), L"", L"x");
    SetDword(HKEY_CURRENT_USER, Reg(), L"Level", 3);
    SetRaw(HKEY_CURRENT_USER, Reg(), L"Blob", REG_BINARY, "\1\2", 2);
    SetString(HKEY_CURRENT_USER, Reg(L"Sub"), L"Name", L"abc");
    for (const wchar_t* key : {L"Order\\Zeta", L"Order\\alpha", L"Order\\_x", L"Foo\\bar"}) {
        CreateKey(HKEY_CURRENT_USER, Reg(key));
    }
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(Values(L""), L"(default)=8:x|level=3:3");
    EXPECT_EQ(Keys(L""), L"foo|order|sub");
    EXPECT_EQ(Values(L"Sub"), L"name=8:abc");
    EXPECT_EQ(Keys(L"SUB"), L"<null>");
    EXPECT_EQ(Keys(L"Order"), L"_x|alpha|zeta");
    EXPECT_EQ(Keys(L"FOO\\Bar"), L"<null>");
    EXPECT_EQ(Value(L"", L"(DEFAULT)"), L"8:x");
    for (const wchar_t* path : {L"\\Sub", L"Sub\\", L"Foo\\\\bar"}) Keys(path, E_FAIL);
}

TEST_F(CacheLoader, SkipsOtherTypesAndReadsValuesOfAnySizeUpToOneMebibyte) {
    // Values enumerate in name order under Wine.
    const std::wstring key = Reg(L"Types");
    SetString(HKEY_CURRENT_USER, key, L"a", L"s");
    SetRaw(HKEY_CURRENT_USER, key, L"b", REG_BINARY, "xy", 2);
    SetRaw(HKEY_CURRENT_USER, key, L"c", REG_EXPAND_SZ, L"%x%", 8);
    SetRaw(HKEY_CURRENT_USER, key, L"d", REG_MULTI_SZ, L"m\0\0", 6);
    SetRaw(HKEY_CURRENT_USER, key, L"e", REG_QWORD, "12345678", 8);
    SetRaw(HKEY_CURRENT_USER, key, L"f", REG_DWORD, "\x07\x01", 2);  // short: zero-extended
    // Text keeps its embedded nulls; unterminated text ends at its first null.
    // (The registry terminates data whose next unit is a null: "g" is stored
    // with one, "ga" without.)
    SetRaw(HKEY_CURRENT_USER, key, L"g", REG_SZ, L"ab\0cd", 10);
    SetRaw(HKEY_CURRENT_USER, key, L"ga", REG_SZ, L"ab\0cdX", 10);
    const std::wstring fits(2047, L'w');                              // the first buffer
    SetString(HKEY_CURRENT_USER, key, L"h", fits);
    SetRaw(HKEY_CURRENT_USER, key, L"i", REG_SZ, std::wstring(2100, L'z').c_str(), 4097);
    const std::wstring large(512 * 1024 - 1, L'y');                   // 1 MiB with the null
    SetString(HKEY_CURRENT_USER, key, L"ia", large);
    SetString(HKEY_CURRENT_USER, key, L"ib", std::wstring(512 * 1024, L'x'));  // over: skipped
    SetRaw(HKEY_CURRENT_USER, key, L"ic", REG_BINARY, std::string(5000, 'b').data(), 5000);
    SetDword(HKEY_CURRENT_USER, key, L"j", 1);
    CreateKey(HKEY_CURRENT_USER, Reg(L"Types\\Sub"));
    const std::wstring longName(300, L'o');
    SetDword(HKEY_CURRENT_USER, Reg(L"Names"), std::wstring(255, L'n').c_str(), 1);
    SetDword(HKEY_CURRENT_USER, Reg(L"Names"), longName.c_str(), 2);
    SetDword(HKEY_CURRENT_USER, Reg(L"Names"), L"p", 3);
    CreateKey(HKEY_CURRENT_USER, Reg(L"Names\\" + std::wstring(256, L'k')));
    CreateKey(HKEY_CURRENT_USER, Reg(L"Names\\q"));
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(Values(L"Types"), L"a=8:s|f=3:263|g=8:" + std::wstring(L"ab\0cd", 5) + L"|ga=8:ab|h=8:" + fits + L"|i=8:" +
                                    std::wstring(2048, L'z') + L"|ia=8:" + large + L"|j=3:1");
    EXPECT_EQ(Keys(L"Types"), L"sub");
    EXPECT_EQ(Values(L"Names"), std::wstring(255, L'n') + L"=3:1|" + longName + L"=3:2|p=3:3");
    EXPECT_EQ(Keys(L"Names"), std::wstring(256, L'k') + L"|q");
}

TEST_F(CacheLoader, InitStateRules) {
    SetDword(HKEY_CURRENT_USER, Reg(L"A"), L"v", 1);
    EXPECT_EQ(opts->Apply(), E_FAIL);
    Keys(L"", E_FAIL);
    EXPECT_EQ(opts->Init(1, nullptr), E_INVALIDARG);
    EXPECT_EQ(opts->Init(3, Bstr(Reg())), E_INVALIDARG);
    EXPECT_EQ(opts->Init(-1, Bstr(Reg())), E_INVALIDARG);
    EXPECT_EQ(Init(), S_OK);
    EXPECT_EQ(opts->Apply(), S_OK);
    EXPECT_EQ(opts->Init(1, Bstr(Reg(L"A"))), E_FAIL);
    EXPECT_EQ(Keys(L""), L"a");

    ComPtr<IVeskaOptions3> missing = NewOptions();
    EXPECT_EQ(missing->Init(1, Bstr(Reg(L"Nowhere"))), S_OK);
    SAFEARRAY* keys = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(missing->GetKeys(Bstr(L""), &keys), S_OK);
    EXPECT_EQ(keys, nullptr);
}

TEST_F(CacheLoader, LoadAndReleaseOpenOneScopePerKey) {
    for (const wchar_t* key : {L"A\\A1", L"A\\A2", L"B"}) CreateKey(HKEY_CURRENT_USER, Reg(key));
    TraceRecorder trace;
    ASSERT_EQ(Init(), S_OK);
    opts.reset();
    std::wstring fill;
    std::wstring release;
    for (const std::wstring& e : trace.Events()) {
        if (e.find(L"FillKeysValues") != std::wstring::npos) fill += e[0];
        if (e.find(L"FreeOpsInfoMem") != std::wstring::npos) release += e[0];
    }
    // root, a (a1, a2), b: nested as a recursive walk would nest them
    EXPECT_EQ(fill, L"+++-+--+--");
    EXPECT_EQ(release, L"+++-+--+--");
    EXPECT_EQ(trace.Events().front(), L"+CVeskaOptions::Init");
}

struct DeepWork {
    std::wstring root;
    int depth = 0;
    std::wstring deepest;
    HRESULT added = E_FAIL;
};

// Loads the chain below root, reads its deepest value, adds 3000 more levels in
// the cache, then releases everything.
DWORD WINAPI LoadDeepTree(void* param) {
    DeepWork& w = *static_cast<DeepWork*>(param);
    ComPtr<IVeskaOptions3> o;
    if (FAILED(CreateComInstance<CVeskaOptions>(nullptr, IID_IVeskaOptions3, o.put_void()))) return 2;
    if (o->Init(1, Bstr(w.root)) != S_OK) return 1;
    std::wstring path = L"k";
    for (int i = 1; i < w.depth; ++i) path += L"\\k";
    UniqueVariant v;
    if (SUCCEEDED(o->GetValueByName(Bstr(path), Bstr(L"V"), v.put()))) w.deepest = v.get()->bstrVal;
    w.added = S_OK;
    for (int i = 0; i < 3000 && w.added == S_OK; ++i) {
        path += L"\\n";
        w.added = o->AddKey(Bstr(path), 0);
    }
    return 0;
}

// The deepest registry subtree, then a far deeper chain added in the cache, both
// loaded and released on a thread whose stack is 1 MiB.
TEST_F(CacheLoader, DeepTreesNeedNoStack) {
    DeepWork work;
    work.root = Reg();
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, work.root.c_str(), 0, KEY_ALL_ACCESS, &key), 0);
    for (; work.depth < 512; ++work.depth) {
        HKEY child = nullptr;
        if (::RegCreateKeyExW(key, L"k", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr)) break;
        ::RegCloseKey(key);
        key = child;
    }
    ::RegSetValueExW(key, L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"deep"), 10);
    ::RegCloseKey(key);
    ASSERT_GE(work.depth, 500);

    HANDLE thread = ::CreateThread(nullptr, 1 << 20, &LoadDeepTree, &work,
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(::WaitForSingleObject(thread, 120000), WAIT_OBJECT_0);
    DWORD code = 99;
    ::GetExitCodeThread(thread, &code);
    ::CloseHandle(thread);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(work.deepest, L"deep");
    EXPECT_EQ(work.added, S_OK);
}

}  // namespace
}  // namespace veska::test

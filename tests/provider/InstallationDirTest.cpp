// The cached installation directory, asked of the InstallationInfo companion.
// The cache lives as long as the process, so this program has it to itself and
// walks through its states in order.
#include <gtest/gtest.h>

#include <thread>

#include "ProviderTestSupport.h"
#include "TestPaths.h"
#include "tests/common/TestRegistry.h"
#include "support/InstallationDir.h"
#include "contracts/InstallationInfo.h"

namespace veska::test {
namespace {

const std::wstring kServer = VESKA_TEST_COMPANION(L"InstallationInfo.dll");

// Registers the companion for one test and removes it and its settings after.
class InstallationInfoServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Regsvr32(kServer, false), 0); }
    void TearDown() override {
        EXPECT_EQ(Regsvr32(kServer, true), 0);
        DeleteTree(HKEY_LOCAL_MACHINE, kInstallationKey);
    }
};

std::pair<bool, std::wstring> Lookup() {
    std::wstring dir = L"junk";
    const bool found = GetInstallationDir(dir);
    return {found, dir};
}

TEST(InstallationDir, AsksUntilAnsweredThenKeepsTheAnswer) {
    const std::pair<bool, std::wstring> unknown = {false, L""};
    EXPECT_EQ(Lookup(), unknown) << "not registered";
    EXPECT_EQ(Lookup(), unknown);

    ASSERT_EQ(Regsvr32(kServer, false), 0);
    EXPECT_EQ(Lookup(), unknown) << "no setting";
    SetDword(HKEY_LOCAL_MACHINE, kInstallationKey, L"Installation Dir", 5);
    EXPECT_EQ(Lookup(), unknown) << "a number is no directory";
    SetString(HKEY_LOCAL_MACHINE, kInstallationKey, L"Installation Dir", L"");
    EXPECT_EQ(Lookup(), unknown) << "empty text";

    // Two first answers at once, from threads of the multithreaded apartment.
    SetString(HKEY_LOCAL_MACHINE, kInstallationKey, L"Installation Dir", L"C:\\Veska");
    UniqueHandle start = UniqueHandle::Adopt(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::pair<bool, std::wstring> seen[2];
    std::vector<std::thread> threads;
    for (auto& result : seen) {
        threads.emplace_back([&start, &result] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            if (WaitForSingleObject(start.get(), 10000) == WAIT_OBJECT_0) result = Lookup();
            CoUninitialize();
        });
    }
    SetEvent(start.get());
    for (auto& thread : threads) thread.join();
    const std::pair<bool, std::wstring> answer = {true, L"C:\\Veska"};
    EXPECT_EQ(seen[0], answer);
    EXPECT_EQ(seen[1], answer);

    SetString(HKEY_LOCAL_MACHINE, kInstallationKey, L"Installation Dir", L"D:\\Elsewhere");
    EXPECT_EQ(Lookup(), answer) << "kept for the process";
    EXPECT_EQ(Regsvr32(kServer, true), 0);
    DeleteTree(HKEY_LOCAL_MACHINE, kInstallationKey);
    EXPECT_EQ(Lookup(), answer);
}

TEST_F(InstallationInfoServer, AnswersTheInstallersSettingsByType) {
    SetString(HKEY_LOCAL_MACHINE, kInstallationKey, L"Product Name", L"Veska");
    SetDword(HKEY_LOCAL_MACHINE, kInstallationKey, L"Build", 42);
    const std::wstring expandable = L"%SystemRoot%\\Veska";
    SetRaw(HKEY_LOCAL_MACHINE, kInstallationKey, L"Expanded", REG_EXPAND_SZ, expandable.c_str(),
           static_cast<DWORD>((expandable.size() + 1) * sizeof(wchar_t)));
    ComPtr<IInstallationInfo> info;
    ASSERT_EQ(CoCreateInstance(CLSID_InstallationInfo, nullptr, CLSCTX_INPROC_SERVER,
                               __uuidof(IInstallationInfo), info.put_void()),
              S_OK);
    struct Case {
        const wchar_t* name;
        HRESULT hr;
        VARTYPE vt;
    } cases[] = {{L"Product Name", S_OK, VT_BSTR},
                 {L"Build", S_OK, VT_I4},
                 {L"Expanded", S_OK, VT_BSTR},
                 {L"Missing", S_FALSE, VT_EMPTY}};
    for (const Case& c : cases) {
        UniqueVariant value;
        UniqueBstr name = CopyBstr(c.name);
        EXPECT_EQ(info->GetSetting(name.get(), value.get()), c.hr) << c.name;
        EXPECT_EQ(value.vt(), c.vt) << c.name;
        if (c.vt == VT_BSTR && c.name == std::wstring(L"Expanded")) {
            EXPECT_EQ(std::wstring(value.get()->bstrVal).find(L'%'), std::wstring::npos);
        }
    }
    UniqueVariant value;
    EXPECT_EQ(info->GetSetting(nullptr, value.get()), E_INVALIDARG);
    UniqueBstr product;
    EXPECT_EQ(info->get_ProductName(product.put()), S_OK);
    EXPECT_STREQ(product.get(), L"Veska");
}

}  // namespace
}  // namespace veska::test

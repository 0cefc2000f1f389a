// DllRegisterServer and DllUnregisterServer of the built DLL against the real
// registry: counted registrations, the bare file name, removal rules.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

#include "TestPaths.h"
#include "TestRegistry.h"

namespace veska {
namespace {

using test::KeyExists;
using test::ReadDword;
using test::ReadString;
using test::ValueExists;

#ifdef VESKA_EARLIER_EDITION
#define EDITION L"earlier"
#else
#define EDITION L"current"
#endif

const std::wstring kOptionsClsid = L"CLSID\\{479B30A2-93C1-11D4-8EBA-0001022C3670}";
const std::wstring kProviderClsid = L"CLSID\\{479B30A4-93C1-11D4-8EBA-0001022C3670}";
const std::wstring kTypeLib = L"TypeLib\\{479B30AF-93C1-11D4-8EBA-0001022C3670}";
const std::wstring kTypeLibPlatform = kTypeLib + L"\\1.0\\0\\" + test::kOwnTypeLibPlatformKey;
// Each ProgID and the class it names, as the registration scripts spell it.
const struct {
    const wchar_t* progId;
    const wchar_t* clsid;
} kProgIds[] = {{L"Corvane.VeskaOptions.1", L"{479B30A2-93C1-11d4-8EBA-0001022C3670}"},
                {L"Corvane.VeskaOptions", L"{479B30A2-93C1-11d4-8EBA-0001022C3670}"},
                {L"Corvane.PropertyProvider.1", L"{479B30A4-93C1-11d4-8EBA-0001022C3670}"},
                {L"Corvane.PropertyProvider", L"{479B30A4-93C1-11d4-8EBA-0001022C3670}"}};

// HKCR\CLSID of the other architecture's registry view (the 32-bit view from a
// 64-bit test, the 64-bit view from a 32-bit test on a 64-bit system); null on a
// system with one view. Keys below this handle are that view's.
using OtherViewKey = std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)>;
OtherViewKey OpenOtherViewClsidRoot() {
    REGSAM view = KEY_WOW64_32KEY;
    if (sizeof(void*) == 4) {
        BOOL wow64 = FALSE;
        if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return {nullptr, &RegCloseKey};
        view = KEY_WOW64_64KEY;
    }
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                    nullptr);
    return {key, &RegCloseKey};
}

using ServerFn = HRESULT(__stdcall*)();

// Loads a copy of the DLL from a folder of its own and removes every entry the
// library may have written, before and after each test.
class Registration : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveEverything();
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"veska-registration-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder_.c_str(), nullptr);
        copy_ = folder_ + L"\\VeskaOptions.dll";
        ASSERT_TRUE(CopyFileW(VESKA_TEST_DLL(EDITION), copy_.c_str(), FALSE));
        module_ = LoadLibraryW(copy_.c_str());
        ASSERT_NE(module_, nullptr);
        register_ = reinterpret_cast<ServerFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(module_, "DllRegisterServer")));
        unregister_ = reinterpret_cast<ServerFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(module_, "DllUnregisterServer")));
        ASSERT_NE(register_, nullptr);
        ASSERT_NE(unregister_, nullptr);
    }
    void TearDown() override {
        FreeLibrary(module_);
        DeleteFileW(copy_.c_str());
        RemoveDirectoryW(folder_.c_str());
        RemoveEverything();
    }

    static void RemoveEverything() {
        for (const auto& entry : kProgIds) test::DeleteTree(HKEY_CLASSES_ROOT, entry.progId);
        test::DeleteTree(HKEY_CLASSES_ROOT, kOptionsClsid);
        test::DeleteTree(HKEY_CLASSES_ROOT, kProviderClsid);
        test::DeleteTree(HKEY_CLASSES_ROOT, kTypeLib);
        if (OtherViewKey other = OpenOtherViewClsidRoot()) {
            test::DeleteTree(other.get(), kOptionsClsid.substr(6));
            test::DeleteTree(other.get(), kProviderClsid.substr(6));
        }
    }

    static bool ClassRegistered(const std::wstring& clsidKey, const wchar_t* progId) {
        return KeyExists(HKEY_CLASSES_ROOT, clsidKey) && KeyExists(HKEY_CLASSES_ROOT, progId);
    }

    HMODULE module_ = nullptr;
    ServerFn register_ = nullptr;
    ServerFn unregister_ = nullptr;
    std::wstring folder_;
    std::wstring copy_;
};

TEST_F(Registration, OneRegistrationWritesTheScriptsKeysWithCounts) {
    ASSERT_EQ(register_(), S_OK);
    struct Expected {
        std::wstring key;
        const wchar_t* value;
        const wchar_t* data;
    } strings[] = {
        {L"Corvane.VeskaOptions.1", nullptr, L"VeskaOptions Class"},
        {L"Corvane.VeskaOptions.1\\CLSID", nullptr, L"{479B30A2-93C1-11d4-8EBA-0001022C3670}"},
        {L"Corvane.VeskaOptions", nullptr, L"VeskaOptions Class"},
        {L"Corvane.VeskaOptions\\CurVer", nullptr, L"Corvane.VeskaOptions.1"},
        {kOptionsClsid, nullptr, L"VeskaOptions Class"},
        {kOptionsClsid + L"\\ProgID", nullptr, L"Corvane.VeskaOptions.1"},
        {kOptionsClsid + L"\\VersionIndependentProgID", nullptr, L"Corvane.VeskaOptions"},
        {kOptionsClsid + L"\\InprocServer32", nullptr, L"VeskaOptions.dll"},
        {kOptionsClsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {L"Corvane.PropertyProvider.1", nullptr, L"PropertyProvider Class"},
        {L"Corvane.PropertyProvider\\CurVer", nullptr, L"Corvane.PropertyProvider.1"},
        {kProviderClsid + L"\\InprocServer32", nullptr, L"VeskaOptions.dll"},
        {kProviderClsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {kTypeLibPlatform, nullptr, L"VeskaOptions.dll"},
        {kTypeLib + L"\\1.0\\HELPDIR", nullptr, L""},
    };
    for (const Expected& e : strings) {
        EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, e.key, e.value), e.data) << e.key.c_str();
    }
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kOptionsClsid + L"\\Programmable"));
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kOptionsClsid + L"\\InprocServer32", L"RefCount"), 1u);
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kProviderClsid + L"\\InprocServer32", L"RefCount"), 1u);
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kTypeLibPlatform, L"RefCount"), 1u);
}

TEST_F(Registration, CountsUndoOneRegistrationAtATime) {
    ASSERT_EQ(register_(), S_OK);
    ASSERT_EQ(register_(), S_OK);
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kTypeLibPlatform, L"RefCount"), 2u);

    EXPECT_EQ(unregister_(), S_FALSE) << "registrations remain";
    EXPECT_TRUE(ClassRegistered(kOptionsClsid, L"Corvane.VeskaOptions.1"));
    EXPECT_TRUE(ClassRegistered(kProviderClsid, L"Corvane.PropertyProvider"));
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kOptionsClsid + L"\\InprocServer32", L"RefCount"), 1u);
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kProviderClsid + L"\\InprocServer32", L"RefCount"), 1u);
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kTypeLibPlatform, L"RefCount"), 1u);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kTypeLibPlatform, nullptr), L"VeskaOptions.dll");

    EXPECT_EQ(unregister_(), S_OK);
    for (const auto& entry : kProgIds) {
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, entry.progId)) << entry.progId;
    }
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kOptionsClsid));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kProviderClsid));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLib));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID")) << "NoRemove keeps the CLSID key";
}

TEST_F(Registration, UnregisteringWhatWasNeverRegisteredTouchesNothing) {
    test::SetDword(HKEY_CLASSES_ROOT, kOptionsClsid + L"\\InprocServer32", L"RefCount", 3);
    EXPECT_EQ(unregister_(), E_FAIL);
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kOptionsClsid + L"\\InprocServer32", L"RefCount"), 3u);
}

TEST_F(Registration, ClassWithoutCountFromAnOlderCopyGoesAtOnce) {
    ASSERT_EQ(register_(), S_OK);
    ASSERT_EQ(register_(), S_OK);
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_CLASSES_ROOT, (kOptionsClsid + L"\\InprocServer32").c_str(), L"RefCount"),
              ERROR_SUCCESS);
    EXPECT_EQ(unregister_(), S_FALSE);
    EXPECT_FALSE(ClassRegistered(kOptionsClsid, L"Corvane.VeskaOptions.1"));
    EXPECT_TRUE(ClassRegistered(kProviderClsid, L"Corvane.PropertyProvider.1"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibPlatform));
}

TEST_F(Registration, CountOfAnotherTypeReadsAsZero) {
    test::SetString(HKEY_CLASSES_ROOT, kProviderClsid + L"\\InprocServer32", L"RefCount", L"5");
    ASSERT_EQ(register_(), S_OK);
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kProviderClsid + L"\\InprocServer32", L"RefCount"), 1u);
}

TEST_F(Registration, KeysRemovedByHandStopTheClassWalkOnly) {
    ASSERT_EQ(register_(), S_OK);
    test::DeleteTree(HKEY_CLASSES_ROOT, kOptionsClsid + L"\\InprocServer32");
    EXPECT_EQ(unregister_(), S_OK) << "the type library count decides the result";
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLib));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Corvane.PropertyProvider.1"))
        << "classes after the failing one keep their entries";
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, kProviderClsid + L"\\InprocServer32", L"RefCount"), 1u);
}

// The other architecture's registration of the same classes, as a registration
// from its own registry view leaves it: class keys with counts in that view, its
// platform key below the type library key that both views share. The last
// unregistration here must leave the ProgIDs (shared keys) naming the classes,
// and the type library key with the other platform's entry.
TEST_F(Registration, LastUnregistrationLeavesWhatTheOtherViewStillRegisters) {
    const OtherViewKey otherRoot = OpenOtherViewClsidRoot();
    const HKEY other = otherRoot.get();
    if (other == nullptr) GTEST_SKIP() << "this system has one registry view";
    const std::wstring otherPlatform = kTypeLib + L"\\1.0\\0\\" +
                                       (sizeof(void*) == 8 ? L"win32" : L"win64");
    ASSERT_EQ(register_(), S_OK);
    for (const std::wstring& clsid : {kOptionsClsid, kProviderClsid}) {
        test::SetString(other, clsid.substr(6) + L"\\InprocServer32", nullptr, L"VeskaOptions.dll");
        test::SetDword(other, clsid.substr(6) + L"\\InprocServer32", L"RefCount", 1);
    }
    test::SetString(HKEY_CLASSES_ROOT, otherPlatform, nullptr, L"VeskaOptions.dll");
    test::SetDword(HKEY_CLASSES_ROOT, otherPlatform, L"RefCount", 1);
    ASSERT_FALSE(KeyExists(other, kOptionsClsid.substr(6) + L"\\Programmable"))
        << "the other view is a copy of its own";

    EXPECT_EQ(unregister_(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kOptionsClsid)) << "this view's class keys go";
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kProviderClsid));
    for (const auto& entry : kProgIds) {
        EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, std::wstring(entry.progId) + L"\\CLSID", nullptr), entry.clsid)
            << entry.progId;
    }
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Corvane.VeskaOptions\\CurVer", nullptr), L"Corvane.VeskaOptions.1");
    EXPECT_EQ(ReadDword(other, kOptionsClsid.substr(6) + L"\\InprocServer32", L"RefCount"), 1u);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibPlatform)) << "this platform's entry goes";
    EXPECT_EQ(ReadDword(HKEY_CLASSES_ROOT, otherPlatform, L"RefCount"), 1u);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kTypeLib + L"\\1.0\\HELPDIR", nullptr), L"")
        << "the shared help directory names no folder of this copy";
}

}  // namespace
}  // namespace veska

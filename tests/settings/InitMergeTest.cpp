// The settings files as an options object sees them: merged by Init over the
// registry subtree it loaded.
#include <gtest/gtest.h>

#include "SettingsTestSupport.h"
#include "tests/options/OptionsTestSupport.h"

namespace veska {
namespace {

using test::Bstr;
using test::SettingsXml;

// An options object on its own scratch key, in an installation layout whose
// settings folder the test fills before calling Init.
class InitMerge : public test::OptionsTest {
protected:
    // The directory is looked up once per process: the same one as the other tests.
    test::InstallationInfoStandIn installation_{L"C:\\Veska Install"};
    test::SettingsLayout layout_;
};

const char kDefaults[] =
    "<Key Name='Editor'>"
    "<Value Name='FontSize' Type='I4'>12</Value>"
    "<Value Name='WordWrap' Type='BOOL'>-1</Value>"
    "<Value Name='Zoom' Type='R8'>1.5</Value>"
    "<Value Name='Help' Type='STRING'>INSTALLDIR\\Help</Value>"
    "<Key Name='Plugins'><Value Name='Count' Type='NUMBER'>2</Value></Key>"
    "</Key>";

TEST_F(InitMerge, FileValuesOverrideTheRegistryInTheCacheOnly) {
    test::CompanionRegistration companion;
    test::SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"FontSize", 10);
    test::SetString(HKEY_CURRENT_USER, Reg(L"Editor"), L"Font", L"Courier");
    layout_.AddFile(L"defaults.xml", SettingsXml(kDefaults));

    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(Value(L"Editor", L"FontSize"), L"3:12");
    EXPECT_EQ(Value(L"Editor", L"Font"), L"8:Courier") << "registry values the file does not name stay";
    EXPECT_EQ(test::ReadDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"FontSize"), 10u);
    EXPECT_EQ(Dirty(), 0) << "the merge is not a change by the caller";
    EXPECT_EQ(Value(L"Editor", L"WordWrap"), L"11:-1");
    EXPECT_EQ(Value(L"Editor", L"Zoom"), L"5:1.5");
    EXPECT_EQ(Value(L"Editor", L"Help"), L"8:C:\\Veska Install\\Help");
    EXPECT_EQ(Keys(L"Editor"), L"plugins");
    EXPECT_EQ(Value(L"Editor\\Plugins", L"Count"), L"3:2");
    EXPECT_FALSE(test::KeyExists(HKEY_CURRENT_USER, Reg(L"Editor\\Plugins")));

    // A typed default is replaced by the two stored forms of a write.
    EXPECT_EQ(Set(L"Editor", L"WordWrap", *test::I4(0).get(), 0), S_OK);
    EXPECT_EQ(Value(L"Editor", L"WordWrap"), L"3:0");
    EXPECT_EQ(Dirty(), -1);
}

TEST_F(InitMerge, KeysFromFilesAreNotInTheRegistry) {
    test::CompanionRegistration companion;
    layout_.AddFile(L"defaults.xml", SettingsXml(kDefaults));
    ASSERT_EQ(Init(), S_OK);
    const std::wstring before = test::Snapshot(HKEY_CURRENT_USER, Reg());
    EXPECT_EQ(opts->RemoveKey(Bstr(L"Editor\\Plugins"), 1), S_OK);
    EXPECT_EQ(Keys(L"Editor"), L"<null>");
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, Reg()), before) << "nothing to delete in the registry";
}

TEST_F(InitMerge, EveryObjectGetsTheSameDefaultsAtItsOwnRoot) {
    test::CompanionRegistration companion;
    layout_.AddFile(L"defaults.xml", SettingsXml(kDefaults));
    test::ScratchKey other;
    ASSERT_EQ(Init(), S_OK);
    ComPtr<IVeskaOptions3> second = NewOptions();
    ASSERT_EQ(second->Init(1, Bstr(other.Path())), S_OK);
    UniqueVariant value;
    ASSERT_EQ(second->GetValueByName(Bstr(L"Editor"), Bstr(L"FontSize"), value.put()), S_OK);
    EXPECT_EQ(value.vt(), VT_I4);
    EXPECT_EQ(value.get()->lVal, 12);
}

TEST_F(InitMerge, AFailedFileGivesSFalseAndKeepsWhatMerged) {
    test::CompanionRegistration companion;
    layout_.AddFile(L"a.xml", SettingsXml("<Value Name='Good' Type='I4'>1</Value>"
                                          "<Value Name='Bad' Type='UI4'>4294967295</Value>"));
    ASSERT_EQ(Init(), S_FALSE);
    EXPECT_EQ(Value(L"", L"Good"), L"3:1");
    EXPECT_EQ(Value(L"", L"Bad"), L"8:4294967295") << "an unconvertible value stays as text";
    EXPECT_EQ(opts->Init(1, Bstr(Reg())), E_FAIL) << "the object counts as initialised";
}

TEST_F(InitMerge, UnregisteredComponentFailsEveryFile) {
    layout_.AddFile(L"defaults.xml", SettingsXml(kDefaults));
    test::SetDword(HKEY_CURRENT_USER, Reg(), L"Kept", 1);
    ASSERT_EQ(Init(), S_FALSE);
    EXPECT_EQ(Value(L"", L"Kept"), L"3:1") << "the registry load stands";
    EXPECT_EQ(Keys(L""), L"<null>");
}

}  // namespace
}  // namespace veska

// The "INSTALLDIR" token while no installation directory is known, then once one
// is: the merge asks again only while its copy is empty, and keeps the first
// answer. Runs in a process of its own, before any directory is known.
#include <gtest/gtest.h>

#include "SettingsTestSupport.h"
#include "options/DefaultSettings.h"

namespace veska {
namespace {

std::wstring MergedPath() {
    OpsInfo* root = new OpsInfo();
    EXPECT_EQ(LoadDefaultSettings(*root), S_OK);
    const VARIANT* value = test::CachedValue(*root, L"", L"path");
    std::wstring text = value && value->vt == VT_BSTR ? value->bstrVal : L"<missing>";
    test::FreeTree(root);
    return text;
}

TEST(InstallDirToken, EmptyDirectoryRemovesTheTokenUntilOneIsKnown) {
    test::CompanionRegistration companion;
    test::SettingsLayout layout;
    layout.AddFile(L"paths.xml", test::SettingsXml(
                                     "<Value Name=\"Path\" Type=\"STRING\">installDir\\Data</Value>"));
    EXPECT_EQ(MergedPath(), L"\\Data");
    {
        test::InstallationInfoStandIn first(L"D:\\First");
        EXPECT_EQ(MergedPath(), L"D:\\First\\Data");
    }
    test::InstallationInfoStandIn second(L"E:\\Second");
    EXPECT_EQ(MergedPath(), L"D:\\First\\Data") << "the first directory stays";
}

}  // namespace
}  // namespace veska

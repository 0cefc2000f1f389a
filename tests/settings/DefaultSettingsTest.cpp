// LoadDefaultSettings over real files in a real installation layout, read by the
// registered XML data component.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SettingsTestSupport.h"
#include "tests/common/TestRegistry.h"
#include "options/DefaultSettings.h"

namespace veska {
namespace {

using test::CachedNode;
using test::CachedValue;
using test::SettingsXml;

constexpr wchar_t kInstallDir[] = L"C:\\Veska Install";

// A fresh layout with the component registered and the stand-in directory.
class DefaultSettings : public ::testing::Test {
protected:
    test::CompanionRegistration companion_;
    test::InstallationInfoStandIn installation_{kInstallDir};
    test::SettingsLayout layout_;
    OpsInfo* root_ = new OpsInfo();

    ~DefaultSettings() override {
        test::FreeTree(root_);
        EXPECT_EQ(companion_.CanUnloadNow(), S_OK) << "an object of the component leaked";
    }

    std::wstring Text(const std::wstring& path, const wchar_t* name) {
        const VARIANT* value = CachedValue(*root_, path, name);
        if (value == nullptr) return L"<missing>";
        if (value->vt != VT_BSTR) return L"<not a string>";
        return value->bstrVal;
    }
};

std::string Value(const std::string& name, const std::string& type, const std::string& text) {
    return "<Value Name=\"" + name + "\" Type=\"" + type + "\">" + text + "</Value>";
}

TEST_F(DefaultSettings, RootElementInAnyCaseIsMergedAnyOtherFails) {
    layout_.AddFile(L"lower.xml", SettingsXml(Value("Lower", "I4", "1"), "oxatest"));
    layout_.AddFile(L"upper.xml", SettingsXml(Value("Upper", "I4", "2"), "OXATEST"));
    EXPECT_EQ(LoadDefaultSettings(*root_), S_OK);
    EXPECT_NE(CachedValue(*root_, L"", L"lower"), nullptr);
    EXPECT_NE(CachedValue(*root_, L"", L"upper"), nullptr);

    layout_.AddFile(L"other.xml", SettingsXml(Value("Other", "I4", "3"), "OxaTests"));
    EXPECT_EQ(LoadDefaultSettings(*root_), S_FALSE);
    EXPECT_EQ(CachedValue(*root_, L"", L"other"), nullptr);
}

TEST_F(DefaultSettings, TypedValuesAndTheInstallDirToken) {
    const struct {
        const char* type;
        const char* text;
        VARTYPE vt;
        double number;
    } numbers[] = {
        {"bool", "True", VT_BOOL, -1},     {"I1", "-5", VT_I1, -5},
        {"i2", "300", VT_I2, 300},         {"I8", "5000000000", VT_I8, 5e9},
        {"Int", "-7", VT_INT, -7},         {"UI1", "100", VT_I1, 100},
        {"ui2", "-2", VT_I2, -2},          {"UI4", "2147483647", VT_I4, 2147483647.0},
        {"UI8", "-1", VT_I8, -1},          {"UINT", "3000000000", VT_UINT, 3e9},
        {"r4", "0.5", VT_R4, 0.5},         {"R8", "1.25", VT_R8, 1.25},
        {"DATE", "2024-01-31", VT_DATE, 45322}, {"i4", "42", VT_I4, 42},
        {"Number", "17", VT_I4, 17},
    };
    std::string body;
    for (const auto& n : numbers) body += Value(std::string("n_") + n.type, n.type, n.text);
    body += Value("Plain", "bstr", " spaced text ");
    body += Value("Token", "STRING", "INSTALLDIR\\Help");
    body += Value("LowerToken", "string", "installdir");
    body += Value("Inner", "STRING", "x INSTALLDIR");
    layout_.AddFile(L"types.xml", SettingsXml(body));

    EXPECT_EQ(LoadDefaultSettings(*root_), S_OK);
    for (const auto& n : numbers) {
        const std::wstring name = L"n_" + std::wstring(n.type, n.type + strlen(n.type));
        const VARIANT* value = CachedValue(*root_, L"", name.c_str());
        ASSERT_NE(value, nullptr) << n.type;
        EXPECT_EQ(value->vt, n.vt) << n.type;
        VARIANT asDouble;
        VariantInit(&asDouble);
        ASSERT_EQ(VariantChangeType(&asDouble, const_cast<VARIANT*>(value), 0, VT_R8), S_OK);
        EXPECT_DOUBLE_EQ(asDouble.dblVal, n.number) << n.type;
    }
    EXPECT_EQ(Text(L"", L"plain"), L"spaced text") << "text as the parser gives it";
    EXPECT_EQ(Text(L"", L"token"), std::wstring(kInstallDir) + L"\\Help");
    EXPECT_EQ(Text(L"", L"lowertoken"), kInstallDir);
    EXPECT_EQ(Text(L"", L"inner"), L"x INSTALLDIR");
}

// Each item fails its file; what it leaves behind is fixed.
TEST_F(DefaultSettings, FailingItemsAndWhatTheyLeave) {
    const struct {
        const char* item;
        const wchar_t* left;  // text of value "v", or "<missing>"
    } cases[] = {
        {"<Value Name=\"v\" Type=\"UI4\">3000000000</Value>", L"3000000000"},
        {"<Value Name=\"v\" Type=\"NUMBER\">INSTALLDIR\\x</Value>", L"INSTALLDIR\\x"},
        {"<Value Name=\"v\" Type=\"UI1\">200</Value>", L"200"},
        {"<Value Name=\"v\" Type=\"Float\">1.5</Value>", L"<missing>"},
        {"<Value Name=\"v\">1</Value>", L"<missing>"},
        {"<Value Type=\"I4\">1</Value>", L"<missing>"},
        {"<Value Name=\"\" Type=\"I4\">1</Value>", L"<missing>"},
        {"<Key><Value Name=\"v\" Type=\"I4\">1</Value></Key>", L"<missing>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item);
        test::FreeTree(root_);
        root_ = new OpsInfo();
        layout_.AddFile(L"item.xml", SettingsXml(std::string(c.item) + Value("Sound", "I4", "1")));
        EXPECT_EQ(LoadDefaultSettings(*root_), S_FALSE);
        EXPECT_EQ(Text(L"", L"v"), c.left);
        EXPECT_NE(CachedValue(*root_, L"", L"sound"), nullptr) << "the sound part stays merged";
        EXPECT_TRUE(root_->keys.empty());
    }
}

TEST_F(DefaultSettings, KeysSeveralLevelsDeepInTheCacheOnly) {
    const std::wstring before = test::Snapshot(HKEY_CURRENT_USER, L"Software");
    layout_.AddFile(L"keys.xml",
                    SettingsXml("<Key Name=\"Editor\" Type=\"I4\">" + Value("Font", "STRING", "Mono") +
                                "<Key Name=\"Colors\"><Key Name=\"Dark\">" +
                                Value("Back", "I4", "0") + Value("Back", "I4", "1") +
                                "</Key></Key></Key><Key Name=\"EDITOR\">" +
                                Value("Size", "I2", "12") + "</Key>"));
    EXPECT_EQ(LoadDefaultSettings(*root_), S_OK);
    EXPECT_EQ(Text(L"editor", L"font"), L"Mono");
    EXPECT_NE(CachedValue(*root_, L"Editor", L"Size"), nullptr) << "same key, merged together";
    const VARIANT* back = CachedValue(*root_, L"editor\\colors\\dark", L"back");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->lVal, 1) << "the later element wins";
    EXPECT_EQ(root_->keys.size(), 1u);
    EXPECT_EQ(test::Snapshot(HKEY_CURRENT_USER, L"Software"), before);
}

TEST_F(DefaultSettings, LaterFileWinsAndEveryRootGetsTheSame) {
    const char* names[] = {"a", "b", "c"};
    for (const char* name : names) {
        layout_.AddFile(std::wstring(1, static_cast<wchar_t>(name[0])) + L".xml",
                        SettingsXml(Value("Who", "STRING", name) + Value(name, "I4", "1")));
    }
    // The platform's search order decides which file comes last.
    std::wstring last;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((layout_.SettingsFolder() + L"*.xml").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        last = std::wstring(found.cFileName, 1);
    } while (FindNextFileW(search, &found));
    FindClose(search);

    OpsInfo* other = new OpsInfo();
    EXPECT_EQ(LoadDefaultSettings(*root_), S_OK);
    EXPECT_EQ(LoadDefaultSettings(*other), S_OK);
    for (OpsInfo* root : {root_, other}) {
        const VARIANT* who = CachedValue(*root, L"", L"who");
        ASSERT_NE(who, nullptr);
        EXPECT_EQ(who->bstrVal, last);
        EXPECT_EQ(root->values.size(), 4u);
    }
    test::FreeTree(other);
}

TEST_F(DefaultSettings, BadFilesFailAndOthersStillMerge) {
    const std::string bomb = [] {
        std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE OxaTest [<!ENTITY a \"aaaaaaaaaa\">";
        for (char c = 'b'; c <= 'k'; ++c) {
            xml += std::string("<!ENTITY ") + c + " \"";
            for (int i = 0; i < 10; ++i) xml += std::string("&") + static_cast<char>(c - 1) + ";";
            xml += "\">";
        }
        return xml + "]><OxaTest>" + Value("Bomb", "STRING", "&k;") + "</OxaTest>";
    }();
    const std::string secretPath = "../../secret.txt";
    const std::pair<const wchar_t*, std::string> files[] = {
        {L"malformed.xml", "<OxaTest><Value Name=\"m\" Type=\"I4\">1</OxaTest>"},
        {L"notxml.xml", "this is not XML at all\x01\xff"},
        {L"bomb.xml", bomb},
        {L"external.xml", "<!DOCTYPE OxaTest [<!ENTITY s SYSTEM \"" + secretPath + "\">]><OxaTest>" +
                              Value("Secret", "STRING", "&s;") + "</OxaTest>"},
        {L"externaldtd.xml", "<!DOCTYPE OxaTest SYSTEM \"" + secretPath + "\"><OxaTest>" +
                                 Value("Dtd", "STRING", "x") + "</OxaTest>"},
        {L"empty.xml", ""},
        {L"good.xml", SettingsXml(Value("Good", "I4", "1"))},
    };
    for (const auto& file : files) layout_.AddFile(file.first, file.second);
    const std::wstring secret = layout_.Root() + L"\\secret.txt";
    const HANDLE handle = CreateFileW(secret.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(handle, "SECRET", 6, &written, nullptr);
    CloseHandle(handle);
    // A 100 MB file, made sparse so that it costs nothing to write.
    const HANDLE big = CreateFileW((layout_.SettingsFolder() + L"big.xml").c_str(), GENERIC_WRITE, 0,
                                   nullptr, CREATE_ALWAYS, 0, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 100LL << 20;
    EXPECT_TRUE(SetFilePointerEx(big, size, nullptr, FILE_BEGIN) && SetEndOfFile(big));
    CloseHandle(big);

    EXPECT_EQ(LoadDefaultSettings(*root_), S_FALSE);
    EXPECT_NE(CachedValue(*root_, L"", L"good"), nullptr);
    EXPECT_EQ(root_->values.size(), 1u) << "nothing of the bad files is merged";
    DeleteFileW(secret.c_str());
}

TEST_F(DefaultSettings, NamesAndValuesFromEveryUnicodePlane) {
    // U+00C4, U+0391 (Greek capital alpha), U+1F600 and U+10FFFD as UTF-8.
    const std::string text = "A\xC3\x84\xCE\x91\xF0\x9F\x98\x80\xF4\x8F\xBF\xBD";
    layout_.AddFile(L"planes.xml", SettingsXml("<Key Name=\"" + text + "\">" +
                                               Value(text, "STRING", text) + "</Key>"));
    // The same in UTF-16 with a byte-order mark.
    const std::wstring wide = L"<OxaTest><Value Name=\"W\U0001F600\" Type=\"STRING\">\U00010000</Value></OxaTest>";
    layout_.AddFile(L"wide.xml", std::string("\xFF\xFE") +
                                     std::string(reinterpret_cast<const char*>(wide.data()),
                                                 wide.size() * sizeof(wchar_t)));
    EXPECT_EQ(LoadDefaultSettings(*root_), S_OK);
    const std::wstring expected = L"A\u00C4\u0391\U0001F600\U0010FFFD";
    const std::wstring folded = L"a\u00C4\u0391\U0001F600\U0010FFFD";
    ASSERT_EQ(root_->keys.size(), 1u);
    EXPECT_EQ(root_->keys.NameOf(*root_->keys.begin()), folded) << "only A to Z are folded";
    EXPECT_EQ(Text(expected, expected.c_str()), expected);
    EXPECT_EQ(Text(L"", L"w\U0001F600"), L"\U00010000");
}

TEST(DefaultSettingsLayout, MissingOrEmptyFolderIsNoFailure) {
    test::CompanionRegistration companion;
    for (bool withFolder : {false, true}) {
        test::SettingsLayout layout(withFolder);
        if (withFolder) layout.AddFile(L"notes.txt", "<OxaTest/>");
        OpsInfo root;
        EXPECT_EQ(LoadDefaultSettings(root), S_OK);
        EXPECT_TRUE(root.values.empty() && root.keys.empty());
    }
}

// A library path cut at 260 characters would name another folder: the merge
// reports the settings as unreachable instead.
TEST(DefaultSettingsLayout, LibraryPathLongerThanTheBufferFails) {
    test::CompanionRegistration companion;
    test::SettingsLayout layout(true, 240);
    ASSERT_GE(layout.Root().size() + 21, static_cast<size_t>(MAX_PATH));
    layout.AddFile(L"one.xml", SettingsXml(Value("One", "I4", "1")));
    OpsInfo root;
    EXPECT_EQ(LoadDefaultSettings(root), S_FALSE);
    EXPECT_TRUE(root.values.empty());
}

TEST(DefaultSettingsLayout, UnregisteredComponentFailsEveryFile) {
    test::SettingsLayout layout;
    layout.AddFile(L"one.xml", SettingsXml(Value("One", "I4", "1")));
    layout.AddFile(L"two.xml", SettingsXml(Value("Two", "I4", "2")));
    OpsInfo root;
    EXPECT_EQ(LoadDefaultSettings(root), S_FALSE);
    EXPECT_TRUE(root.values.empty());
}

TEST(DefaultSettingsLayout, DeepFileOnAOneMegabyteStack) {
    test::CompanionRegistration companion;
    test::SettingsLayout layout;
    std::string body;
    for (int i = 0; i < 10000; ++i) body += "<Key Name=\"k\">";
    body += Value("Deepest", "I4", "1");
    for (int i = 0; i < 10000; ++i) body += "</Key>";
    layout.AddFile(L"deep.xml", SettingsXml(body));
    OpsInfo* root = new OpsInfo();
    HRESULT merged = E_UNEXPECTED;
    ASSERT_TRUE(test::RunOnThread(1 << 20, [&] { merged = LoadDefaultSettings(*root); }));
    // The parser refuses documents this deep; where one accepts them, all merges.
    ASSERT_TRUE(merged == S_OK || merged == S_FALSE) << std::hex << merged;
    if (merged == S_OK) {
        EXPECT_NE(CachedNode(*root, L"k"), nullptr);
    }
    test::FreeTree(root);
}

}  // namespace
}  // namespace veska

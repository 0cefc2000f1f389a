// The settings files as an options object sees them: merged by Init over the
// registry subtree it loaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
    layout_.AddFile(L"a.xml", SettingsXml("<Value Name='Good' Type='I4'>1</Value>\r\n"
                                          "<Value Name='Bad' Type='UI4'>4294967295</Value>\r\n"
                                          "<Key Name='K'><Value Name='After' Type='I4'>3</Value></Key>"));
    ASSERT_EQ(Init(), S_FALSE);
    EXPECT_EQ(Value(L"", L"Good"), L"3:1");
    EXPECT_EQ(Value(L"", L"Bad"), L"8:4294967295") << "an unconvertible value stays as text";
    EXPECT_EQ(Value(L"K", L"After"), L"3:3") << "the rest of the file still merges";
    EXPECT_EQ(opts->Init(1, Bstr(Reg())), E_FAIL) << "the object counts as initialised";
    // The text is marked with its line and the type it did not convert to.
    ComPtr<IVeskaOptionsDiagnostics> diagnostics;
    ASSERT_EQ(opts->QueryInterface(__uuidof(IVeskaOptionsDiagnostics), diagnostics.put_void()), S_OK);
    const std::wstring file = layout_.SettingsFolder() + L"a.xml";
    for (const auto& c : {std::make_pair(L"Bad", L"2|" + file + L"|3||UI4"),
                          std::make_pair(L"Good", L"2|" + file + L"|2||")}) {
        UniqueVariant origin;
        ASSERT_EQ(diagnostics->GetValueOrigin(Bstr(L""), Bstr(c.first), origin.put()), S_OK);
        std::wstring text;
        for (LONG i = 0; i < 5; ++i) {
            UniqueVariant cell;
            EXPECT_EQ(SafeArrayGetElement(origin.get()->parray, &i, cell.get()), S_OK);
            text += (i != 0 ? L"|" : L"") + test::RenderVariant(*cell.get()).substr(2);
        }
        EXPECT_EQ(text, c.second);
    }
}

TEST_F(InitMerge, UnregisteredComponentFailsEveryFile) {
    layout_.AddFile(L"defaults.xml", SettingsXml(kDefaults));
    test::SetDword(HKEY_CURRENT_USER, Reg(), L"Kept", 1);
    ASSERT_EQ(Init(), S_FALSE);
    EXPECT_EQ(Value(L"", L"Kept"), L"3:1") << "the registry load stands";
    EXPECT_EQ(Keys(L""), L"<null>");
}

// The rows of a settings files array, one "file|result|line:column|message"
// each, the file by its name alone.
std::vector<std::wstring> FileRows(const VARIANT& files) {
    std::vector<std::wstring> rows;
    EXPECT_EQ(files.vt, VT_ARRAY | VT_VARIANT);
    if (files.vt != (VT_ARRAY | VT_VARIANT)) return rows;
    LONG last = -1;
    SafeArrayGetUBound(files.parray, 2, &last);
    for (LONG r = 0; r <= last; ++r) {
        std::wstring cells[5];
        for (LONG c = 0; c < 5; ++c) {
            LONG at[2] = {c, r};
            UniqueVariant cell;
            SafeArrayGetElement(files.parray, at, cell.get());
            cells[c] = test::RenderVariant(*cell.get()).substr(2);
        }
        rows.push_back(cells[0].substr(cells[0].rfind(L'\\') + 1) + L"|" + cells[1] + L"|" +
                       cells[2] + L":" + cells[3] + L"|" + cells[4]);
    }
    return rows;
}

ComPtr<IVeskaOptionsDiagnostics> Diagnostics(IVeskaOptions3* options) {
    ComPtr<IVeskaOptionsDiagnostics> diagnostics;
    EXPECT_EQ(options->QueryInterface(__uuidof(IVeskaOptionsDiagnostics), diagnostics.put_void()), S_OK);
    return diagnostics;
}

// One file per cause in one settings folder: Init's rows name each cause with
// its position, and CheckSettings over the folder or over each file agrees.
TEST_F(InitMerge, EveryFailureCauseIsNamedAlikeByInitAndCheckSettings) {
    test::CompanionRegistration companion;
    enum Make { kBytes, kHuge, kFolder };
    const struct {
        const wchar_t* file;
        Make make;
        std::string bytes;
        const wchar_t* row;  // result|line:column|message, the message by its start
    } cases[] = {
        {L"good.xml", kBytes, SettingsXml("<Value Name='g' Type='I4'>1</Value>"), L"merged|0:0|"},
        {L"malformed.xml", kBytes, "<OxaTest>\r\n<Value Name='m' Type='I4'>1</Valu>\r\n</OxaTest>",
         L"failed|2:28|the XML is not well-formed: Opening and ending tag mismatch"},
        {L"doctype.xml", kBytes, "<!DOCTYPE OxaTest><OxaTest/>",
         L"refused|0:0|the file holds a document type definition (DOCTYPE), which is refused"},
        {L"encoding.xml", kBytes, "<?xml version='1.0' encoding='EBCDIC-US'?><OxaTest/>",
         L"failed|0:0|the file's encoding is not supported"},
        {L"type.xml", kBytes, SettingsXml("\r\n<Key Name='Editor'>\r\n<Value Name='v' Type='Float'>1</Value></Key>"),
         L"failed|4:0|value \"v\" in key \"Editor\": Type \"Float\" is unknown; did you mean R4 or R8?"},
        {L"faraway.xml", kBytes, SettingsXml("<Value Name='p' Type='Picture'>1</Value>"),
         L"failed|2:0|value \"p\" at the top level: Type \"Picture\" is unknown; the types are BOOL, I1, "
         L"I2, I8, INT, UI1, UI2, UI4, UI8, UINT, R4, R8, DATE, I4, NUMBER, BSTR or STRING"},
        {L"notype.xml", kBytes, SettingsXml("<Value Name='n'>1</Value>"),
         L"failed|2:0|value \"n\" at the top level lacks the required attribute Type (one of BOOL, I1, "},
        {L"range.xml", kBytes, SettingsXml("<Value Name='r' Type='UI4'>3000000000</Value>"),
         L"failed|2:0|value \"r\" at the top level: \"3000000000\" is out of range for UI4: UI4 takes "
         L"a whole number from -2147483648 to 2147483647 (it is stored signed)"},
        {L"bool.xml", kBytes, SettingsXml("<Value Name='g' Type='BOOL'>1</Value>\r\n\r\n<Value Name='WordWrap' Type='bool'>yes</Value>"),
         L"failed|4:0|value \"WordWrap\" at the top level: \"yes\" is not a BOOL: BOOL takes True or False "
         L"(in any letter case), or a number: 0 for False, any other for True"},
        {L"integer.xml", kBytes, SettingsXml("<Key Name='K'>\n<Value Name='i' Type='I4'>twelve</Value></Key>"),
         L"failed|3:0|value \"i\" in key \"K\": \"twelve\" is not an I4: I4 takes a whole number from "
         L"-2147483648 to 2147483647"},
        {L"attribute.xml", kBytes, SettingsXml("<Key Name='A'>\n\n<Key><Value Name='t' Type='I4'>1</Value></Key></Key>"),
         L"failed|4:0|a Key element in key \"A\" lacks the required attribute Name"},
        {L"root.xml", kBytes, "<?xml version='1.0'?>\n\n<Settings/>\n", L"failed|3:0|the root element is <Settings>, not <OxaTest>"},
        {L"huge.xml", kHuge, "", L"refused|0:0|the file is larger than the size limit of 8388608 bytes"},
        {L"folder.xml", kFolder, "", L"failed|0:0|the file is unreadable (0x80070005 "},
    };
    const std::wstring folder = layout_.SettingsFolder();
    for (const auto& c : cases) {
        if (c.make == kBytes) layout_.AddFile(c.file, c.bytes);
        if (c.make == kFolder) {
            ASSERT_TRUE(CreateDirectoryW((folder + c.file).c_str(), nullptr));
        }
        if (c.make == kHuge) {
            // Sparse: the size alone is what counts.
            const HANDLE huge = CreateFileW((folder + c.file).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, 0, nullptr);
            LARGE_INTEGER size;
            size.QuadPart = 9LL << 20;
            EXPECT_TRUE(SetFilePointerEx(huge, size, nullptr, FILE_BEGIN) && SetEndOfFile(huge));
            CloseHandle(huge);
        }
    }
    ComPtr<IVeskaOptionsDiagnostics> diagnostics = Diagnostics(opts.get());
    UniqueVariant before;
    EXPECT_EQ(diagnostics->GetSettingsFiles(before.put()), E_FAIL) << "nothing to tell before Init";
    ASSERT_EQ(Init(), S_FALSE);
    UniqueVariant files;
    ASSERT_EQ(diagnostics->GetSettingsFiles(files.put()), S_OK);
    const std::vector<std::wstring> rows = FileRows(*files.get());
    ASSERT_EQ(rows.size(), std::size(cases));
    UniqueVariant checked;
    EXPECT_EQ(diagnostics->CheckSettings(Bstr(folder), checked.put()), S_FALSE);
    EXPECT_EQ(FileRows(*checked.get()), rows) << "the same files, the same causes, in the same order";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::wstring expected = std::wstring(c.file) + L"|" + c.row;
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const std::wstring& r) {
            return r.compare(0, expected.size(), expected) == 0;
        });
        EXPECT_NE(row, rows.end()) << testing::PrintToString(expected) << " among "
                                   << testing::PrintToString(rows);
        // A folder given to CheckSettings is searched, not read as a file.
        if (c.make == kFolder) continue;
        UniqueVariant one;
        const bool merged = std::wstring(c.row).compare(0, 6, L"merged") == 0;
        EXPECT_EQ(diagnostics->CheckSettings(Bstr(folder + c.file), one.put()), merged ? S_OK : S_FALSE);
        if (row != rows.end()) {
            EXPECT_EQ(FileRows(*one.get()), std::vector<std::wstring>{*row});
        }
    }
    EXPECT_EQ(diagnostics->CheckSettings(Bstr(folder + L"missing.xml"), checked.put()), E_INVALIDARG);
    BSTR settingsFolder = nullptr;
    ASSERT_EQ(diagnostics->get_SettingsFolder(&settingsFolder), S_OK);
    EXPECT_EQ(lstrcmpiW(settingsFolder, folder.c_str()), 0) << "the folder Init read";
    SysFreeString(settingsFolder);
}

// Origins after a registry load, a file's merge and writes to the cache alone
// and through to the registry; the counts stay those of Init.
TEST_F(InitMerge, OriginsOfRegistryFileAndWrittenValuesAndTheCounts) {
    test::CompanionRegistration companion;
    test::SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"FontSize", 10);
    test::SetString(HKEY_CURRENT_USER, Reg(L"Editor"), L"Font", L"Courier");
    test::SetString(HKEY_CURRENT_USER, Reg(L"Editor"), L"Help", L"none");
    test::SetDword(HKEY_CURRENT_USER, Reg(L"Editor"), L"Tab", 4);
    layout_.AddFile(L"defaults.xml", SettingsXml(kDefaults));
    ASSERT_EQ(Init(), S_OK);
    EXPECT_EQ(Set(L"Editor", L"Font", *test::Str(L"Arial").get(), 0), S_OK);
    EXPECT_EQ(Set(L"Editor", L"FontSize", *test::I4(14).get(), 0), S_OK);
    EXPECT_EQ(Set(L"Editor", L"Zoom", *test::I4(2).get(), 1), S_OK);

    ComPtr<IVeskaOptionsDiagnostics> diagnostics = Diagnostics(opts.get());
    const std::wstring key = L"HKEY_CURRENT_USER\\" + Reg(L"Editor");
    const std::wstring file = layout_.SettingsFolder() + L"defaults.xml";
    const struct {
        const wchar_t* path;
        const wchar_t* name;
        std::wstring origin;  // kind|source|line|replaced|unconverted
    } cases[] = {
        {L"Editor", L"tab", L"1|" + key + L"|0||"},
        {L"Editor", L"Help", L"2|" + file + L"|2|" + key + L"|"},
        {L"Editor", L"WordWrap", L"2|" + file + L"|2||"},
        {L"Editor\\Plugins", L"Count", L"2|" + file + L"|2||"},
        {L"Editor", L"Font", L"3||0|" + key + L"|"},
        {L"Editor", L"FontSize", L"3||0|" + key + L"|"},
        {L"Editor", L"Zoom", L"4||0||"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UniqueVariant origin;
        ASSERT_EQ(diagnostics->GetValueOrigin(Bstr(c.path), Bstr(c.name), origin.put()), S_OK);
        ASSERT_EQ(origin.vt(), VT_ARRAY | VT_VARIANT);
        std::wstring text;
        for (LONG i = 0; i < 5; ++i) {
            UniqueVariant cell;
            SafeArrayGetElement(origin.get()->parray, &i, cell.get());
            text += (i != 0 ? L"|" : L"") + test::RenderVariant(*cell.get()).substr(2);
        }
        EXPECT_EQ(text, c.origin);
    }
    UniqueVariant missing;
    EXPECT_EQ(diagnostics->GetValueOrigin(Bstr(L"Editor"), Bstr(L"Nothing"), missing.put()), E_INVALIDARG);
    EXPECT_EQ(diagnostics->GetValueOrigin(Bstr(L"Nowhere"), Bstr(L"Tab"), missing.put()), E_INVALIDARG);
    LONG keys = 0, values = 0, overridden = 0;
    EXPECT_EQ(diagnostics->get_KeyCount(&keys), S_OK);
    EXPECT_EQ(diagnostics->get_ValueCount(&values), S_OK);
    EXPECT_EQ(diagnostics->get_OverriddenCount(&overridden), S_OK);
    EXPECT_EQ(keys, 2) << "Editor and Editor\\Plugins";
    EXPECT_EQ(values, 7) << "four from the registry, three more from the file";
    EXPECT_EQ(overridden, 5) << "every value the file named, two of them over the registry's";
}

}  // namespace
}  // namespace veska

// The trace switch against real registry values, and the scope against the
// companion trace sink.
#include "trace/TimeTrace.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TestPaths.h"
#include "TestRegistry.h"

namespace veska {
namespace {

using test::DeleteTree;
using test::SetDword;
using test::SetRaw;

const wchar_t kSourcePath[] = L"C:\\work\\options\\VeskaOpt.cpp";  // component "options"

// Each case starts with the switch key absent, no sink, and the switch at 0.
class TraceLoader : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteTree(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey);
        TimeTraceSwitch = 0;
        ASSERT_EQ(TimeTraceCallback, nullptr);
        SetDllDirectoryW(VESKA_TEST_BUILD_DIR L"\\companions");
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        logPath_ = std::wstring(temp) + L"veska-trace-" + std::to_wstring(GetCurrentProcessId()) + L".log";
        DeleteFileW(logPath_.c_str());
        SetEnvironmentVariableW(L"OXA_TIME_TRACE_LOG", logPath_.c_str());
    }
    void TearDown() override {
        DeleteTree(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey);
        TimeTraceSwitch = 0;
        SetDllDirectoryW(nullptr);
        DeleteFileW(logPath_.c_str());
    }

    // The sink's lines, each split at its tabs: event, thread, time, function,
    // file, line, text.
    std::vector<std::vector<std::string>> Records() const {
        std::vector<std::vector<std::string>> records;
        std::ifstream in(Narrow(logPath_));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::vector<std::string> fields;
            std::stringstream stream(line);
            for (std::string field; std::getline(stream, field, '\t');) fields.push_back(field);
            if (line.back() == '\t') fields.push_back("");
            records.push_back(fields);
        }
        return records;
    }

    static std::string Narrow(const std::wstring& text) {
        std::string out;
        for (wchar_t c : text) out += static_cast<char>(c);
        return out;
    }

    std::wstring logPath_;
};

TEST_F(TraceLoader, SwitchDecidesWhetherTheSinkLoads) {
    struct Case {
        const char* what;
        const wchar_t* path;
        bool writeAll;
        DWORD all;
        bool writeComponent;
        DWORD component;
        bool on;
    } cases[] = {
        {"no key at all", kSourcePath, false, 0, false, 0, false},
        {"component value on", kSourcePath, false, 0, true, 1, true},
        {"component value off", kSourcePath, false, 0, true, 0, false},
        {"All on, component off", kSourcePath, true, 7, true, 0, true},
        {"All 0 overrides component 1", kSourcePath, true, 0, true, 1, false},
        {"module's own path has one backslash", L".\\VeskaOptions.cpp", true, 1, true, 1, false},
        {"no backslash", L"VeskaOpt.cpp", true, 1, true, 1, false},
        {"null path", nullptr, true, 1, true, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey);
        test::CreateKey(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey);
        if (c.writeAll) SetDword(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey, L"All", c.all);
        if (c.writeComponent) SetDword(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey, L"options", c.component);
        TimeTraceSwitch = 0;
        {
            TimeTraceLoader loader(c.path);
            EXPECT_EQ(loader.Library() != nullptr, c.on);
            EXPECT_EQ(TimeTraceCallback != nullptr, c.on);
        }
        EXPECT_EQ(TimeTraceCallback, nullptr) << "teardown clears the callback";
        EXPECT_EQ(GetModuleHandleW(L"OxaTimeTrace.dll"), nullptr) << "teardown frees the sink";
    }
}

TEST_F(TraceLoader, OddSwitchValues) {
    struct Case {
        const char* what;
        DWORD type;
        std::vector<BYTE> data;
        bool on;
    } cases[] = {
        {"8-byte value counts as absent", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}, false},
        {"REG_SZ \"1\" reads as a nonzero number", REG_SZ, {'1', 0, 0, 0}, true},
        {"2-byte value", REG_BINARY, {1, 0}, true},
        {"empty value", REG_BINARY, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey);
        SetRaw(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey, L"options", c.type, c.data.data(),
               static_cast<DWORD>(c.data.size()));
        TimeTraceSwitch = 0;
        TimeTraceLoader loader(kSourcePath);
        EXPECT_EQ(TimeTraceCallback != nullptr, c.on);
    }
}

TEST_F(TraceLoader, OverlongSourcePathIsCutAndReadSafely) {
    // The component is taken from the first 259 characters: here the folder
    // "options" followed by a long file name that is cut.
    std::wstring path = L"C:\\x\\options\\" + std::wstring(400, L'f');
    SetDword(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey, L"options", 1);
    TimeTraceLoader loader(path.c_str());
    EXPECT_NE(TimeTraceCallback, nullptr);
}

void ThrowInsideScope() {
    VESKA_TRACE_SCOPE(L"Test::Throws");
    throw std::runtime_error("leaving by exception");
}

TEST_F(TraceLoader, ScopesReportEntryAndExitToTheSink) {
    SetDword(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey, L"All", 1);
    {
        TimeTraceLoader loader(kSourcePath);
        ASSERT_NE(TimeTraceCallback, nullptr);
        { VESKA_TRACE_SCOPE(L"Test::Plain"); }
        const std::wstring longText(200, L'x');
        { TimeTraceScope scope(L"Test::Text", L"file.cpp", 42, longText.c_str()); }
        EXPECT_THROW(ThrowInsideScope(), std::runtime_error);
    }
    const auto records = Records();
    ASSERT_EQ(records.size(), 6u);
    struct Expected {
        const char* event;
        const char* function;
        const char* text;
    } expected[] = {
        {"1", "Test::Plain", "(null)"}, {"2", "Test::Plain", ""},
        {"1", "Test::Text", nullptr},   {"2", "Test::Text", nullptr},
        {"1", "Test::Throws", "(null)"}, {"2", "Test::Throws", ""},
    };
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i].size(), 7u) << i;
        EXPECT_EQ(records[i][0], expected[i].event) << i;
        EXPECT_EQ(records[i][3], expected[i].function) << i;
        if (expected[i].text) {
            EXPECT_EQ(records[i][6], expected[i].text) << i;
        }
    }
    EXPECT_EQ(records[0][4], "tests/module/TimeTraceTest.cpp");
    EXPECT_EQ(records[2][4], "file.cpp");
    EXPECT_EQ(records[2][5], "42");
    EXPECT_EQ(records[2][6], std::string(200, 'x')) << "entry passes the caller's text";
    EXPECT_EQ(records[3][6], std::string(128, 'x')) << "exit passes the scope's 128-character copy";
}

// The JSON form, chosen by the file's extension or by OXA_TIME_TRACE_FORMAT: a
// complete array once the sink unloads, begin and end events in pairs.
TEST_F(TraceLoader, ScopesAsTraceEventJson) {
    SetDword(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey, L"All", 1);
    struct Case {
        const wchar_t* extension;
        const wchar_t* format;
    } cases[] = {{L".json", nullptr}, {L".log", L"JSON"}};
    for (const Case& c : cases) {
        const std::wstring path = logPath_ + c.extension;
        SetEnvironmentVariableW(L"OXA_TIME_TRACE_LOG", path.c_str());
        SetEnvironmentVariableW(L"OXA_TIME_TRACE_FORMAT", c.format);
        {
            TimeTraceLoader loader(kSourcePath);
            ASSERT_NE(TimeTraceCallback, nullptr);
            TimeTraceScope outer(L"Test::Outer", L"file.cpp", 7, L"t\u00e9xt \"quoted\"");
            { VESKA_TRACE_SCOPE(L"Test::Inner"); }
        }
        SetEnvironmentVariableW(L"OXA_TIME_TRACE_FORMAT", nullptr);
        std::ifstream in(Narrow(path));
        const nlohmann::json events = nlohmann::json::parse(in, nullptr, false);
        in.close();
        DeleteFileW(path.c_str());
        ASSERT_TRUE(events.is_array()) << Narrow(path) << " is not a JSON array";
        ASSERT_EQ(events.size(), 4u);
        const char* expected[][2] = {{"Test::Outer", "B"}, {"Test::Inner", "B"},
                                     {"Test::Inner", "E"}, {"Test::Outer", "E"}};
        for (std::size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i]["name"], expected[i][0]) << i;
            EXPECT_EQ(events[i]["ph"], expected[i][1]) << i;
            EXPECT_EQ(events[i]["pid"], GetCurrentProcessId()) << i;
            EXPECT_EQ(events[i]["tid"], GetCurrentThreadId()) << i;
            if (i > 0) {
                EXPECT_GE(events[i]["ts"], events[i - 1]["ts"]) << i;
            }
        }
        EXPECT_EQ(events[0]["args"]["file"], "file.cpp");
        EXPECT_EQ(events[0]["args"]["line"], 7);
        EXPECT_EQ(events[0]["args"]["text"], "t\xc3\xa9xt \"quoted\"") << "UTF-8 in the file, escaped quotes";
        EXPECT_FALSE(events[1]["args"].contains("text")) << "no text, no argument";
        EXPECT_EQ(events[1]["args"]["file"], "tests/module/TimeTraceTest.cpp");
    }
}

TEST_F(TraceLoader, SinkWithoutEntryPointLeavesTracingOff) {
    // Any DLL of that name without the export: the loader keeps it loaded and
    // leaves the callback null.
    SetDword(HKEY_LOCAL_MACHINE, kTimeTraceSwitchKey, L"All", 1);
    SetDllDirectoryW(VESKA_TEST_BUILD_DIR L"\\tests\\module\\no-entry");
    TimeTraceLoader loader(kSourcePath);
    EXPECT_NE(loader.Library(), nullptr);
    EXPECT_EQ(TimeTraceCallback, nullptr);
}

}  // namespace
}  // namespace veska
